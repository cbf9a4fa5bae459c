// The agent's end of a loopback TCP connection.
#include "LoopbackAgent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace {

constexpr size_t DRAIN_CHUNK = 1 << 20;
constexpr size_t ANSWER_CHUNK = size_t{64} * 1024;
constexpr int PROVIDER_READ = 4095;  // the library's read size, for a like-for-like peer
constexpr int64_t BLOCK_RUNNING = -2;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void noDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool sendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// A listening socket on 127.0.0.1 with an ephemeral port, or -1.
int listenLoopback(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(fd, 4) < 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

bool pinThread(std::thread::native_handle_type thread, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu < 0) {
    int cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    for (int i = 0; i < cpus; i++) CPU_SET(i, &set);
  } else {
    CPU_SET(cpu, &set);
  }
  return pthread_setaffinity_np(thread, sizeof set, &set) == 0;
}

bool pinCurrentThread(int cpu) { return pinThread(pthread_self(), cpu); }

bool askAndAwaitAnswer(int fd, const std::string& request, char* scratch, size_t scratchSize) {
  if (!sendAll(fd, request.data(), request.size())) return false;
  for (;;) {
    ssize_t n = ::recv(fd, scratch, scratchSize, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (scratch[n - 1] == '\n') return true;
  }
}

namespace {

// The state an agent thread and its controlling thread share for blocks of round trips.
struct BlockState {
  std::mutex& mutex;
  std::condition_variable& changed;
  const bool& stopping;
  int& blockCount;       // round trips asked for and not yet started
  int64_t& blockTimeNs;  // BLOCK_RUNNING while a block runs
};

// The agent thread's loop: waits for a block to be asked for, runs its round
// trips on fd and hands back their wall time (-1 on a failure), until stopping.
void serveBlocks(BlockState state, int fd, const std::string& request, std::vector<char>& scratch) {
  for (;;) {
    std::unique_lock<std::mutex> lock(state.mutex);
    state.changed.wait(lock, [&state] { return state.stopping || state.blockCount > 0; });
    if (state.stopping) return;
    int count = state.blockCount;
    state.blockCount = 0;
    lock.unlock();
    int64_t start = nowNs();
    bool ok = true;
    for (int i = 0; i < count && ok; i++) ok = askAndAwaitAnswer(fd, request, scratch.data(), scratch.size());
    int64_t elapsed = ok ? nowNs() - start : -1;
    lock.lock();
    state.blockTimeNs = elapsed;
    state.changed.notify_all();
    if (!ok) return;
  }
}

}  // namespace

LoopbackAgent::LoopbackAgent(Mode mode, const std::string& request)
    : mode_(mode),
      request_(request),
      listenFd_(-1),
      port_(0),
      clientFd_(-1),
      closed_(false),
      stopping_(false),
      blockCount_(0),
      blockTimeNs_(0) {
  listenFd_ = listenLoopback(&port_);
  if (listenFd_ < 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread(&LoopbackAgent::run, this);
}

LoopbackAgent::~LoopbackAgent() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    if (clientFd_ >= 0) ::shutdown(clientFd_, SHUT_RDWR);
    if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);  // wakes a waiting accept
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (clientFd_ >= 0) ::close(clientFd_);
  if (listenFd_ >= 0) ::close(listenFd_);
}

bool LoopbackAgent::pin(int cpu) { return thread_.joinable() && pinThread(thread_.native_handle(), cpu); }

std::string LoopbackAgent::recorded() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return closed_; });
  return recorded_;
}

void LoopbackAgent::startBlock(int count) {
  std::lock_guard<std::mutex> guard(mutex_);
  blockCount_ = count;
  blockTimeNs_ = BLOCK_RUNNING;
  changed_.notify_all();
}

int64_t LoopbackAgent::finishBlock() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return blockTimeNs_ != BLOCK_RUNNING || closed_; });
  return blockTimeNs_ == BLOCK_RUNNING ? -1 : blockTimeNs_;
}

void LoopbackAgent::run() {
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    clientFd_ = fd;
    if (stopping_ && fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
  if (fd >= 0) {
    noDelay(fd);
    if (mode_ == Mode::ROUND_TRIP) {
      serveRoundTrips(fd);
    } else {
      std::vector<char> chunk(DRAIN_CHUNK);
      for (;;) {
        ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (mode_ == Mode::RECORD) recorded_.append(chunk.data(), static_cast<size_t>(n));
      }
    }
  }
  std::lock_guard<std::mutex> guard(mutex_);
  closed_ = true;
  changed_.notify_all();
}

void LoopbackAgent::serveRoundTrips(int fd) {
  std::vector<char> scratch(ANSWER_CHUNK);
  // The registration message comes first and is not answered.
  for (;;) {
    ssize_t n = ::recv(fd, scratch.data(), scratch.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    if (scratch[static_cast<size_t>(n) - 1] == '\n') break;
  }
  serveBlocks(BlockState{mutex_, changed_, stopping_, blockCount_, blockTimeNs_}, fd, request_, scratch);
}

RawPingPong::RawPingPong(const std::string& request, const std::string& answer)
    : request_(request),
      answer_(answer),
      agentFd_(-1),
      providerFd_(-1),
      stopping_(false),
      blockCount_(0),
      blockTimeNs_(0) {
  int port = 0;
  int listenFd = listenLoopback(&port);
  if (listenFd < 0) return;
  int provider = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (provider >= 0) noDelay(provider);  // as the library sets it before connecting
  if (provider >= 0 && connect(provider, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    agentFd_ = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (agentFd_ >= 0) {
      noDelay(agentFd_);
      providerFd_ = provider;
      provider = -1;
      thread_ = std::thread(&RawPingPong::run, this);
    }
  }
  if (provider >= 0) ::close(provider);
  ::close(listenFd);
}

RawPingPong::~RawPingPong() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (agentFd_ >= 0) ::shutdown(agentFd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (agentFd_ >= 0) ::close(agentFd_);
  if (providerFd_ >= 0) ::close(providerFd_);
}

bool RawPingPong::pin(int cpu) { return thread_.joinable() && pinThread(thread_.native_handle(), cpu); }

void RawPingPong::startBlock(int count) {
  std::lock_guard<std::mutex> guard(mutex_);
  blockCount_ = count;
  blockTimeNs_ = BLOCK_RUNNING;
  changed_.notify_all();
}

int64_t RawPingPong::serveBlock(int count) {
  char chunk[PROVIDER_READ + 1];
  bool ok = true;
  for (int i = 0; i < count && ok; i++) {
    size_t got = 0;
    while (ok && got < request_.size()) {
      ssize_t n = ::recv(providerFd_, chunk, PROVIDER_READ, 0);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) got += static_cast<size_t>(n);
    }
    ok = ok && sendAll(providerFd_, answer_.data(), answer_.size());
  }
  if (!ok) ::shutdown(providerFd_, SHUT_RDWR);  // so that the waiting agent gives up too
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return blockTimeNs_ != BLOCK_RUNNING; });
  return ok ? blockTimeNs_ : -1;
}

void RawPingPong::run() {
  std::vector<char> scratch(ANSWER_CHUNK);
  serveBlocks(BlockState{mutex_, changed_, stopping_, blockCount_, blockTimeNs_}, agentFd_, request_, scratch);
}
