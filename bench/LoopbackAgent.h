// The agent's end of a loopback TCP connection, on a thread of its own: records, drains or asks.
#ifndef CPCLIENT_BENCH_LOOPBACKAGENT_H
#define CPCLIENT_BENCH_LOOPBACKAGENT_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Pins a thread to one CPU (-1: every CPU). False when the CPU does not exist.
bool pinThread(std::thread::native_handle_type thread, int cpu);
bool pinCurrentThread(int cpu);

// The agent's side of one round trip after another on a connected socket: sends
// request whole, then reads until the last byte read is a line feed (every
// message of the library ends with one, and no raw line feed occurs inside).
// False when the connection failed.
bool askAndAwaitAnswer(int fd, const std::string& request, char* scratch, size_t scratchSize);

// Listens on an ephemeral port of 127.0.0.1 from construction and serves the one
// connection it accepts on its own thread, in one of three modes:
//   RECORD      keeps every byte until the peer closes;
//   DRAIN       reads and discards every byte as fast as they come;
//   ROUND_TRIP  skips the first message (the registration), then runs blocks of
//               round trips on demand: send request, await the answer.
// Not thread-safe itself: one controlling thread calls its operations.
class LoopbackAgent {
 public:
  enum class Mode { RECORD, DRAIN, ROUND_TRIP };

  LoopbackAgent(Mode mode, const std::string& request = std::string());
  // Closes the connection and joins the thread.
  ~LoopbackAgent();
  LoopbackAgent(const LoopbackAgent&) = delete;
  LoopbackAgent& operator=(const LoopbackAgent&) = delete;

  // The port to connect to; 0 when listening failed.
  int port() const { return port_; }
  bool pin(int cpu);

  // RECORD: every byte received, once the peer has closed.
  std::string recorded();

  // ROUND_TRIP: starts count round trips and returns at once; finishBlock waits
  // for them and returns their wall time in nanoseconds (-1 on a failure).
  void startBlock(int count);
  int64_t finishBlock();

 private:
  void run();
  void serveRoundTrips(int fd);

  Mode mode_;
  std::string request_;
  int listenFd_;
  int port_;
  int clientFd_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_;
  bool stopping_;
  int blockCount_;       // round trips asked for and not yet started
  int64_t blockTimeNs_;  // -2 while a block runs
  std::string recorded_;
};

// A raw TCP ping-pong over loopback with the same byte sizes as the library's
// round trip: an agent thread (the same loop as LoopbackAgent's) sends request and
// awaits answer; the controlling thread plays the provider with plain recv and send.
class RawPingPong {
 public:
  RawPingPong(const std::string& request, const std::string& answer);
  ~RawPingPong();
  RawPingPong(const RawPingPong&) = delete;
  RawPingPong& operator=(const RawPingPong&) = delete;

  bool ok() const { return providerFd_ >= 0; }
  bool pin(int cpu);
  // As LoopbackAgent's: starts count round trips on the agent thread.
  void startBlock(int count);
  // Serves count requests on the calling thread, then returns the agent's wall time.
  int64_t serveBlock(int count);

 private:
  void run();

  std::string request_;
  std::string answer_;
  int agentFd_;
  int providerFd_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_;
  int blockCount_;
  int64_t blockTimeNs_;
};

#endif  // CPCLIENT_BENCH_LOOPBACKAGENT_H
