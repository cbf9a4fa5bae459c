// UTF-16 to UTF-8 conversion of NUL-terminated texts, and its pieces.
#ifndef CPCLIENT_UTIL_UTF16_H
#define CPCLIENT_UTIL_UTF16_H

#include <cstddef>
#include <cstdint>

#include "util/AlignedBlocks.h"

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

// ---- Runs of ASCII units, copied as bytes ----
//
// A run is the units from a text's start up to the first that the Plain policy
// does not take: Plain::plain(unit) says whether it takes a unit, and where the
// target has SSE2, Plain::plainBytes(bytes) gives 0xFF for each of 16 units that
// it takes, packed into bytes with unsigned saturation (0x100 to 0x7FFF as 0xFF,
// 0x8000 and more as 0). A policy takes only ASCII units, never the terminator.

// Every ASCII unit: 1 to 0x7F.
struct AnyAscii {
  static bool plain(uint32_t unit) { return unit - 1 < 0x7F; }
#if defined(__SSE2__)
  static __m128i plainBytes(__m128i bytes) { return _mm_cmpgt_epi8(bytes, _mm_setzero_si128()); }  // signed
#endif
};

// Copies the run at text as bytes to *out, advances *out past them and returns
// the unit after the run. With a limit it stops early, at a unit of the run,
// when fewer than RUN_BLOCK_BYTES are left before limit (a step of blocks writes
// that many bytes, some past the run); without one (unit by unit then), *out
// has room for the run. With BLOCKS it reads whole aligned blocks
// (util/AlignedBlocks.h).
template <TextScan scan, class Plain>
const char16_t* copyAsciiRun(const char16_t* text, char** out, const char* limit);
// As copyAsciiRun<scan, AnyAscii> without writing, and without a limit.
template <TextScan scan>
const char16_t* skipAsciiRun(const char16_t* text);
// As copyAsciiRun and skipAsciiRun for a run right after a unit that ended the
// one before: between non-ASCII characters runs are mostly short, so the first
// units go one at a time, and only a longer run goes on as scan says.
template <TextScan scan, class Plain>
const char16_t* copyAsciiRunAfterStop(const char16_t* text, char** out, const char* limit);
template <TextScan scan>
const char16_t* skipAsciiRunAfterStop(const char16_t* text);

constexpr ptrdiff_t RUN_STEP_BYTES = 4;    // bytes a step of the unit-by-unit copy writes
constexpr ptrdiff_t RUN_BLOCK_BYTES = 16;  // bytes a step of two blocks writes

// One step of the unit-by-unit copy: up to RUN_STEP_BYTES units of the run at
// text, each read only once the one before is in the run, copied to o. Returns
// the units taken; all of them (RUN_STEP_BYTES) when the run may go on.
template <class Plain>
inline ptrdiff_t copyAsciiStep(const char16_t* text, char* o) {
  uint32_t u = text[0];
  if (!Plain::plain(u)) return 0;
  o[0] = static_cast<char>(u);
  if (!Plain::plain(u = text[1])) return 1;
  o[1] = static_cast<char>(u);
  if (!Plain::plain(u = text[2])) return 2;
  o[2] = static_cast<char>(u);
  if (!Plain::plain(u = text[3])) return 3;
  o[3] = static_cast<char>(u);
  return RUN_STEP_BYTES;
}

// The unit-by-unit copy: a step to a room check while there is room for one
// before limit (or always, without one: *out then has room for the run).
template <class Plain>
const char16_t* copyAsciiRunUnits(const char16_t* text, char** out, const char* limit) {
  char* o = *out;
  while (!limit || limit - o >= RUN_STEP_BYTES) {
    ptrdiff_t n = copyAsciiStep<Plain>(text, o);
    o += n, text += n;
    if (n < RUN_STEP_BYTES) break;
  }
  *out = o;
  return text;
}

#if defined(__SSE2__)

constexpr size_t BLOCK_UNITS = BLOCK_BYTES / sizeof(char16_t);
constexpr size_t PAIR_UNITS = 2 * BLOCK_UNITS;

// Whether the units of a text at text lie on the blocks' grid of units: not so
// at an odd address, which a caller in C can pass (such a text goes unit by unit).
inline bool unitsFillBlocks(const char16_t* text) { return (reinterpret_cast<uintptr_t>(text) & 1) == 0; }

// The 16 units of the aligned block at block and the one after it, as bytes
// (packed with unsigned saturation). The second block is read only when the
// first holds no terminator from unit from on; otherwise the first stands in
// for it, so no block past the one that holds the terminator is read.
inline __m128i loadUnitPair(const char16_t* block, unsigned from) {
  __m128i first = loadBlock(block);
  auto nul = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(first, _mm_setzero_si128()))) >> (2 * from);
  // A branch, not a select: predicted, it lets the second load start without
  // waiting for the first.
  return _mm_packus_epi16(first, nul ? first : loadBlock(block + BLOCK_UNITS));
}

// The units among 16 packed ones that end a run, as bits (bit k for unit k).
template <class Plain>
inline uint32_t runEnds(__m128i bytes) {
  return ~static_cast<uint32_t>(_mm_movemask_epi8(Plain::plainBytes(bytes))) & 0xFFFF;
}

// The copy two blocks at a time: first the pair that starts with the block
// holding text, from text on, then whole pairs.
template <class Plain>
inline __attribute__((always_inline)) const char16_t* copyAsciiRunBlocks(const char16_t* text, char** out,
                                                                         const char* limit) {
  char* o = *out;
  if (limit - o < RUN_BLOCK_BYTES) return text;
  const char16_t* block = blockOf(text);
  auto skip = static_cast<unsigned>(text - block);
  __m128i bytes = loadUnitPair(block, skip);
  uint32_t ends = runEnds<Plain>(bytes) >> skip;
  putBytesFrom(o, bytes, skip);
  if (ends) {
    auto n = static_cast<unsigned>(__builtin_ctz(ends));
    *out = o + n;
    return text + n;
  }
  o += PAIR_UNITS - skip;
  block += PAIR_UNITS;
  while (limit - o >= RUN_BLOCK_BYTES) {
    bytes = loadUnitPair(block, 0);
    ends = runEnds<Plain>(bytes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
    if (ends) {
      auto n = static_cast<unsigned>(__builtin_ctz(ends));
      *out = o + n;
      return block + n;
    }
    o += PAIR_UNITS;
    block += PAIR_UNITS;
  }
  *out = o;
  return block;
}

// The skip two blocks at a time.
inline const char16_t* skipAsciiRunBlocks(const char16_t* text) {
  const char16_t* block = blockOf(text);
  auto skip = static_cast<unsigned>(text - block);
  uint32_t ends = runEnds<AnyAscii>(loadUnitPair(block, skip)) >> skip;
  if (ends) return text + __builtin_ctz(ends);
  for (;;) {
    block += PAIR_UNITS;
    if ((ends = runEnds<AnyAscii>(loadUnitPair(block, 0)))) return block + __builtin_ctz(ends);
  }
}

#endif  // __SSE2__

template <TextScan scan, class Plain>
inline __attribute__((always_inline)) const char16_t* copyAsciiRun(const char16_t* text, char** out,
                                                                   const char* limit) {
#if defined(__SSE2__)
  if (scan == TextScan::BLOCKS && limit && unitsFillBlocks(text)) return copyAsciiRunBlocks<Plain>(text, out, limit);
#endif
  return copyAsciiRunUnits<Plain>(text, out, limit);
}

template <TextScan scan>
const char16_t* skipAsciiRun(const char16_t* text) {
#if defined(__SSE2__)
  if (scan == TextScan::BLOCKS && unitsFillBlocks(text)) return skipAsciiRunBlocks(text);
#endif
  while (AnyAscii::plain(*text)) text++;
  return text;
}

template <TextScan scan, class Plain>
inline __attribute__((always_inline)) const char16_t* copyAsciiRunAfterStop(const char16_t* text, char** out,
                                                                            const char* limit) {
  if (limit && limit - *out < RUN_STEP_BYTES) return text;
  ptrdiff_t n = copyAsciiStep<Plain>(text, *out);
  *out += n;
  return n < RUN_STEP_BYTES ? text + n : copyAsciiRun<scan, Plain>(text + n, out, limit);
}

template <TextScan scan>
const char16_t* skipAsciiRunAfterStop(const char16_t* text) {
  for (int n = 0; n < RUN_STEP_BYTES; n++, text++)
    if (!AnyAscii::plain(*text)) return text;
  return skipAsciiRun<scan>(text);
}

#endif  // CPCLIENT_UTIL_UTF16_H
