// The process-wide connection context, its open and close, and what every
// operation behind the exports shares: the state check, the pending-request table
// and the write to the agent.
//
// Each cpdll_ export hands its arguments to one internal operation (Exports.cpp
// shows which), declared in the header of the file that defines it: open and close
// here, registration in Registration.h, the wait in RequestWait.h, data responses
// in DataResponse.h and Utf16Row.h, events and task responses in EventsAndTasks.h.
// The operations keep their state in the one connection context below, which lives
// in static storage with its load-time values and allocates nothing before the
// first open.
//
// Threads: only the pending-request table is guarded, by the pending-table lock,
// for one table operation at a time. The registry (fixed in REG_COMPLETE_STATE),
// the groups' response buffers and the socket are used without a lock; the state
// is atomic, and the close and a wait on another thread meet through closing and waiters.
#ifndef CPCLIENT_API_CONNECTION_H
#define CPCLIENT_API_CONNECTION_H

#include <atomic>
#include <cstddef>

#include "cpclient.h"
#include "host/Services.h"

class ClientSocket;
class HashTable;
class StringBuffer;
class TraceScope;

constexpr int OPEN_SOCKET_STATE = 1;    // connected, registration not yet sent
constexpr int REG_COMPLETE_STATE = 2;   // registration sent, requests flow
constexpr int CLOSED_SOCKET_STATE = 3;  // no connection

constexpr int MESSAGE_CAPACITY = 256;  // of each message buffer that one call builds or receives
constexpr int DEFAULT_INITIAL_BUFFER_SIZE = 4096;
constexpr int MIN_INITIAL_BUFFER_SIZE = 256;
constexpr int RESPONSE_GROWTH_PERCENT = 100;
constexpr size_t CACHE_LINE_BYTES = 64;

// One registered attribute group. Owned by the connection context from the
// registration to the close, with its name copy and its response buffer.
struct AGPTR {
  char* name;  // strdup'ed; also the registry's key
  int version;
  int groupId;
  StringBuffer* responseBuffer;  // the data response being built for the group
};

// A registered group's number and name, for the lookup of a group by its number.
struct GroupNumber {
  int groupId;
  int position;      // the group's place in registry order
  const char* name;  // the registry's copy
};

struct ConnectionContext {
  std::atomic<int> state;  // OPEN_SOCKET_STATE, REG_COMPLETE_STATE or CLOSED_SOCKET_STATE
  int agentPort;           // -1 until found or set; outlives a close
  bool threaded;           // set by a CP_MULTITHREADED= property; never cleared
  int initialBufferSize;   // capacity of each new response buffer; outlives a close
  int growthPercent;       // growth percent of every response buffer
  HashTable* registry;     // group name -> AGPTR
  HashTable* pending;      // request id -> AGPTR (data) or the key itself (task)
  SVC1_Lock pendingLock;   // guards every operation on pending
  ClientSocket* agent;     // the connection to the agent
  // Set by a close for its whole run: a wait that starts meanwhile returns at once
  // without touching the socket, the registry or the tables.
  std::atomic<bool> closing;
  // Calls of cp_WaitForRequest that are using the connection; a close wakes them and
  // waits for them to return before it releases what they use.
  std::atomic<int> waiters;
  // Each registered group number once, ascending, with the name of its first group
  // in registry order: made when the registration completes (the registry is fixed
  // from then on), freed by the close. Null when there is none, or no memory for it.
  GroupNumber* groupNumbers;
  int groupNumberCount;
  // Answers and events under way (CountedCall); a close waits for them too. On a
  // cache line of its own: every answer and event changes it twice, and the fields
  // above, which each of them reads, stay shared between processors meanwhile.
  alignas(CACHE_LINE_BYTES) std::atomic<int> users;
};

// The one connection context. Tests read it; only the operations below change it.
extern ConnectionContext cpContext;

// Wakes a close that waits for a counter to reach 0 (under the close's wait mutex,
// so that the wake-up cannot fall between the close's test and its sleep).
void wakeClose();

// Counts a call in one of the context's counters (waiters or users) for its whole
// run, so that a close on another thread waits for it before it frees the socket,
// the registry, the pending table and the response buffers. Answers and events
// declare theirs before their state check: one that begins once a close is under
// way is refused there. The call that brings a counter to 0 while a close runs
// wakes the close; outside a close leaving costs one atomic decrement and one load.
class CountedCall {
 public:
  explicit CountedCall(std::atomic<int>& counter) : counter(counter) {
    counter.fetch_add(1, std::memory_order_seq_cst);
  }
  // The decrement comes before the test of closing, both sequentially consistent:
  // a close that has not yet seen the decrement has set closing before, and so is
  // woken.
  ~CountedCall() {
    if (counter.fetch_sub(1, std::memory_order_seq_cst) == 1 && cpContext.closing.load(std::memory_order_seq_cst))
      wakeClose();
  }
  CountedCall(const CountedCall&) = delete;
  CountedCall& operator=(const CountedCall&) = delete;

 private:
  std::atomic<int>& counter;
};

// A short constant English text for a CP_ result, "unknown result" for any other.
const char* cp_ResultText(int result);
// Stores the agent port for the next open, in any state.
void cp_setPort(int port);
// Opens the connection. properties is an optional list of count "NAME=value"
// entries: "CP_PORT=" gives the port when neither cp_setPort nor CP_PORT did, and
// any "CP_MULTITHREADED=" entry sets the threaded flag. Whatever an earlier
// connection or failed open left is released first. With CP_AGENT_USER set, only a
// listener of that user (a uid or a user name) counts as the agent. Returns CP_OK,
// CP_NO_PORT (nothing changed) or CP_CONNECT_FAILED (connect failed, no memory for
// the connection, or CP_AGENT_USER names no user).
int cp_OpenConnection(const char** properties, int count);
// As cp_OpenConnection without properties, but never past timeoutMs (see
// cpdll_OpenConnectionTimed): CP_TIMED_OUT, or CP_CONNECT_FAILED, leaves nothing of
// the connection (state CLOSED_SOCKET_STATE). A negative limit is cp_OpenConnection's.
int cp_OpenConnectionTimed(int timeoutMs);
// Closes the connection and releases everything it owns. Always CP_OK. It may run
// on another thread while a wait is blocked: the wait is woken (it reports no
// request) and the close waits for it to return first; a wait that starts while
// the close runs returns no request at once, however often it is called.
int cp_CloseConnection();

// Pending-request table operations, each under the pending-table lock.
// Looks id up: the value stored for it, or null.
void* pendingGet(const char* id);
// Looks id up as a data request: its group, or null when id is not pending or is
// pending for a task (whose entry holds its own key as the value).
AGPTR* pendingGroup(const char* id);
// Makes key (a heap copy, which the table then owns) pending with value,
// replacing and freeing an earlier entry for the same id. False when it could not
// be entered for want of memory; key is then freed.
bool pendingPut(char* key, void* value);
// Ends id: removes its entry and frees the stored key. False when it was not pending.
bool pendingRemove(const char* id);

// Helpers of the operations. True in the expected state while no close runs;
// otherwise false, after "Called with illegal state.  Expected N (NAME), got M."
// (or "Called while the connection closes.") under TRC_ERROR in the caller's trace
// record at the caller's line.
bool inState(TraceScope& trc, int line, int expected);
// Writes message on the agent connection: CP_OK, or CP_WRITE_FAILED.
int writeMessage(StringBuffer& message);

#endif  // CPCLIENT_API_CONNECTION_H
