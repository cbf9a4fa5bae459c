// Reading a NUL-terminated text in whole aligned 16-byte blocks, where the target has SSE2.
//
// A scanner reads the aligned block that holds the text's first character, then
// the next block only while the blocks read so far hold no terminator, so every
// block it reads holds a character of the text or its terminator. Such a read
// cannot fault: an aligned block never crosses a page, and the page that holds
// a character of the text is readable. The C library's own string functions
// rely on the same fact. The rest of a block (before the text's start, after its
// terminator) never reaches a result, but it may lie outside the text's
// allocation, so the one function that reads a block, loadBlock, is kept out of
// the address and thread sanitizers' instrumentation (and out of line in those
// builds, so that inlining cannot bring its load back under it); memcheck
// accepts the load as an aligned load that is partly addressable (its default
// --partial-loads-ok=yes). Every other access of a scanner stays instrumented.
#ifndef CPCLIENT_UTIL_ALIGNEDBLOCKS_H
#define CPCLIENT_UTIL_ALIGNEDBLOCKS_H

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// How a scanner reads a text: in whole aligned blocks, or never past its
// terminator (a character at a time, the next only once the one before is known
// not to be it, or measured first). Both give the same results; BLOCKS is UNITS
// where the target has no SSE2, and tests compare the two.
enum class TextScan { BLOCKS, UNITS };

#if defined(__SSE2__)
constexpr TextScan FASTEST_SCAN = TextScan::BLOCKS;
#else
constexpr TextScan FASTEST_SCAN = TextScan::UNITS;
#endif

#if defined(__SSE2__)

constexpr size_t BLOCK_BYTES = 16;

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CP_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(CP_SANITIZED_BUILD)
#define CP_BLOCK_LOAD_ATTRIBUTES __attribute__((noinline, no_sanitize_address, no_sanitize_thread))
#else
#define CP_BLOCK_LOAD_ATTRIBUTES __attribute__((no_sanitize_address, no_sanitize_thread))
#endif

// The start of the aligned block that holds p.
template <class Char>
const Char* blockOf(const Char* p) {
  size_t offset = reinterpret_cast<uintptr_t>(p) & (BLOCK_BYTES - 1);
  return reinterpret_cast<const Char*>(reinterpret_cast<const char*>(p) - offset);
}

// The 16 bytes of the aligned block at block, some of which may lie outside the
// text that the caller scans (see the top of this file).
inline CP_BLOCK_LOAD_ATTRIBUTES __m128i loadBlock(const void* block) {
  return _mm_load_si128(static_cast<const __m128i*>(block));
}

// Writes the bytes of bytes from byte skip (0 to 15) on at out, and behind them
// some of the bytes after: 16 bytes from out at most.
inline void putBytesFrom(char* out, __m128i bytes, unsigned skip) {
  if (skip >= 8) {  // all in the high half
    __m128i high = _mm_srli_si128(bytes, 8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                     _mm_srl_epi64(high, _mm_cvtsi32_si128(static_cast<int>(8 * skip - 64))));
    return;
  }
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                   _mm_srl_epi64(bytes, _mm_cvtsi32_si128(static_cast<int>(8 * skip))));
  _mm_storeh_pi(reinterpret_cast<__m64*>(out + 8 - skip), _mm_castsi128_ps(bytes));
}

#endif  // __SSE2__

#endif  // CPCLIENT_UTIL_ALIGNEDBLOCKS_H
