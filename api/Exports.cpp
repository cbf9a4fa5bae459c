// The exported C interface: each function hands its arguments to its internal operation.
#include <cstdlib>

#include "api/VEXA.h"
#include "config/ConfigData.h"
#include "config/SubnodeNames.h"
#include "cpclient.h"
#include "util/Utf16.h"

int vexadllHello(void) { return CP_INTERFACE_LEVEL; }

void cpdll_setPort(int port) { cp_setPort(port); }

const char* cpdll_GetConfigurationProperty(const char* name) { return cp_GetConfigurationProperty(name); }

const char* cpdll_GetSubnodeConfigurationProperty(const char* name, const char* subnodeType, const char* subnodeKey) {
  return cp_GetSubnodeConfigurationProperty(name, subnodeType, subnodeKey);
}

int cpdll_OpenConnection(void) { return cp_OpenConnection(nullptr, 0); }

int cpdll_CloseConnection(void) { return cp_CloseConnection(); }

int cpdll_RegisterAttrGroup(const char* name, int version, int groupId) {
  return cp_RegisterAttrGroup(name, version, groupId);
}

int cpdll_RegistrationComplete(void) { return cp_RegistrationComplete(); }

int cpdll_WaitForRequest(CPREQUEST** request) {
  if (!request) return CP_ILLEGAL_STATE;
  return cp_WaitForRequest(request);
}

namespace {

constexpr int STACK_VALUES = 64;
constexpr size_t STACK_SCRATCH = 4096;

// The conversion for rows that do not fit the stack block: a copy per value. A
// value whose copy cannot be allocated is passed on as null (written as an empty
// value); an id or an array that cannot be allocated gives CP_NO_MEMORY.
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

// Converts text into the scratch block at *used, giving its place and length;
// false when it does not fit.
bool convertInto(const char16_t* text, char* scratch, size_t* used, char** converted, size_t* length) {
  size_t n = utf16ToUtf8Bounded(text, scratch + *used, STACK_SCRATCH - *used);
  if (n == 0) return false;
  *converted = scratch + *used;
  *length = n - 1;
  *used += n;
  return true;
}

}  // namespace

// Converts the row and the id to UTF-8 for cp_SetAttributeValues. A row of up to
// STACK_VALUES values whose UTF-8 form fits STACK_SCRATCH bytes is converted in
// one pass into one block on the stack, without allocating, and passed on with
// the lengths the conversion found; any other row takes a copy per value. A null
// array is an empty row.
int cpdll_SetAttributeValues(char16_t** values, int count, char16_t* id) {
  if (count < 0 || !values) count = 0;
  if (count <= STACK_VALUES) {
    char* converted[STACK_VALUES];
    size_t lengths[STACK_VALUES];
    char scratch[STACK_SCRATCH];
    size_t used = 0;
    char* convertedId = nullptr;
    size_t idLength = 0;
    bool fits = !id || convertInto(id, scratch, &used, &convertedId, &idLength);
    for (int i = 0; i < count && fits; i++) {
      converted[i] = nullptr;
      lengths[i] = 0;
      if (values[i]) fits = convertInto(values[i], scratch, &used, &converted[i], &lengths[i]);
    }
    if (fits) return cp_SetAttributeValuesKnown(converted, lengths, count, convertedId);
  }
  return convertEachValue(values, count, id);
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
