// UTF-16 to UTF-8 conversion of NUL-terminated texts.
#ifndef CPCLIENT_UTIL_UTF16_H
#define CPCLIENT_UTIL_UTF16_H

#include <cstddef>

// The number of bytes of the UTF-8 form of text, its terminator included. A
// surrogate pair takes 4 bytes; a lone surrogate becomes U+FFFD (3 bytes).
size_t utf8Length(const char16_t* text);
// Writes the UTF-8 form of text with its terminator into out, which has room for
// utf8Length(text) bytes.
void utf16ToUtf8(const char16_t* text, char* out);
// As utf16ToUtf8 in one pass into out, which has room for room bytes: the bytes
// written with the terminator, or 0 when they do not fit (out then holds a part).
size_t utf16ToUtf8Bounded(const char16_t* text, char* out, size_t room);
// A malloc'ed UTF-8 copy of text, or null when text is null or memory is short.
char* utf16ToUtf8Copy(const char16_t* text);

#endif  // CPCLIENT_UTIL_UTF16_H
