// UTF-16 rows written in one pass against the same rows converted and appended
// piece by piece: the same bytes and the same growth, on random rows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/Utf16Row.h"
#include "host/Trace.h"
#include "support/GuardedPage.h"
#include "support/ReferenceEscape.h"
#include "support/TraceCapture.h"
#include "util/AlignedBlocks.h"
#include "util/StringBuffer.h"
#include "util/Utf16.h"

namespace {

// Values are made of plain runs, the six, units at the edges of each UTF-8 length, a pair, lone surrogates.
const std::u16string kPieces[] = {
    u"a",      u"Zq09 -_.:/", u"&",      u"<",      u">",      u"\"",     u"'",      u"\n",
    u"\x7f",   u"\u0080",     u"\xe9",   u"\u07ff", u"\u0800", u"\u20ac", u"\uffff", u"\U0001F600",
    u"\xd800", u"\xdbff",     u"\xdc00", u"\xdfff", u"\xd7ff", u"\xe000",
};
constexpr size_t kPlainPieces = 2;  // the first pieces, drawn most of the time

// A random row: each value a copy in a block of exactly its size (the address
// sanitizer then sees any read past a terminator) or ending at an inaccessible
// page, now and then a null; blocks keeps the copies.
std::vector<char16_t*> randomRow(std::mt19937& random, GuardedPage& page,
                                 std::vector<std::unique_ptr<char16_t[]>>& blocks) {
  std::vector<char16_t*> row(random() % 13);
  size_t maxPieces = random() % 6 ? 30 : 400;
  size_t guarded = random() % (row.size() + 1);
  for (size_t i = 0; i < row.size(); i++) {
    std::u16string value;
    size_t kind = random() % 10;  // 0: the six only, to outgrow the bound; 1: any piece; else mostly plain
    for (size_t k = random() % (maxPieces + 1); k > 0; k--)
      value += kind == 0                        ? kPieces[kPlainPieces + random() % 6]
               : kind == 1 || random() % 5 == 0 ? kPieces[random() % (sizeof kPieces / sizeof kPieces[0])]
                                                : kPieces[random() % kPlainPieces];
    if (i == guarded) {
      row[i] = page.atPageEnd(value);
    } else if (random() % 12) {
      blocks.emplace_back(new char16_t[value.size() + 1]);
      row[i] = static_cast<char16_t*>(memcpy(blocks.back().get(), value.c_str(), (value.size() + 1) * 2));
    }
  }
  return row;
}

// The row as reserving its bound, converting each value and appending it piece by piece give it.
void reserveThenAppendByPieces(StringBuffer& buffer, char16_t** values, int count) {
  std::vector<std::string> converted;
  int64_t need = buffer.length() + 640;
  for (int i = 0; i < count; i++) {
    char* copy = utf16ToUtf8Copy(values[i]);
    converted.emplace_back(copy ? copy : "");
    free(copy);
    if (values[i]) need += static_cast<int64_t>(converted.back().size()) + 18;
  }
  buffer.reserve(static_cast<int>(need));
  buffer.append("<in><al>");
  for (const std::string& value : converted) {
    buffer.append("<a v=\"");
    buffer.append(referenceEscape(value).c_str());
    buffer.append("\"/>");
  }
  buffer.append("</al></in>");
}

// Appends the row to both buffers, in one pass (values read as scan says) and
// piece by piece, and compares them.
void appendToBoth(StringBuffer& fused, StringBuffer& mirror, char16_t** row, int count, TextScan scan = FASTEST_SCAN) {
  reserveThenAppendByPieces(mirror, row, count);
  int64_t need = 0;
  ASSERT_TRUE(reserveAndAppendUtf16Row(fused, row, count, &need, scan)) << need;
  ASSERT_NE(nullptr, fused.data());
  EXPECT_EQ(std::string(mirror.data(), mirror.length()), std::string(fused.data(), fused.length()));
  EXPECT_EQ(mirror.capacity(), fused.capacity());
}

// Random rows through both forms, counting the non-null values in *values; the
// buffers start over now and then, with a capacity from too small to ample.
void compareRandomRows(unsigned seed, int rounds, int* values, TextScan scan = FASTEST_SCAN) {
  GuardedPage page;
  ASSERT_TRUE(page.ok());
  std::mt19937 random(seed);
  std::unique_ptr<StringBuffer> fused, mirror;
  for (int round = 0; round < rounds && !::testing::Test::HasFailure(); round++) {
    SCOPED_TRACE(round);
    if (!fused || random() % 8 == 0) {
      std::string head(random() % 60, 'h');
      int capacity = static_cast<int>(random() % 700);
      for (auto* buffer : {&fused, &mirror}) {
        buffer->reset(new StringBuffer(capacity));
        (*buffer)->setGrowthPercent(100);
        (*buffer)->append(head.c_str());
      }
    }
    std::vector<std::unique_ptr<char16_t[]>> blocks;
    std::vector<char16_t*> row = randomRow(random, page, blocks);
    appendToBoth(*fused, *mirror, row.data(), static_cast<int>(row.size()), scan);
    for (char16_t* value : row) *values += value != nullptr;
  }
}

TEST(FusedRow, GivesThePiecewiseBytesAndGrowthForRandomRows) {
  for (TextScan scan : {TextScan::BLOCKS, TextScan::UNITS}) {
    SCOPED_TRACE(scan == TextScan::BLOCKS ? "blocks" : "units");
    int values = 0;
    compareRandomRows(11, 600, &values, scan);
  }
}

// Values of every length up to a few pairs of blocks, starting at every unit of
// a block or ending at the last unit of a page, each with a piece of each kind
// at its start, middle and end: both scans give the piecewise bytes.
TEST(FusedRow, BothScansGiveThePiecewiseBytesAtEveryAlignmentLengthAndPageEnd) {
  GuardedPage page;
  ASSERT_TRUE(page.ok());
  alignas(16) char16_t area[80];
  for (const std::u16string& piece : kPieces) {
    for (size_t length = 0; length <= 40; length++) {
      for (size_t at : {size_t{0}, length / 2, length}) {
        std::u16string value = std::u16string(length, u'v').insert(at, piece);
        for (size_t offset = 0; offset <= 8; offset++) {  // 8: at the page end
          SCOPED_TRACE(std::to_string(length) + " units, piece at " + std::to_string(at) + ", offset " +
                       std::to_string(offset));
          const char16_t* text = value.c_str();
          char16_t* v = offset < 8 ? std::copy(text, text + value.size() + 1, area + offset) - value.size() - 1
                                   : page.atPageEnd(value);
          char16_t* row[] = {v, nullptr, v};
          for (TextScan scan : {TextScan::BLOCKS, TextScan::UNITS}) {
            StringBuffer fused(2000), mirror(2000);
            appendToBoth(fused, mirror, row, 3, scan);
          }
        }
      }
    }
  }
}

// While escaping is traced every value still passes through substituteEntries.
TEST(FusedRow, EscapingTracedTakesThePiecewisePathWithTheSameResult) {
  TraceCapture trace(TRC_EVENTS);
  int values = 0;
  compareRandomRows(12, 60, &values);
  EXPECT_EQ(values, trace.count("> entry")) << trace.dump();  // the mirror escapes without the library
}

// References that outgrow the bound: the row ends at every place around the
// capacity without the reserve growing the buffer first.
TEST(FusedRow, RowsEndingAroundTheCapacityGrowAsPiecewise) {
  std::u16string quotes(200, u'"'), mixed = u"a\xe9\U0001F600<";
  char16_t* row[] = {&mixed[0], nullptr, &quotes[0]};
  for (int capacity = 1200; capacity < 1300; capacity++) {
    SCOPED_TRACE(capacity);
    StringBuffer fused(capacity), mirror(capacity);
    fused.setGrowthPercent(100);
    mirror.setGrowthPercent(100);
    appendToBoth(fused, mirror, row, 3);
  }
}

}  // namespace
