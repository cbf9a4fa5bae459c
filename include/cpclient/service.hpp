// cpclient/service.hpp: how a provider's run speaks to the service manager: the
// journal's priorities of log lines and the test for the journal's stream, the
// notify socket with its watchdog (detail::ServiceNotifier), and the time of day
// that log lines quote. Needs POSIX sockets and the standard library; not cpclient.h.
#ifndef CPCLIENT_SERVICE_HPP
#define CPCLIENT_SERVICE_HPP

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <system_error>
#include <utility>

namespace cpclient {
namespace detail {

// The journal's priority of a log line (syslog's numbers), written as its "<N>" prefix.
enum class Priority { error = 3, warning = 4, info = 6 };

// True when standard error is the journal's stream: JOURNAL_STREAM holds its "device:inode".
inline bool stderrIsJournal() noexcept {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  char after = 0;
  struct stat status = {};
  if (!stream || std::sscanf(stream, "%llu:%llu%c", &device, &inode, &after) != 2) return false;
  return fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

// The service manager's notify socket, named by NOTIFY_SOCKET (a path, or an abstract name
// after '@'); nothing at all is sent without it. Each notice is one datagram of NAME=value
// lines, sent without blocking. A socket that fails (unusable name, missing, refused, full)
// costs one log line, the first time; every later notice is still tried, its failure ignored.
// The watchdog (WATCHDOG_USEC, for this process alone when WATCHDOG_PID is set) is pinged
// every half of its interval by whoever calls watchdog(). Not thread-safe: run's thread alone.
class ServiceNotifier {
 public:
  using Clock = std::chrono::steady_clock;
  using Complain = std::function<void(const std::string&)>;

  explicit ServiceNotifier(Complain complain) : complain_(std::move(complain)) {
    const char* where = std::getenv("NOTIFY_SOCKET");
    if (!where || !*where) return;
    where_ = where;
    const bool abstract = where_[0] == '@';
    if ((!abstract && where_[0] != '/') || where_.size() >= sizeof address_.sun_path) {
      complainOnce("it is neither a path nor an '@' name that fits an AF_UNIX address");
      return;
    }
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, where_.data(), where_.size());
    if (abstract) address_.sun_path[0] = '\0';  // an abstract name has no terminator either
    length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + where_.size() + (abstract ? 0 : 1));
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
      complainOnce(std::generic_category().message(errno));
      return;
    }
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    char* end = nullptr;
    long long interval = usec ? std::strtoll(usec, &end, 10) : 0;
    if (interval <= 0 || *end != '\0' || (pid && std::strtoll(pid, nullptr, 10) != getpid())) return;
    period_ = std::chrono::microseconds(interval / 2);
    due_ = Clock::now() + period_;
  }
  ~ServiceNotifier() {
    if (fd_ >= 0) close(fd_);
  }
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // "READY=1\nSTATUS=status" until a READY=1 has gone out, then "STATUS=status".
  void ready(const std::string& status) {
    if (send((ready_ ? "STATUS=" : "READY=1\nSTATUS=") + status)) ready_ = true;
  }
  void status(const std::string& status) { send("STATUS=" + status); }
  void stopping(const std::string& status) { send("STOPPING=1\nSTATUS=" + status); }
  // Sends "WATCHDOG=1" when due; returns the time until the next is due (max() without a watchdog).
  Clock::duration watchdog() {
    if (period_.count() <= 0) return Clock::duration::max();
    const auto now = Clock::now();
    if (now >= due_) {
      send("WATCHDOG=1");
      due_ = now + period_;
    }
    return due_ - now;
  }

 private:
  bool send(const std::string& text) {
    if (fd_ < 0) return false;
    const auto* to = reinterpret_cast<const sockaddr*>(&address_);
    if (sendto(fd_, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL, to, length_) == ssize_t(text.size()))
      return true;
    const int error = errno;
    complainOnce(std::generic_category().message(error));
    return false;
  }
  void complainOnce(const std::string& why) {
    if (complained_) return;
    complained_ = true;
    complain_("cannot notify the service manager at NOTIFY_SOCKET=" + where_ + ": " + why +
              "; later failures are not logged");
  }

  Complain complain_;
  std::string where_;
  sockaddr_un address_ = {};
  socklen_t length_ = 0;
  int fd_ = -1;
  bool ready_ = false;       // a READY=1 went out
  bool complained_ = false;  // the one log line is written
  Clock::duration period_{0};
  Clock::time_point due_;
};

// The wall clock's time of day of when, as "HH:MM:SS".
inline std::string timeOfDay(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local = {};
  char text[16] = "";
  if (localtime_r(&seconds, &local)) std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace detail
}  // namespace cpclient

#endif  // CPCLIENT_SERVICE_HPP
