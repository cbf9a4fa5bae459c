// The row format that every message carries, and the XML escaping of its values.
//
// A row is <in><al><a v="VALUE"/>...</al></in>: count values, each escaped, a null
// value as "". Escaping replaces & < > " ' and line feed by their references and
// leaves every other byte as it is. Nothing here keeps state; a buffer is used by
// one thread at a time.
#ifndef CPCLIENT_API_ROWFORMAT_H
#define CPCLIENT_API_ROWFORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

class StringBuffer;

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

// The six, as the characters that end a run of characters written as they are.
struct MarkupStops {
  static bool stops(uint32_t c) { return EXPANSION.extra[c & 0xFF] != 0; }  // c below 0x100
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

// Sets *escaped to a malloc'ed copy of text with & < > " ' and line feed replaced by
// their references, or to null when text needs no escaping (or on want of memory;
// the caller then writes text unchanged). The caller frees *escaped.
void substituteEntries(const char* text, char** escaped);
// Appends text escaped through substituteEntries (unescaped when that ran out of memory).
void appendEscaped(StringBuffer& buffer, const char* text);

// Appends one row.
void appendRow(StringBuffer& buffer, char** values, int count);
// Sizes buffer once for one more row and appends the row, measuring each value
// once; lengths, when given, are the values' lengths. *need receives the size
// bound: the buffer's length, 640 bytes of slack and 18 more than each non-null
// value's length, in 64 bits so that it cannot wrap. False, with nothing appended,
// when the bound is beyond an int (the buffer untouched) or cannot be reserved;
// after a true result the caller still checks the buffer, which runs out of
// memory if a value's escaping outgrows it.
bool reserveAndAppendRow(StringBuffer& buffer, char** values, const size_t* lengths, int count, int64_t* need);

#endif  // CPCLIENT_API_ROWFORMAT_H
