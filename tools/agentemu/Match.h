// What an expect accepts of a value or a count: a value exactly, any number (within a
// range), or a text that a pattern matches; a count exactly, at least or at most.
//
// Live values (counters, free space, times) move between a recording and its replay:
// these forms let a script check their kind and bounds where the value itself cannot
// be known. Plain values; copies share the compiled pattern, which is read-only.
#ifndef AGENTEMU_MATCH_H
#define AGENTEMU_MATCH_H

#include <memory>
#include <optional>
#include <regex>
#include <string>

// A value longer than this is not handed to the pattern: std::regex recurses once per
// character, and a provider's value can be megabytes long.
const std::size_t MAX_PATTERN_SUBJECT = 4096;

struct ValueMatch {
  enum Kind { EXACT, NUMBER, PATTERN };
  Kind kind = EXACT;
  std::string text;                           // EXACT: the value; PATTERN: the pattern as written
  std::optional<double> minimum, maximum;     // NUMBER: the inclusive bounds, each optional
  std::shared_ptr<const std::regex> pattern;  // PATTERN: text compiled (ECMAScript)
};

// Reads text as a decimal number: [-+]DIGITS[.DIGITS][(e|E)[-+]DIGITS], nothing around it.
// False for anything else (blanks, hex, "inf", "nan", an empty text).
bool readDecimal(const std::string& text, double& value);

// Compiles text as match's ECMAScript pattern; false with error set when it is not one.
bool compilePattern(const std::string& text, ValueMatch& match, std::string& error);

// "" when value is what match accepts; else how value falls short, after the value
// quoted: "\"abc\", not a number", "\"7\", outside 0..5", "\"x\", which \"^a\" does not match".
std::string mismatch(const ValueMatch& match, const std::string& value);

// How a found count is compared with the number expected.
struct CountMatch {
  enum Compare { EXACTLY, AT_LEAST, AT_MOST };
  Compare compare = EXACTLY;
  long number = 0;
};

// Reads "N", ">=N" or "<=N" (N from 0); false for anything else.
bool readCount(const std::string& text, CountMatch& count);
bool holds(const CountMatch& count, long found);
// The count as a script writes it: "3", ">=3" or "<=3".
std::string countText(const CountMatch& count);

#endif
