#include "support/AgentListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

int bindLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

}  // namespace

AgentListener::AgentListener() : listenFd_(-1), clientFd_(-1), port_(0) {
  listenFd_ = bindLoopback(&port_);
  if (listenFd_ >= 0) listen(listenFd_, 16);
}

AgentListener::~AgentListener() {
  if (clientFd_ >= 0) close(clientFd_);
  if (listenFd_ >= 0) close(listenFd_);
}

bool AgentListener::accept(int timeoutMs) {
  if (clientFd_ >= 0) close(clientFd_);
  clientFd_ = -1;
  pending_.clear();
  if (listenFd_ < 0 || !waitReadable(listenFd_, timeoutMs)) return false;
  clientFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  return clientFd_ >= 0;
}

void AgentListener::sendWithoutDelay() {
  int one = 1;
  setsockopt(clientFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool AgentListener::send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(clientFd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool AgentListener::fill(int timeoutMs) {
  if (clientFd_ < 0 || !waitReadable(clientFd_, timeoutMs)) return false;
  char chunk[65536];
  ssize_t n;
  do {
    n = recv(clientFd_, chunk, sizeof chunk, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  pending_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::string AgentListener::readUntil(const std::string& terminator, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t at = pending_.find(terminator);
    if (at != std::string::npos) {
      std::string message = pending_.substr(0, at + terminator.size());
      pending_.erase(0, at + terminator.size());
      return message;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) {
      std::string rest;
      rest.swap(pending_);
      return rest;
    }
  }
}

std::string AgentListener::readBytes(size_t count, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pending_.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) break;
  }
  std::string out = pending_.substr(0, count);
  pending_.erase(0, out.size());
  return out;
}

std::string AgentListener::readSome(int timeoutMs) {
  if (pending_.empty()) fill(timeoutMs);
  std::string out;
  out.swap(pending_);
  return out;
}

std::string AgentListener::readAll(int timeoutMs) {
  while (fill(timeoutMs)) {
  }
  std::string out;
  out.swap(pending_);
  return out;
}

void AgentListener::finishSending() {
  if (clientFd_ >= 0) shutdown(clientFd_, SHUT_WR);
}

void AgentListener::closeClient() {
  if (clientFd_ >= 0) close(clientFd_);
  clientFd_ = -1;
}

void AgentListener::resetClient() {
  if (clientFd_ < 0) return;
  linger hard{1, 0};
  setsockopt(clientFd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(clientFd_);
  clientFd_ = -1;
}

void AgentListener::stopListening() {
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
}

int AgentListener::unusedPort() {
  int port = 0;
  int fd = bindLoopback(&port);
  if (fd >= 0) close(fd);
  return port;
}
