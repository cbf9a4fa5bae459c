// Events and event errors of a registered group, and task responses.
#ifndef CPCLIENT_API_EVENTSANDTASKS_H
#define CPCLIENT_API_EVENTSANDTASKS_H

#include "api/Connection.h"

// Events: one row, or an error code, of a group, optionally for a subnode (null:
// none). CP_OK, CP_ILLEGAL_STATE, CP_WRITE_FAILED, CP_UNKNOWN_GROUP or
// CP_NO_MEMORY (no memory for the message). Any thread.
int cp_SendEventData(char** values, int count, int groupId, const char* subnode);
int cp_SendEventError(int rc, int groupId, const char* subnode);
// Task responses: end id (pending for a task or a data request) and send rc, with
// valueCount outputs (each with insts[i] when i < instCount and it is not null).
// CP_OK, CP_ILLEGAL_STATE, CP_WRITE_FAILED (the id is ended all the same),
// CP_ID_NOT_PENDING, or CP_NO_MEMORY (no memory for the message; the id is ended).
// Any thread.
int cp_SendTaskRC(int rc, const char* id);
int cp_SendTaskRC(int rc, const char* id, char** insts, int instCount, char** values, int valueCount);
// Appends count outputs: <output value="V"[ inst="I"]/>, both escaped.
void appendTaskOutputs(StringBuffer& buffer, char** values, int count, char** insts, int instCount);

#endif  // CPCLIENT_API_EVENTSANDTASKS_H
