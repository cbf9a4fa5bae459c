// Pieces the fuzz targets share: a silent trace, a registered connection context
// without an agent process, socket pairs that play the agent, and an fd leak probe.
//
// Everything here is for one thread: a fuzz target runs its inputs one at a time.
#ifndef CPCLIENT_TESTS_FUZZ_FUZZSUPPORT_H
#define CPCLIENT_TESTS_FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdlib>
#include <string>

class ClientSocket;
struct AGPTR;

namespace fuzz {

// Aborts unless the property holds, so that libFuzzer (or the replay) reports the input.
inline void check(bool condition) {
  if (!condition) abort();
}

// Sends every trace line to a sink that drops it. Ungated lines would otherwise
// go to standard error once per input.
void silenceTrace();

// The attribute groups of the fuzz context. Their names need no escaping: the
// registration message writes names as they are.
struct GroupSpec {
  const char* name;
  int version;
  int groupId;
};
extern const GroupSpec GROUPS[];
extern const int GROUP_COUNT;

// Puts cpContext into REG_COMPLETE_STATE with GROUPS registered through the real
// registration calls, an empty pending table and no agent (each input installs
// its own, see AgentPair). Later calls do nothing. Returns the registration
// message as the library wrote it.
const std::string& enterRegisteredState();

// The registered group of that name, or null.
AGPTR* registeredGroup(const char* name);

// A socket pair: one end adopted by a fresh ClientSocket, the other end (the
// peer) played by the target. Destruction closes both ends and, when the socket
// was installed as cpContext.agent, takes it out again.
class AgentPair {
 public:
  // type is SOCK_STREAM or SOCK_SEQPACKET (each send is then exactly one read).
  explicit AgentPair(int type);
  ~AgentPair();
  AgentPair(const AgentPair&) = delete;
  AgentPair& operator=(const AgentPair&) = delete;

  bool ok() const { return socket_ != nullptr && peer_ >= 0; }
  ClientSocket& socket() { return *socket_; }
  // Makes the socket cpContext.agent until destruction.
  void installAsAgent();

  // Sends length bytes as one send without blocking. False when they did not all
  // fit into the socket buffer.
  bool send(const char* data, size_t length);
  // Ends the agent's side. An orderly close gives the library end of file; a reset
  // closes the peer with bytes unread in its queue, so that on a stream pair the
  // library's read fails with ECONNRESET once the bytes queued for it are read (a
  // packet pair reports the reset before its queued packets).
  void hangUp(bool reset);
  // Shuts the library's end down for reading while the peer stays open: the
  // library's reads end exactly after the bytes sent, by its own side's doing.
  void stopReadsWhenEmpty();
  // Everything the library has written so far, read without blocking.
  std::string drain();

 private:
  ClientSocket* socket_;
  int libraryEnd_;  // owned by socket_; kept to queue the byte a reset leaves unread
  int peer_;
  bool installed_;
};

// The lowest free file descriptor. The same number before and after an input
// means the input closed whatever it opened.
int lowestFreeFd();

}  // namespace fuzz

#endif  // CPCLIENT_TESTS_FUZZ_FUZZSUPPORT_H
