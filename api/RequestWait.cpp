// Waiting for the agent's requests and the request records handed to the provider.
#include <cstdlib>
#include <cstring>

#include "api/VEXA.h"
#include "host/Trace.h"
#include "transport/ClientSocket.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"
#include "xml/ClientRequestXMLHandler.h"
#include "xml/XMLParser.h"

CP_TRACE_UNIT("1.0");

namespace {

constexpr int MESSAGE_CAPACITY = 256;

const char* orNull(const char* text) { return text ? text : "(null)"; }

// Copies text into *target (null stays null). False when the copy ran out of memory.
bool copyText(const char* text, char** target) {
  *target = text ? strdup(text) : nullptr;
  return !text || *target;
}

// Frees everything the record holds and clears it, keeping the record itself.
void clearRecord(CPREQUEST* record) {
  free(record->id);
  free(record->requestStartedID);
  freeRequestInfoList(record->requestInfo);
  free(record->command);
  free(record->subnode);
  free(record->user);
  memset(record, 0, sizeof *record);
}

AGPTR* findGroup(const char* name) { return name ? static_cast<AGPTR*>(cpContext.registry->get(name)) : nullptr; }

// True while a wait may use the connection: requests flow and no close has begun.
bool connectionUsable() {
  return !cpContext.closing.load(std::memory_order_seq_cst) && cpContext.state == REG_COMPLETE_STATE;
}

// The result of a wait that may not use the connection: no request while a close
// runs, the wrong state once it is through (or before any registration).
int refusedResult() { return cpContext.state == REG_COMPLETE_STATE ? CP_OK : CP_ILLEGAL_STATE; }

// Marks a wait in progress for its whole duration, so that a close on another
// thread waits for it to return.
class WaitInProgress {
 public:
  WaitInProgress() { cpContext.waiters.fetch_add(1, std::memory_order_seq_cst); }
  ~WaitInProgress() { cpContext.waiters.fetch_sub(1, std::memory_order_seq_cst); }
  WaitInProgress(const WaitInProgress&) = delete;
  WaitInProgress& operator=(const WaitInProgress&) = delete;
};

// What one message did to the wait.
enum class Outcome { IGNORED, ENDS_WAIT, OUT_OF_MEMORY };

}  // namespace

int cp_WaitForRequest(CPREQUEST** out) {
  CP_TRACE_ENTRY(trc, "cp_WaitForRequest");
  CPREQUEST* record = static_cast<CPREQUEST*>(calloc(1, sizeof(CPREQUEST)));
  *out = record;
  if (!record) {
    CP_TRACE(trc, TRC_ERROR, "Out of memory allocating the request record");
    return trc.exit(__LINE__, CP_NO_MEMORY);
  }
  // A wait that starts while a close runs reports no request (the wrong state once
  // the close is through) without counting itself in, so a thread that waits again
  // and again never holds the close up. The second test, after counting in, closes
  // the gap with a close that began in between: that close now waits for this call.
  if (!connectionUsable()) return trc.exit(__LINE__, refusedResult());
  WaitInProgress inProgress;
  if (!connectionUsable()) return trc.exit(__LINE__, refusedResult());

  Outcome outcome = Outcome::IGNORED;
  while (outcome == Outcome::IGNORED) {
    StringBuffer message(MESSAGE_CAPACITY);
    if (!cpContext.agent->receive(message)) break;  // requestType stays NO_REQUEST

    ClientRequestXMLHandler handler;
    XMLParser parser(&handler);
    parser.parse(message.data());  // what the handler gathered counts, also after an error

    // Facts lost for want of memory would make a wrong request: drop it instead.
    bool copied = !parser.ranOutOfMemory() && !handler.ranOutOfMemory();
    if (!copied) outcome = Outcome::ENDS_WAIT;
    char* pendingKey = nullptr;
    void* pendingValue = nullptr;
    if (!copied) {
      // reported below
    } else if (handler.isDataRequest()) {
      const char* name = handler.getAttrGroup();
      CP_TRACE(trc, TRC_DETAIL, "Got data request for attribute group %s", orNull(name));
      AGPTR* group = findGroup(name);
      if (!group) {
        CP_TRACE(trc, TRC_ERROR, "Requested attribute group was not registered for!!!");
      } else if (!handler.getId()) {
        CP_TRACE(trc, TRC_ERROR, "Data request without an id ignored");
      } else {
        record->groupId = group->groupId;
        record->requestType = DATA_REQUEST;
        copied = copyText(handler.getId(), &record->id) &&
                 copyText(handler.getRequestStartedID(), &record->requestStartedID) &&
                 copyText(handler.getId(), &pendingKey);
        pendingValue = group;
        outcome = Outcome::ENDS_WAIT;
      }
    } else if (handler.isTaskRequest()) {
      if (!handler.getId()) {
        CP_TRACE(trc, TRC_ERROR, "Task request without an id ignored");
      } else {
        copied = copyText(handler.getCommand(), &record->command) && copyText(handler.getUser(), &record->user) &&
                 copyText(handler.getId(), &record->id) && copyText(handler.getId(), &pendingKey);
        record->requestType = TASK_REQUEST;
        pendingValue = pendingKey;  // a task entry's value is its own key
        outcome = Outcome::ENDS_WAIT;
      }
    } else if (handler.isStartRequest()) {
      const char* name = handler.getAttrGroup();
      CP_TRACE(trc, TRC_DETAIL, "Got request start for attribute group %s", orNull(name));
      AGPTR* group = findGroup(name);
      if (!group) {
        CP_TRACE(trc, TRC_ERROR, "Requested attribute group <%s> was not registered!!!", orNull(name));
      } else {
        record->groupId = group->groupId;
        record->requestType = START_REQUEST;
        copied = copyText(handler.getRequestStartedID(), &record->requestStartedID);
        outcome = Outcome::ENDS_WAIT;
      }
    } else if (handler.isStopRequest()) {
      const char* name = handler.getAttrGroup();
      CP_TRACE(trc, TRC_DETAIL, "Got request stop for attribute group %s", orNull(name));
      AGPTR* group = findGroup(name);
      if (!group) {
        CP_TRACE(trc, TRC_ERROR, "Requested attribute group was not registered for!!!");
      } else {
        record->groupId = group->groupId;
        record->requestType = STOP_REQUEST;
        copied = copyText(handler.getRequestStartedID(), &record->requestStartedID);
      }
      record->shuttingDown = handler.isShuttingDown();
      if (record->shuttingDown)
        CP_TRACE(trc, TRC_DETAIL, "Agent is in the process of shutting down.");
      else
        CP_TRACE(trc, TRC_DETAIL, "Agent is not in the process of shutting down.");
      outcome = Outcome::ENDS_WAIT;
    } else if (handler.isShutdown()) {
      record->requestType = NO_REQUEST;
      outcome = Outcome::ENDS_WAIT;
    } else {
      CP_TRACE(trc, TRC_ERROR, "Unrecognized request type");
    }

    if (outcome == Outcome::ENDS_WAIT && copied) {
      copied = copyText(handler.getSubnode(), &record->subnode);
      RequestInfo** tail = &record->requestInfo;
      for (const RequestInfo* node = handler.getRequestInfo(); node && copied; node = node->next) {
        if (!node->name || !node->value) {
          CP_TRACE_ALWAYS(trc, "Received requestInfo with null name or value");
          continue;
        }
        RequestInfo* copy = static_cast<RequestInfo*>(calloc(1, sizeof(RequestInfo)));
        copied = copy && copyText(node->name, &copy->name) && copyText(node->value, &copy->value) &&
                 copyText(node->op, &copy->op) && copyText(node->logOp, &copy->logOp);
        if (copy) {  // linked even when partly copied, so that clearRecord frees it
          *tail = copy;
          tail = &copy->next;
        }
      }
    }

    if (outcome == Outcome::ENDS_WAIT && copied && pendingKey) {
      copied = pendingPut(pendingKey, pendingValue);  // the table owns the key from here
      pendingKey = nullptr;
    }
    if (outcome == Outcome::ENDS_WAIT && !copied) {
      free(pendingKey);
      CP_TRACE(trc, TRC_ERROR, "Out of memory copying the request; it is dropped");
      clearRecord(record);
      outcome = Outcome::OUT_OF_MEMORY;
    }
  }
  return trc.exit(__LINE__, outcome == Outcome::OUT_OF_MEMORY ? CP_NO_MEMORY : CP_OK);
}

void cpdll_FreeRequest(CPREQUEST* request) {
  if (!request) return;
  clearRecord(request);
  free(request);
}
