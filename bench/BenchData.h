// Deterministic data sets of the benchmarks: table rows in UTF-8 and UTF-16, and one data request.
#ifndef CPCLIENT_BENCH_BENCHDATA_H
#define CPCLIENT_BENCH_BENCHDATA_H

#include <cstdint>
#include <string>
#include <vector>

// rows x columns values, each held in UTF-8 and in UTF-16, with row-major pointer
// arrays in the shape the library takes them. The pointers stay valid for the
// object's lifetime; the object must not be copied once built.
class RowSet {
 public:
  // Values of minLength to maxLength ASCII bytes; escapeEvery-th value (counted
  // over the whole set, 0: none) gets one byte replaced by the next of specials.
  RowSet(int rows, int columns, int minLength, int maxLength, int escapeEvery, const std::string& specials,
         uint32_t seed);
  RowSet(const RowSet&) = delete;
  RowSet& operator=(const RowSet&) = delete;

  int rows() const { return rows_; }
  int columns() const { return columns_; }
  char** row(int r) { return &values_[static_cast<size_t>(r) * columns_]; }
  char16_t** row16(int r) { return &values16_[static_cast<size_t>(r) * columns_]; }
  const std::string& text(int r, int c) const { return text_[static_cast<size_t>(r) * columns_ + c]; }
  // Bytes of all values together, and how many values hold a special character.
  size_t valueBytes() const { return valueBytes_; }
  int escapedValues() const { return escapedValues_; }

 private:
  int rows_;
  int columns_;
  size_t valueBytes_;
  int escapedValues_;
  std::vector<std::string> text_;
  std::vector<std::u16string> text16_;
  std::vector<char*> values_;
  std::vector<char16_t*> values16_;
};

// A typical data request of the agent: id, requestStartedID, subnode, the group
// and three requestInfo filters, one of them with an escaped value; ends with ">\n".
std::string dataRequestMessage(const std::string& id, const std::string& group);

// UTF-16 text of count code units: pure ASCII, or mixed (ASCII with Latin, Greek,
// CJK and a few surrogate pairs), always well-formed.
std::u16string asciiText16(size_t count, uint32_t seed);
std::u16string mixedText16(size_t count, uint32_t seed);

// A NUL-terminated copy of text as a UTF-16 string for the library's entry points.
std::u16string toUtf16(const std::string& ascii);

#endif  // CPCLIENT_BENCH_BENCHDATA_H
