// A test text in a heap block of exactly its size, NUL-terminated, for parsers
// that work in place: AddressSanitizer flags any byte touched past its terminator.
#ifndef CPCLIENT_TESTS_SUPPORT_DOCUMENT_H
#define CPCLIENT_TESTS_SUPPORT_DOCUMENT_H

#include <cstdlib>
#include <cstring>
#include <string>

// Owns its copy of the text; text stays valid and writable until destruction.
struct Document {
  explicit Document(const std::string& s) : text(static_cast<char*>(malloc(s.size() + 1))) {
    memcpy(text, s.c_str(), s.size() + 1);
  }
  ~Document() { free(text); }
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  char* text;
};

#endif  // CPCLIENT_TESTS_SUPPORT_DOCUMENT_H
