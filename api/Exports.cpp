// The exported C interface: each function hands its arguments to its internal operation.
// vexadllHello answers by itself. The internal operations never write through the
// value arrays that the extensions take as const.
#include "api/Connection.h"
#include "api/DataResponse.h"
#include "api/EventsAndTasks.h"
#include "api/Registration.h"
#include "api/RequestWait.h"
#include "api/Utf16Row.h"
#include "config/ConfigData.h"
#include "config/SubnodeNames.h"
#include "cpclient.h"

int vexadllHello(void) { return CP_INTERFACE_LEVEL; }

void cpdll_setPort(int port) { cp_setPort(port); }

const char* cpdll_GetConfigurationProperty(const char* name) { return cp_GetConfigurationProperty(name); }

const char* cpdll_GetSubnodeConfigurationProperty(const char* name, const char* subnodeType, const char* subnodeKey) {
  return cp_GetSubnodeConfigurationProperty(name, subnodeType, subnodeKey);
}

int cpdll_OpenConnection(void) { return cp_OpenConnection(nullptr, 0); }
int cpdll_OpenConnectionTimed(int timeoutMs) { return cp_OpenConnectionTimed(timeoutMs); }

int cpdll_CloseConnection(void) { return cp_CloseConnection(); }

int cpdll_RegisterAttrGroup(const char* name, int version, int groupId) {
  return cp_RegisterAttrGroup(name, version, groupId);
}

int cpdll_RegistrationComplete(void) { return cp_RegistrationComplete(); }

int cpdll_WaitForRequest(CPREQUEST** request) { return request ? cp_WaitForRequest(request) : CP_ILLEGAL_STATE; }

void cpdll_FreeRequest(CPREQUEST* request) { releaseRequest(request); }

int cpdll_SetAttributeValues(char16_t** values, int count, char16_t* id) {
  return cp_SetAttributeValuesUtf16(values, count, id);
}

int cpdll_SendData(const char* id) { return cp_SendData(id); }

int cpdll_SendError(int rc, const char* id) { return cp_SendError(rc, id); }

int cpdll_SendEventData(char** values, int count, int groupId) {
  return cp_SendEventData(values, count, groupId, nullptr);
}

int cpdll_SendSubnodeEventData(char** values, int count, int groupId, const char* subnode) {
  return cp_SendEventData(values, count, groupId, subnode);
}

int cpdll_SendEventError(int rc, int groupId) { return cp_SendEventError(rc, groupId, nullptr); }

int cpdll_SendSubnodeEventError(int rc, int groupId, const char* subnode) {
  return cp_SendEventError(rc, groupId, subnode);
}

int cpdll_SendTaskRC(int rc, const char* id) { return cp_SendTaskRC(rc, id); }

// Extensions.

int cpdll_SetAttributeValuesUtf8(const char* const* values, int count, const char* id) {
  return cp_SetAttributeValues(const_cast<char**>(values), count, id);
}

int cpdll_SendTaskOutput(int rc, const char* id, const char* const* values, const char* const* insts, int count) {
  return cp_SendTaskRC(rc, id, const_cast<char**>(insts), insts ? count : 0, const_cast<char**>(values), count);
}

int cpdll_WaitForRequestTimed(CPREQUEST** request, int timeoutMs) {
  return request ? cp_WaitForRequestTimed(request, timeoutMs) : CP_ILLEGAL_STATE;
}

const char* cpdll_ResultText(int result) { return cp_ResultText(result); }
