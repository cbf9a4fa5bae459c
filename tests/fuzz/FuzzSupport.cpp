// Silent trace, registered connection context and socket pairs for the fuzz targets.
#include "FuzzSupport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "api/Connection.h"
#include "api/Registration.h"
#include "host/Trace.h"
#include "transport/ClientSocket.h"
#include "util/HashTable.h"

namespace fuzz {

namespace {

void dropLine(const TraceLine&, void*) {}

[[noreturn]] void setUpFailed(const char* what) {
  fprintf(stderr, "fuzz set-up failed: %s\n", what);
  abort();
}

}  // namespace

const GroupSpec GROUPS[] = {
    {"Procs", 1, 1},
    {"Disk", 2, 7},
    {"NetIf", 1, 12},
    {"Proc_Threads", 3, -4},
};
const int GROUP_COUNT = static_cast<int>(sizeof GROUPS / sizeof GROUPS[0]);

void silenceTrace() { traceSetSink(dropLine, nullptr); }

const std::string& enterRegisteredState() {
  static std::string registration;
  static bool entered = false;
  if (entered) return registration;
  entered = true;

  ConnectionContext& c = cpContext;
  c.registry = new (std::nothrow) HashTable();
  c.pending = new (std::nothrow) HashTable();
  if (!c.registry || !c.pending) setUpFailed("no memory for the tables");
  c.state = OPEN_SOCKET_STATE;
  for (int i = 0; i < GROUP_COUNT; i++)
    if (cp_RegisterAttrGroup(GROUPS[i].name, GROUPS[i].version, GROUPS[i].groupId) != CP_OK)
      setUpFailed("cp_RegisterAttrGroup");

  AgentPair agent(SOCK_STREAM);
  if (!agent.ok()) setUpFailed("socketpair");
  agent.installAsAgent();
  if (cp_RegistrationComplete() != CP_OK || c.state != REG_COMPLETE_STATE) setUpFailed("cp_RegistrationComplete");
  registration = agent.drain();
  return registration;
}

AGPTR* registeredGroup(const char* name) {
  if (!name || !cpContext.registry) return nullptr;
  return static_cast<AGPTR*>(cpContext.registry->get(name));
}

AgentPair::AgentPair(int type) : socket_(nullptr), libraryEnd_(-1), peer_(-1), installed_(false) {
  int fds[2];
  if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) return;
  socket_ = new (std::nothrow) ClientSocket(0, "127.0.0.1");
  if (!socket_) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  socket_->adopt(fds[0]);
  libraryEnd_ = fds[0];
  peer_ = fds[1];
}

AgentPair::~AgentPair() {
  if (installed_ && cpContext.agent == socket_) cpContext.agent = nullptr;
  delete socket_;  // closes the library's end
  if (peer_ >= 0) close(peer_);
}

void AgentPair::installAsAgent() {
  cpContext.agent = socket_;
  installed_ = true;
}

bool AgentPair::send(const char* data, size_t length) {
  if (peer_ < 0) return false;
  ssize_t n = ::send(peer_, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  return n >= 0 && static_cast<size_t>(n) == length;
}

void AgentPair::hangUp(bool reset) {
  if (peer_ < 0) return;
  if (reset) {
    // A byte the peer never reads: closing over it resets the library's end.
    ::send(libraryEnd_, "x", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  } else {
    drain();  // nothing left unread: an orderly end of file
  }
  close(peer_);
  peer_ = -1;
}

void AgentPair::stopReadsWhenEmpty() {
  if (libraryEnd_ >= 0) shutdown(libraryEnd_, SHUT_RD);
}

std::string AgentPair::drain() {
  std::string bytes;
  if (peer_ < 0) return bytes;
  char chunk[4096];
  for (;;) {
    ssize_t n = recv(peer_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

int lowestFreeFd() {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd;
}

}  // namespace fuzz
