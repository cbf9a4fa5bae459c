/* A provider written in plain C11: the public header compiles as C, and the
 * shared library links and answers without an agent. */
#include <stdio.h>
#include <stdlib.h>

#include "cpclient.h"

int main(void) {
  if (vexadllHello() != CP_INTERFACE_LEVEL) {
    fprintf(stderr, "vexadllHello did not return %d\n", CP_INTERFACE_LEVEL);
    return 1;
  }
  CPREQUEST* request = NULL;
  if (cpdll_WaitForRequest(&request) != CP_ILLEGAL_STATE || !request || request->requestType != NO_REQUEST) {
    fprintf(stderr, "a wait before the open must give CP_ILLEGAL_STATE and an empty record\n");
    return 1;
  }
  cpdll_FreeRequest(request);
  if (cpdll_RegisterAttrGroup("Group", 1, 7) != CP_ILLEGAL_STATE) return 1;
  if (cpdll_CloseConnection() != CP_OK) return 1;
  printf("1 passed, 0 failed\n");
  return 0;
}
