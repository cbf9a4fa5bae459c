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

class StringBuffer;

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
// As reserveAndAppendRow for a row of UTF-16 values (null values allowed), with
// the bytes, the bound and the growth of the row of their UTF-8 forms: a lone
// surrogate becomes U+FFFD, a pair its 4-byte form. Each unit is read once when
// the buffer has room for the row, and no unit past a value's terminator is read.
bool reserveAndAppendUtf16Row(StringBuffer& buffer, char16_t** values, int count, int64_t* need);

#endif  // CPCLIENT_API_ROWFORMAT_H
