// UTF-16 to UTF-8 conversion of NUL-terminated texts.
#ifndef CPCLIENT_UTIL_UTF16_H
#define CPCLIENT_UTIL_UTF16_H

#include <cstddef>
#include <cstdint>

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

// Writes the UTF-8 form of the code point at text, whose first unit is 0x80 or
// more, at *out, which has room for 4 bytes, and advances *out past it: a
// surrogate pair as 4 bytes, a lone surrogate as U+FFFD, any other unit as 2 or 3
// bytes (3 are written either way, without a branch). Returns the units taken, 1
// or 2; text[1] is read only when text[0] is a high surrogate, so never a unit
// past the terminator.
inline size_t putNonAsciiUtf8(const char16_t* text, char** out) {
  uint32_t unit = text[0];
  unsigned char* o = reinterpret_cast<unsigned char*>(*out);
  if (unit - 0xD800 < 0x800) {  // a surrogate
    uint32_t low = unit < 0xDC00 ? text[1] : 0;
    if (low - 0xDC00 < 0x400) {
      uint32_t c = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      o[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      o[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      o[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      *out += 4;
      return 2;
    }
    unit = 0xFFFD;
  }
  bool three = unit >= 0x800;
  o[0] = static_cast<unsigned char>(three ? 0xE0 | (unit >> 12) : 0xC0 | (unit >> 6));
  o[1] = static_cast<unsigned char>(0x80 | ((three ? unit >> 6 : unit) & 0x3F));
  o[2] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
  *out += 2 + static_cast<int>(three);
  return 1;
}

#endif  // CPCLIENT_UTIL_UTF16_H
