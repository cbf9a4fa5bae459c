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
#include "util/Utf16.h"

CP_TRACE_UNIT("1.0");

namespace {

constexpr int64_t ROW_SLACK_BYTES = 640;      // room for the row's tags beyond its values
constexpr int64_t VALUE_OVERHEAD_BYTES = 18;  // <a v=""/> and some escaping, per value
constexpr int MAX_ESCAPE_EXPANSION = 6;       // "&quot;" for '"'

// The reference that replaces c, or null when c is written as it is: & < > " '
// and line feed are the six characters that are replaced.
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
constexpr ExpansionTable EXPANSION;

size_t expansionOf(char c) { return EXPANSION.extra[static_cast<unsigned char>(c)]; }

#if defined(__SSE2__)
constexpr size_t BLOCK_BYTES = 16;

// The positions, as bits, of the six special characters among 16 bytes.
inline uint32_t specialBits(__m128i v) {
  // & and ' differ only in bit 0, < and > only in bit 1.
  __m128i ampOrApos = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x01)), _mm_set1_epi8('\''));
  __m128i ltOrGt = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x02)), _mm_set1_epi8('>'));
  __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  __m128i lineFeed = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
  __m128i hits = _mm_or_si128(_mm_or_si128(ampOrApos, ltOrGt), _mm_or_si128(quote, lineFeed));
  return static_cast<uint32_t>(_mm_movemask_epi8(hits));
}
#endif

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

// The row format, piece by piece.
constexpr const char ROW_OPEN[] = "<in><al>";
constexpr const char VALUE_OPEN[] = "<a v=\"";
constexpr const char VALUE_CLOSE[] = "\"/>";
constexpr const char ROW_CLOSE[] = "</al></in>";

template <size_t n>
char* putTag(char* out, const char (&tag)[n]) {
  memcpy(out, tag, n - 1);
  return out + n - 1;
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

// ---- Rows of UTF-16 values, converted, escaped and written in one pass ----

constexpr size_t STEP_UNITS = 4;                       // units the plain run copies per step
constexpr ptrdiff_t UNIT_ROOM = MAX_ESCAPE_EXPANSION;  // the most one code point writes: a reference
constexpr size_t UTF16_VALUE_BLOCK_BYTES = 4096;       // a value's UTF-8 form on the stack, piecewise

// Writes the four bytes a, b, c and d (each below 0x100) at out, with one store.
inline void putFourBytes(char* out, size_t a, size_t b, size_t c, size_t d) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  auto word = static_cast<uint32_t>(a | b << 8 | c << 16 | d << 24);
#else
  auto word = static_cast<uint32_t>(d | c << 8 | b << 16 | a << 24);
#endif
  memcpy(out, &word, sizeof word);
}

// Copies the plain units at text (ASCII, not one of the six) to out, four to a
// step, up to the terminator, and returns the first unit it did not copy: the
// terminator, or a unit that is not plain. Each step reads its units one at a
// time, the next only when the one before is not the terminator, so it never
// reads past it. A step writes four bytes, so the run stops when fewer remain
// before limit; the last step copies the units before the terminator.
const char16_t* copyPlainRun(const char16_t* text, char** out, const char* limit) {
  char* o = *out;
  while (limit - o >= static_cast<ptrdiff_t>(STEP_UNITS)) {
    size_t a = text[0];
    if (!a) break;
    size_t b = text[1], c = 0, d = 0;
    if (b) {
      c = text[2];
      if (c) d = text[3];
    }
    if ((a | b | c | d) >= 0x80 || (EXPANSION.extra[a] | EXPANSION.extra[b] | EXPANSION.extra[c] | EXPANSION.extra[d]))
      break;
    putFourBytes(o, a, b, c, d);  // a 0 among them is a terminator, passed as plain
    if (!d) {
      size_t n = 1 + (b != 0) + (c != 0);
      o += n;
      text += n;
      break;
    }
    o += STEP_UNITS;
    text += STEP_UNITS;
  }
  *out = o;
  return text;
}

// Writes the code point at text, which is not the terminator, at *out, which has
// room for UNIT_ROOM bytes: one of the six as its reference (adding its extra
// bytes to *escapeBytes), other ASCII as it is, the rest as UTF-8. Returns the
// units taken.
size_t putCodePoint(const char16_t* text, char** out, size_t* escapeBytes) {
  uint32_t unit = text[0];
  if (unit >= 0x80) return putNonAsciiUtf8(text, out);
  size_t extra = EXPANSION.extra[unit];
  if (extra) {
    memcpy(*out, replacementOf(static_cast<char>(unit)), extra + 1);
    *escapeBytes += extra;
    *out += extra + 1;
  } else {
    *(*out)++ = static_cast<char>(unit);
  }
  return 1;
}

// Writes text escaped in UTF-8 at out, writing nothing at or past limit, and
// returns the end, with *length the bytes of its UTF-8 form before escaping; or
// null when it may not fit (near limit it gives up early).
char* putUtf16Value(const char16_t* text, char* out, const char* limit, size_t* length) {
  char* const start = out;
  size_t escapeBytes = 0;
  for (;;) {
    text = copyPlainRun(text, &out, limit);
    if (!*text) break;
    if (limit - out < UNIT_ROOM) return nullptr;
    text += putCodePoint(text, &out, &escapeBytes);
  }
  *length = static_cast<size_t>(out - start) - escapeBytes;
  return out;
}

// Writes the row of UTF-16 values behind the buffer's text, without changing its
// length, when it ends below the capacity; *end receives the length with the
// row, *valueBound the values' share of the size bound (18 more than each
// non-null value's UTF-8 length). False when the row may not fit: the bytes
// behind the text, its terminator included, may have been written then.
bool putUtf16Row(const StringBuffer& buffer, char16_t** values, int count, int* end, int64_t* valueBound) {
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
      if (!(out = putUtf16Value(values[i], out, valueLimit, &length))) return false;
      bound += static_cast<int64_t>(length) + VALUE_OVERHEAD_BYTES;
    }
    out = putTag(out, VALUE_CLOSE);
  }
  out = putTag(out, ROW_CLOSE);
  *end = static_cast<int>(out - buffer.data());
  *valueBound = bound;
  return true;
}

// The values' share of the size bound, each value measured on its own.
int64_t utf16ValueBound(char16_t** values, int count) {
  int64_t bound = 0;
  for (int i = 0; i < count; i++)
    if (values[i]) bound += static_cast<int64_t>(utf8Length(values[i]) - 1) + VALUE_OVERHEAD_BYTES;
  return bound;
}

// Appends text converted to UTF-8 and escaped through substituteEntries: in a
// block on the stack, or in a copy when it is longer (a copy that cannot be
// allocated appends nothing).
void appendEscaped(StringBuffer& buffer, const char16_t* text) {
  char block[UTF16_VALUE_BLOCK_BYTES];
  if (utf16ToUtf8Bounded(text, block, sizeof block)) {
    appendEscaped(buffer, block);
    return;
  }
  char* copy = utf16ToUtf8Copy(text);
  if (copy) appendEscaped(buffer, copy);
  free(copy);
}

// Appends the row through substituteEntries, one piece at a time (UTF-16 values
// each converted first).
template <class Char>
void appendRowByPieces(StringBuffer& buffer, Char** values, int count) {
  buffer.append(ROW_OPEN);
  for (int i = 0; i < count; i++) {
    buffer.append(VALUE_OPEN);
    if (values[i]) appendEscaped(buffer, values[i]);
    buffer.append(VALUE_CLOSE);
  }
  buffer.append(ROW_CLOSE);
}

// One record for every escaping, so that a row can ask once whether escaping is traced.
TRC1_FunctionRecord substituteEntriesRecord = CP_TRACE_RECORD_("substituteEntries");

// Whether substituteEntries would trace anything now. While it would, rows go
// piece by piece, so that the trace shows every value's escaping.
bool escapingTraced() {
  TraceScope escaping(substituteEntriesRecord, false);
  return escaping.on(TRC_EVENTS | TRC_ERROR);
}

}  // namespace

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
// otherwise.
void appendRow(StringBuffer& buffer, char** values, int count) {
  MeasuredRow row;
  if (!escapingTraced() && row.measure(values, nullptr, count) && row.appendTo(buffer)) return;
  appendRowByPieces(buffer, values, count);
}

bool reserveAndAppendRow(StringBuffer& buffer, char** values, const size_t* lengths, int count, int64_t* need) {
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

// Written once when the buffer already has room for the row and its bound;
// written again when the reserve for the bound grew the buffer; piece by piece
// when escaping is traced or the row still does not fit. The bound is the same
// as for the UTF-8 form of the row, so are the bytes and the growth.
bool reserveAndAppendUtf16Row(StringBuffer& buffer, char16_t** values, int count, int64_t* need) {
  bool traced = escapingTraced();
  int end = 0;
  int64_t valueBound = 0;
  bool written = !traced && buffer.data() && putUtf16Row(buffer, values, count, &end, &valueBound);
  if (!written) valueBound = utf16ValueBound(values, count);
  *need = buffer.length() + ROW_SLACK_BYTES + valueBound;
  if (*need > buffer.capacity()) {
    if (*need <= INT_MAX) buffer.reserve(static_cast<int>(*need));
    if (*need > INT_MAX || !buffer.data()) {
      buffer.setLength(buffer.length());  // the terminator may have been overwritten
      return false;
    }
    written = !traced && putUtf16Row(buffer, values, count, &end, &valueBound);
  }
  if (written) {
    buffer.setLength(end);
  } else {
    buffer.setLength(buffer.length());
    appendRowByPieces(buffer, values, count);
  }
  return true;
}
