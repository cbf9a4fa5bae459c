// Rows written in place against rows appended piece by piece: the same bytes
// and the same growth, on random rows.
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/ApiFixture.h"
#include "api/DataResponse.h"
#include "api/RowFormat.h"
#include "host/Trace.h"
#include "support/GuardedPage.h"
#include "support/ReferenceEscape.h"
#include "support/TraceCapture.h"
#include "util/AlignedBlocks.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

namespace {

// The row as the piecewise form appends it: each piece through append, so the
// buffer grows exactly where each piece needs it.
void appendByPieces(StringBuffer& buffer, const std::vector<const char*>& row) {
  buffer.append("<in><al>");
  for (const char* value : row) {
    buffer.append("<a v=\"");
    if (value) buffer.append(referenceEscape(value).c_str());
    buffer.append("\"/>");
  }
  buffer.append("</al></in>");
}

// Values of 0 to maxLength bytes, plain or with specials (sometimes nothing
// else), and now and then null.
class RandomRows {
 public:
  explicit RandomRows(unsigned seed) : random_(seed) {}
  std::vector<std::string> values(size_t maxLength) {
    std::vector<std::string> out(random_() % 13);
    for (std::string& value : out) {
      size_t length = random_() % (maxLength + 1);
      int kind = static_cast<int>(random_() % 10);
      for (size_t k = 0; k < length; k++) {
        static const char SPECIALS[] = "&<>\"'\n";
        static const char OTHERS[] = "az09 \t\r\x7f\xc3\xa9=;#";
        if (kind == 0 || (kind < 3 && random_() % 8 == 0))
          value += SPECIALS[random_() % 6];
        else
          value += OTHERS[random_() % (sizeof OTHERS - 1)];
      }
    }
    return out;
  }
  bool oneIn(unsigned n) { return random_() % n == 0; }
  unsigned below(unsigned n) { return random_() % n; }

 private:
  std::mt19937 random_;
};

// A row of copies of values, each in a block of exactly its size so that the
// address sanitizer sees any read past a terminator, now and then a null.
class ExactRow {
 public:
  ExactRow(const std::vector<std::string>& values, RandomRows& random) {
    for (const std::string& value : values) {
      if (random.oneIn(12)) {
        row_.push_back(nullptr);
        continue;
      }
      blocks_.emplace_back(new char[value.size() + 1]);
      memcpy(blocks_.back().get(), value.c_str(), value.size() + 1);
      row_.push_back(blocks_.back().get());
    }
  }
  char** data() { return const_cast<char**>(row_.data()); }
  int count() const { return static_cast<int>(row_.size()); }
  const std::vector<const char*>& pointers() const { return row_; }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<const char*> row_;
};

// Random rows appended in place with values read as scan says, against the
// piecewise form, in buffers of every capacity from too small to ample.
void appendRandomRowsAsPiecewise(TextScan scan) {
  RandomRows random(3);
  for (int round = 0; round < 3000; round++) {
    SCOPED_TRACE(round);
    std::vector<std::string> values = random.values(random.oneIn(4) ? 80 : 24);
    ExactRow exact(values, random);
    const std::vector<const char*>& row = exact.pointers();
    // A buffer with some text and a capacity anywhere from too small to ample.
    StringBuffer buffer(static_cast<int>(random.below(600)));
    buffer.append(std::string(random.below(40), 'h').c_str());
    StringBuffer expected(buffer);
    appendByPieces(expected, row);
    appendRow(buffer, exact.data(), exact.count(), scan);
    ASSERT_NE(nullptr, buffer.data());
    EXPECT_EQ(std::string(expected.data()), std::string(buffer.data()));
    EXPECT_EQ(expected.length(), buffer.length());
    EXPECT_EQ(expected.capacity(), buffer.capacity());
    EXPECT_EQ(0, buffer.data()[buffer.length()]);
  }
}

TEST(InPlaceRow, AppendRowGivesThePiecewiseBytesAndGrowthAtEveryCapacity) {
  for (TextScan scan : {TextScan::BLOCKS, TextScan::UNITS}) {
    SCOPED_TRACE(scan == TextScan::BLOCKS ? "blocks" : "units");
    appendRandomRowsAsPiecewise(scan);
  }
}

// Values of every length up to a few blocks, starting at every byte of a block
// or ending at the last byte of a page, each with a piece of each kind at its
// start, middle and end: both scans give the piecewise bytes, in place and
// through reserveAndAppendRow.
TEST(InPlaceRow, BothScansGiveThePiecewiseBytesAtEveryAlignmentLengthAndPageEnd) {
  GuardedPage page;
  ASSERT_TRUE(page.ok());
  const std::string kPieces[] = {"", "&", "<", ">", "\"", "'", "\n", "\t", "\x7f", "\xc3\xa9", "&&<<\n\n"};
  alignas(16) char area[96];
  for (const std::string& piece : kPieces) {
    for (size_t length = 0; length <= 60; length++) {
      for (size_t at : {size_t{0}, length / 2, length}) {
        std::string value = std::string(length, 'v').insert(at, piece);
        for (size_t offset = 0; offset <= 16; offset++) {  // 16: at the page end
          SCOPED_TRACE(std::to_string(length) + " bytes, piece at " + std::to_string(at) + ", offset " +
                       std::to_string(offset));
          char* v = offset < 16 ? static_cast<char*>(memcpy(area + offset, value.c_str(), value.size() + 1))
                                : page.atPageEnd(value);
          std::vector<const char*> row = {v, nullptr, v};
          for (TextScan scan : {TextScan::BLOCKS, TextScan::UNITS}) {
            StringBuffer expected(2000), inPlace(2000), reserved(2000);
            appendByPieces(expected, row);
            appendRow(inPlace, const_cast<char**>(row.data()), 3, scan);
            int64_t need = 0;
            ASSERT_TRUE(reserveAndAppendRow(reserved, const_cast<char**>(row.data()), nullptr, 3, &need, scan));
            EXPECT_EQ(std::string(expected.data()), std::string(inPlace.data()));
            EXPECT_EQ(std::string(expected.data()), std::string(reserved.data()));
            EXPECT_EQ(640 + 2 * (18 + static_cast<int64_t>(value.size())), need);
          }
        }
      }
    }
  }
}

TEST(InPlaceRow, ValuesEndingAtAPageEndAreNeverReadPastTheirTerminator) {
  GuardedPage page;
  ASSERT_TRUE(page.ok());
  RandomRows random(5);
  for (int round = 0; round < 400; round++) {
    SCOPED_TRACE(round);
    std::string value(static_cast<size_t>(round), 'v');
    if (round >= 70) {
      std::vector<std::string> values;
      while (values.empty()) values = random.values(60);
      value = values.front();
    }
    char* guarded = page.atPageEnd(value);
    char* row[] = {guarded, guarded};
    StringBuffer buffer(4096);
    appendRow(buffer, row, 2);
    EXPECT_EQ("<in><al><a v=\"" + referenceEscape(value) + "\"/><a v=\"" + referenceEscape(value) + "\"/></al></in>",
              std::string(buffer.data()));
    char* copy = nullptr;
    substituteEntries(guarded, &copy);
    EXPECT_EQ(referenceEscape(value), copy ? std::string(copy) : value);
    EXPECT_EQ(copy == nullptr, referenceEscape(value) == value);
    free(copy);
  }
}

// The entry events of substituteEntries among the captured lines.
int escapingEntries(const TraceCapture& trace) {
  int entries = 0;
  for (const CapturedLine& line : trace.lines())
    if (line.function == "substituteEntries" && line.text == "> entry") entries++;
  return entries;
}

class InPlaceResponse : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    setenv("CDP_VEXA_INITIAL_SIZE", "256", 1);
    openRegistered({{"Procs", 7}});
    CPREQUEST* r = requestFor("<dataRequest id=\"17\"><attrGroup name=\"Procs\"/></dataRequest>\n");
    ASSERT_EQ(DATA_REQUEST, r->requestType);
    cpdll_FreeRequest(r);
  }
  void TearDown() override {
    ApiTest::TearDown();
    unsetenv("CDP_VEXA_INITIAL_SIZE");
  }
  static StringBuffer* groupBuffer() { return static_cast<AGPTR*>(cpContext.registry->get("Procs"))->responseBuffer; }
};

// Each row reserves the size bound and is then appended piece by piece; a
// mirror buffer that does just that must match the group's buffer throughout.
TEST_F(InPlaceResponse, RowsGrowTheGroupBufferExactlyAsReserveThenAppendDoes) {
  StringBuffer* buffer = groupBuffer();
  StringBuffer mirror(buffer->capacity());
  mirror.setGrowthPercent(buffer->growthPercent());
  mirror.append("<dataResponse id=\"17\"><attrGroup name=\"Procs\">");
  RandomRows random(9);
  for (int round = 0; round < 300; round++) {
    SCOPED_TRACE(round);
    std::vector<std::string> values = random.values(random.oneIn(5) ? 200 : 30);
    ExactRow exact(values, random);
    const std::vector<const char*>& row = exact.pointers();
    int64_t need = mirror.length() + 640;
    for (const char* value : row)
      if (value) need += static_cast<int64_t>(strlen(value)) + 18;
    mirror.reserve(static_cast<int>(need));
    appendByPieces(mirror, row);
    ASSERT_EQ(CP_OK, cp_SetAttributeValues(exact.data(), exact.count(), "17"));
    ASSERT_EQ(mirror.capacity(), buffer->capacity());
    ASSERT_EQ(mirror.length(), buffer->length());
    ASSERT_EQ(std::string(mirror.data()), std::string(buffer->data()));
  }
}

// With entry and exit events on, every value still passes through
// substituteEntries, one traced call each, as in the piecewise form; also when
// the buffer has room for the row already.
TEST_F(InPlaceResponse, EscapingIsTracedForEveryValueWhenEventsAreOn) {
  const char* first[] = {"grows the buffer"};
  ASSERT_EQ(CP_OK, cp_SetAttributeValues(const_cast<char**>(first), 1, "17"));
  int capacity = groupBuffer()->capacity();
  char* row[] = {const_cast<char*>("plain"), nullptr, const_cast<char*>("a&b"), const_cast<char*>("")};
  {
    TraceCapture trace(TRC_EVENTS);
    ASSERT_EQ(CP_OK, cp_SetAttributeValues(row, 4, "17"));
    EXPECT_EQ(3, escapingEntries(trace)) << trace.dump();
  }
  {
    TraceCapture trace(TRC_EVENTS);
    appendRow(*groupBuffer(), row, 4);
    EXPECT_EQ(3, escapingEntries(trace)) << trace.dump();
  }
  EXPECT_EQ(capacity, groupBuffer()->capacity());
  const std::string escapedRow =
      "<in><al><a v=\"plain\"/><a v=\"\"/><a "
      "v=\"a&amp;b\"/><a v=\"\"/></al></in>";
  EXPECT_EQ(
      "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a "
      "v=\"grows the buffer\"/></al></in>" +
          escapedRow + escapedRow,
      std::string(groupBuffer()->data()));
}

}  // namespace
