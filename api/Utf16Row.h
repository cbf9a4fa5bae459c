// Rows whose values and id come in UTF-16.
#ifndef CPCLIENT_API_UTF16ROW_H
#define CPCLIENT_API_UTF16ROW_H

// As cp_SetAttributeValues for a row and an id in UTF-16, converted to UTF-8 first;
// a value whose copy cannot be allocated is written as an empty value, an id or an
// array that cannot be allocated gives CP_NO_MEMORY. Not traced itself.
int cp_SetAttributeValuesUtf16(char16_t** values, int count, char16_t* id);

#endif  // CPCLIENT_API_UTF16ROW_H
