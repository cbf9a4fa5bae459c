// Request facts gathered from the elements of one agent message.
#include "xml/ClientRequestXMLHandler.h"

#include <cstdlib>
#include <cstring>

#include "host/Trace.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"
#include "xml/XMLParser.h"

CP_TRACE_UNIT("1.0");

namespace {

const char* attribute(HashTable* attributes, const char* key) { return static_cast<const char*>(attributes->get(key)); }

// A heap copy of the attribute's value; null when it is absent or memory is short,
// which also sets *outOfMemory.
char* copyAttribute(HashTable* attributes, const char* key, bool* outOfMemory) {
  const char* value = attribute(attributes, key);
  char* copy = value ? strdup(value) : nullptr;
  if (value && !copy) *outOfMemory = true;
  return copy;
}

// Replaces field (the later element wins) with a copy of the attribute, or null.
void assign(char*& field, HashTable* attributes, const char* key, bool* outOfMemory) {
  char* copy = copyAttribute(attributes, key, outOfMemory);
  free(field);
  field = copy;
}

// assign, only when the attribute is present; returns whether it was.
bool assignIfPresent(char*& field, HashTable* attributes, const char* key, bool* outOfMemory) {
  if (!attribute(attributes, key)) return false;
  assign(field, attributes, key, outOfMemory);
  return true;
}

// True exactly when value is the word TRUE in any mix of cases, nothing around it.
bool isTrueWord(const char* value, bool* outOfMemory) {
  if (!value) return false;
  StringBuffer upper(value);
  if (!upper.data()) {
    *outOfMemory = true;
    return false;
  }
  upper.toUpper();
  return strcmp(upper.data(), "TRUE") == 0;
}

const char* shown(const char* text) { return text ? text : "(null)"; }

// Appends one request filter at *tail, the null link that ends the list, and moves
// tail to the new node's link; a node that cannot be allocated is left out and sets
// *outOfMemory.
void appendRequestInfo(RequestInfo**& tail, HashTable* attributes, TraceScope& trc, bool* outOfMemory) {
  RequestInfo* node = static_cast<RequestInfo*>(calloc(1, sizeof(RequestInfo)));
  if (!node) {
    CP_TRACE(trc, TRC_ERROR, "request filter info - out of memory");
    *outOfMemory = true;
    return;
  }
  node->name = copyAttribute(attributes, "name", outOfMemory);
  if (!attribute(attributes, "name")) CP_TRACE(trc, TRC_DETAIL, "request filter info - name is null");
  node->value = copyAttribute(attributes, "value", outOfMemory);
  if (!attribute(attributes, "value")) CP_TRACE(trc, TRC_DETAIL, "request filter info - value is null");
  node->op = copyAttribute(attributes, "op", outOfMemory);
  node->logOp = copyAttribute(attributes, "logOp", outOfMemory);
  node->next = nullptr;

  *tail = node;
  tail = &node->next;
  CP_TRACE(trc, TRC_DETAIL, "received requestInfo %s, val %s", shown(node->name), shown(node->value));
}

}  // namespace

ClientRequestXMLHandler::ClientRequestXMLHandler()
    : attrGroup(nullptr),
      command(nullptr),
      id(nullptr),
      requestStartedID(nullptr),
      subnode(nullptr),
      requestInfo(nullptr),
      requestInfoTail(&requestInfo),
      dataRequest(false),
      taskRequest(false),
      startRequest(false),
      stopRequest(false),
      shuttingDown(false),
      shutdown(false),
      user(nullptr),
      outOfMemory(false) {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::ClientRequestXMLHandler");
}

ClientRequestXMLHandler::~ClientRequestXMLHandler() {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::~ClientRequestXMLHandler");
  free(attrGroup);
  free(command);
  free(user);
  free(id);
  free(requestStartedID);
  free(subnode);
  freeRequestInfoList(requestInfo);
  requestInfo = nullptr;
}

void freeRequestInfoList(RequestInfo* node) {
  while (node) {
    RequestInfo* next = node->next;
    free(node->name);
    free(node->value);
    free(node->op);
    free(node->logOp);
    free(node);
    node = next;
  }
}

void ClientRequestXMLHandler::startElement(const char* name, HashTable* attributes) {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::startElement");
  if (!name) return;
  if (!attributes) attributes = &emptyAttributeTable;

  bool* noMemory = &outOfMemory;
  assignIfPresent(subnode, attributes, "subnode", noMemory);

  if (strcmp(name, "dataRequest") == 0) {
    dataRequest = true;
    if (!assignIfPresent(id, attributes, "id", noMemory)) CP_TRACE(trc, TRC_DETAIL, "id is null");
    if (!assignIfPresent(requestStartedID, attributes, "requestStartedID", noMemory))
      CP_TRACE(trc, TRC_DETAIL, "requestStartedID is null");
  } else if (strcmp(name, "taskRequest") == 0) {
    CP_TRACE(trc, TRC_DETAIL, "received task request");
    taskRequest = true;
    if (!assignIfPresent(id, attributes, "id", noMemory)) CP_TRACE(trc, TRC_DETAIL, "id is null");
  } else if (strcmp(name, "attrGroup") == 0) {
    assign(attrGroup, attributes, "name", noMemory);
  } else if (strcmp(name, "task") == 0) {
    assign(command, attributes, "command", noMemory);
    assignIfPresent(user, attributes, "user", noMemory);
  } else if (strcmp(name, "startRequestInfo") == 0) {
    CP_TRACE(trc, TRC_DETAIL, "request started");
    startRequest = true;
    if (!assignIfPresent(requestStartedID, attributes, "requestStartedID", noMemory))
      CP_TRACE(trc, TRC_DETAIL, "request started - requestStartedID is null");
    assign(attrGroup, attributes, "ag", noMemory);
  } else if (strcmp(name, "stopRequestInfo") == 0) {
    CP_TRACE(trc, TRC_DETAIL, "request stopped");
    stopRequest = true;
    assign(requestStartedID, attributes, "requestStartedID", noMemory);
    assign(attrGroup, attributes, "ag", noMemory);
    shuttingDown = isTrueWord(attribute(attributes, "shuttingDown"), noMemory);
  } else if (strcmp(name, "requestInfo") == 0) {
    CP_TRACE(trc, TRC_DETAIL, "request filter info");
    appendRequestInfo(requestInfoTail, attributes, trc, noMemory);
  } else if (strcmp(name, "shutdown") == 0) {
    shutdown = true;
    shuttingDown = true;
  } else {
    CP_TRACE(trc, TRC_DETAIL, "unknown element:<%s>", name);
  }
}

void ClientRequestXMLHandler::endElement(const char*) { CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::endElement"); }

void ClientRequestXMLHandler::fatalError(const char* message) {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::fatalError");
  CP_TRACE_ALWAYS(trc, "Client request parse error found: %s\n", shown(message));
}

const char* ClientRequestXMLHandler::getAttrGroup() {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::getAttrGroup");
  return trc.exit(__LINE__, static_cast<const char*>(attrGroup));
}
