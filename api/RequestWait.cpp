// Waiting for the agent's requests and the request records handed to the provider.
#include "api/RequestWait.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "api/Registration.h"
#include "host/Trace.h"
#include "transport/ClientSocket.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"
#include "xml/ClientRequestXMLHandler.h"
#include "xml/XMLParser.h"

CP_TRACE_UNIT("1.0");

namespace {

const char* orNull(const char* text) { return text ? text : "(null)"; }

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

// True while a wait may use the connection: requests flow and no close has begun.
bool connectionUsable() {
  return !cpContext.closing.load(std::memory_order_seq_cst) && cpContext.state == REG_COMPLETE_STATE;
}

// The result of a wait that may not use the connection: no request while a close
// runs, the wrong state once it is through (or before any registration).
int refusedResult() { return cpContext.state == REG_COMPLETE_STATE ? CP_OK : CP_ILLEGAL_STATE; }

// What one message did to the wait.
enum class Outcome {
  IGNORED,       // nothing for the provider: the wait goes on
  REQUEST,       // a data, task, start or stop request is in the record
  UNKNOWN_STOP,  // a stop for a group not registered: NO_REQUEST with shuttingDown
  SHUTDOWN,      // the agent announced its shutdown: NO_REQUEST
  OUT_OF_MEMORY  // the request was dropped for want of memory; the record is clear
};

// Fills a request that names a group (data, start or stop): groupId, requestType
// and requestStartedID, and a data request's id, each taken over from the handler.
// Returns the group, or null with the record untouched when the request is ignored
// (traced): its group is not registered, or a data request has no id.
AGPTR* fillGroupRequest(TraceScope& trc, ClientRequestXMLHandler& handler, int type, CPREQUEST* record) {
  const char* name = handler.getAttrGroup();
  const char* kind = type == DATA_REQUEST ? "data request" : type == START_REQUEST ? "request start" : "request stop";
  CP_TRACE(trc, TRC_DETAIL, "Got %s for attribute group %s", kind, orNull(name));
  AGPTR* group = name ? static_cast<AGPTR*>(cpContext.registry->get(name)) : nullptr;
  if (!group) {
    if (type == START_REQUEST)
      CP_TRACE(trc, TRC_ERROR, "Requested attribute group <%s> was not registered!!!", orNull(name));
    else
      CP_TRACE(trc, TRC_ERROR, "Requested attribute group was not registered for!!!");
    return nullptr;
  }
  if (type == DATA_REQUEST && !handler.getId()) {
    CP_TRACE(trc, TRC_ERROR, "Data request without an id ignored");
    return nullptr;
  }
  record->groupId = group->groupId;
  record->requestType = type;
  if (type == DATA_REQUEST) record->id = handler.takeId();
  record->requestStartedID = handler.takeRequestStartedID();
  return group;
}

// Fills a task request: command, user and id. IGNORED, with the record untouched,
// when it has no id (traced).
Outcome fillTaskRequest(TraceScope& trc, ClientRequestXMLHandler& handler, CPREQUEST* record) {
  if (!handler.getId()) {
    CP_TRACE(trc, TRC_ERROR, "Task request without an id ignored");
    return Outcome::IGNORED;
  }
  record->requestType = TASK_REQUEST;
  record->command = handler.takeCommand();
  record->user = handler.takeUser();
  record->id = handler.takeId();
  return Outcome::REQUEST;
}

// Fills the record from the request that the handler recognised, the first of its
// flags in the order below deciding, taking the texts over from the handler.
// IGNORED leaves the record untouched. *group receives a data request's group.
Outcome fillRequest(TraceScope& trc, ClientRequestXMLHandler& handler, CPREQUEST* record, AGPTR** group) {
  if (handler.isDataRequest()) {
    *group = fillGroupRequest(trc, handler, DATA_REQUEST, record);
    return *group ? Outcome::REQUEST : Outcome::IGNORED;
  }
  if (handler.isTaskRequest()) return fillTaskRequest(trc, handler, record);
  if (handler.isStartRequest())
    return fillGroupRequest(trc, handler, START_REQUEST, record) ? Outcome::REQUEST : Outcome::IGNORED;
  if (handler.isStopRequest()) {
    bool known = fillGroupRequest(trc, handler, STOP_REQUEST, record) != nullptr;
    record->shuttingDown = handler.isShuttingDown();
    CP_TRACE(trc, TRC_DETAIL, "Agent is %sin the process of shutting down.", record->shuttingDown ? "" : "not ");
    return known ? Outcome::REQUEST : Outcome::UNKNOWN_STOP;
  }
  if (handler.isShutdown()) return Outcome::SHUTDOWN;  // NO_REQUEST, which the record already is
  CP_TRACE(trc, TRC_ERROR, "Unrecognized request type");
  return Outcome::IGNORED;
}

// Takes the subnode and the request filters over, in their order, leaving out
// (traced, and freed) a filter without a name or a value.
void takeFilters(TraceScope& trc, ClientRequestXMLHandler& handler, CPREQUEST* record) {
  record->subnode = handler.takeSubnode();
  RequestInfo** tail = &record->requestInfo;
  RequestInfo* node = handler.takeRequestInfo();
  while (node) {
    RequestInfo* next = node->next;
    node->next = nullptr;
    if (node->name && node->value) {
      *tail = node;
      tail = &node->next;
    } else {
      CP_TRACE_ALWAYS(trc, "Received requestInfo with null name or value");
      freeRequestInfoList(node);
    }
    node = next;
  }
}

// Makes the id of a data or task request pending: a copy of the id as the key,
// with a data request's group as the value, or for a task the key itself. Other
// requests pend nothing. False when it ran out of memory (nothing pending then).
bool makePending(const CPREQUEST* record, AGPTR* group) {
  if (record->requestType != DATA_REQUEST && record->requestType != TASK_REQUEST) return true;
  char* key = strdup(record->id);
  if (!key) return false;
  return pendingPut(key, record->requestType == DATA_REQUEST ? static_cast<void*>(group) : key);
}

// Room of the message buffer kept from one wait to the next: typical requests fit.
constexpr int KEPT_MESSAGE_CAPACITY = 1024;

// The parser and the message buffer of the waiting thread, kept from one wait to
// the next and allocated once, at load, so that a request costs no allocation for
// either. One that a message made grow beyond its first size (or that ran out of
// memory) is dropped and made anew for the next wait, so what is kept stays small.
class KeptReader {
 public:
  KeptReader() : busy(false) { make(); }
  ~KeptReader() { drop(); }
  KeptReader(const KeptReader&) = delete;
  KeptReader& operator=(const KeptReader&) = delete;

  // True, with the parser and the buffer in *parserOut and *messageOut, unless
  // another wait has them (only one wait may run, but a provider may break that
  // rule) or they cannot be made.
  bool lend(XMLParser** parserOut, StringBuffer** messageOut) {
    if (busy.exchange(true, std::memory_order_acquire)) return false;
    if (!parser || !message) make();
    if (!parser || !message) {
      busy.store(false, std::memory_order_release);
      return false;
    }
    *parserOut = parser.get();
    *messageOut = message.get();
    return true;
  }
  // Takes back what lend gave.
  void giveBack() {
    parser->setHandler(nullptr);
    if (parser->ranOutOfMemory() || parser->grewBeyondPrepared() || !message->data() ||
        message->capacity() > KEPT_MESSAGE_CAPACITY)
      drop();
    busy.store(false, std::memory_order_release);
  }

 private:
  void make() {
    drop();
    parser = std::unique_ptr<XMLParser>(new (std::nothrow) XMLParser(nullptr));
    if (parser) parser->prepare();
    message = std::unique_ptr<StringBuffer>(new (std::nothrow) StringBuffer(KEPT_MESSAGE_CAPACITY));
  }
  void drop() {
    parser.reset();
    message.reset();
  }

  std::unique_ptr<XMLParser> parser;
  std::unique_ptr<StringBuffer> message;
  std::atomic<bool> busy;
};

KeptReader keptReader;

// What one wait receives and parses with: the kept parser and buffer, or its own
// when they are lent out.
class WaitReader {
 public:
  WaitReader() : parser(nullptr), message(nullptr), kept(keptReader.lend(&parser, &message)) {
    if (kept) return;
    ownParser.emplace(nullptr);
    ownMessage.emplace(MESSAGE_CAPACITY);
    parser = &*ownParser;
    message = &*ownMessage;
  }
  ~WaitReader() {
    if (kept) keptReader.giveBack();
  }
  WaitReader(const WaitReader&) = delete;
  WaitReader& operator=(const WaitReader&) = delete;

  XMLParser& parserFor(XMLHandler* handler) {
    parser->setHandler(handler);
    return *parser;
  }
  StringBuffer& buffer() { return *message; }

 private:
  XMLParser* parser;
  StringBuffer* message;
  bool kept;
  std::optional<XMLParser> ownParser;
  std::optional<StringBuffer> ownMessage;
};

// Parses one message into the record: the request it carries ends the wait, or
// it is ignored, or (for want of memory) it is dropped with the record cleared.
Outcome takeMessage(TraceScope& trc, WaitReader& reader, CPREQUEST* record) {
  ClientRequestXMLHandler handler;
  XMLParser& parser = reader.parserFor(&handler);
  parser.parse(reader.buffer().data());  // what the handler gathered counts, also after an error
  parser.setHandler(nullptr);            // the handler ends with this call

  // Facts lost for want of memory would make a wrong request: drop it instead.
  bool complete = !parser.ranOutOfMemory() && !handler.ranOutOfMemory();
  AGPTR* group = nullptr;
  Outcome outcome = complete ? fillRequest(trc, handler, record, &group) : Outcome::OUT_OF_MEMORY;
  if (outcome == Outcome::IGNORED) return Outcome::IGNORED;
  if (complete) takeFilters(trc, handler, record);
  if (complete && makePending(record, group)) return outcome;
  CP_TRACE(trc, TRC_ERROR, "Out of memory copying the request; it is dropped");
  clearRecord(record);
  return Outcome::OUT_OF_MEMORY;
}

// How a wait ended, before each kind of wait turns it into its result.
enum class WaitEnd { REQUEST, UNKNOWN_STOP, SHUTDOWN, OUT_OF_MEMORY, REFUSED, TIMED_OUT, CONNECTION_ENDED };

// A new, empty record in *out; null (with *out null, traced) when it cannot be allocated.
CPREQUEST* newRecord(TraceScope& trc, CPREQUEST** out) {
  CPREQUEST* record = static_cast<CPREQUEST*>(calloc(1, sizeof(CPREQUEST)));
  *out = record;
  if (!record) CP_TRACE(trc, TRC_ERROR, "Out of memory allocating the request record");
  return record;
}

// Receives and parses messages into record until one ends the wait, the connection
// ends, or timeoutMs pass (negative: no limit). With skipUnknownStops a stop for a
// group not registered is passed over instead of ending the wait.
WaitEnd waitFor(TraceScope& trc, CPREQUEST* record, int timeoutMs, bool skipUnknownStops) {
  // A wait that starts while a close runs is refused without counting itself in,
  // so a thread that waits again and again never holds the close up. The second
  // test, after counting in, closes the gap with a close that began in between:
  // that close now waits for this call.
  if (!connectionUsable()) return WaitEnd::REFUSED;
  CountedCall inProgress(cpContext.waiters);
  if (!connectionUsable()) return WaitEnd::REFUSED;

  // One deadline for the whole call: messages ignored on the way do not extend it.
  const ClientSocket::TimePoint deadline =
      timeoutMs < 0 ? ClientSocket::NO_DEADLINE
                    : std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  WaitReader reader;
  for (;;) {
    ClientSocket::Receipt receipt = cpContext.agent->receive(reader.buffer(), deadline);
    if (receipt == ClientSocket::Receipt::TIMED_OUT) return WaitEnd::TIMED_OUT;
    if (receipt == ClientSocket::Receipt::ENDED) return WaitEnd::CONNECTION_ENDED;  // requestType stays NO_REQUEST
    switch (takeMessage(trc, reader, record)) {
      case Outcome::IGNORED: break;
      case Outcome::REQUEST: return WaitEnd::REQUEST;
      case Outcome::SHUTDOWN: return WaitEnd::SHUTDOWN;
      case Outcome::OUT_OF_MEMORY: return WaitEnd::OUT_OF_MEMORY;
      case Outcome::UNKNOWN_STOP:
        if (!skipUnknownStops) return WaitEnd::UNKNOWN_STOP;
        CP_TRACE(trc, TRC_DETAIL, "Stop for a group that is not registered skipped");
        clearRecord(record);
        break;
    }
  }
}

}  // namespace

int cp_WaitForRequest(CPREQUEST** out) {
  CP_TRACE_ENTRY(trc, "cp_WaitForRequest");
  CPREQUEST* record = newRecord(trc, out);
  if (!record) return trc.exit(CP_NO_MEMORY);
  switch (waitFor(trc, record, -1, false)) {
    case WaitEnd::OUT_OF_MEMORY: return trc.exit(CP_NO_MEMORY);
    case WaitEnd::REFUSED: return trc.exit(refusedResult());
    default: return trc.exit(CP_OK);  // a request, or NO_REQUEST
  }
}

int cp_WaitForRequestTimed(CPREQUEST** out, int timeoutMs) {
  CP_TRACE_ENTRY(trc, "cp_WaitForRequestTimed");
  CPREQUEST* record = newRecord(trc, out);
  if (!record) return trc.exit(CP_NO_MEMORY);
  switch (waitFor(trc, record, timeoutMs, true)) {
    case WaitEnd::REQUEST: return trc.exit(CP_OK);
    case WaitEnd::OUT_OF_MEMORY: return trc.exit(CP_NO_MEMORY);
    case WaitEnd::REFUSED:  // a close runs (the state is still REG_COMPLETE_STATE), or the wrong state
      return trc.exit(refusedResult() == CP_OK ? CP_CONNECTION_LOST : CP_ILLEGAL_STATE);
    case WaitEnd::TIMED_OUT: return trc.exit(CP_TIMED_OUT);
    case WaitEnd::SHUTDOWN: clearRecord(record); return trc.exit(CP_AGENT_SHUTDOWN);
    default: return trc.exit(CP_CONNECTION_LOST);
  }
}

void releaseRequest(CPREQUEST* record) {
  if (!record) return;
  clearRecord(record);
  free(record);
}
