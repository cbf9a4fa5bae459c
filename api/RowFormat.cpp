// The row format that every message carries, and the XML escaping of its values.
#include "api/RowFormat.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "host/Trace.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

// & < > " ' and line feed are the six characters that are replaced.
const char* replacementOf(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    case '\n': return "&#10;";
    default: return nullptr;
  }
}

namespace {

#if defined(__SSE2__)
// The positions, as bits, of the six special characters among 16 bytes.
inline uint32_t specialBits(__m128i v) {
  __m128i lineFeed = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(markupBytes(v), lineFeed)));
}
#endif

size_t expansionOf(char c) { return EXPANSION.extra[static_cast<unsigned char>(c)]; }

// The offset of the first special character among the length bytes of text, or
// length when there is none; with copy, the bytes before it are copied to out
// (and maybe some after it). Reads and writes nothing outside the length bytes
// of either: whole blocks while a block remains, then one block that ends with
// the text (the bytes already seen shifted out), or byte by byte when the text
// is shorter than a block.
template <bool copy>
size_t scanForSpecial(char* out, const char* text, size_t length) {
#if defined(__SSE2__)
  if (length >= BLOCK_BYTES) {
    size_t i = 0;
    for (; i + BLOCK_BYTES <= length; i += BLOCK_BYTES) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      if (copy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
      if (uint32_t bits = specialBits(bytes)) return i + static_cast<size_t>(__builtin_ctz(bits));
    }
    if (i == length) return length;
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + length - BLOCK_BYTES));
    if (copy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + length - BLOCK_BYTES), bytes);
    uint32_t bits = specialBits(bytes) >> (BLOCK_BYTES - (length - i));
    return bits ? i + static_cast<size_t>(__builtin_ctz(bits)) : length;
  }
#endif
  for (size_t i = 0; i < length; i++) {
    if (expansionOf(text[i])) return i;
    if (copy) out[i] = text[i];
  }
  return length;
}

// Writes the length bytes of text escaped at out, the first special character
// being at special, and returns the end.
char* writeEscaped(char* out, const char* text, size_t length, size_t special) {
  memcpy(out, text, special);
  out += special;
  for (size_t i = special; i < length; i++) {
    const char* replacement = replacementOf(text[i]);
    if (!replacement) {
      *out++ = text[i];
      continue;
    }
    size_t n = expansionOf(text[i]) + 1;
    memcpy(out, replacement, n);
    out += n;
  }
  return out;
}

// A row of values measured once: each value's length, for the row's size bound
// and for writing the row behind a buffer's text with one pass over each value.
class MeasuredRow {
 public:
  static constexpr int MAX_VALUES = 64;

  // Measures count values; lengths, when given, are the values' lengths. False
  // when the row has more values than this class keeps lengths for (appendTo may
  // not be called then); the bound is right all the same.
  bool measure(char** values, const size_t* lengths, int count) {
    values_ = values;
    count_ = count;
    for (int i = 0; i < count; i++) {
      if (!values[i]) continue;
      size_t length = lengths ? lengths[i] : strlen(values[i]);
      if (i < MAX_VALUES) length_[i] = length;
      valueBound_ += static_cast<int64_t>(length) + VALUE_OVERHEAD_BYTES;
    }
    return count <= MAX_VALUES;
  }

  // The size bound of a message of length bytes plus the row: 640 bytes of slack
  // and 18 more than each non-null value's length, in 64 bits so that it cannot wrap.
  int64_t bound(int64_t length) const { return length + ROW_SLACK_BYTES + valueBound_; }

  // Appends the row, values escaped, when it ends below the buffer's capacity,
  // where appending it piece by piece would not have grown the buffer either.
  // Each value is copied and searched for special characters in one pass. False,
  // with the buffer's text as it was, when the row does not fit; bytes behind the
  // text may have been written then.
  bool appendTo(StringBuffer& buffer) const {
    if (!buffer.data()) return false;
    char* out = buffer.data() + buffer.length();
    const char* const limit = buffer.data() + buffer.capacity();
    // Whether n more bytes and the row's end leave the terminator below limit.
    auto room = [&out, limit](size_t n) { return static_cast<size_t>(limit - out) > n + (sizeof ROW_CLOSE - 1); };
    constexpr size_t VALUE_TAGS = sizeof VALUE_OPEN - 1 + sizeof VALUE_CLOSE - 1;
    bool fits = room(sizeof ROW_OPEN - 1);
    if (fits) out = putTag(out, ROW_OPEN);
    for (int i = 0; i < count_ && fits; i++) {
      const char* value = values_[i];
      size_t length = value ? length_[i] : 0;
      if (!(fits = room(VALUE_TAGS + length))) break;
      out = putTag(out, VALUE_OPEN);
      size_t special = scanForSpecial<true>(out, value, length);
      if (special == length) {
        out += length;
      } else {
        size_t escaped = length;
        for (size_t k = special; k < length; k++) escaped += expansionOf(value[k]);
        if (!(fits = room(escaped + sizeof VALUE_CLOSE - 1))) break;
        out = writeEscaped(out, value, length, special);
      }
      out = putTag(out, VALUE_CLOSE);
    }
    if (!fits) {
      buffer.setLength(buffer.length());  // the terminator may have been overwritten
      return false;
    }
    out = putTag(out, ROW_CLOSE);
    buffer.setLength(static_cast<int>(out - buffer.data()));
    return true;
  }

 private:
  char** values_ = nullptr;
  int count_ = 0;
  int64_t valueBound_ = 0;
  size_t length_[MAX_VALUES];
};

#if defined(__SSE2__)
// ---- Rows of NUL-terminated values read a block at a time, each read once as it is written ----

// Whether c is a byte that the block loop copies as it is: 0x20 or more but
// & < > " '. Line feed and the other control characters are left to the
// careful path, as for UTF-16 values.
bool plainByte(unsigned char c) { return c >= 0x20 && !EXPANSION.extra[c]; }

// The bytes among the 16 of block that are not plain, as bits.
inline uint32_t plainEnds(__m128i block) {
  __m128i high = _mm_cmpeq_epi8(_mm_max_epu8(block, _mm_set1_epi8(0x20)), block);  // 0x20 or more
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_andnot_si128(markupBytes(block), high))) & 0xFFFF;
}

// Copies the plain bytes at text to *out, advances *out past them and returns
// the byte after them (the terminator, or one that is not plain); stops early,
// at a plain byte, when fewer than 16 bytes are left before limit (a block
// writes 16 bytes, some past the copy). Reads whole aligned blocks
// (util/AlignedBlocks.h): the first from text on, then whole ones.
const char* copyPlainBytes(const char* text, char** out, const char* limit) {
  char* o = *out;
  if (limit - o < static_cast<ptrdiff_t>(BLOCK_BYTES)) return text;
  const char* block = blockOf(text);
  auto skip = static_cast<unsigned>(text - block);
  __m128i bytes = loadBlock(block);
  uint32_t ends = plainEnds(bytes) >> skip;
  putBytesFrom(o, bytes, skip);
  if (ends) {
    auto n = static_cast<unsigned>(__builtin_ctz(ends));
    *out = o + n;
    return text + n;
  }
  o += BLOCK_BYTES - skip;
  block += BLOCK_BYTES;
  while (limit - o >= static_cast<ptrdiff_t>(BLOCK_BYTES)) {
    bytes = loadBlock(block);
    ends = plainEnds(bytes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
    if (ends) {
      auto n = static_cast<unsigned>(__builtin_ctz(ends));
      *out = o + n;
      return block + n;
    }
    o += BLOCK_BYTES;
    block += BLOCK_BYTES;
  }
  *out = o;
  return block;
}

// Writes text escaped at out, writing nothing at or past limit, and returns the
// end, with *length its length; or null when it may not fit (near limit it
// gives up early).
char* putValue(const char* text, char* out, const char* limit, size_t* length) {
  char* const start = out;
  size_t escapeBytes = 0;
  for (;;) {
    text = copyPlainBytes(text, &out, limit);
    if (!*text) break;
    do {  // a byte that is not plain, and those right behind it (or, near limit, a plain one)
      if (limit - out < MAX_ESCAPE_EXPANSION) return nullptr;
      auto c = static_cast<unsigned char>(*text++);
      size_t extra = EXPANSION.extra[c];
      if (extra)
        memcpy(out, replacementOf(static_cast<char>(c)), extra + 1);
      else
        *out = static_cast<char>(c);
      out += extra + 1;
      escapeBytes += extra;
    } while (*text && !plainByte(static_cast<unsigned char>(*text)));
  }
  *length = static_cast<size_t>(out - start) - escapeBytes;
  return out;
}

// putRowInPlace for NUL-terminated values.
bool putRow(const StringBuffer& buffer, char** values, int count, int* end, int64_t* valueBound) {
  auto put = [](const char* v, char* o, const char* l, size_t* n) { return putValue(v, o, l, n); };
  return putRowInPlace(buffer, values, count, put, end, valueBound);
}

// The values' share of the size bound, each value measured on its own.
int64_t measuredBound(char** values, int count) {
  int64_t bound = 0;
  for (int i = 0; i < count; i++)
    if (values[i]) bound += static_cast<int64_t>(strlen(values[i])) + VALUE_OVERHEAD_BYTES;
  return bound;
}
#endif  // __SSE2__

// Appends the row through substituteEntries, one piece at a time.
void appendRowByPieces(StringBuffer& buffer, char** values, int count) {
  appendRowByPieces(buffer, values, count, [](StringBuffer& b, const char* value) { appendEscaped(b, value); });
}

// One record for every escaping, so that a row can ask once whether escaping is traced.
TRC1_FunctionRecord substituteEntriesRecord = CP_TRACE_RECORD_("substituteEntries");

}  // namespace

bool escapingTraced() {
  TraceScope escaping(substituteEntriesRecord, false);
  return escaping.on(TRC_EVENTS | TRC_ERROR);
}

void substituteEntries(const char* text, char** escaped) {
  TraceScope trc(substituteEntriesRecord, true);
  *escaped = nullptr;
  size_t length = strlen(text);
  size_t special = scanForSpecial<false>(nullptr, text, length);
  if (special == length) return;
  char* out = length < (SIZE_MAX - 1) / MAX_ESCAPE_EXPANSION
                  ? static_cast<char*>(malloc(length * MAX_ESCAPE_EXPANSION + 1))
                  : nullptr;
  if (!out) {
    CP_TRACE(trc, TRC_ERROR, "malloc failed");
    return;
  }
  *writeEscaped(out, text, length, special) = 0;
  *escaped = out;
}

// In one pass when the buffer has room for the whole row and escaping is not
// traced: the same bytes and the same growth as piece by piece, which is the way
// otherwise. With BLOCKS each value is read once; with UNITS (and where the
// target has no SSE2) it is measured first, then copied.
void appendRow(StringBuffer& buffer, char** values, int count, TextScan scan) {
  bool traced = escapingTraced();
#if defined(__SSE2__)
  if (scan == TextScan::BLOCKS) {
    int end = 0;
    int64_t valueBound = 0;
    bool written = !traced && buffer.data() && putRow(buffer, values, count, &end, &valueBound);
    buffer.setLength(written ? end : buffer.length());  // the terminator may have been overwritten
    if (!written) appendRowByPieces(buffer, values, count);
    return;
  }
#endif
  (void)scan;
  MeasuredRow row;
  if (!traced && row.measure(values, nullptr, count) && row.appendTo(buffer)) return;
  appendRowByPieces(buffer, values, count);
}

bool reserveAndAppendRow(StringBuffer& buffer, char** values, const size_t* lengths, int count, int64_t* need,
                         TextScan scan) {
#if defined(__SSE2__)
  if (!lengths && scan == TextScan::BLOCKS) {
    // Each value read once, as it is written, when the buffer has room for the row.
    auto put = [&](int* end, int64_t* valueBound) { return putRow(buffer, values, count, end, valueBound); };
    auto measure = [&] { return measuredBound(values, count); };
    auto pieces = [&] { appendRowByPieces(buffer, values, count); };
    return reserveAndAppendInOnePass(buffer, put, measure, pieces, true, need);
  }
#endif
  (void)scan;
  // The values are measured once, for the bound and for writing the row in one
  // pass, unless escaping is traced or the row is too wide for that.
  MeasuredRow row;
  bool measured = row.measure(values, lengths, count) && !escapingTraced();
  *need = row.bound(buffer.length());
  if (*need <= INT_MAX) buffer.reserve(static_cast<int>(*need));
  if (*need > INT_MAX || !buffer.data()) return false;
  if (!measured || !row.appendTo(buffer)) appendRowByPieces(buffer, values, count);
  return true;
}

void appendEscaped(StringBuffer& buffer, const char* text) {
  char* escaped = nullptr;
  substituteEntries(text, &escaped);
  buffer.append(escaped ? escaped : text);
  free(escaped);
}
