// Fuzz target: arbitrary bytes as one agent message, through XMLParser and
// ClientRequestXMLHandler, and through cp_WaitForRequest, which builds the record.
//
// Beyond what the sanitizers catch, it checks that a parse that succeeds with a
// handler also succeeds without one (which skips text runs undecoded); that the
// record holds exactly the facts the handler gathers from the same text, chosen in
// the order in which the wait tests the request kinds; and that the wait leaves
// the record's id pending for data and task requests and nothing else.
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "api/Connection.h"
#include "api/Registration.h"
#include "api/RequestWait.h"
#include "cpclient.h"
#include "util/HashTable.h"
#include "xml/ClientRequestXMLHandler.h"
#include "xml/XMLParser.h"

namespace {

constexpr size_t MAX_MESSAGE_LENGTH = size_t{64} * 1024;  // within one socket buffer

using fuzz::check;

bool sameText(const char* a, const char* b) { return a == b || (a && b && strcmp(a, b) == 0); }

// The bytes in a heap block of exactly their size plus the terminator.
char* newDocument(const char* data, size_t size) {
  char* text = static_cast<char*>(malloc(size + 1));
  if (!text) abort();
  memcpy(text, data, size);
  text[size] = 0;
  return text;
}

// What the wait delivers to the parser when the agent sends these bytes as one
// message: the text before the first NUL, through the '>' of its first ">\n" or,
// when it has none, with a '>' added unless it already ends with one.
std::string framed(const char* data, size_t size) {
  std::string text(data, strnlen(data, size));
  size_t end = text.find(">\n");
  if (end != std::string::npos)
    text.resize(end + 1);
  else if (text.empty() || text.back() != '>')
    text += '>';
  return text;
}

// The record the wait must build from what handler gathered, as the wait tests it.
struct Expected {
  bool endsWait = false;  // false: the message is skipped and the wait reads on
  int requestType = NO_REQUEST;
  int groupId = 0;
  const char* id = nullptr;
  const char* requestStartedID = nullptr;
  const char* command = nullptr;
  const char* user = nullptr;
  bool shuttingDown = false;
};

Expected expectedRecord(ClientRequestXMLHandler& handler) {
  Expected e;
  if (handler.isDataRequest()) {
    AGPTR* group = fuzz::registeredGroup(handler.getAttrGroup());
    if (group && handler.getId()) {
      e.endsWait = true;
      e.requestType = DATA_REQUEST;
      e.groupId = group->groupId;
      e.id = handler.getId();
      e.requestStartedID = handler.getRequestStartedID();
    }
  } else if (handler.isTaskRequest()) {
    if (handler.getId()) {
      e.endsWait = true;
      e.requestType = TASK_REQUEST;
      e.id = handler.getId();
      e.command = handler.getCommand();
      e.user = handler.getUser();
    }
  } else if (handler.isStartRequest()) {
    if (AGPTR* group = fuzz::registeredGroup(handler.getAttrGroup())) {
      e.endsWait = true;
      e.requestType = START_REQUEST;
      e.groupId = group->groupId;
      e.requestStartedID = handler.getRequestStartedID();
    }
  } else if (handler.isStopRequest()) {
    e.endsWait = true;
    e.shuttingDown = handler.isShuttingDown();
    if (AGPTR* group = fuzz::registeredGroup(handler.getAttrGroup())) {
      e.requestType = STOP_REQUEST;
      e.groupId = group->groupId;
      e.requestStartedID = handler.getRequestStartedID();
    }
  } else if (handler.isShutdown()) {
    e.endsWait = true;
  }
  return e;
}

bool isEmpty(const CPREQUEST& r) {
  return r.groupId == 0 && r.requestType == NO_REQUEST && !r.id && !r.requestStartedID && !r.requestInfo &&
         !r.command && !r.shuttingDown && !r.subnode && !r.user;
}

// The record's filters are the handler's, in order, less those without name or value.
bool sameFilters(const RequestInfo* record, const RequestInfo* handler) {
  for (; handler; handler = handler->next) {
    if (!handler->name || !handler->value) continue;
    if (!record || !sameText(record->name, handler->name) || !sameText(record->value, handler->value) ||
        !sameText(record->op, handler->op) || !sameText(record->logOp, handler->logOp))
      return false;
    record = record->next;
  }
  return record == nullptr;
}

void checkRecord(const CPREQUEST& r, const Expected& e, ClientRequestXMLHandler& handler) {
  if (!e.endsWait) {
    check(isEmpty(r));
    return;
  }
  check(r.requestType == e.requestType);
  check(r.groupId == e.groupId);
  check(sameText(r.id, e.id));
  check(sameText(r.requestStartedID, e.requestStartedID));
  check(sameText(r.command, e.command));
  check(sameText(r.user, e.user));
  check(r.shuttingDown == e.shuttingDown);
  check(sameText(r.subnode, handler.getSubnode()));
  check(sameFilters(r.requestInfo, handler.getRequestInfo()));
}

// The pending table holds the id of a data or task request, and nothing else.
void checkAndEndPending(const CPREQUEST& r) {
  if (r.requestType == DATA_REQUEST) {
    AGPTR* group = pendingGroup(r.id);
    check(group && group->groupId == r.groupId);
    check(pendingRemove(r.id));
  } else if (r.requestType == TASK_REQUEST) {
    check(pendingGet(r.id) != nullptr && pendingGroup(r.id) == nullptr);
    check(pendingRemove(r.id));
  }
  check(cpContext.pending->entryCount() == 0);
}

// Parses text in place with a request handler and, on a second copy, without
// any handler.
bool parseBothWays(const char* data, size_t size, ClientRequestXMLHandler& handler) {
  char* withHandler = newDocument(data, size);
  char* syntaxOnly = newDocument(data, size);
  XMLParser parser(&handler);
  bool ok = parser.parse(withHandler);
  XMLParser checker(nullptr);
  bool syntaxOk = checker.parse(syntaxOnly);
  free(withHandler);
  free(syntaxOnly);
  check(!ok || syntaxOk);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool ready = (fuzz::silenceTrace(), fuzz::enterRegisteredState(), true);
  (void)ready;
  if (size > MAX_MESSAGE_LENGTH) return 0;
  const char* data = reinterpret_cast<const char*>(bytes);

  // The bytes exactly as they came, through the parser and the handler.
  ClientRequestXMLHandler raw;
  parseBothWays(data, size, raw);

  // The same bytes as the agent's message, through the wait.
  std::string message = framed(data, size);
  ClientRequestXMLHandler seen;
  parseBothWays(message.data(), message.size(), seen);
  Expected expected = expectedRecord(seen);

  fuzz::AgentPair agent(SOCK_STREAM);
  check(agent.ok());
  agent.installAsAgent();
  std::string sent = message + "\n";
  check(agent.send(sent.data(), sent.size()));
  agent.hangUp(false);  // a skipped message then ends the wait with no request

  CPREQUEST* record = nullptr;
  int rc = cp_WaitForRequest(&record);
  check(record != nullptr);
  if (rc == CP_OK) {
    checkRecord(*record, expected, seen);
    checkAndEndPending(*record);
  } else {
    check(rc == CP_NO_MEMORY && isEmpty(*record));
  }
  cpdll_FreeRequest(record);
  return 0;
}
