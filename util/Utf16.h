// UTF-16 to UTF-8 conversion of NUL-terminated texts, and its pieces.
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

// ---- The pieces every conversion shares, the data-response row's included ----

// A code point and the number of UTF-16 units it took.
struct CodePoint {
  uint32_t value;
  size_t units;
};

// Decodes the code point at text, whose first unit is 0x80 or more: a surrogate
// pair as one code point of 2 units, a lone surrogate as U+FFFD, any other unit
// as itself. text[1] is read only when text[0] is a high surrogate, so never a
// unit past the terminator.
inline CodePoint decodeNonAscii(const char16_t* text) {
  uint32_t unit = text[0];
  if (unit - 0xD800 >= 0x800) return CodePoint{unit, 1};  // not a surrogate
  uint32_t low = unit < 0xDC00 ? text[1] : 0;
  if (low - 0xDC00 < 0x400) return CodePoint{0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), 2};
  return CodePoint{0xFFFD, 1};
}

// The bytes of the UTF-8 form of c, which is 0x80 or more: 2, 3 or 4.
inline size_t utf8Bytes(uint32_t c) { return 2 + static_cast<size_t>(c >= 0x800) + static_cast<size_t>(c >= 0x10000); }

// Writes the UTF-8 form of c, which is 0x80 or more, at *out and advances *out
// past it. Below U+10000, 3 bytes are written either way, without a branch, so
// *out has room for 3 bytes, or 4 above.
inline void putUtf8(uint32_t c, char** out) {
  unsigned char* o = reinterpret_cast<unsigned char*>(*out);
  if (c >= 0x10000) {
    o[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    o[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    o[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    *out += 4;
    return;
  }
  bool three = c >= 0x800;
  o[0] = static_cast<unsigned char>(three ? 0xE0 | (c >> 12) : 0xC0 | (c >> 6));
  o[1] = static_cast<unsigned char>(0x80 | ((three ? c >> 6 : c) & 0x3F));
  o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  *out += 2 + static_cast<int>(three);
}

// Writes the UTF-8 form of the code point at text, whose first unit is 0x80 or
// more, at *out, which has room for 4 bytes, and advances *out past it. Returns
// the units taken, 1 or 2.
inline size_t putNonAsciiUtf8(const char16_t* text, char** out) {
  CodePoint c = decodeNonAscii(text);
  putUtf8(c.value, out);
  return c.units;
}

// The ASCII units that end no run: none.
struct NoStops {
  static bool stops(uint32_t) { return false; }
};

// Copies the run of ASCII units at text (1 to 0x7F, none that Stops::stops
// flags) to *out as bytes, advances *out past them and returns the first unit
// after the run: the terminator, a unit of 0x80 or more, or a flagged one. With
// a limit, it also stops when fewer than RUN_STEP_BYTES bytes are left before
// limit (returning a unit that may be in the run); without one, *out has room
// for the run. Reads the units in order and never one past the terminator.
constexpr ptrdiff_t RUN_STEP_BYTES = 4;
template <class Stops>
const char16_t* copyAsciiRun(const char16_t* text, char** out, const char* limit) {
  auto plain = [](uint32_t unit) { return unit - 1 < 0x7F && !Stops::stops(unit); };
  char* o = *out;
  while (!limit || limit - o >= RUN_STEP_BYTES) {
    uint32_t u = text[0];
    if (!plain(u)) break;
    o[0] = static_cast<char>(u);
    if (!plain(u = text[1])) {
      o += 1, text += 1;
      break;
    }
    o[1] = static_cast<char>(u);
    if (!plain(u = text[2])) {
      o += 2, text += 2;
      break;
    }
    o[2] = static_cast<char>(u);
    if (!plain(u = text[3])) {
      o += 3, text += 3;
      break;
    }
    o[3] = static_cast<char>(u);
    o += RUN_STEP_BYTES, text += RUN_STEP_BYTES;
  }
  *out = o;
  return text;
}

#endif  // CPCLIENT_UTIL_UTF16_H
