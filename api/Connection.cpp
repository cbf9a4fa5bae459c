// The connection context: open, close, the port and the pending-request table.
#include "api/Connection.h"

#include <pwd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "api/Registration.h"
#include "host/Trace.h"
#include "transport/ClientSocket.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

// Constant-initialised: nothing runs at load, and the lock object is all zero.
ConnectionContext cpContext = {CLOSED_SOCKET_STATE,
                               -1,
                               false,
                               DEFAULT_INITIAL_BUFFER_SIZE,
                               RESPONSE_GROWTH_PERCENT,
                               nullptr,
                               nullptr,
                               {},
                               nullptr,
                               {false},
                               {0},
                               nullptr,
                               0,
                               {0}};

namespace {

constexpr const char* AGENT_ADDRESS = "127.0.0.1";
constexpr const char* PORT_PROPERTY = "CP_PORT=";
constexpr const char* MULTITHREADED_PROPERTY = "CP_MULTITHREADED=";

// Returns the first entry that begins with prefix, or null.
const char* findProperty(const char** properties, int count, const char* prefix) {
  size_t prefixLength = strlen(prefix);
  for (int i = 0; i < count; i++)
    if (properties[i] && strncmp(properties[i], prefix, prefixLength) == 0) return properties[i];
  return nullptr;
}

// Opens and closes one at a time: a close that meets another (a handler's and the
// run loop's, say) waits until the first has released everything, so nothing is
// freed twice; a close during an open waits for the open.
std::mutex lifecycleMutex;

// Where a close sleeps until the counted calls it waits for have left: the call
// that brings a counter to 0 while closing is set takes the mutex and notifies
// (wakeClose). The close tests the counter under the mutex after it has set
// closing, so a decrement it did not see is followed by a wake-up that finds it
// asleep. Guards nothing else, and no lock is taken while it is held (the close
// holds lifecycleMutex around it).
std::mutex closeWaitMutex;
std::condition_variable closeWaitCondition;

bool noneCounted(const std::atomic<int>& counter) { return counter.load(std::memory_order_seq_cst) == 0; }

// Sleeps until no call is counted in counter. The caller has set closing.
void waitUntilNoneCounted(const std::atomic<int>& counter) {
  std::unique_lock<std::mutex> lock(closeWaitMutex);
  closeWaitCondition.wait(lock, [&counter] { return noneCounted(counter); });
}

// Waits until no answer or event uses the connection. Each goes on and its message
// goes out whole (the interrupt stopped only receiving); one whose send the agent
// never takes is freed after CLOSE_LIMIT_MS by ending the sending side, which
// fails that send.
void waitForUsers(ConnectionContext& c) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(ClientSocket::CLOSE_LIMIT_MS);
  {
    std::unique_lock<std::mutex> lock(closeWaitMutex);
    if (closeWaitCondition.wait_until(lock, limit, [&c] { return noneCounted(c.users); })) return;
  }
  if (c.agent) c.agent->endSending();
  waitUntilNoneCounted(c.users);
}

// Releases everything the connection owns, in any state. The port, the threaded
// flag and the initial buffer size stay. The caller holds lifecycleMutex.
void releaseConnection() {
  ConnectionContext& c = cpContext;
  // From here on a wait that starts returns at once. One that started before is
  // woken by the interrupt; only when it has returned may the socket and the
  // tables it uses go.
  c.closing.store(true, std::memory_order_seq_cst);
  if (c.agent) c.agent->interrupt();
  waitUntilNoneCounted(c.waiters);
  waitForUsers(c);
  if (c.agent) c.agent->close();
  c.state = CLOSED_SOCKET_STATE;
  delete c.agent;
  c.agent = nullptr;

  if (c.pending) {
    SVC1_GetLock(&c.pendingLock);
    // Only the keys are owned here: a data request's value is its group's AGPTR,
    // freed below, and a task request's value is its own key.
    HashTableIterator it = c.pending->iterator();
    while (it.hasNext()) {
      it.next();
      free(const_cast<char*>(it.key()));
    }
    delete c.pending;
    c.pending = nullptr;
    SVC1_ReleaseLock(&c.pendingLock);
  }
  SVC1_DestroyLock(&c.pendingLock);

  free(c.groupNumbers);
  c.groupNumbers = nullptr;
  c.groupNumberCount = 0;
  // A loop of its own: pending frees its keys, the registry its values (a key is its group's name).
  if (c.registry) {
    HashTableIterator it = c.registry->iterator();
    while (it.hasNext()) {
      it.next();
      freeGroup(static_cast<AGPTR*>(it.value()));
    }
    delete c.registry;
    c.registry = nullptr;
  }
  c.closing.store(false, std::memory_order_seq_cst);
}

}  // namespace

void wakeClose() {
  std::lock_guard<std::mutex> lock(closeWaitMutex);
  closeWaitCondition.notify_all();
}

const char* cp_ResultText(int result) {
  switch (result) {
    case CP_OK: return "success";
    case CP_NO_PORT: return "no agent port is set";
    case CP_CONNECT_FAILED: return "the connection to the agent failed";
    case CP_ILLEGAL_STATE: return "not allowed in the connection's state";
    case CP_WRITE_FAILED: return "the message could not be written to the agent";
    case CP_UNKNOWN_GROUP: return "the group number names no registered attribute group";
    case CP_ID_NOT_PENDING: return "the request id is not pending";
    case CP_NO_MEMORY: return "out of memory";
    case CP_TIMED_OUT: return "nothing arrived within the time given";
    case CP_AGENT_SHUTDOWN: return "the agent announced its shutdown";
    case CP_CONNECTION_LOST: return "the connection to the agent was lost";
    default: return "unknown result";
  }
}

void cp_setPort(int port) {
  CP_TRACE_ENTRY(trc, "cp_setPort");
  cpContext.agentPort = port;
}

namespace {

// Finds the agent's port for an open: cp_setPort's, CP_PORT's, or the property
// list's. CP_OK, or CP_NO_PORT (traced).
int findPort(TraceScope& trc, const char** properties, int count) {
  ConnectionContext& c = cpContext;
  if (c.agentPort != -1) return CP_OK;
  if (const char* port = getenv("CP_PORT")) {
    c.agentPort = atoi(port);
  } else if (properties == nullptr || count <= 0) {
    CP_TRACE_ALWAYS(trc, "CP_PORT not found in the environment");
    return CP_NO_PORT;
  } else if (const char* entry = findProperty(properties, count, PORT_PROPERTY)) {
    c.agentPort = atoi(entry + strlen(PORT_PROPERTY));
  } else {
    CP_TRACE_ALWAYS(trc, "CP_PORT not found in the proerties list");
    return CP_NO_PORT;
  }
  return CP_OK;
}

// The user that CP_AGENT_USER names, by uid or by name: 1 with *uid, 0 when it is
// unset or empty, -1 (traced) when it names no user.
int requiredAgentUser(TraceScope& trc, uid_t* uid) {
  const char* user = getenv("CP_AGENT_USER");
  if (!user || !*user) return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long number = strtoul(user, &end, 10);
  if (*end == 0 && errno == 0 && user[0] != '-' && number <= static_cast<unsigned long>(static_cast<uid_t>(-1) - 1)) {
    *uid = static_cast<uid_t>(number);
    return 1;
  }
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwnam_r(user, &entry, buffer, sizeof buffer, &found) == 0 && found) {
    *uid = found->pw_uid;
    return 1;
  }
  CP_TRACE_ALWAYS(trc, "CP_AGENT_USER names no user: %s", user);
  return -1;
}

// The open of both exports: the port, the threaded flag, a fresh connection and
// its connect, which ends by deadline. CP_OK, CP_NO_PORT, CP_CONNECT_FAILED or
// CP_TIMED_OUT; on the last two, with releaseOnFailure, nothing of the connection remains.
int openConnection(TraceScope& trc, const char** properties, int count, ClientSocket::TimePoint deadline,
                   bool releaseOnFailure) {
  ConnectionContext& c = cpContext;
  if (findPort(trc, properties, count) != CP_OK) return CP_NO_PORT;
  if (properties != nullptr && count > 0 && findProperty(properties, count, MULTITHREADED_PROPERTY)) {
    CP_TRACE_ALWAYS(trc, "Custom provider is multiThreaded.");
    c.threaded = true;
  }

  std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
  // Also in CLOSED_SOCKET_STATE: a failed open before this one leaves its tables and socket.
  releaseConnection();

  int result = CP_CONNECT_FAILED;
  uid_t agentUser = 0;
  int userRequired = requiredAgentUser(trc, &agentUser);
  c.registry = new (std::nothrow) HashTable();
  c.pending = new (std::nothrow) HashTable();
  c.agent = new (std::nothrow) ClientSocket(c.agentPort, AGENT_ADDRESS);
  if (!c.registry || !c.pending || !c.agent) {
    CP_TRACE(trc, TRC_ERROR, "Out of memory creating the connection to the agent");
  } else if (userRequired >= 0) {
    if (userRequired > 0) c.agent->requireOwner(agentUser);
    ClientSocket::Opened opened = c.agent->open(deadline);
    if (opened == ClientSocket::Opened::CONNECTED) {
      c.state = OPEN_SOCKET_STATE;
      result = CP_OK;
    } else if (opened == ClientSocket::Opened::TIMED_OUT) {
      result = CP_TIMED_OUT;
    }
  }
  if (result != CP_OK && releaseOnFailure) releaseConnection();

  if (const char* size = SVC1_GetEnv("CDP_VEXA_INITIAL_SIZE", nullptr)) c.initialBufferSize = atoi(size);
  if (c.initialBufferSize < MIN_INITIAL_BUFFER_SIZE) c.initialBufferSize = MIN_INITIAL_BUFFER_SIZE;
  return result;
}

}  // namespace

int cp_OpenConnection(const char** properties, int count) {
  CP_TRACE_ENTRY(trc, "cp_OpenConnection");
  return trc.exit(openConnection(trc, properties, count, ClientSocket::NO_DEADLINE, false));
}

int cp_OpenConnectionTimed(int timeoutMs) {
  CP_TRACE_ENTRY(trc, "cp_OpenConnectionTimed");
  if (timeoutMs < 0) return trc.exit(openConnection(trc, nullptr, 0, ClientSocket::NO_DEADLINE, false));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  return trc.exit(openConnection(trc, nullptr, 0, deadline, true));
}

int cp_CloseConnection() {
  CP_TRACE_ENTRY(trc, "cp_CloseConnection");
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
  releaseConnection();
  return trc.exit(CP_OK);
}

void* pendingGet(const char* id) {
  ConnectionContext& c = cpContext;
  if (!id) return nullptr;
  SVC1_GetLock(&c.pendingLock);
  void* value = c.pending ? c.pending->get(id) : nullptr;
  SVC1_ReleaseLock(&c.pendingLock);
  return value;
}

AGPTR* pendingGroup(const char* id) {
  ConnectionContext& c = cpContext;
  if (!id) return nullptr;
  const char* storedKey = nullptr;
  SVC1_GetLock(&c.pendingLock);
  void* value = c.pending ? c.pending->get(id, &storedKey) : nullptr;
  SVC1_ReleaseLock(&c.pendingLock);
  if (value == storedKey) return nullptr;  // a task entry: its value is its own key
  return static_cast<AGPTR*>(value);
}

bool pendingPut(char* key, void* value) {
  ConnectionContext& c = cpContext;
  bool entered = false;
  SVC1_GetLock(&c.pendingLock);
  if (c.pending) {
    // Drop an earlier entry for the id first: the table would keep its key
    // pointer, and a task entry's value is that very key.
    char* storedKey = nullptr;
    c.pending->remove(key, &storedKey);
    free(storedKey);
    entered = c.pending->put(key, value);
  }
  SVC1_ReleaseLock(&c.pendingLock);
  if (!entered) free(key);
  return entered;
}

bool pendingRemove(const char* id) {
  ConnectionContext& c = cpContext;
  if (!id) return false;
  char* storedKey = nullptr;
  SVC1_GetLock(&c.pendingLock);
  if (c.pending) c.pending->remove(id, &storedKey);
  SVC1_ReleaseLock(&c.pendingLock);
  bool found = storedKey != nullptr;
  free(storedKey);
  return found;
}

bool inState(TraceScope& trc, int line, int expected) {
  if (cpContext.closing.load(std::memory_order_seq_cst)) {
    if (trc.on(TRC_ERROR)) TRC1_Printf(trc.record(), line, "Called while the connection closes.");
    return false;
  }
  int state = cpContext.state.load();
  if (state == expected) return true;
  if (trc.on(TRC_ERROR))
    TRC1_Printf(trc.record(), line, "Called with illegal state.  Expected %d (%s), got %d.", expected,
                expected == OPEN_SOCKET_STATE ? "OPEN_SOCKET_STATE" : "REG_COMPLETE_STATE", state);
  return false;
}

int writeMessage(StringBuffer& message) { return cpContext.agent->write(message) ? CP_OK : CP_WRITE_FAILED; }
