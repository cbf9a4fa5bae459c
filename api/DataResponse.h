// Data responses: rows gathered per group, then sent whole or replaced by an error.
#ifndef CPCLIENT_API_DATARESPONSE_H
#define CPCLIENT_API_DATARESPONSE_H

#include <cstddef>
#include <cstdint>

#include "api/Connection.h"

// Data responses. Each returns CP_OK, CP_ILLEGAL_STATE (not in REG_COMPLETE_STATE),
// CP_ID_NOT_PENDING (id not pending for a data request), CP_NO_MEMORY (no memory
// for the group's response) or, for the sends, CP_WRITE_FAILED (the id ends all
// the same). Calls for one group must not overlap.
// Adds one row of count values (null values allowed; a negative count or a null
// array counts as an empty row).
int cp_SetAttributeValues(char** values, int count, const char* id);
// As cp_SetAttributeValues, with the values' lengths when the caller knows them
// (lengths[i] for each non-null values[i]; null: measured here).
int cp_SetAttributeValuesWithLengths(char** values, const size_t* lengths, int count, const char* id);
// Appends a row of count values to a group's response as reserveAndAppendRow
// does, with its result and *need; row is the one given to setAttributeValuesWith.
using RowWriter = bool (*)(StringBuffer& buffer, const void* row, int count, int64_t* need);
// As cp_SetAttributeValues for a row in another form, which write appends (count
// at least 0): the same checks, results and response head.
int setAttributeValuesWith(RowWriter write, const void* row, int count, const char* id);
// Completes and sends the response for id, then ends id.
int cp_SendData(const char* id);
// Sends an error response with rc for id, drops the rows gathered, then ends id.
int cp_SendError(int rc, const char* id);

#endif  // CPCLIENT_API_DATARESPONSE_H
