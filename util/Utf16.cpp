// UTF-16 to UTF-8 conversion.
//
// Runs of ASCII, the common case for monitoring data, go two blocks of 8 units
// at a time where the target has SSE2 (reading whole aligned blocks, which may end
// past the terminator but never past its page: util/AlignedBlocks.h); the rest,
// and everything elsewhere, one unit at a time, never a unit past the terminator.
// Without a bound (utf16ToUtf8) runs go unit by unit too: a step of blocks
// writes 16 bytes, some past the run.
#include "util/Utf16.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Writes the UTF-8 form of c, which is 0x80 or more, at *out when it fits the
// room bytes there (any number when bounded is false) and advances *out; false
// when it does not fit.
template <bool bounded>
bool putUtf8Within(uint32_t c, char** out, size_t room) {
  size_t bytes = utf8Bytes(c);
  if (bounded && room < bytes) return false;
  if (bounded && room < 3) {  // putUtf8 writes 3 bytes for a 2-byte form
    char form[4];
    char* end = form;
    putUtf8(c, &end);
    memcpy(*out, form, bytes);
    *out += bytes;
    return true;
  }
  putUtf8(c, out);
  return true;
}

// The conversion behind every writing entry point, in one pass: writes at most
// room bytes (any number when bounded is false) and returns the bytes written
// with the terminator, or 0 when they would not fit. Without a bound, out has
// room for the text's UTF-8 form, its terminator included, so a 2-byte form
// written as 3 bytes still lands inside it.
template <bool bounded>
size_t convert(const char16_t* text, char* out, size_t room) {
  char* const start = out;
  char* o = out;
  const char* const limit = bounded ? start + room : nullptr;
  text = copyAsciiRun<FASTEST_SCAN, AnyAscii>(text, &o, limit);
  for (;; text = copyAsciiRunAfterStop<FASTEST_SCAN, AnyAscii>(text, &o, limit)) {
    uint32_t unit = text[0];
    size_t left = bounded ? static_cast<size_t>(limit - o) : 0;
    if (unit == 0) {
      if (bounded && left == 0) return 0;
      *o++ = 0;
      return static_cast<size_t>(o - start);
    }
    if (unit < 0x80) {  // left in the run for want of room
      if (bounded && left == 0) return 0;
      *o++ = static_cast<char>(unit);
      text++;
      continue;
    }
    CodePoint c = decodeNonAscii(text);
    if (!putUtf8Within<bounded>(c.value, &o, left)) return 0;
    text += c.units;
  }
}

}  // namespace

size_t utf8Length(const char16_t* text) {
  size_t bytes = 1;  // the terminator
  const char16_t* end = skipAsciiRun<FASTEST_SCAN>(text);
  for (;;) {
    bytes += static_cast<size_t>(end - text);
    if (!*end) return bytes;
    CodePoint c = decodeNonAscii(end);
    bytes += utf8Bytes(c.value);
    text = end + c.units;
    end = skipAsciiRunAfterStop<FASTEST_SCAN>(text);
  }
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
