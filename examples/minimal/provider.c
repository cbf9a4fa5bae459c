/* examples/minimal/provider.c, the smallest useful provider: one attribute group
 * with one row, and task answers. It compiles as C11 and as C++17. */
#include <cpclient.h>
#include <stddef.h>

int main(void) {
  int quiet = 0;                                 /* NO_REQUEST records in a row */
  if (cpdll_OpenConnection() != CP_OK) return 1; /* port from CP_PORT or cpdll_setPort */
  cpdll_RegisterAttrGroup("Procs", 1, 7);        /* name, version, your group number */
  cpdll_RegistrationComplete();                  /* sends the registration */
  while (quiet < 2) {
    CPREQUEST* r = NULL;
    if (cpdll_WaitForRequest(&r) != CP_OK) { /* not connected, or out of memory */
      cpdll_FreeRequest(r);
      break;
    }
    /* NO_REQUEST: the shutdown, the connection's end, or a stop for a group not ours. The first
       two end the conversation and every wait after them gives NO_REQUEST: two in a row end it. */
    quiet = r->requestType == NO_REQUEST ? quiet + 1 : 0;
    if (r->requestType == DATA_REQUEST) {
      char16_t name[] = u"init", pid[] = u"1", id[64];
      char16_t* row[] = {name, pid};
      size_t i = 0;
      for (; r->id[i] && i < 63; i++) id[i] = (char16_t)(unsigned char)r->id[i];
      id[i] = 0;
      cpdll_SetAttributeValues(row, 2, id); /* one call per row, UTF-16 values */
      cpdll_SendData(r->id);                /* sends the rows, ends the request */
    } else if (r->requestType == TASK_REQUEST) {
      cpdll_SendTaskRC(0, r->id);
    }
    cpdll_FreeRequest(r);
  }
  cpdll_CloseConnection();
  return 0;
}
