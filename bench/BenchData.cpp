// Deterministic data sets of the benchmarks.
#include "BenchData.h"

namespace {

// xorshift32: the same data on every run and every machine.
class Random {
 public:
  explicit Random(uint32_t seed) : state_(seed ? seed : 1) {}
  uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }

 private:
  uint32_t state_;
};

constexpr const char* VALUE_ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -_.:/";

}  // namespace

std::u16string toUtf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

RowSet::RowSet(int rows, int columns, int minLength, int maxLength, int escapeEvery, const std::string& specials,
               uint32_t seed)
    : rows_(rows), columns_(columns), valueBytes_(0), escapedValues_(0) {
  Random random(seed);
  size_t count = static_cast<size_t>(rows) * columns;
  const std::string alphabet = VALUE_ALPHABET;
  text_.reserve(count);
  size_t nextSpecial = 0;
  for (size_t i = 0; i < count; i++) {
    int length = minLength + random.below(maxLength - minLength + 1);
    std::string value;
    for (int k = 0; k < length; k++) value += alphabet[random.below(static_cast<int>(alphabet.size()))];
    if (escapeEvery > 0 && !specials.empty() && i % escapeEvery == static_cast<size_t>(escapeEvery / 2)) {
      value[random.below(length)] = specials[nextSpecial++ % specials.size()];
      escapedValues_++;
    }
    valueBytes_ += value.size();
    text_.push_back(value);
  }
  text16_.reserve(count);
  for (const std::string& value : text_) text16_.push_back(toUtf16(value));
  for (std::string& value : text_) values_.push_back(&value[0]);
  for (std::u16string& value : text16_) values16_.push_back(&value[0]);
}

std::string dataRequestMessage(const std::string& id, const std::string& group) {
  return "<dataRequest id=\"" + id +
         "\" requestStartedID=\"4711\" subnode=\"SYS:host01:OS\">"
         "<attrGroup name=\"" +
         group +
         "\"/>"
         "<requestInfo name=\"PID\" value=\"1234\" op=\"EQ\"/>"
         "<requestInfo name=\"USER\" value=\"root &amp; ops\" op=\"NE\" logOp=\"AND\"/>"
         "<requestInfo name=\"STATE\" value=\"R\" op=\"EQ\" logOp=\"OR\"/>"
         "</dataRequest>\n";
}

std::u16string asciiText16(size_t count, uint32_t seed) {
  Random random(seed);
  const std::string alphabet = VALUE_ALPHABET;
  std::u16string text;
  text.reserve(count);
  while (text.size() < count) text += static_cast<char16_t>(alphabet[random.below(static_cast<int>(alphabet.size()))]);
  return text;
}

std::u16string mixedText16(size_t count, uint32_t seed) {
  Random random(seed);
  const std::string alphabet = VALUE_ALPHABET;
  static const char16_t TWO_BYTE[] = u"\u00e9\u00fc\u00df\u00f1\u03b1\u03b2\u0416\u05d0";
  static const char16_t THREE_BYTE[] = u"\u4e2d\u6587\u65e5\u672c\u20ac\u2013";
  std::u16string text;
  text.reserve(count);
  while (text.size() < count) {
    int pick = random.below(100);
    if (pick < 70) {
      text += static_cast<char16_t>(alphabet[random.below(static_cast<int>(alphabet.size()))]);
    } else if (pick < 88) {
      text += TWO_BYTE[random.below(8)];
    } else if (pick < 98 || text.size() + 2 > count) {
      text += THREE_BYTE[random.below(6)];
    } else {
      text += u"\U0001F600";  // a surrogate pair
    }
  }
  return text;
}
