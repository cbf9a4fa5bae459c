// UTF-16 to UTF-8: byte-exact output for each sequence length and every lone-surrogate shape.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "util/Utf16.h"

namespace {

struct Case {
  const char* name;
  const char16_t* text;
  const char* utf8;
};

const Case kCases[] = {
    {"Empty", u"", ""},
    {"Ascii", u"abc\x7F", "abc\x7F"},
    {"TwoByteLowest", u"\x0080", "\xC2\x80"},
    {"TwoByte", u"caf\x00E9", "caf\xC3\xA9"},
    {"TwoByteHighest", u"\x07FF", "\xDF\xBF"},
    {"ThreeByteLowest", u"\x0800", "\xE0\xA0\x80"},
    {"ThreeByteEuro", u"\x20AC", "\xE2\x82\xAC"},
    {"ThreeByteHighest", u"\xFFFF", "\xEF\xBF\xBF"},
    {"PairLowest", u"\xD800\xDC00", "\xF0\x90\x80\x80"},
    {"PairEmoji", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
    {"PairHighest", u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
    {"HighBeforeOther",
     u"\xD83D"
     u"a",
     "\xEF\xBF\xBD"
     "a"},
    {"HighAtEnd", u"a\xD83D", "a\xEF\xBF\xBD"},
    {"LowAlone",
     u"\xDE00"
     u"a",
     "\xEF\xBF\xBD"
     "a"},
    {"LowBeforeHigh", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"HighBeforePair", u"\xD83D\xD83D\xDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
    {"Mixed", u"a\x00E9\x20AC\xD83D\xDE00", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
};

class Utf16Conversion : public testing::TestWithParam<Case> {};

TEST_P(Utf16Conversion, ConvertsToExactBytesWithTerminator) {
  const Case& c = GetParam();
  size_t expectedSize = strlen(c.utf8) + 1;
  EXPECT_EQ(expectedSize, utf8Length(c.text));

  // Exactly utf8Length bytes: the sanitizer build catches any write past them.
  std::unique_ptr<char[]> out(new char[expectedSize]);
  utf16ToUtf8(c.text, out.get());
  EXPECT_EQ(std::string(c.utf8, expectedSize), std::string(out.get(), expectedSize));

  char* copy = utf16ToUtf8Copy(c.text);
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(std::string(c.utf8), copy);
  free(copy);
}

INSTANTIATE_TEST_SUITE_P(Utf16, Utf16Conversion, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(Utf16, CopyOfNullTextIsNull) { EXPECT_EQ(nullptr, utf16ToUtf8Copy(nullptr)); }

}  // namespace
