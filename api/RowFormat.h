// The row format that every message carries, and the XML escaping of its values.
//
// A row is <in><al><a v="VALUE"/>...</al></in>: count values, each escaped, a null
// value as "". Escaping replaces & < > " ' and line feed by their references and
// leaves every other byte as it is. Nothing here keeps state; a buffer is used by
// one thread at a time.
#ifndef CPCLIENT_API_ROWFORMAT_H
#define CPCLIENT_API_ROWFORMAT_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/AlignedBlocks.h"
#include "util/StringBuffer.h"

// The pieces of a row, for the writers of its forms.
constexpr const char ROW_OPEN[] = "<in><al>";
constexpr const char VALUE_OPEN[] = "<a v=\"";
constexpr const char VALUE_CLOSE[] = "\"/>";
constexpr const char ROW_CLOSE[] = "</al></in>";
constexpr int64_t ROW_SLACK_BYTES = 640;      // room for the row's tags beyond its values
constexpr int64_t VALUE_OVERHEAD_BYTES = 18;  // <a v=""/> and some escaping, per value
constexpr int MAX_ESCAPE_EXPANSION = 6;       // "&quot;" for '"'

// The bytes each character adds when it is escaped: 0 for all but the six.
struct ExpansionTable {
  unsigned char extra[256];
  constexpr ExpansionTable() : extra() {
    extra[static_cast<unsigned char>('&')] = 4;
    extra[static_cast<unsigned char>('<')] = 3;
    extra[static_cast<unsigned char>('>')] = 3;
    extra[static_cast<unsigned char>('"')] = 5;
    extra[static_cast<unsigned char>('\'')] = 5;
    extra[static_cast<unsigned char>('\n')] = 4;
  }
};
inline constexpr ExpansionTable EXPANSION;

#if defined(__SSE2__)
// 0xFF for each of 16 bytes that is one of & < > " ', the six but line feed.
inline __m128i markupBytes(__m128i v) {
  // & and ' differ only in bit 0, < and > only in bit 1.
  __m128i ampOrApos = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x01)), _mm_set1_epi8('\''));
  __m128i ltOrGt = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x02)), _mm_set1_epi8('>'));
  __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  return _mm_or_si128(_mm_or_si128(ampOrApos, ltOrGt), quote);
}
#endif

// The ASCII characters that the fast loops of a row copy as they are (a policy
// of copyAsciiRun): 0x20 to 0x7F but & < > " '. Line feed and the other control
// characters are left to the careful path with the rest, which writes each
// character as it is or, for the six, as its reference.
struct PlainRowAscii {
  static bool plain(uint32_t c) { return c - 0x20 < 0x60 && !EXPANSION.extra[c]; }
#if defined(__SSE2__)
  static __m128i plainBytes(__m128i bytes) {
    return _mm_andnot_si128(markupBytes(bytes), _mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x1F)));  // signed
  }
#endif
};

// The reference that replaces c, or null when c is written as it is.
const char* replacementOf(char c);

// Writes tag without its terminator at out and returns the end.
template <size_t n>
char* putTag(char* out, const char (&tag)[n]) {
  memcpy(out, tag, n - 1);
  return out + n - 1;
}

// Whether substituteEntries would trace anything now. While it would, rows go
// piece by piece, so that the trace shows every value's escaping.
bool escapingTraced();

// Appends a row one piece at a time, each non-null value through
// appendValue(buffer, value), which appends it escaped (through substituteEntries).
template <class Char, class AppendValue>
void appendRowByPieces(StringBuffer& buffer, Char** values, int count, AppendValue appendValue) {
  buffer.append(ROW_OPEN);
  for (int i = 0; i < count; i++) {
    buffer.append(VALUE_OPEN);
    if (values[i]) appendValue(buffer, values[i]);
    buffer.append(VALUE_CLOSE);
  }
  buffer.append(ROW_CLOSE);
}

// Writes a row behind the buffer's text, without changing its length, when it
// ends below the capacity, each non-null value through putValue(value, out,
// valueLimit, &length), which writes it escaped at out, nothing at or past
// valueLimit, and returns its end, with length the bytes of its UTF-8 form, or
// null when it may not fit. *end receives the length with the row, *valueBound
// the values' share of the size bound (18 more than each non-null value's UTF-8
// length). False when the row may not fit: the bytes behind the text, its
// terminator included, may have been written then.
template <class Char, class PutValue>
bool putRowInPlace(const StringBuffer& buffer, Char* const* values, int count, PutValue putValue, int* end,
                   int64_t* valueBound) {
  constexpr size_t CLOSE_TAGS = sizeof VALUE_CLOSE - 1 + sizeof ROW_CLOSE - 1;
  constexpr size_t VALUE_TAGS = sizeof VALUE_OPEN - 1 + CLOSE_TAGS;
  char* out = buffer.data() + buffer.length();
  const char* const limit = buffer.data() + buffer.capacity();
  // The row's end must leave its terminator below limit, so each piece is
  // written only with room for the row's close behind it: a value's bytes only
  // below valueLimit.
  auto room = [&out, limit](size_t n) { return limit - out > static_cast<ptrdiff_t>(n); };
  if (!room(sizeof ROW_OPEN - 1 + sizeof ROW_CLOSE - 1)) return false;
  const char* const valueLimit = limit - CLOSE_TAGS - 1;
  int64_t bound = 0;
  out = putTag(out, ROW_OPEN);
  for (int i = 0; i < count; i++) {
    if (!room(VALUE_TAGS)) return false;
    out = putTag(out, VALUE_OPEN);
    if (values[i]) {
      size_t length = 0;
      if (!(out = putValue(values[i], out, valueLimit, &length))) return false;
      bound += static_cast<int64_t>(length) + VALUE_OVERHEAD_BYTES;
    }
    out = putTag(out, VALUE_CLOSE);
  }
  out = putTag(out, ROW_CLOSE);
  *end = static_cast<int>(out - buffer.data());
  *valueBound = bound;
  return true;
}

// Appends a row that put(&end, &valueBound) writes in one pass as putRowInPlace
// does: once when the buffer already has room for the row and its bound; again
// when the reserve for the bound grew the buffer; through pieces() when escaping
// is traced or the row still does not fit; measure() gives the values' share of
// the bound when the pass did not. The bytes, the bound and the growth are those
// of reserving the bound and appending piece by piece. False, with *need the
// bound, when it is beyond an int or cannot be reserved, or (storageNeeded) when
// the buffer has lost its storage.
template <class Put, class Measure, class Pieces>
bool reserveAndAppendInOnePass(StringBuffer& buffer, const Put& put, const Measure& measure, const Pieces& pieces,
                               bool storageNeeded, int64_t* need) {
  bool traced = escapingTraced();
  int end = 0;
  int64_t valueBound = 0;
  bool written = !traced && buffer.data() && put(&end, &valueBound);
  if (!written) valueBound = measure();
  *need = buffer.length() + ROW_SLACK_BYTES + valueBound;
  if (*need > buffer.capacity() || (storageNeeded && !buffer.data())) {
    if (*need <= INT_MAX) buffer.reserve(static_cast<int>(*need));
    if (*need > INT_MAX || !buffer.data()) {
      buffer.setLength(buffer.length());  // the terminator may have been overwritten
      return false;
    }
    written = !traced && put(&end, &valueBound);
  }
  if (written) {
    buffer.setLength(end);
  } else {
    buffer.setLength(buffer.length());
    pieces();
  }
  return true;
}

// Sets *escaped to a malloc'ed copy of text with & < > " ' and line feed replaced by
// their references, or to null when text needs no escaping (or on want of memory;
// the caller then writes text unchanged). The caller frees *escaped.
void substituteEntries(const char* text, char** escaped);
// Appends text escaped through substituteEntries (unescaped when that ran out of memory).
void appendEscaped(StringBuffer& buffer, const char* text);

// Appends one row; scan says how the values are read, as for reserveAndAppendRow.
void appendRow(StringBuffer& buffer, char** values, int count, TextScan scan = FASTEST_SCAN);
// Sizes buffer once for one more row and appends the row; lengths, when given,
// are the values' lengths. Without them, with BLOCKS (util/AlignedBlocks.h),
// each value is read once, as it is written, when the buffer already has room
// for the row (once more when the reserve grows the buffer); otherwise each is
// measured once, for the bound, then copied. *need receives the size
// bound: the buffer's length, 640 bytes of slack and 18 more than each non-null
// value's length, in 64 bits so that it cannot wrap. False, with nothing appended,
// when the bound is beyond an int (the buffer untouched) or cannot be reserved;
// after a true result the caller still checks the buffer, which runs out of
// memory if a value's escaping outgrows it.
bool reserveAndAppendRow(StringBuffer& buffer, char** values, const size_t* lengths, int count, int64_t* need,
                         TextScan scan = FASTEST_SCAN);

#endif  // CPCLIENT_API_ROWFORMAT_H
