// TCP connection to the agent on POSIX sockets.
#include "transport/ClientSocket.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "host/Services.h"
#include "host/Trace.h"
#include "transport/MessageFraming.h"
#include "transport/PeerOwner.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

namespace {
constexpr int FIRST_RETRY_DELAY_UNITS = 2;
constexpr int RETRIES = 3;  // after the first attempt: 4 attempts in all
constexpr int CHUNK_SIZE = 4096;
// How often a close looks again whether the agent has acknowledged everything.
constexpr int CLOSE_POLL_MS = 5;
// Receives that wait before their first read after one whose first read found nothing.
constexpr int WAIT_FIRST_RECEIVES = 3;
// True when a send that failed with error, after nothing of the message went out,
// leaves the connection usable: the kernel was only short of room for the moment.
bool isPassingSendError(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == ENOMEM;
}

// True when the peer has acknowledged every byte written on fd, whose sending side
// is shut down; also when fd is no TCP socket (nothing is lost at its close then).
// The end of the sending side counts one in the queue until acknowledged; that
// acknowledgement may be delayed, and is not waited for: the data is what counts.
bool peerHasAllWeSent(int fd) {
  tcp_info info;
  socklen_t length = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return true;
  int unacknowledged = 0;
  return ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged <= 1;
}
}  // namespace

ClientSocket::ClientSocket(int port, const char* ipaddr)
    : address(),
      port(port),
      ipaddr(ipaddr),
      sock(INVALID_SOCKET),
      requiredOwner(-1),
      framer(),
      wakeFd(-1),
      ended(false),
      interrupted(false),
      endError(0),
      lastReadShort(false),
      waitFirstReceives(0) {
  CP_TRACE_ENTRY(trc, "ClientSocket::ClientSocket");
  CP_TRACE(trc, TRC_DETAIL, "ClientSocket initialized socket for ipaddr %s port %d", ipaddr, port);
}

ClientSocket::~ClientSocket() {
  CP_TRACE_ENTRY(trc, "ClientSocket::~ClientSocket");
  if (sock != INVALID_SOCKET) ::close(sock);
  if (wakeFd >= 0) ::close(wakeFd);
}

ClientSocket::Opened ClientSocket::open(TimePoint deadline) {
  CP_TRACE_ENTRY(trc, "ClientSocket::open");
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = inet_addr(ipaddr);
  address.sin_port = htons(static_cast<uint16_t>(port));

  int delayUnits = FIRST_RETRY_DELAY_UNITS;
  int retriesLeft = RETRIES;
  for (;;) {
    sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock == INVALID_SOCKET) {
      int error = errno;
      CP_TRACE_ALWAYS(trc, "Unable to open TCP socket, errno=%d\n", error);
      trc.exit(false);
      return Opened::FAILED;
    }
    CP_TRACE(trc, TRC_DETAIL, "Opened socket %d", sock);
    int one = 1;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0)
      CP_TRACE(trc, TRC_ERROR, "Error setting NODELAY option");
    int connected = connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = errno;
    if (connected >= 0 && farEndAccepted()) {
      CP_TRACE(trc, TRC_DETAIL, "Connect successful for socket %d addr %s port %d", sock, inet_ntoa(address.sin_addr),
               ntohs(address.sin_port));
      createWakeDescriptor();
      trc.exit(true);
      return Opened::CONNECTED;
    }
    if (connected >= 0) error = ECONNREFUSED;  // refused by us: the far end is not the agent's
    long long waitMs = static_cast<long long>(delayUnits) * sleepUnitMs();
    if (deadline != NO_DEADLINE) {
      auto leftMs = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (leftMs < waitMs) {
        ::close(sock);
        sock = INVALID_SOCKET;
        CP_TRACE_ALWAYS(trc, "Unable to connect to TCP socket for port %d, errno=%d - time limit reached.\n", port,
                        error);
        sleepMs(leftMs);
        trc.exit(false);
        return Opened::TIMED_OUT;
      }
    }
    CP_TRACE_ALWAYS(trc, "Unable to connect to TCP socket for port %d, errno=%d - retrying....\n", port, error);
    sleepMs(waitMs);
    delayUnits *= 2;
    ::close(sock);
    sock = INVALID_SOCKET;
    if (retriesLeft == 0) {
      CP_TRACE_ALWAYS(trc, "Unable to connect to TCP socket, errno=%d - retry count exceeded.\n", error);
      trc.exit(false);
      return Opened::FAILED;
    }
    retriesLeft--;
  }
}

bool ClientSocket::farEndAccepted() {
  CP_TRACE_ENTRY(trc, "ClientSocket::farEndAccepted");
  if (requiredOwner < 0) return true;
  uid_t owner = 0;
  if (!peerSocketOwner(sock, &owner)) {
    int error = errno;
    CP_TRACE_ALWAYS(trc, "The owner of the socket on port %d cannot be told (errno=%d); not the agent's\n", port,
                    error);
    return false;
  }
  if (static_cast<long long>(owner) == requiredOwner) return true;
  CP_TRACE_ALWAYS(trc, "The socket on port %d belongs to uid %lld, not to the agent's uid %lld; closed\n", port,
                  static_cast<long long>(owner), requiredOwner);
  return false;
}

void ClientSocket::adopt(int fd) {
  if (sock != INVALID_SOCKET) ::close(sock);
  sock = fd;
  createWakeDescriptor();
}

void ClientSocket::createWakeDescriptor() {
  if (wakeFd < 0) wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void ClientSocket::interrupt() {
  interrupted.store(true, std::memory_order_seq_cst);
  // Without a wake descriptor only a shutdown can wake a blocked receive; ending
  // the receiving side alone leaves writes going.
  if (wakeFd < 0 && sock != INVALID_SOCKET) ::shutdown(sock, SHUT_RD);
  wakeReceive();
}

void ClientSocket::end(int error, bool shutDown) {
  if (!ended.exchange(true, std::memory_order_acq_rel)) endError.store(error, std::memory_order_relaxed);
  if ((shutDown || wakeFd < 0) && sock != INVALID_SOCKET) ::shutdown(sock, SHUT_RDWR);
  wakeReceive();
}

void ClientSocket::wakeReceive() {
  if (wakeFd < 0) return;
  uint64_t one = 1;
  ssize_t written = ::write(wakeFd, &one, sizeof one);
  (void)written;  // a counter already at its limit is awake anyway
}

bool ClientSocket::waitReadable(TimePoint deadline) {
  pollfd fds[2] = {{sock, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  for (;;) {
    if (receivingOver()) return true;
    int waitMs = -1;
    if (deadline != NO_DEADLINE) {
      // Rounded up, so that the wait never ends before the deadline.
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      waitMs = left < INT_MAX ? static_cast<int>(left) : INT_MAX;
    }
    int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, waitMs);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return true;  // the read tells what it was
  }
}

void ClientSocket::endSending() {
  end(EPIPE, false);
  if (sock != INVALID_SOCKET) ::shutdown(sock, SHUT_WR);
}

void ClientSocket::close() {
  if (sock == INVALID_SOCKET) return;
  ::shutdown(sock, SHUT_WR);
  drainBeforeClose();
  ::close(sock);
  sock = INVALID_SOCKET;
  if (wakeFd >= 0) ::close(wakeFd);
  wakeFd = -1;
}

void ClientSocket::drainBeforeClose() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(CLOSE_LIMIT_MS);
  char discard[CHUNK_SIZE];
  for (;;) {
    ssize_t n = ::recv(sock, discard, sizeof discard, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n == 0) return;  // the agent has ended its stream: nothing more can arrive
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return;  // reset or failed: nothing left to save
    // Unread bytes are gone; once the agent holds all we sent, a reset can cost nothing.
    if (peerHasAllWeSent(sock)) return;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    pollfd readable = {sock, POLLIN, 0};
    ::poll(&readable, 1, static_cast<int>(left < CLOSE_POLL_MS ? left : CLOSE_POLL_MS));
  }
}

bool ClientSocket::write(StringBuffer& message) {
  CP_TRACE_ENTRY(trc, "ClientSocket::write");
  const char* data = message.data();
  int error = data ? sendAll(data, static_cast<size_t>(message.length())) : ENOMEM;
  if (error != 0) {
    CP_TRACE_ALWAYS(trc, "socket write error:%d\n", error);
    return trc.exit(false);
  }
  // Dumped outside the write lock: other writers never wait for a trace.
  if (trc.on(TRC_DETAIL)) TRC1_Dump(trc.record(), __LINE__, data, message.length(), "send on socket %d \n", sock);
  return trc.exit(true);
}

int ClientSocket::sendAll(const char* data, size_t total) {
  std::lock_guard<std::mutex> guard(writeMutex);
  if (hasEnded()) return EPIPE;
  size_t sent = 0;
  while (sent < total) {
    ssize_t n = ::send(sock, data + sent, total - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    int error = errno;
    if (error == EINTR) continue;
    // A message cut short would run into the next one: end the connection instead.
    if (sent > 0 || !isPassingSendError(error)) end(error, true);
    return error;
  }
  return 0;
}

ClientSocket::Receipt ClientSocket::receive(StringBuffer& message, TimePoint deadline) {
  CP_TRACE_ENTRY(trc, "ClientSocket::receive");
  message.setLength(0);
  // Once the connection has ended, or a close has interrupted it, nothing kept is
  // served: a message behind the end would be one whose answer can only fail.
  int error = receivingOver() ? endError.load(std::memory_order_relaxed) : -1;  // the errno to show once failed
  Frame frame = Frame::INCOMPLETE;
  if (error < 0 && framer.hasLeftover()) {
    CP_TRACE(trc, TRC_DETAIL, "Have left over data from previous read, processing that");
    frame = framer.next(message);
    if (frame == Frame::COMPLETE)
      CP_TRACE(trc, TRC_DETAIL, "Left over data contains a complete message, not reading any further this time");
    if (frame == Frame::INCOMPLETE)
      CP_TRACE(trc, TRC_DETAIL, "Have left over data, but it is not complete.  Will read rest of message");
  }

  char chunk[CHUNK_SIZE];
  while (error < 0 && frame == Frame::INCOMPLETE && message.data()) {
    int length = readChunk(chunk, CHUNK_SIZE, &error, deadline, message.length() > 0);
    if (length == 0) {
      int kept = message.length();
      if (!framer.keepPartial(message)) {
        error = ENOMEM;  // the part could not be kept: the stream is lost
        break;
      }
      CP_TRACE(trc, TRC_DETAIL, "No whole message in time; %d bytes kept", kept);
      trc.exit(false);
      return Receipt::TIMED_OUT;
    }
    if (length < 0) break;
    frame = framer.feed(chunk, length, message);
    if (frame == Frame::INCOMPLETE) CP_TRACE(trc, TRC_DETAIL, "Did not find newline, continue reading");
    if (frame == Frame::COMPLETE_WITH_LEFTOVER)
      CP_TRACE(trc, TRC_DETAIL, "Have leftover data after a complete message-- saving for next time");
  }
  if (error < 0 && (frame == Frame::LOST || !message.data())) error = ENOMEM;

  if (error >= 0) {
    // Whatever failed this receive ends the connection: the stream must never
    // resume inside a message that was dropped. An interrupt only stops receiving,
    // so that the close can let sends under way finish.
    if (!interrupted.load(std::memory_order_seq_cst)) end(error, error == ENOMEM);
    CP_TRACE(trc, TRC_ERROR, "socket receive error: %d", error);
    trc.exit(false);
    return Receipt::ENDED;
  }
  if (trc.on(TRC_DETAIL))
    TRC1_Dump(trc.record(), __LINE__, message.data(), message.length(), "receive on socket %d \n", sock);
  trc.exit(true);
  return Receipt::MESSAGE;
}

int ClientSocket::readChunk(char* chunk, int size, int* error, TimePoint deadline, bool midMessage) {
  bool waitFirst = lastReadShort && (midMessage || waitFirstReceives > 0);
  bool probing = !midMessage && !waitFirst;  // a first read that tells whether the agent sends ahead
  if (!midMessage && waitFirstReceives > 0) waitFirstReceives--;
  for (;;) {
    if (receivingOver()) {
      *error = endError.load(std::memory_order_relaxed);
      return -1;
    }
    if (waitFirst) {
      waitFirst = false;
      // A deadline already past is left to the read, which takes what has arrived.
      bool past = deadline != NO_DEADLINE && std::chrono::steady_clock::now() >= deadline;
      if (!past && !waitReadable(deadline)) return 0;
      continue;
    }
    errno = 0;
    ssize_t n = ::recv(sock, chunk, static_cast<size_t>(size - 1), MSG_DONTWAIT);
    if (n > 0) {
      lastReadShort = n < size - 1;
      chunk[n] = 0;
      return static_cast<int>(n);
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      lastReadShort = true;
      if (probing) waitFirstReceives = WAIT_FIRST_RECEIVES;
      probing = false;
      if (!waitReadable(deadline)) return 0;
    } else if (n == 0 || errno != EINTR) {
      *error = errno;  // 0 when the agent ended its stream
      return -1;
    }
  }
}
