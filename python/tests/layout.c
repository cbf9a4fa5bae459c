/* Prints the sizes and field offsets of the header's structures as one JSON object, for the
 * Python binding's layout test. */
#include <cpclient.h>
#include <stddef.h>
#include <stdio.h>

#define FIELD(type, field) printf(", \"%s\": %zu", #field, offsetof(type, field))

int main(void) {
  printf("{\"CPREQUEST\": {\"size\": %zu", sizeof(CPREQUEST));
  FIELD(CPREQUEST, groupId);
  FIELD(CPREQUEST, requestType);
  FIELD(CPREQUEST, id);
  FIELD(CPREQUEST, requestStartedID);
  FIELD(CPREQUEST, requestInfo);
  FIELD(CPREQUEST, command);
  FIELD(CPREQUEST, shuttingDown);
  FIELD(CPREQUEST, subnode);
  FIELD(CPREQUEST, user);
  printf("}, \"RequestInfo\": {\"size\": %zu", sizeof(RequestInfo));
  FIELD(RequestInfo, name);
  FIELD(RequestInfo, value);
  FIELD(RequestInfo, op);
  FIELD(RequestInfo, logOp);
  FIELD(RequestInfo, next);
  printf("}}\n");
  return 0;
}
