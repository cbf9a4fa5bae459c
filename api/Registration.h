// Registration of attribute groups and the registration message.
#ifndef CPCLIENT_API_REGISTRATION_H
#define CPCLIENT_API_REGISTRATION_H

#include "api/Connection.h"

// Registers a group in OPEN_SOCKET_STATE: CP_OK, or CP_ILLEGAL_STATE (wrong state
// or no memory). A name registered again replaces the earlier group, whose record is freed.
int cp_RegisterAttrGroup(const char* name, int version, int groupId);
// Sends the registration message and moves to REG_COMPLETE_STATE: CP_OK,
// CP_WRITE_FAILED (not written; the state moves all the same) or CP_ILLEGAL_STATE
// (not in OPEN_SOCKET_STATE).
int cp_RegistrationComplete();
// Frees a group with its name copy and its response buffer.
void freeGroup(AGPTR* group);
// The name of the first registered group (in registry order) with groupId, or
// null. Borrowed from the registry.
const char* getAttrGroup(int groupId);

#endif  // CPCLIENT_API_REGISTRATION_H
