// UTF-16 to UTF-8 conversion.
#include "util/Utf16.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Decodes the code point at text[*i] and moves *i past it.
char32_t nextCodePoint(const char16_t* text, size_t* i) {
  char16_t unit = text[(*i)++];
  if (isHighSurrogate(unit) && isLowSurrogate(text[*i])) {
    char16_t low = text[(*i)++];
    return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
  }
  if (isHighSurrogate(unit) || isLowSurrogate(unit)) return REPLACEMENT;
  return unit;
}

size_t encodedLength(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

}  // namespace

size_t utf8Length(const char16_t* text) {
  size_t bytes = 1;  // the terminator
  for (size_t i = 0; text[i];) {
    if (text[i] < 0x80) {  // the common case, without decoding
      bytes++;
      i++;
      continue;
    }
    bytes += encodedLength(nextCodePoint(text, &i));
  }
  return bytes;
}

void utf16ToUtf8(const char16_t* text, char* out) {
  unsigned char* o = reinterpret_cast<unsigned char*>(out);
  for (size_t i = 0; text[i];) {
    if (text[i] < 0x80) {
      *o++ = static_cast<unsigned char>(text[i++]);
      continue;
    }
    char32_t c = nextCodePoint(text, &i);
    if (c < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      *o++ = static_cast<unsigned char>(0xF0 | (c >> 18));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
  }
  *o = 0;
}

char* utf16ToUtf8Copy(const char16_t* text) {
  if (!text) return nullptr;
  size_t length = utf8Length(text);
  char* out = static_cast<char*>(calloc(length, 1));
  if (!out) return nullptr;
  utf16ToUtf8(text, out);
  return out;
}
