/* A provider built outside the tree against the installed cpclient: one group
 * with one row, task answers, and a clean exit when the agent shuts down. */
#include <cpclient.h>
#include <stddef.h>

enum { OUTSIDE_GROUP = 1 };

int main(void) {
  if (vexadllHello() != CP_INTERFACE_LEVEL || cpdll_OpenConnection() != CP_OK) return 1;
  if (cpdll_RegisterAttrGroup("Outside", 1, OUTSIDE_GROUP) != CP_OK) return 1;
  if (cpdll_RegistrationComplete() != CP_OK) return 1;
  int failures = 0;
  for (;;) {
    CPREQUEST* request = NULL;
    if (cpdll_WaitForRequest(&request) != CP_OK || request->requestType == NO_REQUEST) {
      cpdll_FreeRequest(request);
      break;
    }
    if (request->requestType == DATA_REQUEST) {
      char16_t id[64], name[] = u"outside", count[] = u"1";
      char16_t* row[] = {name, count};
      size_t i = 0;
      for (; request->id[i] && i < 63; i++) id[i] = (char16_t)(unsigned char)request->id[i];
      id[i] = 0;
      failures += cpdll_SetAttributeValues(row, 2, id) != CP_OK;
      failures += cpdll_SendData(request->id) != CP_OK;
    } else if (request->requestType == TASK_REQUEST) {
      failures += cpdll_SendTaskRC(0, request->id) != CP_OK;
    }
    cpdll_FreeRequest(request);
  }
  cpdll_CloseConnection();
  return failures == 0 ? 0 : 1;
}
