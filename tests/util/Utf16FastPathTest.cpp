// The block-wise UTF-16 conversion against a plain unit-by-unit encoder, on
// random texts at every alignment and page end, and its runs against the
// unit-by-unit ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "support/GuardedPage.h"
#include "util/AlignedBlocks.h"
#include "util/Utf16.h"

namespace {

// The UTF-8 form with its terminator, one unit at a time: a pair as 4 bytes, a
// lone surrogate as U+FFFD.
std::string reference(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      i++;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out += '\0';
  return out;
}

// Mostly ASCII runs of random length, broken by every kind of other unit.
std::u16string randomText(std::mt19937& random, size_t length) {
  static const char16_t OTHERS[] = {0x80,   0xE9,   0x7FF,  0x800,  0x20AC, 0xFFFF,
                                    0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0x7F,   0x1};
  std::u16string text;
  while (text.size() < length) {
    int pick = static_cast<int>(random() % 10);
    if (pick < 7) {
      size_t run = random() % 40;
      for (size_t k = 0; k < run && text.size() < length; k++) text += static_cast<char16_t>(0x20 + random() % 0x5F);
    } else if (pick < 9) {
      text += OTHERS[random() % (sizeof OTHERS / sizeof OTHERS[0])];
    } else if (text.size() + 2 <= length) {
      text += static_cast<char16_t>(0xD800 + random() % 0x400);  // a pair
      text += static_cast<char16_t>(0xDC00 + random() % 0x400);
    }
  }
  return text;
}

void expectConvertsLikeTheReference(const char16_t* text, const std::string& expected) {
  EXPECT_EQ(expected.size(), utf8Length(text));

  std::string out(expected.size() + 64, '#');
  utf16ToUtf8(text, &out[0]);
  EXPECT_EQ(expected, out.substr(0, expected.size()));
  EXPECT_EQ(std::string(64, '#'), out.substr(expected.size())) << "wrote past its terminator";

  // Bounded, with room to spare, with the exact room, and one byte short.
  std::string roomy(expected.size() + 64, '#');
  EXPECT_EQ(expected.size(), utf16ToUtf8Bounded(text, &roomy[0], roomy.size()));
  EXPECT_EQ(expected, roomy.substr(0, expected.size()));
  std::string exact(expected.size() + 64, '#');
  EXPECT_EQ(expected.size(), utf16ToUtf8Bounded(text, &exact[0], expected.size()));
  EXPECT_EQ(expected, exact.substr(0, expected.size()));
  EXPECT_EQ(std::string(64, '#'), exact.substr(expected.size())) << "wrote past its room";
  std::string small(expected.size() + 64, '#');
  EXPECT_EQ(0u, utf16ToUtf8Bounded(text, &small[0], expected.size() - 1));
  EXPECT_EQ(std::string(65, '#'), small.substr(expected.size() - 1)) << "wrote past its room";

  char* copy = utf16ToUtf8Copy(text);
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(expected, std::string(copy, expected.size()));
  free(copy);
}

TEST(Utf16FastPath, RandomTextsConvertAsUnitByUnitAtEveryOffset) {
  std::mt19937 random(7);
  for (int round = 0; round < 400; round++) {
    std::u16string text = randomText(random, random() % 90);
    std::string expected = reference(text);
    // Every start offset over 16 units (32 bytes), so that blocks and windows
    // fall anywhere.
    std::u16string padded(16 + text.size() + 1, u'\0');
    for (size_t offset = 0; offset < 16; offset++) {
      SCOPED_TRACE("round " + std::to_string(round) + " offset " + std::to_string(offset));
      std::copy(text.begin(), text.end(), padded.begin() + static_cast<std::ptrdiff_t>(offset));
      padded[offset + text.size()] = 0;
      expectConvertsLikeTheReference(padded.c_str() + offset, expected);
    }
  }
}

TEST(Utf16FastPath, AsciiRunsOfEveryLengthAroundTheBlocksConvertExactly) {
  for (size_t length = 0; length <= 70; length++) {
    SCOPED_TRACE(length);
    std::u16string text;
    for (size_t k = 0; k < length; k++) text += static_cast<char16_t>('a' + k % 26);
    expectConvertsLikeTheReference(text.c_str(), reference(text));
    // The same run followed by one unit of each other kind.
    for (char16_t tail : {char16_t(0xE9), char16_t(0x4E2D), char16_t(0xD83D), char16_t(0x7F)}) {
      std::u16string mixed = text + tail + u"xyz";
      expectConvertsLikeTheReference(mixed.c_str(), reference(mixed));
    }
  }
}

TEST(Utf16FastPath, TextEndingAtAPageEndIsNeverReadPastItsTerminator) {
  GuardedPage page;
  ASSERT_TRUE(page.ok());
  std::mt19937 random(11);
  for (int round = 0; round < 300; round++) {
    SCOPED_TRACE(round);
    std::u16string text =
        round < 64 ? std::u16string(static_cast<size_t>(round), u'q') : randomText(random, random() % 70);
    expectConvertsLikeTheReference(page.atPageEnd(text), reference(text));
  }
}

// A policy that also ends a run at '&', as the row's does at its five.
struct EndsAtAmpersand {
  static bool plain(uint32_t unit) { return AnyAscii::plain(unit) && unit != '&'; }
#if defined(__SSE2__)
  static __m128i plainBytes(__m128i bytes) {
    return _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('&')), AnyAscii::plainBytes(bytes));
  }
#endif
};

// The run at text through both scans: where each stops and the bytes before that.
template <class Plain>
void expectBothScansAgree(const char16_t* text) {
  char blocks[128], units[128];
  char *blocksEnd = blocks, *unitsEnd = units;
  const char16_t* blocksStop = copyAsciiRun<TextScan::BLOCKS, Plain>(text, &blocksEnd, blocks + sizeof blocks);
  const char16_t* unitsStop = copyAsciiRun<TextScan::UNITS, Plain>(text, &unitsEnd, units + sizeof units);
  ASSERT_EQ(unitsStop - text, blocksStop - text);
  EXPECT_EQ(std::string(units, unitsEnd), std::string(blocks, blocksEnd));
  EXPECT_EQ(unitsEnd - units, unitsStop - text);
  EXPECT_EQ(skipAsciiRun<TextScan::UNITS>(text), skipAsciiRun<TextScan::BLOCKS>(text));
}

// Runs of every length up to four pairs of blocks, starting at every unit of a
// block and ending at the last unit of a page, each ended by each kind of unit.
TEST(Utf16FastPath, BlockAndUnitRunsStopAtTheSameUnitAtEveryAlignmentAndPageEnd) {
  GuardedPage page;
  ASSERT_TRUE(page.ok());
  const char16_t kEnds[] = {0, u'&', 0x1F, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xD83D, 0xFFFF};
  alignas(16) char16_t area[96];
  for (char16_t end : kEnds) {
    for (size_t length = 0; length <= 66; length++) {
      std::u16string text(length, u'q');
      if (end) text += std::u16string{end, u'r', u's'};
      for (size_t offset = 0; offset <= 8; offset++) {  // 8: at the page end
        SCOPED_TRACE("end " + std::to_string(end) + " length " + std::to_string(length) + " offset " +
                     std::to_string(offset));
        char16_t* at = offset < 8 ? std::copy(text.begin(), text.end(), area + offset) - text.size() : nullptr;
        if (at) at[text.size()] = 0;
        at = at ? at : page.atPageEnd(text);
        expectBothScansAgree<AnyAscii>(at);
        expectBothScansAgree<EndsAtAmpersand>(at);
      }
    }
  }
}

}  // namespace
