// The escaping of attribute values written the plainest way, for comparing the
// library's output with: & < > " ' and line feed become their references.
#ifndef CPCLIENT_TESTS_SUPPORT_REFERENCEESCAPE_H
#define CPCLIENT_TESTS_SUPPORT_REFERENCEESCAPE_H

#include <string>

inline std::string referenceEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\n': out += "&#10;"; break;
      default: out += c;
    }
  }
  return out;
}

#endif  // CPCLIENT_TESTS_SUPPORT_REFERENCEESCAPE_H
