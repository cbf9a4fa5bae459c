// The UTF-16 form of a data-response row: converted to UTF-8 as it is written.
#include "api/Utf16Row.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/DataResponse.h"
#include "api/RowFormat.h"
#include "util/StringBuffer.h"
#include "util/Utf16.h"

namespace {

constexpr int MAX_DIRECT_VALUES = 64;
constexpr size_t ID_BLOCK_BYTES = 256;

constexpr ptrdiff_t UNIT_ROOM = MAX_ESCAPE_EXPANSION;  // the most one code point writes: a reference
constexpr size_t UTF16_VALUE_BLOCK_BYTES = 4096;       // a value's UTF-8 form on the stack, piecewise

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
// null when it may not fit (near limit it gives up early). Runs of plain ASCII
// are read as scan says; the units between them one at a time.
template <TextScan scan>
char* putUtf16Value(const char16_t* text, char* out, const char* limit, size_t* length) {
  char* const start = out;
  size_t escapeBytes = 0;
  text = copyAsciiRun<scan, PlainRowAscii>(text, &out, limit);
  while (*text) {
    do {  // a unit that ends the run, and those right behind it (or, near limit, a unit of the run)
      if (limit - out < UNIT_ROOM) return nullptr;
      text += putCodePoint(text, &out, &escapeBytes);
    } while (*text && !PlainRowAscii::plain(*text));
    text = copyAsciiRunAfterStop<scan, PlainRowAscii>(text, &out, limit);
  }
  *length = static_cast<size_t>(out - start) - escapeBytes;
  return out;
}

// putRowInPlace for UTF-16 values, read as scan says.
bool putUtf16Row(TextScan scan, const StringBuffer& buffer, char16_t** values, int count, int* end,
                 int64_t* valueBound) {
  auto blocks = [](const char16_t* v, char* o, const char* l, size_t* n) {
    return putUtf16Value<TextScan::BLOCKS>(v, o, l, n);
  };
  auto units = [](const char16_t* v, char* o, const char* l, size_t* n) {
    return putUtf16Value<TextScan::UNITS>(v, o, l, n);
  };
  if (scan == TextScan::BLOCKS) return putRowInPlace(buffer, values, count, blocks, end, valueBound);
  return putRowInPlace(buffer, values, count, units, end, valueBound);
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

// Appends the row through substituteEntries, one piece at a time, each value
// converted first.
void appendRowByPieces(StringBuffer& buffer, char16_t** values, int count) {
  appendRowByPieces(buffer, values, count, [](StringBuffer& b, const char16_t* value) { appendEscaped(b, value); });
}

bool writeUtf16Row(StringBuffer& buffer, const void* row, int count, int64_t* need) {
  return reserveAndAppendUtf16Row(buffer, static_cast<char16_t**>(const_cast<void*>(row)), count, need);
}

// As cp_SetAttributeValues for a row of UTF-16 values (count at least 0, values
// not null unless count is 0) and an id in UTF-8: each value is converted as the
// row is written, with the result, bytes and growth of its UTF-8 form.
int setUtf16AttributeValues(char16_t** values, int count, const char* id) {
  return setAttributeValuesWith(writeUtf16Row, values, count, id);
}

// The conversion for rows wider than MAX_DIRECT_VALUES or with a longer id: a
// copy per value. A value whose copy cannot be allocated is passed on as null
// (written as an empty value); an id or an array that cannot be allocated gives
// CP_NO_MEMORY.
int convertEachValue(char16_t** values, int count, char16_t* id) {
  char** converted = static_cast<char**>(calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(char*)));
  char* convertedId = utf16ToUtf8Copy(id);
  int result = CP_NO_MEMORY;
  if (converted && (convertedId || !id)) {
    for (int i = 0; i < count; i++) converted[i] = utf16ToUtf8Copy(values[i]);
    result = cp_SetAttributeValues(converted, count, convertedId);
    for (int i = 0; i < count; i++) free(converted[i]);
  }
  free(converted);
  free(convertedId);
  return result;
}

}  // namespace

// A row of up to MAX_DIRECT_VALUES values with an id whose UTF-8 form fits
// ID_BLOCK_BYTES is written straight into the group's buffer, each value
// converted and escaped in one pass, without allocating; any other row takes a
// copy per value.
int cp_SetAttributeValuesUtf16(char16_t** values, int count, char16_t* id) {
  if (count < 0 || !values) count = 0;
  if (count <= MAX_DIRECT_VALUES) {
    char convertedId[ID_BLOCK_BYTES];
    if (!id) return setUtf16AttributeValues(values, count, nullptr);
    if (utf16ToUtf8Bounded(id, convertedId, sizeof convertedId))
      return setUtf16AttributeValues(values, count, convertedId);
  }
  return convertEachValue(values, count, id);
}

// In one pass as reserveAndAppendInOnePass says. The bound is the same as for
// the UTF-8 form of the row, so are the bytes and the growth.
bool reserveAndAppendUtf16Row(StringBuffer& buffer, char16_t** values, int count, int64_t* need, TextScan scan) {
  auto put = [&](int* end, int64_t* valueBound) { return putUtf16Row(scan, buffer, values, count, end, valueBound); };
  auto measure = [&] { return utf16ValueBound(values, count); };
  auto pieces = [&] { appendRowByPieces(buffer, values, count); };
  return reserveAndAppendInOnePass(buffer, put, measure, pieces, false, need);
}
