// TCP connection to the agent on POSIX sockets.
#include "transport/ClientSocket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/Services.h"
#include "host/Trace.h"
#include "transport/MessageFraming.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

namespace {
constexpr int FIRST_RETRY_DELAY_UNITS = 2;
constexpr int RETRIES = 3;  // after the first attempt: 4 attempts in all
constexpr int CHUNK_SIZE = 4096;
}  // namespace

ClientSocket::ClientSocket(int port, const char* ipaddr)
    : address(), port(port), ipaddr(ipaddr), sock(INVALID_SOCKET), leftover(nullptr) {
  CP_TRACE_ENTRY(trc, "ClientSocket::ClientSocket");
  CP_TRACE(trc, TRC_DETAIL, "ClientSocket initialized socket for ipaddr %s port %d", ipaddr, port);
}

ClientSocket::~ClientSocket() {
  CP_TRACE_ENTRY(trc, "ClientSocket::~ClientSocket");
  if (sock != INVALID_SOCKET) ::close(sock);
  delete leftover;
}

bool ClientSocket::open() {
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
      return trc.exit(__LINE__, false);
    }
    CP_TRACE(trc, TRC_DETAIL, "Opened socket %d", sock);
    int one = 1;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0)
      CP_TRACE(trc, TRC_ERROR, "Error setting NODELAY option");
    if (connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) >= 0) {
      CP_TRACE(trc, TRC_DETAIL, "Connect successful for socket %d addr %s port %d", sock, inet_ntoa(address.sin_addr),
               ntohs(address.sin_port));
      return trc.exit(__LINE__, true);
    }
    int error = errno;
    CP_TRACE_ALWAYS(trc, "Unable to connect to TCP socket for port %d, errno=%d - retrying....\n", port, error);
    SVC1_Sleep(delayUnits);
    delayUnits *= 2;
    ::close(sock);
    sock = INVALID_SOCKET;
    if (retriesLeft == 0) {
      CP_TRACE_ALWAYS(trc, "Unable to connect to TCP socket, errno=%d - retry count exceeded.\n", error);
      return trc.exit(__LINE__, false);
    }
    retriesLeft--;
  }
}

void ClientSocket::adopt(int fd) {
  if (sock != INVALID_SOCKET) ::close(sock);
  sock = fd;
}

void ClientSocket::interrupt() {
  if (sock != INVALID_SOCKET) ::shutdown(sock, SHUT_RDWR);
}

void ClientSocket::close() {
  if (sock == INVALID_SOCKET) return;
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  sock = INVALID_SOCKET;
}

bool ClientSocket::write(StringBuffer& message) {
  CP_TRACE_ENTRY(trc, "ClientSocket::write");
  const char* data = message.data();
  if (!data) {
    CP_TRACE_ALWAYS(trc, "socket write error:%d\n", ENOMEM);
    return trc.exit(__LINE__, false);
  }
  std::lock_guard<std::mutex> guard(writeMutex);
  size_t sent = 0;
  size_t total = static_cast<size_t>(message.length());
  while (sent < total) {
    ssize_t n = ::send(sock, data + sent, total - sent, MSG_NOSIGNAL);
    if (n < 0) {
      int error = errno;
      if (error == EINTR) continue;
      CP_TRACE_ALWAYS(trc, "socket write error:%d\n", error);
      return trc.exit(__LINE__, false);
    }
    sent += static_cast<size_t>(n);
  }
  if (trc.on(TRC_DETAIL)) TRC1_Dump(trc.record(), __LINE__, data, message.length(), "send on socket %d \n", sock);
  return trc.exit(__LINE__, true);
}

bool ClientSocket::receive(StringBuffer& message) {
  CP_TRACE_ENTRY(trc, "ClientSocket::receive");
  message.setLength(0);
  bool result = true;
  bool done = false;

  if (leftover) {
    CP_TRACE(trc, TRC_DETAIL, "Have left over data from previous read, processing that");
    if (takeLeftover(leftover, message) == LeftoverOutcome::COMPLETE) {
      CP_TRACE(trc, TRC_DETAIL, "Left over data contains a complete message, not reading any further this time");
      done = true;
    } else {
      CP_TRACE(trc, TRC_DETAIL, "Have left over data, but it is not complete.  Will read rest of message");
    }
  }

  char chunk[CHUNK_SIZE];
  while (!done) {
    ssize_t n;
    do {
      errno = 0;
      n = ::recv(sock, chunk, CHUNK_SIZE - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      int error = errno;
      result = false;
      done = true;
      CP_TRACE(trc, TRC_ERROR, "socket receive error: %d", error);
      break;
    }
    chunk[n] = 0;
    switch (takeChunk(chunk, static_cast<int>(n), message, leftover)) {
      case ChunkOutcome::COMPLETE_WITH_LEFTOVER:
        CP_TRACE(trc, TRC_DETAIL, "Have leftover data after a complete message-- saving for next time");
        done = true;
        break;
      case ChunkOutcome::COMPLETE:
        done = true;
        break;
      case ChunkOutcome::INCOMPLETE:
        CP_TRACE(trc, TRC_DETAIL, "Did not find newline, continue reading");
        break;
    }
  }

  if (result && !message.data()) {
    CP_TRACE(trc, TRC_ERROR, "socket receive error: %d", ENOMEM);
    result = false;
  }
  if (result && trc.on(TRC_DETAIL))
    TRC1_Dump(trc.record(), __LINE__, message.data(), message.length(), "receive on socket %d \n", sock);
  return trc.exit(__LINE__, result);
}
