// StringBuffer: exact capacities after each constructor and growth rule, searching, and lost storage.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "util/StringBuffer.h"

namespace {

struct ShapeCase {
  const char* name;
  StringBuffer (*make)();
  const char* text;
  int capacity;
};

const std::string k30(30, 'x'), k31(31, 'x');

const ShapeCase kShapes[] = {
    {"DefaultIsEmptyWithCapacity31", [] { return StringBuffer(); }, "", 31},
    {"NullTextHasCapacity0", [] { return StringBuffer(nullptr); }, "", 0},
    {"TextHasCapacityOfItsLength", [] { return StringBuffer("abc"); }, "abc", 3},
    {"BoundedTextKeepsPrefix", [] { return StringBuffer("abcdef", 3); }, "abc", 3},
    {"CopyKeepsCapacity",
     [] {
       StringBuffer b(50);
       b.append("abc");
       return StringBuffer(b);
     },
     "abc", 50},
    {"Append30ToDefaultDoesNotGrow",
     [] {
       StringBuffer b;
       b.append(k30.c_str());
       return b;
     },
     k30.c_str(), 31},
    {"AppendThatFillsCapacityGrows",
     [] {
       StringBuffer b;
       b.append(k31.c_str());
       return b;
     },
     k31.c_str(), 62},
    {"AppendNThatFillsCapacityGrowsByN",
     [] {
       StringBuffer b(2);
       b.appendN("abcdef", 2);
       return b;
     },
     "ab", 4},
    {"AppendNullChangesNothing",
     [] {
       StringBuffer b("abc");
       b.append(nullptr);
       b.appendN(nullptr, 5);
       return b;
     },
     "abc", 3},
    {"AppendCharFillsWithoutGrowing",
     [] {
       StringBuffer b(2);
       b.appendChar('a');
       b.appendChar('b');
       return b;
     },
     "ab", 2},
    {"AppendCharToFullGrowsBy32",
     [] {
       StringBuffer b("ab");
       b.appendChar('c');
       return b;
     },
     "abc", 34},
    {"AppendIntOfMostNegative",
     [] {
       StringBuffer b;
       b.appendInt(INT_MIN);
       return b;
     },
     "-2147483648", 31},
    {"AssignLongerGrowsByShortfall",
     [] {
       StringBuffer b(4);
       b.assign("abcdefgh");
       return b;
     },
     "abcdefgh", 8},
    {"AssignShorterKeepsCapacity",
     [] {
       StringBuffer b("abcdef");
       b.assign("xy");
       return b;
     },
     "xy", 6},
    {"AssignBoundedCopiesPrefix",
     [] {
       StringBuffer b(2);
       b.assign("abcdef", 4);
       return b;
     },
     "abcd", 4},
    {"AssignBoundedNullEmpties",
     [] {
       StringBuffer b("xyz");
       b.assign(nullptr, 5);
       return b;
     },
     "", 3},
    {"AssignmentGrowsToOtherCapacity",
     [] {
       StringBuffer b(5);
       StringBuffer o(40);
       o.append("hi");
       b = o;
       return b;
     },
     "hi", 40},
    {"SetLengthTruncatesAndKeepsCapacity",
     [] {
       StringBuffer b("abcdef");
       b.setLength(2);
       return b;
     },
     "ab", 6},
    {"NegativeGrowDoesNotShrink",
     [] {
       StringBuffer b("0123456789");
       b.grow(-5);
       return b;
     },
     "0123456789", 10},
    {"ReserveWithinCapacityChangesNothing",
     [] {
       StringBuffer b(256);
       b.reserve(100);
       return b;
     },
     "", 256},
    {"NegativeGrowthPercentReservesExactly",
     [] {
       StringBuffer b;
       b.setGrowthPercent(-5);
       b.reserve(100);
       return b;
     },
     "", 100},
    {"ReserveWithGrowth100Doubles",
     [] {
       StringBuffer b;
       b.setGrowthPercent(100);
       b.reserve(100);
       return b;
     },
     "", 200},
    {"ReserveRoundsGrowthHalfUp",
     [] {
       StringBuffer b;
       b.setGrowthPercent(10);
       b.reserve(1005);
       return b;
     },
     "", 1106},
    {"ToUpperChangesOnlyLetters",
     [] {
       StringBuffer b("a1b");
       b.toUpper();
       return b;
     },
     "A1B", 3},
    {"SubstringAtEndIsDefaultEmpty", [] { return StringBuffer("abc").substring(3); }, "", 31},
    {"SubstringTakesRest", [] { return StringBuffer("abc").substring(1); }, "bc", 2},
    {"SubstringTakesCount", [] { return StringBuffer("abc").substring(1, 1); }, "b", 1},
    {"SubstringCountPastEndStopsAtEnd", [] { return StringBuffer("abc").substring(1, 10); }, "bc", 2},
};

class StringBufferShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(StringBufferShape, HasExactTextLengthAndCapacity) {
  StringBuffer b = GetParam().make();
  ASSERT_NE(nullptr, b.data());
  EXPECT_EQ(std::string(GetParam().text), b.data());
  EXPECT_EQ(static_cast<int>(strlen(GetParam().text)), b.length());
  EXPECT_EQ(GetParam().capacity, b.capacity());
}

INSTANTIATE_TEST_SUITE_P(StringBuffer, StringBufferShape, testing::ValuesIn(kShapes),
                         [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

TEST(StringBuffer, SearchesReturnPositionOrMinusOne) {
  enum Op { FIND, FIND_CHAR, FIRST_OF, FIRST_NOT_OF };
  const char* const kOpNames[] = {"find", "findChar", "findFirstOf", "findFirstNotOf"};
  struct Case {
    const char* text;
    Op op;
    const char* arg;
    int from, expected;
  } const kCases[] = {
      {"", FIND, "", 0, -1},
      {"", FIND_CHAR, "a", 0, -1},
      {"", FIRST_OF, "a", 0, -1},
      {"", FIRST_NOT_OF, "a", 0, -1},
      {"abc", FIND, "bc", 0, 1},
      {"abc", FIND, "c", 2, 2},
      {"abc", FIND, "ab", 1, -1},
      {"abc", FIND, "", 3, -1},
      {"abc", FIND_CHAR, "b", 1, 1},
      {"abc", FIND_CHAR, "a", 1, -1},
      {"abc", FIND_CHAR, "a", 3, -1},
      {"abc", FIND_CHAR, "a", -1, -1},
      {"abc", FIRST_OF, "xyz", 0, -1},
      {"abc", FIRST_OF, "cb", 0, 1},
      {"aab", FIRST_NOT_OF, "a", 0, 2},
      {"aaa", FIRST_NOT_OF, "a", 0, -1},
      {"abc", FIRST_NOT_OF, "a", 1, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"." + kOpNames[c.op] + "(\"" + c.arg + "\", " + std::to_string(c.from) +
                 ")");
    StringBuffer b(c.text);
    EXPECT_EQ(c.expected, c.op == FIND        ? b.find(c.arg, c.from)
                          : c.op == FIND_CHAR ? b.findChar(c.arg[0], c.from)
                          : c.op == FIRST_OF  ? b.findFirstOf(c.arg, c.from)
                                              : b.findFirstNotOf(c.arg, c.from));
  }
}

TEST(StringBuffer, OnCallersStorageUntilItGrowsThenOnABlockOfItsOwn) {
  char storage[8];
  StringBuffer b(StringBuffer::Storage{storage, 7});
  b.append("abcdefg");  // grows: 7 characters need room for 14
  EXPECT_NE(storage, b.data());
  EXPECT_STREQ("abcdefg", b.data());
  StringBuffer fits(StringBuffer::Storage{storage, 7}), other("x");
  fits.append("abc");
  EXPECT_EQ(storage, fits.data());
  fits.swap(other);  // each destructor then frees only its own block
  EXPECT_STREQ("abc", other.data());
  EXPECT_EQ(7, other.capacity());
}

TEST(StringBuffer, AfterLosingStorageWritesDoNothingAndNeverRevive) {
  StringBuffer grown("abc"), reserved("abc");
  grown.grow(INT_MAX);
  reserved.setGrowthPercent(100);
  reserved.reserve(INT_MAX / 2 + 1);  // twice that does not fit an int
  for (StringBuffer* b : {&grown, &reserved}) {
    ASSERT_EQ(nullptr, b->data());
    b->append("more");
    b->appendN("more", 4);
    b->appendChar('x');
    b->appendInt(7);
    b->assign("text");
    b->setLength(0);
    b->toUpper();
    b->grow(1);
    EXPECT_EQ(nullptr, b->data());
    EXPECT_EQ(3, b->length());
    EXPECT_EQ(-1, b->find("a"));
    EXPECT_EQ(31, b->substring(0).capacity());
  }
}

}  // namespace
