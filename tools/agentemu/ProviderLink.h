// The provider process and its connection, one at a time: the listening socket on
// 127.0.0.1, the start of the provider with CP_PORT, the accepted connection, and the exit.
//
// Blocking POSIX calls bounded by deadlines; nothing here prints. Not thread-safe.
#ifndef AGENTEMU_PROVIDER_LINK_H
#define AGENTEMU_PROVIDER_LINK_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class ProviderLink {
 public:
  using Clock = std::chrono::steady_clock;

  enum class AcceptResult { CONNECTED, TIMEOUT, EXITED, FAILED };
  enum class ReadResult { DATA, TIMEOUT, CLOSED };

  ProviderLink() = default;
  // Closes the sockets. A provider that still runs is left running: callers end it with kill().
  ~ProviderLink();
  ProviderLink(const ProviderLink&) = delete;
  ProviderLink& operator=(const ProviderLink&) = delete;

  // Listens on 127.0.0.1:port; port 0 takes a free port. On failure returns false with error set.
  bool listen(int port, std::string& error);
  int port() const { return port_; }

  // Starts argv[0] (searched in PATH) with argv and CP_PORT set to the port. Its standard
  // output goes to this process's standard error, so that agentemu's own output stays
  // clean. Returns false with error set when the program cannot be run.
  bool start(const std::vector<std::string>& argv, std::string& error);
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Waits for the provider's connection until deadline (none: for ever). EXITED: the
  // started provider ended first (see exitCode and signal). Stops listening afterwards.
  AcceptResult accept(std::optional<Clock::time_point> deadline);

  // Waits until deadline for bytes, and appends what one read gives to bytes.
  ReadResult read(Clock::time_point deadline, std::string& bytes);
  // Writes all of bytes; false when the connection is gone.
  bool write(const std::string& bytes);
  // Ends the sending half, as the agent closes its connection after the shutdown:
  // the provider reads end of stream, and what it still sends is read.
  void finishSending();

  // Closes the connection at once, as a stopping agent does; the provider reads end of
  // stream. Listening again for its next connection is listen(port()).
  void closeConnection();

  // Waits until deadline for the started provider to exit; true when it has.
  bool waitExit(Clock::time_point deadline);
  // Kills the started provider with SIGKILL and reaps it.
  void kill();
  std::optional<int> exitCode() const { return exitCode_; }
  std::optional<int> signal() const { return signal_; }

 private:
  bool reap(bool block);

  int listenFd_ = -1;
  int connectionFd_ = -1;
  int port_ = 0;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::optional<int> exitCode_;
  std::optional<int> signal_;
};

#endif
