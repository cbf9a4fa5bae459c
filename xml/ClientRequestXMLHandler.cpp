// Request facts gathered from the elements of one agent message.
#include "xml/ClientRequestXMLHandler.h"

#include <cstdlib>
#include <cstring>

#include "host/Trace.h"
#include "util/HashTable.h"
#include "xml/XMLParser.h"

CP_TRACE_UNIT("1.0");

namespace {

// The attributes of one tag, each asked for at most once: when as many have been
// found as the tag has, every other one is absent without a search.
class TagAttributes {
 public:
  explicit TagAttributes(HashTable* table) : table(table), unfound(table->entryCount()) {}
  // The attribute's value, or null when it is absent.
  const char* get(const char* key) {
    if (unfound <= 0) return nullptr;
    const char* value = static_cast<const char*>(table->get(key));
    if (value) unfound--;
    return value;
  }

 private:
  HashTable* table;
  int unfound;
};

// A heap copy of value, or null for a null value; null also when memory is short,
// which then sets *outOfMemory.
char* copyOf(const char* value, bool* outOfMemory) {
  char* copy = value ? strdup(value) : nullptr;
  if (value && !copy) *outOfMemory = true;
  return copy;
}

// Replaces field (the later element wins) with a copy of value, or null.
void assign(char*& field, const char* value, bool* outOfMemory) {
  char* copy = copyOf(value, outOfMemory);
  free(field);
  field = copy;
}

// assign, only when the attribute is present; returns whether it was.
bool assignIfPresent(char*& field, TagAttributes& attributes, const char* key, bool* outOfMemory) {
  const char* value = attributes.get(key);
  if (!value) return false;
  assign(field, value, outOfMemory);
  return true;
}

// True exactly when value is the word TRUE in any mix of cases (a to z only), nothing around it.
bool isTrueWord(const char* value) {
  if (!value) return false;
  static const char WORD[] = "TRUE";
  for (size_t i = 0; i < sizeof WORD; i++) {
    char c = value[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != WORD[i]) return false;  // the terminators compare too
  }
  return true;
}

// Hands text over to the caller, leaving null in its place.
char* handOver(char*& text) {
  char* taken = text;
  text = nullptr;
  return taken;
}

const char* shown(const char* text) { return text ? text : "(null)"; }

// True when name is exactly word; most names differ from a word in their first byte.
bool named(const char* name, const char* word) { return name[0] == word[0] && strcmp(name, word) == 0; }

// Appends one request filter at *tail, the null link that ends the list, and moves
// tail to the new node's link; a node that cannot be allocated is left out and sets
// *outOfMemory.
void appendRequestInfo(RequestInfo**& tail, TagAttributes& attributes, TraceScope& trc, bool* outOfMemory) {
  RequestInfo* node = static_cast<RequestInfo*>(calloc(1, sizeof(RequestInfo)));
  if (!node) {
    CP_TRACE(trc, TRC_ERROR, "request filter info - out of memory");
    *outOfMemory = true;
    return;
  }
  const char* name = attributes.get("name");
  node->name = copyOf(name, outOfMemory);
  if (!name) CP_TRACE(trc, TRC_DETAIL, "request filter info - name is null");
  const char* value = attributes.get("value");
  node->value = copyOf(value, outOfMemory);
  if (!value) CP_TRACE(trc, TRC_DETAIL, "request filter info - value is null");
  node->op = copyOf(attributes.get("op"), outOfMemory);
  node->logOp = copyOf(attributes.get("logOp"), outOfMemory);
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

void ClientRequestXMLHandler::startElement(const char* name, HashTable* table) {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::startElement");
  if (!name) return;
  TagAttributes attributes(table ? table : &emptyAttributeTable);

  bool* noMemory = &outOfMemory;
  if (named(name, "dataRequest")) {
    dataRequest = true;
    if (!assignIfPresent(id, attributes, "id", noMemory)) CP_TRACE(trc, TRC_DETAIL, "id is null");
    if (!assignIfPresent(requestStartedID, attributes, "requestStartedID", noMemory))
      CP_TRACE(trc, TRC_DETAIL, "requestStartedID is null");
  } else if (named(name, "taskRequest")) {
    CP_TRACE(trc, TRC_DETAIL, "received task request");
    taskRequest = true;
    if (!assignIfPresent(id, attributes, "id", noMemory)) CP_TRACE(trc, TRC_DETAIL, "id is null");
  } else if (named(name, "attrGroup")) {
    assign(attrGroup, attributes.get("name"), noMemory);
  } else if (named(name, "task")) {
    assign(command, attributes.get("command"), noMemory);
    assignIfPresent(user, attributes, "user", noMemory);
  } else if (named(name, "startRequestInfo")) {
    CP_TRACE(trc, TRC_DETAIL, "request started");
    startRequest = true;
    if (!assignIfPresent(requestStartedID, attributes, "requestStartedID", noMemory))
      CP_TRACE(trc, TRC_DETAIL, "request started - requestStartedID is null");
    assign(attrGroup, attributes.get("ag"), noMemory);
  } else if (named(name, "stopRequestInfo")) {
    CP_TRACE(trc, TRC_DETAIL, "request stopped");
    stopRequest = true;
    assign(requestStartedID, attributes.get("requestStartedID"), noMemory);
    assign(attrGroup, attributes.get("ag"), noMemory);
    shuttingDown = isTrueWord(attributes.get("shuttingDown"));
  } else if (named(name, "requestInfo")) {
    CP_TRACE(trc, TRC_DETAIL, "request filter info");
    appendRequestInfo(requestInfoTail, attributes, trc, noMemory);
  } else if (named(name, "shutdown")) {
    shutdown = true;
    shuttingDown = true;
  } else {
    CP_TRACE(trc, TRC_DETAIL, "unknown element:<%s>", name);
  }
  // Any element may name the subnode; asked for last, it is often known absent by then.
  assignIfPresent(subnode, attributes, "subnode", noMemory);
}

void ClientRequestXMLHandler::endElement(const char*) { CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::endElement"); }

void ClientRequestXMLHandler::fatalError(const char* message) {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::fatalError");
  CP_TRACE_ALWAYS(trc, "Client request parse error found: %s\n", shown(message));
}

const char* ClientRequestXMLHandler::getAttrGroup() {
  CP_TRACE_ENTRY(trc, "ClientRequestXMLHandler::getAttrGroup");
  return trc.exit(static_cast<const char*>(attrGroup));
}

char* ClientRequestXMLHandler::takeId() { return handOver(id); }

char* ClientRequestXMLHandler::takeRequestStartedID() { return handOver(requestStartedID); }

char* ClientRequestXMLHandler::takeSubnode() { return handOver(subnode); }

char* ClientRequestXMLHandler::takeCommand() { return handOver(command); }

char* ClientRequestXMLHandler::takeUser() { return handOver(user); }

RequestInfo* ClientRequestXMLHandler::takeRequestInfo() {
  RequestInfo* head = requestInfo;
  requestInfo = nullptr;
  requestInfoTail = &requestInfo;
  return head;
}
