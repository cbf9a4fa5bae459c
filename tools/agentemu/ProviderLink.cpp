// The provider process and its one connection.
#include "ProviderLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const int ACCEPT_SLICE_MS = 20;  // how often a waiting accept looks whether the provider has exited
const int EXIT_SLICE_MS = 5;
const std::size_t READ_CHUNK = 65536;

int msUntil(ProviderLink::Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProviderLink::Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : static_cast<int>(left) + 1;  // +1: never wake just before the deadline
}

}  // namespace

ProviderLink::~ProviderLink() {
  if (listenFd_ >= 0) ::close(listenFd_);
  if (connectionFd_ >= 0) ::close(connectionFd_);
}

bool ProviderLink::listen(int port, std::string& error) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(listenFd_, 1) < 0) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  return true;
}

bool ProviderLink::start(const std::vector<std::string>& argv, std::string& error) {
  // The child reports a failed exec through this pipe; a successful exec closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) < 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::string portText = std::to_string(port_);
  pid_ = ::fork();
  if (pid_ < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (pid_ == 0) {
    ::close(report[0]);
    ::setenv("CP_PORT", portText.c_str(), 1);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    ::execvp(args[0], args.data());
    int savedErrno = errno;
    ssize_t ignored = ::write(report[1], &savedErrno, sizeof savedErrno);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int childErrno = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof childErrno)) {
    error = "cannot run " + argv[0] + ": " + std::strerror(childErrno);
    reap(true);
    pid_ = -1;
    return false;
  }
  return true;
}

ProviderLink::AcceptResult ProviderLink::accept(std::optional<Clock::time_point> deadline) {
  for (;;) {
    int sliceMs = started() ? ACCEPT_SLICE_MS : -1;
    if (deadline) {
      int left = msUntil(*deadline);
      if (left == 0) return AcceptResult::TIMEOUT;
      if (sliceMs < 0 || left < sliceMs) sliceMs = left;
    }
    pollfd waiting{listenFd_, POLLIN, 0};
    int ready = ::poll(&waiting, 1, sliceMs);
    if (ready < 0 && errno != EINTR) return AcceptResult::FAILED;
    if (ready > 0) {
      connectionFd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connectionFd_ < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return AcceptResult::FAILED;
      }
      int one = 1;
      ::setsockopt(connectionFd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::close(listenFd_);
      listenFd_ = -1;
      return AcceptResult::CONNECTED;
    }
    if (started() && reap(false)) return AcceptResult::EXITED;
  }
}

ProviderLink::ReadResult ProviderLink::read(Clock::time_point deadline, std::string& bytes) {
  if (connectionFd_ < 0) return ReadResult::CLOSED;
  for (;;) {
    pollfd waiting{connectionFd_, POLLIN, 0};
    int ready = ::poll(&waiting, 1, msUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return ReadResult::TIMEOUT;
    char chunk[READ_CHUNK];
    ssize_t n = ::recv(connectionFd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(connectionFd_);
      connectionFd_ = -1;
      return ReadResult::CLOSED;
    }
    bytes.append(chunk, static_cast<std::size_t>(n));
    return ReadResult::DATA;
  }
}

bool ProviderLink::write(const std::string& bytes) {
  if (connectionFd_ < 0) return false;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(connectionFd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void ProviderLink::finishSending() {
  if (connectionFd_ >= 0) ::shutdown(connectionFd_, SHUT_WR);
}

void ProviderLink::closeConnection() {
  if (connectionFd_ < 0) return;
  ::close(connectionFd_);
  connectionFd_ = -1;
}

bool ProviderLink::reap(bool block) {
  if (exited_) return true;
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result != pid_) return false;
  exited_ = true;
  if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) signal_ = WTERMSIG(status);
  return true;
}

bool ProviderLink::waitExit(Clock::time_point deadline) {
  if (!started()) return false;
  for (;;) {
    if (reap(false)) return true;
    int left = msUntil(deadline);
    if (left == 0) return false;
    ::usleep(1000 * static_cast<useconds_t>(left < EXIT_SLICE_MS ? left : EXIT_SLICE_MS));
  }
}

void ProviderLink::kill() {
  if (!started() || exited_) return;
  ::kill(pid_, SIGKILL);
  reap(true);
}
