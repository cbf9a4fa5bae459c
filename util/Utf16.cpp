// UTF-16 to UTF-8 conversion.
//
// Every entry point reads the text one unit at a time and never a unit past its
// terminator, so a text may end anywhere, at the end of a page included. Runs of
// ASCII, the common case for monitoring data, take one comparison per unit.
#include "util/Utf16.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool isHighSurrogate(uint32_t unit) { return unit - 0xD800 < 0x400; }
bool isLowSurrogate(uint32_t unit) { return unit - 0xDC00 < 0x400; }

// True for 1 to 0x7F: a unit that is one byte in UTF-8 and not the terminator.
bool isAsciiUnit(uint32_t unit) { return unit - 1 < 0x7F; }

// A code point and the number of units it took.
struct Decoded {
  char32_t c;
  size_t units;
};

// Decodes the code point at text[i], which is not the terminator: a pair, or a
// single unit, a lone surrogate giving the replacement character. The unit after
// a high surrogate is read only because the high surrogate is not the terminator.
Decoded decodeAt(const char16_t* text, size_t i) {
  uint32_t unit = text[i];
  if (isHighSurrogate(unit) && isLowSurrogate(text[i + 1]))
    return Decoded{0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u), 2};
  if (isHighSurrogate(unit) || isLowSurrogate(unit)) return Decoded{REPLACEMENT, 1};
  return Decoded{unit, 1};
}

size_t encodedLength(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

unsigned char* encode(char32_t c, unsigned char* o) {
  if (c < 0x80) {
    *o++ = static_cast<unsigned char>(c);
  } else if (c < 0x800) {
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
  return o;
}

// The conversion behind every writing entry point, in one pass: writes at most
// room bytes (any number when bounded is false) and returns the bytes written
// with the terminator, or 0 when they would not fit.
template <bool bounded>
size_t convert(const char16_t* text, char* out, size_t room) {
  unsigned char* const start = reinterpret_cast<unsigned char*>(out);
  unsigned char* o = start;
  unsigned char* const limit = start + (bounded ? room : 0);
  size_t i = 0;
  for (;;) {
    // The ASCII run: four units to a room check while there is room for four.
    while (!bounded || limit - o >= 4) {
      uint32_t u = text[i];
      if (!isAsciiUnit(u)) break;
      o[0] = static_cast<unsigned char>(u);
      u = text[i + 1];
      if (!isAsciiUnit(u)) {
        o += 1, i += 1;
        break;
      }
      o[1] = static_cast<unsigned char>(u);
      u = text[i + 2];
      if (!isAsciiUnit(u)) {
        o += 2, i += 2;
        break;
      }
      o[2] = static_cast<unsigned char>(u);
      u = text[i + 3];
      if (!isAsciiUnit(u)) {
        o += 3, i += 3;
        break;
      }
      o[3] = static_cast<unsigned char>(u);
      o += 4, i += 4;
    }
    uint32_t unit = text[i];
    if (unit == 0) {
      if (bounded && o == limit) return 0;
      *o++ = 0;
      return static_cast<size_t>(o - start);
    }
    Decoded d = decodeAt(text, i);
    if (bounded && static_cast<size_t>(limit - o) < encodedLength(d.c)) return 0;
    o = encode(d.c, o);
    i += d.units;
  }
}

}  // namespace

size_t utf8Length(const char16_t* text) {
  size_t bytes = 1;  // the terminator
  for (size_t i = 0; text[i];) {
    if (text[i] < 0x80) {  // the common case, without decoding
      bytes++;
      i++;
      continue;
    }
    Decoded d = decodeAt(text, i);
    bytes += encodedLength(d.c);
    i += d.units;
  }
  return bytes;
}

void utf16ToUtf8(const char16_t* text, char* out) { convert<false>(text, out, 0); }

size_t utf16ToUtf8Bounded(const char16_t* text, char* out, size_t room) { return convert<true>(text, out, room); }

char* utf16ToUtf8Copy(const char16_t* text) {
  if (!text) return nullptr;
  size_t length = utf8Length(text);
  char* out = static_cast<char*>(malloc(length));
  if (!out) return nullptr;
  convert<true>(text, out, length);  // fills all length bytes, the terminator last
  return out;
}
