// Rows whose values and id come in UTF-16.
#ifndef CPCLIENT_API_UTF16ROW_H
#define CPCLIENT_API_UTF16ROW_H

#include <cstdint>

#include "util/AlignedBlocks.h"

class StringBuffer;

// As cp_SetAttributeValues for a row and an id in UTF-16, converted to UTF-8 first;
// a value whose copy cannot be allocated is written as an empty value, an id or an
// array that cannot be allocated gives CP_NO_MEMORY. Not traced itself.
int cp_SetAttributeValuesUtf16(char16_t** values, int count, char16_t* id);

// As reserveAndAppendRow for a row of UTF-16 values (null values allowed), with
// the bytes, the bound and the growth of the row of their UTF-8 forms: a lone
// surrogate becomes U+FFFD, a pair its 4-byte form. Each unit is read once when
// the buffer has room for the row; scan says how (util/AlignedBlocks.h).
bool reserveAndAppendUtf16Row(StringBuffer& buffer, char16_t** values, int count, int64_t* need,
                              TextScan scan = FASTEST_SCAN);

#endif  // CPCLIENT_API_UTF16ROW_H
