// Values and counts compared with what an expect accepts.
#include "Match.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "Excerpt.h"
#include "Scenario.h"

namespace {

// The index just past the digits from at.
std::size_t skipDigits(const std::string& text, std::size_t at) {
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) at++;
  return at;
}

std::string numberText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

bool readDecimal(const std::string& text, double& value) {
  std::size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  std::size_t digits = skipDigits(text, at);
  if (digits == at) return false;
  at = digits;
  if (at < text.size() && text[at] == '.') {
    at = skipDigits(text, at + 1);
    if (at == digits + 1) return false;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    std::size_t sign = at + 1 < text.size() && (text[at + 1] == '-' || text[at + 1] == '+') ? at + 2 : at + 1;
    at = skipDigits(text, sign);
    if (at == sign) return false;
  }
  if (at != text.size()) return false;
  value = std::strtod(text.c_str(), nullptr);
  return true;
}

bool compilePattern(const std::string& text, ValueMatch& match, std::string& error) {
  try {
    match.pattern = std::make_shared<const std::regex>(text, std::regex::ECMAScript);
  } catch (const std::regex_error& failure) {
    error = "pattern " + quotedExcerpt(text) + " is not a regular expression: " + failure.what();
    return false;
  }
  match.kind = ValueMatch::PATTERN;
  match.text = text;
  return true;
}

std::string mismatch(const ValueMatch& match, const std::string& value) {
  std::string found = quotedExcerpt(value);
  if (match.kind == ValueMatch::EXACT) return value == match.text ? "" : found;
  if (match.kind == ValueMatch::PATTERN) {
    if (value.size() > MAX_PATTERN_SUBJECT) return found + ", too long to match a pattern";
    return std::regex_search(value, *match.pattern)
               ? ""
               : found + ", which " + quotedExcerpt(match.text) + " does not match";
  }
  double number = 0;
  if (!readDecimal(value, number)) return found + ", not a number";
  if ((match.minimum && number < *match.minimum) || (match.maximum && number > *match.maximum))
    return found + ", outside " + (match.minimum ? numberText(*match.minimum) : "") + ".." +
           (match.maximum ? numberText(*match.maximum) : "");
  return "";
}

bool readCount(const std::string& text, CountMatch& count) {
  bool bounded = text.size() > 2 && (text.compare(0, 2, ">=") == 0 || text.compare(0, 2, "<=") == 0);
  count.compare = !bounded ? CountMatch::EXACTLY : text[0] == '>' ? CountMatch::AT_LEAST : CountMatch::AT_MOST;
  return parseNumber(bounded ? text.substr(2) : text, 0, LONG_MAX, count.number);
}

bool holds(const CountMatch& count, long found) {
  switch (count.compare) {
    case CountMatch::AT_LEAST: return found >= count.number;
    case CountMatch::AT_MOST: return found <= count.number;
    case CountMatch::EXACTLY: break;
  }
  return found == count.number;
}

std::string countText(const CountMatch& count) {
  const char* prefix = count.compare == CountMatch::AT_LEAST ? ">=" : count.compare == CountMatch::AT_MOST ? "<=" : "";
  return prefix + std::to_string(count.number);
}
