// The wait for the agent's next request and the records it hands out.
#ifndef CPCLIENT_API_REQUESTWAIT_H
#define CPCLIENT_API_REQUESTWAIT_H

#include "api/Connection.h"

// Waits for the next request (see cpdll_WaitForRequest). Always stores a record in
// *out unless the record itself cannot be allocated (then null and CP_NO_MEMORY).
// Returns CP_OK, CP_ILLEGAL_STATE (not in REG_COMPLETE_STATE) or CP_NO_MEMORY (a
// request could not be copied; the record is empty and nothing is pending for it).
int cp_WaitForRequest(CPREQUEST** out);
// As cp_WaitForRequest, saying why the wait ended (see cpdll_WaitForRequestTimed):
// CP_OK with a request, CP_TIMED_OUT after timeoutMs (negative: no limit),
// CP_AGENT_SHUTDOWN, CP_CONNECTION_LOST, CP_ILLEGAL_STATE or CP_NO_MEMORY. A stop
// for a group not registered is skipped.
int cp_WaitForRequestTimed(CPREQUEST** out, int timeoutMs);
// Frees a record made by cp_WaitForRequest and everything it holds; null is
// ignored. Touches no connection state.
void releaseRequest(CPREQUEST* record);

#endif  // CPCLIENT_API_REQUESTWAIT_H
