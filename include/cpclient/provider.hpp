// cpclient/provider.hpp: the provider and its run loop: Provider, the options and
// result of run(), the statistics, and beneath them the session that connects,
// hands requests to its workers, watches deadlines and runs timers and snapshot
// collectors. Needs the other headers of cpclient/ and the standard library's threads.
#ifndef CPCLIENT_PROVIDER_HPP
#define CPCLIENT_PROVIDER_HPP

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cpclient.h"
#include "errors.hpp"
#include "request.hpp"
#include "rows.hpp"
#include "service.hpp"
#include "values.hpp"

namespace cpclient {

// Why run() returned.
enum class RunEnd {
  agentShutdown,  // the agent announced its shutdown
  stopped,        // stop(), or SIGINT or SIGTERM under RunOptions::handleSignals
  gaveUp,         // see RunResult::error
};

// What run() returns: why it ended and, when it gave up, the error.
struct RunResult {
  RunEnd end = RunEnd::stopped;
  // Empty unless run gave up; then the last open's result when no connection was
  // had within the limits, connectionLost for a lost connection without
  // reconnect, the wait's result for a failed wait, or
  // std::errc::device_or_resource_busy when another Provider was running.
  std::error_code error;

  // True unless run gave up.
  [[nodiscard]] bool ok() const noexcept { return end != RunEnd::gaveUp; }
  // One line for a log: "the agent shut down", "stopped", or "gave up: " and the error.
  [[nodiscard]] std::string message() const {
    if (end == RunEnd::agentShutdown) return "the agent shut down";
    return end == RunEnd::stopped ? "stopped" : "gave up: " + error.message();
  }
};

// How a group is served, beside its handler or collector.
struct GroupOptions {
  // A request whose handler has not answered within deadline (0: none) of its
  // arrival is answered at once with deadlineRc (unset: RunOptions::handlerErrorRc),
  // logged and counted; the handler's later rows and answer are dropped, and the
  // group's next request is served meanwhile. Makes run use at least one worker.
  std::chrono::milliseconds deadline{0};
  std::optional<int> deadlineRc;
  // The names of the row's values, in order; empty: not declared. Declared, every
  // row must have this width, handlers may use Rows::addNamed, snapshot requests
  // are filtered on them, and Provider::agentemuColumns names them.
  std::vector<std::string> columns;
  // Snapshot groups: the collector runs every snapshotEvery (which must be positive).
  std::chrono::milliseconds snapshotEvery{0};
};

// The rows a snapshot group's collector returns, each a row of values.
using SnapshotRows = std::vector<std::vector<std::string>>;

// What one group (or the tasks) has seen since run() began. Latencies run from
// the request's arrival to its answer, over the last 1024 answers.
struct GroupStats {
  std::string name;            // empty for the tasks
  std::uint64_t requests = 0;  // data (or task) requests received
  std::uint64_t answers = 0;   // answers the library took, rows or errors
  std::uint64_t errors = 0;    // of them, error answers (deadline misses too)
  std::uint64_t deadlineMisses = 0;
  unsigned inFlight = 0;  // received and not yet answered
  unsigned hung = 0;      // handlers still running past their deadline
  std::chrono::microseconds p50{0}, p99{0}, max{0};
  std::string lastError;  // empty when none
  std::chrono::system_clock::time_point lastErrorAt{};
  bool snapshot = false;                                 // a snapshot group:
  std::optional<std::chrono::milliseconds> snapshotAge;  // since the last complete snapshot; empty before one
  std::uint64_t collectorFailures = 0;  // collector runs that threw or gave a wrong width, and skipped ticks
};

// The statistics of a provider: one entry per group in the order registered, and the tasks.
struct Stats {
  std::vector<GroupStats> groups;
  GroupStats tasks;

  // One line: "serving 3 groups; 1200 requests, 2 past deadline, p99 4.1 ms"
  // (the p99 is the worst of the groups' and the tasks').
  [[nodiscard]] std::string summary() const {
    std::uint64_t requests = tasks.requests, missed = tasks.deadlineMisses;
    auto p99 = tasks.p99;
    for (const GroupStats& g : groups) {
      requests += g.requests;
      missed += g.deadlineMisses;
      p99 = std::max(p99, g.p99);
    }
    char latency[32];
    std::snprintf(latency, sizeof latency, "%.1f ms", static_cast<double>(p99.count()) / 1000.0);
    return "serving " + std::to_string(groups.size()) + (groups.size() == 1 ? " group; " : " groups; ") +
           std::to_string(requests) + " requests, " + std::to_string(missed) + " past deadline, p99 " + latency;
  }
};

struct RunOptions {
  int port = 0;           // the agent's port; 0: cpdll_setPort's or CP_PORT
  unsigned workers = 0;   // handler threads; 0: handlers run on the waiting thread (1 when a deadline is set)
  bool reconnect = true;  // on a lost connection, connect and register again
  // Limits of one stretch without a connection (at the start, or after a loss):
  int connectAttempts = 0;                      // opens tried; 0: no limit
  std::chrono::milliseconds connectTimeout{0};  // time it may last; 0: no limit
  std::chrono::milliseconds backoff{200};       // pause between opens (and after a loss), doubled after each ...
  std::chrono::milliseconds maxBackoff{5000};   // ... up to this; each pause is cut at random by up to half
  std::chrono::milliseconds stopPoll{100};      // how soon run sees stop() while it waits or pauses
  std::chrono::milliseconds grace{3000};        // how long handlers and timers still running at the end may take
  bool handleSignals = false;  // run stops on SIGINT and SIGTERM; their previous handlers come back when it returns
  std::string agentUser;       // user name or uid whose listener alone counts as the agent (CP_AGENT_USER)
  int handlerErrorRc = 1;      // the data error or task rc that answers a handler that threw
  // A task whose handler has not returned within taskDeadline (0: none) of its arrival is
  // answered with handlerErrorRc at once; what the handler returns later is dropped.
  std::chrono::milliseconds taskDeadline{0};
  // Handlers still running past their deadline ("hung") hold their worker; for as
  // long as they do, run starts up to this many extra workers so the rest goes on.
  unsigned maxHungWorkers = 4;
  // One log line of the statistics (see Provider::stats) every statsLogInterval; 0: none.
  std::chrono::milliseconds statsLogInterval{0};
  // Makes every thread that run starts (workers, the timer thread); empty: std::thread.
  std::function<std::thread(std::function<void()>)> startThread;
};

namespace detail {

// Set by the signal handlers that run installs. A static, so that a signal never
// reaches a Provider that is gone.
inline std::atomic<bool> signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores to it");
inline void onStopSignal(int) { signalled.store(true); }

// The Provider whose run() runs in this process, or null: the C library has one connection.
inline std::atomic<const void*> runningProvider{nullptr};

// Sets SIGINT and SIGTERM to set `signalled` while it lives (when on), then puts the
// previous handlers back.
class StopSignals {
 public:
  explicit StopSignals(bool on) : on_(on) {
    if (!on_) return;
    signalled.store(false);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 2; i++) sigaction(kSignals[i], &action, &before_[i]);
  }
  ~StopSignals() {
    if (on_)
      for (int i = 0; i < 2; i++) sigaction(kSignals[i], &before_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr int kSignals[2] = {SIGINT, SIGTERM};
  bool on_;
  struct sigaction before_[2] = {};
};

// Sets environment variable name to value while it lives (nothing when value is
// empty), then restores what was there.
class EnvironmentSetting {
 public:
  EnvironmentSetting(const char* name, const std::string& value) : name_(name), on_(!value.empty()) {
    if (!on_) return;
    if (const char* was = std::getenv(name)) before_ = was;
    setenv(name, value.c_str(), 1);
  }
  ~EnvironmentSetting() {
    if (on_ && before_) setenv(name_, before_->c_str(), 1);
    if (on_ && !before_) unsetenv(name_);
  }
  EnvironmentSetting(const EnvironmentSetting&) = delete;
  EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;

 private:
  const char* name_;
  bool on_;
  std::optional<std::string> before_;
};

using DataHandler = std::function<void(const Request&, Rows&)>;
using TaskHandler = std::function<int(const Request&, TaskOutput&)>;
using NoticeHandler = std::function<void(const Request&)>;
using LogHook = std::function<void(std::string_view)>;

struct Group {
  std::string name;
  int version;
  int id;
  DataHandler handler;
  GroupOptions options;
  std::function<SnapshotRows()> collector;  // set: a snapshot group, served without handler
};
struct Timer {
  std::chrono::milliseconds interval;
  std::function<void()> run;
};
// What a provider is set up with; each run works on a copy of its own.
struct Config {
  std::vector<Group> groups;
  TaskHandler task;
  NoticeHandler onStart;
  NoticeHandler onStop;
  LogHook log;
  std::vector<Timer> timers;
};

// The counters behind Provider::stats: a slot per group (its number - 1) and one
// for the tasks after them. Thread-safe: one lock, never held while calling out.
class StatsBoard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kWindow = 1024;  // latencies kept per slot

  // Starts over for the groups of config.
  void reset(const Config& config) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.assign(config.groups.size() + 1, Slot());
    for (size_t i = 0; i < config.groups.size(); i++) {
      slots_[i].stats.name = config.groups[i].name;
      slots_[i].stats.snapshot = static_cast<bool>(config.groups[i].collector);
    }
  }
  void received(size_t slot) {
    update(slot, [](Slot& s) {
      s.stats.requests++;
      s.stats.inFlight++;
    });
  }
  // An answer the library took; error is empty for rows.
  void answered(size_t slot, Clock::duration latency, const std::string& error, bool pastDeadline) {
    update(slot, [&](Slot& s) {
      s.stats.inFlight--;
      s.stats.answers++;
      if (!error.empty()) s.stats.errors++, noteError(s, error);
      if (pastDeadline) s.stats.deadlineMisses++, s.stats.hung++;
      if (s.window.size() < kWindow) s.window.push_back(0);
      s.window[s.next++ % kWindow] = std::chrono::duration_cast<std::chrono::microseconds>(latency).count();
    });
  }
  // An answer the library refused: nothing reached the agent.
  void failed(size_t slot, const std::string& error, bool pastDeadline = false) {
    update(slot, [&](Slot& s) {
      s.stats.inFlight--;
      if (pastDeadline) s.stats.deadlineMisses++, s.stats.hung++;
      noteError(s, error);
    });
  }
  void lateReturn(size_t slot) {
    update(slot, [](Slot& s) { s.stats.hung--; });
  }
  void snapshotTaken(size_t slot) {
    update(slot, [](Slot& s) { s.takenAt = Clock::now(); });
  }
  void collectorFailed(size_t slot, const std::string& why) {
    update(slot, [&](Slot& s) {
      s.stats.collectorFailures++;
      noteError(s, why);
    });
  }
  Stats read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Stats stats;
    for (size_t i = 0; i < slots_.size(); i++) {
      GroupStats g = slots_[i].stats;
      std::vector<long long> sorted = slots_[i].window;
      std::sort(sorted.begin(), sorted.end());
      auto rank = [&](double p) {  // nearest rank
        return std::chrono::microseconds(
            sorted[static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size()))) - 1]);
      };
      if (!sorted.empty()) g.p50 = rank(0.5), g.p99 = rank(0.99), g.max = std::chrono::microseconds(sorted.back());
      if (slots_[i].takenAt)
        g.snapshotAge = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *slots_[i].takenAt);
      if (i + 1 < slots_.size()) {
        stats.groups.push_back(std::move(g));
      } else {
        stats.tasks = std::move(g);
      }
    }
    return stats;
  }

 private:
  struct Slot {
    GroupStats stats;
    std::vector<long long> window;  // microseconds, a ring of the last kWindow
    size_t next = 0;
    std::optional<Clock::time_point> takenAt;  // the last complete snapshot
  };
  static void noteError(Slot& s, const std::string& error) {
    s.stats.lastError = error;
    s.stats.lastErrorAt = std::chrono::system_clock::now();
  }
  template <class Change>
  void update(size_t slot, const Change& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot < slots_.size()) change(slots_[slot]);
  }
  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
};

// One run: its copy of the set-up, the connection loop, the dispatcher and the
// threads. The threads it starts share its ownership, so that one still running
// after the grace (then detached) never touches freed memory; its answers and
// events then fail with illegalState, as the connection they belong to is gone.
//
// Dispatch: jobs with one key (a group's number) run one at a time, in the order
// received; tasks (key -1) and other groups run in parallel on the workers, or on
// the waiting thread when there are none.
class Session : public std::enable_shared_from_this<Session> {
 public:
  using Clock = std::chrono::steady_clock;
  using Stopping = std::function<bool()>;

  // Reads the service manager's settings from the environment (see ServiceNotifier).
  Session(Config config, RunOptions options, std::shared_ptr<Link> link, std::shared_ptr<StatsBoard> stats)
      : config_(std::move(config)),
        options_(std::move(options)),
        link_(std::move(link)),
        stats_(std::move(stats)),
        journal_(stderrIsJournal()),
        notifier_([this](const std::string& line) { log(Priority::warning, line); }),
        snapshots_(config_.groups.size()) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the workers and, with timers, the timer thread. When one cannot start,
  // ends and joins those started and throws what the thread factory threw
  // (std::system_error from std::thread).
  void startThreads() {
    try {
      threads_.reserve(options_.workers + config_.groups.size() + 2);  // a thread made is always kept
      for (unsigned i = 0; i < options_.workers; i++) startThread([this] { work(false); });
      if (!config_.timers.empty()) startThread([this] { tick(); });
      bool deadlines = options_.taskDeadline.count() > 0;
      for (size_t i = 0; i < config_.groups.size(); i++) {
        if (config_.groups[i].collector) startThread([this, i] { collect(i); });
        deadlines = deadlines || config_.groups[i].options.deadline.count() > 0;
      }
      if (deadlines && options_.workers > 0) startThread([this] { watch(); });
    } catch (...) {
      endThreads(false);
      throw;
    }
  }

  // Connects, serves and reconnects until the agent shuts down, stopping() turns
  // true or the connection cannot be had; then gives what still runs the grace,
  // closes and ends the threads.
  RunResult run(const Stopping& stopping) {
    try {
      return serveUntilTheEnd(stopping);
    } catch (...) {  // no memory: still close and end the threads
      finish();
      throw;
    }
  }

 private:
  static constexpr std::chrono::seconds kReminder{60};  // at most one "still unreachable" line per this
  // A data or task request being handled (start and stop ones have no answer).
  struct Job {
    enum Phase { running, late, returned };  // late: past the deadline; returned: its handler, past it too
    int key = -1;                            // its group's number, -1 for tasks
    size_t slot = 0;                         // of the statistics
    std::shared_ptr<Answer> answer;          // null for start and stop
    Clock::time_point due{};                 // the deadline, when watched
    int rc = 0;                              // the error that answers it past the deadline
    bool task = false;
    bool watched = false;   // in watch_; under the lock
    Phase phase = running;  // under the lock
    Clock::time_point received{};
    std::string group;
  };
  // A snapshot group's last complete rows (null before one) and whether its first run ended.
  struct Snapshot {
    std::shared_ptr<const SnapshotRows> rows;
    bool tried = false;
  };

  RunResult serveUntilTheEnd(const Stopping& stopping) {
    RunResult result;
    awaitFirstSnapshots(stopping);
    for (bool afterLoss = false;; afterLoss = true) {
      if (auto ended = connect(afterLoss, stopping)) {
        result = *ended;
        break;
      }
      int waited = serve(stopping);
      if (waited == CP_CONNECTION_LOST) log(Priority::warning, "the connection to the agent was lost");
      if (waited == CP_CONNECTION_LOST && options_.reconnect) {
        link_->down();  // answers still under way now fail at once
        notifier_.status("reconnecting");
        continue;
      }
      if (waited == CP_OK)
        result = {RunEnd::stopped, {}};
      else if (waited == CP_AGENT_SHUTDOWN)
        result = {RunEnd::agentShutdown, {}};
      else
        result = {RunEnd::gaveUp, makeErrorCode(waited)};
      break;
    }
    notifier_.stopping(result.message());
    finish();
    return result;
  }

  // Opens until connected (nullopt), stopped or out of limits: one open and the
  // registration per attempt, a jittered doubling pause between attempts. Logs
  // one line when the agent turns out unreachable (after a loss, that line was
  // the loss), at most one reminder a minute, and one when it is reached again.
  // The service manager's status says "agent unreachable, retrying since" the
  // stretch began after the first failed attempt, and what is served once connected.
  std::optional<RunResult> connect(bool afterLoss, const Stopping& stopping) {
    const auto began = Clock::now();
    const auto since = std::chrono::system_clock::now();
    auto lastLine = began;
    auto pause = options_.backoff;
    bool warned = afterLoss;
    bool unreachableSaid = false;
    for (int attempt = 1;; attempt++) {
      if (attempt > 1 || afterLoss) {
        auto left = options_.connectTimeout.count() > 0 ? options_.connectTimeout - (Clock::now() - began)
                                                        : Clock::duration::max();
        if (!pauseUnlessStopped(std::min<Clock::duration>(jittered(pause), left), stopping))
          return RunResult{RunEnd::stopped, {}};
        pause = std::min(pause * 2, options_.maxBackoff);
      }
      if (stopping()) return RunResult{RunEnd::stopped, {}};
      int result = open();
      if (result == CP_OK) {
        if (warned)
          log(Priority::info, afterLoss ? "connected to the agent again"
                                        : "connected to the agent after " + std::to_string(attempt) + " attempts");
        const size_t groups = config_.groups.size();
        notifier_.ready("serving " + std::to_string(groups) + (groups == 1 ? " group" : " groups"));
        return std::nullopt;
      }
      if (!unreachableSaid) notifier_.status("agent unreachable, retrying since " + timeOfDay(since));
      unreachableSaid = true;
      const auto now = Clock::now();
      const std::string why = makeErrorCode(result).message();
      if (!warned) {
        std::string line = "cannot reach the agent";
        if (!options_.agentUser.empty()) line.append(" (only an agent of user ").append(options_.agentUser).append(")");
        log(Priority::warning, line.append(": ").append(why).append("; trying again until it answers"));
        warned = true;
        lastLine = now;
      } else if (now - lastLine >= kReminder) {
        log(Priority::warning, "still cannot reach the agent after " + std::to_string(attempt) + " attempts: " + why);
        lastLine = now;
      }
      bool outOfTime = options_.connectTimeout.count() > 0 && now - began >= options_.connectTimeout;
      if (outOfTime || (options_.connectAttempts > 0 && attempt >= options_.connectAttempts)) {
        log(Priority::error, "gave up connecting to the agent after " + std::to_string(attempt) + " attempts");
        return RunResult{RunEnd::gaveUp, makeErrorCode(result)};
      }
    }
  }
  Clock::duration jittered(std::chrono::milliseconds pause) {
    std::uniform_int_distribution<long long> cut(0, pause.count() / 2);
    return pause - std::chrono::milliseconds(cut(random_));
  }
  // False when stopping() turned true first. Pings the watchdog meanwhile.
  bool pauseUnlessStopped(Clock::duration pause, const Stopping& stopping) {
    const auto until = Clock::now() + pause;
    while (!stopping()) {
      auto left = until - Clock::now();
      if (left <= left.zero()) return true;
      std::this_thread::sleep_for(std::min<Clock::duration>({left, options_.stopPoll, notifier_.watchdog()}));
    }
    return false;
  }
  // One open (no retry, no wait) and the registration of every group. CP_OK with
  // the connection live; else it is closed again.
  int open() {
    int result = cpdll_OpenConnectionTimed(0);
    if (result == CP_TIMED_OUT) result = CP_CONNECT_FAILED;  // its one attempt failed
    for (auto& g : config_.groups)
      if (result == CP_OK) result = cpdll_RegisterAttrGroup(g.name.c_str(), g.version, g.id);
    // Live before the registration goes out, so that an event sent once the agent
    // has it is never refused; until then the library refuses events itself.
    if (result == CP_OK) {
      epoch_ = link_->up();
      result = cpdll_RegistrationComplete();
    }
    if (result != CP_OK) link_->down();
    return result;
  }

  // The wait loop on a live connection: CP_OK when stopped, else what ended it.
  // It pings the watchdog itself, so that a loop held up (by a handler that runs
  // on this thread and hangs) lets the service manager see it.
  int serve(const Stopping& stopping) {
    while (!stopping()) {
      report();
      CPREQUEST* record = nullptr;
      auto wait = std::min<Clock::duration>(options_.stopPoll, notifier_.watchdog());
      int waitMs = std::max(1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      int result = cpdll_WaitForRequestTimed(&record, waitMs);
      Request request(record);
      switch (result) {
        case CP_OK: dispatch(std::move(request)); break;
        case CP_TIMED_OUT: break;
        case CP_NO_MEMORY: log(Priority::error, "a request was dropped: " + makeErrorCode(result).message()); break;
        default: return result;
      }
    }
    return CP_OK;
  }
  // Gives handlers and timers still running the grace to finish, closes, and
  // ends the threads; those still busy after the grace are detached.
  void finish() {
    const auto deadline = Clock::now() + options_.grace;
    std::unique_lock<std::mutex> lock(mutex_);
    ending_ = true;
    tick_.notify_all();
    idle_.wait_until(lock, deadline, [this] { return outstanding_ == 0 && !timerBusy_; });
    lock.unlock();
    link_->down();
    endThreads(true);
  }
  // Tells every thread to end and joins them; with detachBusy, those that have
  // not ended at once are detached instead (they still own the session).
  void endThreads(bool detachBusy) {
    std::unique_lock<std::mutex> lock(mutex_);
    quit_ = true;
    ending_ = true;
    ready_.notify_all();
    tick_.notify_all();
    watching_.notify_all();
    auto allExited = [this] { return std::count(exited_.begin(), exited_.end(), false) == 0; };
    if (detachBusy) {
      exit_.wait_for(lock, std::chrono::milliseconds(50), allExited);  // idle threads take a moment
    } else {
      exit_.wait(lock, allExited);
    }
    std::vector<bool> exited = exited_;
    lock.unlock();
    size_t left = 0;
    for (size_t i = 0; i < threads_.size(); i++) {
      if (!threads_[i].joinable()) continue;  // ended by an earlier call
      if (exited[i]) {
        threads_[i].join();
      } else {
        threads_[i].detach();
        left++;
      }
    }
    if (left > 0)
      log(Priority::warning, std::to_string(left) + " thread(s) still busy after the grace run on; their answers fail");
  }
  void startThread(std::function<void()> body) {
    const size_t index = threads_.size();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      exited_.push_back(false);
    }
    try {
      std::thread thread = options_.startThread([self = shared_from_this(), index, body = std::move(body)] {
        body();
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->exited_[index] = true;
        self->exit_.notify_all();
      });
      if (!thread.joinable()) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      threads_.push_back(std::move(thread));
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      exited_.pop_back();
      throw;
    }
  }

  void dispatch(Request request) {
    request.epoch_ = epoch_;
    request.received_ = Clock::now();
    const Group* group = find(request.groupId());
    if (group) request.group_ = group->name;
    if (request.kind() == RequestKind::data || request.kind() == RequestKind::task) stats_->received(slot(request));
    if (group && group->collector && request.kind() == RequestKind::data) return answerFromSnapshot(request, *group);
    if (options_.workers == 0) return handle(request, makeJob(-1, request));
    int key = request.kind() == RequestKind::task ? -1 : request.groupId();
    std::unique_lock<std::mutex> lock(mutex_);
    outstanding_++;
    if (key >= 0) {
      auto [slot, fresh] = busy_.try_emplace(key);
      if (!fresh) return slot->second.push_back(std::move(request));  // behind the one of its key
    }
    queue_.emplace_back(key, std::move(request));
    lock.unlock();
    ready_.notify_one();
  }
  // A worker: runs ready jobs until told to quit; jobs still queued then are
  // dropped unanswered, as the connection is closed.
  //
  // An extra worker (started while handlers hang) ends once there are more
  // extra workers than hung handlers.
  void work(bool extra) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this, extra] { return quit_ || !queue_.empty() || (extra && extra_ > hung_); });
      if (quit_ || (extra && extra_ > hung_)) {
        if (extra) extra_--;
        return;
      }
      auto [key, request] = std::move(queue_.front());
      queue_.pop_front();
      std::shared_ptr<Job> job = makeJob(key, request);
      lock.unlock();
      handle(request, job);
      request = Request();  // freed outside the lock
      lock.lock();
      done(*job);
    }
  }
  // Under the lock, after the handler of job returned: the job is over, unless
  // the deadline answered it; then the watcher has released its key already.
  void done(Job& job) {
    if (job.watched) {
      auto [from, to] = watch_.equal_range(job.due);
      for (auto at = from; at != to; ++at)
        if (at->second.get() == &job) {
          watch_.erase(at);
          break;
        }
      job.watched = false;
    }
    if (!job.answer || !job.answer->expired()) return finished(job.key);
    if (job.phase == Job::late) {
      hung_--;
      stats_->lateReturn(job.slot);
      ready_.notify_all();  // an extra worker may end
    } else {
      job.phase = Job::returned;
    }
  }
  // Under the lock: the next job of key becomes ready, or key is free again.
  void finished(int key) {
    if (key >= 0) {
      auto waiting = busy_.find(key);
      if (waiting->second.empty()) {
        busy_.erase(waiting);
      } else {
        queue_.emplace_back(key, std::move(waiting->second.front()));
        waiting->second.pop_front();
        ready_.notify_one();
      }
    }
    if (--outstanding_ == 0) idle_.notify_all();
  }
  // The timer thread: runs each timer when due while a connection is live, one
  // after the other; a run that overruns skips the ticks it covered.
  void tick() {
    std::vector<Clock::time_point> due;
    for (auto& timer : config_.timers) due.push_back(Clock::now() + timer.interval);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ending_) {
      for (size_t i = 0; i < due.size() && !ending_; i++) {
        if (Clock::now() < due[i]) continue;
        if (link_->live() != 0) {
          timerBusy_ = true;
          lock.unlock();
          guard("a timer", config_.timers[i].run);
          lock.lock();
          timerBusy_ = false;
          if (outstanding_ == 0) idle_.notify_all();
        }
        due[i] = std::max(due[i] + config_.timers[i].interval, Clock::now());
      }
      tick_.wait_until(lock, *std::min_element(due.begin(), due.end()), [this] { return ending_; });
    }
  }

  const Group* find(int id) const {
    return id >= 1 && id <= static_cast<int>(config_.groups.size()) ? &config_.groups[id - 1] : nullptr;
  }
  // Runs the handler of one request and sends its answer. Never throws: a
  // failure outside the handlers (no memory) is logged like a handler's.
  void handle(const Request& request, const std::shared_ptr<Job>& job) noexcept {
    guard(subject(request), [&] {
      switch (request.kind()) {
        case RequestKind::data: answerData(request, *job); break;
        case RequestKind::task: answerTask(request, *job); break;
        case RequestKind::start: notify(config_.onStart, request); break;
        case RequestKind::stop: notify(config_.onStop, request); break;
        case RequestKind::none: break;
      }
    });
  }
  // The statistics' slot of a data or task request.
  size_t slot(const Request& request) const {
    return request.kind() == RequestKind::task ? config_.groups.size() : static_cast<size_t>(request.groupId() - 1);
  }
  // The job of a request; under the lock when it gets a deadline (workers only).
  std::shared_ptr<Job> makeJob(int key, const Request& request) {
    auto job = std::make_shared<Job>();
    job->key = key;
    const RequestKind kind = request.kind();
    if (kind != RequestKind::data && kind != RequestKind::task) return job;
    const Group* group = find(request.groupId());
    job->slot = slot(request);
    job->task = kind == RequestKind::task;
    job->received = request.received_;
    job->group = std::string(request.group());
    job->answer =
        std::make_shared<Answer>(std::string(request.id()), link_.get(), request.epoch_,
                                 group && !group->options.columns.empty() ? &group->options.columns : nullptr);
    auto deadline = job->task ? options_.taskDeadline : group ? group->options.deadline : std::chrono::milliseconds(0);
    job->rc =
        job->task || !group ? options_.handlerErrorRc : group->options.deadlineRc.value_or(options_.handlerErrorRc);
    if (deadline.count() > 0 && options_.workers > 0) {
      job->due = job->received + deadline;
      job->watched = true;
      watch_.emplace(job->due, job);
      watching_.notify_one();
    }
    return job;
  }
  // Records an answer that send() made (or not: sent false, the deadline's went first).
  void answered(Job& job, bool sent, int result, const std::string& error) {
    if (!sent) return log(Priority::info, who(job) + " returned after its deadline; what it gave is dropped");
    if (result == CP_OK) return stats_->answered(job.slot, Clock::now() - job.received, error, false);
    const std::string why = "the answer to " + std::string(job.task ? "task " : "data request ") + job.answer->id() +
                            " failed: " + makeErrorCode(result).message();
    log(Priority::warning, why);
    stats_->failed(job.slot, why);
  }
  static std::string who(const Job& job) {
    return job.task ? "the handler of task " + job.answer->id()
                    : "the handler of group " + job.group + " (request " + job.answer->id() + ")";
  }
  void answerData(const Request& request, Job& job) {
    const Group* group = find(request.groupId());
    Rows rows(job.answer, options_.handlerErrorRc);
    std::string error;
    if (!group || !guard(
                      subject(request), [&] { group->handler(request, rows); }, &error)) {
      rows.error(options_.handlerErrorRc);
      if (!group) error = "no such group";
    }
    if (!rows.refused_.empty()) {
      error = "refused " + rows.refused_;
      log(Priority::error, who(job) + " " + error);
    }
    if (rows.failed_ && error.empty()) error = "the handler answered error " + std::to_string(rows.errorRc_);
    const char* id = job.answer->id().c_str();
    int result = CP_OK;
    bool sent = job.answer->answer(
        false, [&] { return rows.failed_ ? cpdll_SendError(rows.errorRc_, id) : cpdll_SendData(id); }, &result);
    answered(job, sent, result, error);
  }
  void answerTask(const Request& request, Job& job) {
    TaskOutput out;
    int rc = options_.handlerErrorRc;
    std::string error = config_.task ? "" : "no task handler";
    if (config_.task && !guard(
                            subject(request), [&] { rc = config_.task(request, out); }, &error)) {
      rc = options_.handlerErrorRc;
      out.clear();
    }
    std::vector<const char*> values;
    std::vector<const char*> insts;
    for (size_t i = 0; i < out.size(); i++) {
      values.push_back(out.values_[i].c_str());
      insts.push_back(out.insts_[i] ? out.insts_[i]->c_str() : nullptr);
    }
    const char* id = job.answer->id().c_str();
    int result = CP_OK;
    bool sent = job.answer->answer(
        false, [&] { return cpdll_SendTaskOutput(rc, id, values.data(), insts.data(), static_cast<int>(out.size())); },
        &result);
    answered(job, sent, result, error);
  }
  // The deadline watcher: answers each watched job whose handler has not by its
  // deadline, releases its group's key so the group's next request runs at once,
  // and starts extra workers while handlers hang.
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
      if (watch_.empty() || Clock::now() < watch_.begin()->first) {
        if (watch_.empty()) {
          watching_.wait(lock);
        } else {
          const Clock::time_point next = watch_.begin()->first;  // a copy: the entry may go while we wait
          watching_.wait_until(lock, next);
        }
        continue;
      }
      std::shared_ptr<Job> job = watch_.begin()->second;
      watch_.erase(watch_.begin());
      job->watched = false;
      lock.unlock();
      const char* id = job->answer->id().c_str();
      int result = CP_OK;
      bool sent = job->answer->answer(
          true, [&] { return job->task ? cpdll_SendTaskRC(job->rc, id) : cpdll_SendError(job->rc, id); }, &result);
      if (sent) expired(*job, result);
      lock.lock();
      if (!sent) continue;  // the handler answered first
      if (job->phase == Job::running) {
        job->phase = Job::late;
        hung_++;
      } else {
        stats_->lateReturn(job->slot);  // it returned while its error went out
      }
      finished(job->key);
      while (extra_ < std::min(hung_, options_.maxHungWorkers) && !quit_ && startExtra()) {
      }
    }
  }
  void expired(Job& job, int result) {
    const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - job.received);
    const std::string what = who(job) + " has not answered after " + std::to_string(late.count()) + " ms (at " +
                             timeOfDay(std::chrono::system_clock::now()) + "): answered with error " +
                             std::to_string(job.rc);
    log(Priority::warning, what);
    if (result != CP_OK) {
      log(Priority::warning, "the answer to " + job.answer->id() + " failed: " + makeErrorCode(result).message());
      return stats_->failed(job.slot, what, true);
    }
    stats_->answered(job.slot, Clock::now() - job.received, "past its deadline", true);
  }
  // Under the lock: one more worker while handlers hang; false when it cannot start.
  bool startExtra() {
    extra_++;
    try {
      std::thread thread = options_.startThread([self = shared_from_this()] { self->work(true); });
      if (!thread.joinable()) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      thread.detach();  // it holds the session, and ends by itself
      return true;
    } catch (...) {
      extra_--;
      log(Priority::warning, "cannot start a worker beside the hung handlers");
      return false;
    }
  }
  // A snapshot group's collector thread: one run at once, then one every
  // snapshotEvery; a run that throws or gives a row of the wrong width keeps the
  // last snapshot, and each tick that a run overran is skipped; both count as failures.
  void collect(size_t index) {
    const Group& group = config_.groups[index];
    const auto& columns = group.options.columns;
    const std::string who = "the collector of group " + group.name;
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto due = Clock::now(); !quit_;) {
      lock.unlock();
      SnapshotRows rows;
      std::string why;
      bool ok = guard(
          who, [&] { rows = group.collector(); }, &why);
      for (size_t i = 0; ok && !columns.empty() && i < rows.size(); i++)
        if (rows[i].size() != columns.size()) {
          ok = false;
          why = "row " + std::to_string(i + 1) + " has " + std::to_string(rows[i].size()) + " value(s) for the " +
                std::to_string(columns.size()) + " declared column(s)";
          log(Priority::error, std::string(who).append(": ").append(why).append("; the last snapshot stays"));
        }
      auto snapshot = ok ? std::make_shared<const SnapshotRows>(std::move(rows)) : nullptr;
      lock.lock();
      if (ok) {
        snapshots_[index].rows = std::move(snapshot);
        stats_->snapshotTaken(index);
      } else {
        stats_->collectorFailed(index, std::string(who).append(" ").append(why));
      }
      snapshots_[index].tried = true;
      snapshotTried_.notify_all();
      due += group.options.snapshotEvery;
      for (const auto now = Clock::now(); due <= now; due += group.options.snapshotEvery)
        stats_->collectorFailed(index, who + " overran its interval: a tick was skipped");
      tick_.wait_until(lock, due, [this] { return quit_; });
    }
  }
  // Before the first registration: waits for the first run of every collector,
  // at most the longest snapshotEvery, so that the first requests find a snapshot.
  void awaitFirstSnapshots(const Stopping& stopping) {
    std::chrono::milliseconds longest{0};
    for (auto& g : config_.groups)
      if (g.collector) longest = std::max(longest, g.options.snapshotEvery);
    const auto until = Clock::now() + longest;
    std::unique_lock<std::mutex> lock(mutex_);
    auto allTried = [this] {
      for (size_t i = 0; i < snapshots_.size(); i++)
        if (config_.groups[i].collector && !snapshots_[i].tried) return false;
      return true;
    };
    while (!allTried() && Clock::now() < until && !stopping())
      snapshotTried_.wait_for(lock, std::min<Clock::duration>(options_.stopPoll, until - Clock::now()));
  }
  // Answers a snapshot group's data request from its last snapshot, on run's
  // thread: the group has no handler, so no other answer of it can overlap.
  // Filters with op EQ (or none) on declared columns keep the rows whose value is
  // equal, all of them (AND); a filter on another name, or any logOp OR, keeps all
  // rows, and other ops are left to the agent. No snapshot yet: handlerErrorRc.
  void answerFromSnapshot(const Request& request, const Group& group) {
    std::shared_ptr<const SnapshotRows> rows;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      rows = snapshots_[group.id - 1].rows;
    }
    std::vector<std::pair<size_t, std::string_view>> equal;
    const auto& columns = group.options.columns;
    for (const auto& [name, value, op, logOp] : request.filters()) {
      size_t at = std::find(columns.begin(), columns.end(), name) - columns.begin();
      if (at == columns.size() || (logOp && *logOp == "OR")) {
        equal.clear();
        break;
      }
      if (!op || *op == "EQ") equal.emplace_back(at, value);
    }
    auto keep = [&](const std::vector<std::string>& row) {
      for (auto& [at, value] : equal)
        if (row[at] != value) return false;
      return true;
    };
    const std::string id(request.id());
    int result = link_->call(request.epoch_, [&] {
      int added = rows ? CP_OK : CP_ILLEGAL_STATE;
      std::vector<const char*> texts;
      for (size_t i = 0; rows && added == CP_OK && i < rows->size(); i++) {
        if (!keep((*rows)[i])) continue;
        texts.clear();
        for (const std::string& value : (*rows)[i]) texts.push_back(value.c_str());
        added = cpdll_SetAttributeValuesUtf8(texts.data(), static_cast<int>(texts.size()), id.c_str());
      }
      return added == CP_OK ? cpdll_SendData(id.c_str()) : cpdll_SendError(options_.handlerErrorRc, id.c_str());
    });
    const size_t index = group.id - 1;
    if (result != CP_OK) {
      const std::string why = "the answer to data request " + id + " failed: " + makeErrorCode(result).message();
      log(Priority::warning, why);
      return stats_->failed(index, why);
    }
    stats_->answered(index, Clock::now() - request.received_, rows ? "" : "no snapshot yet", false);
  }
  // On run's thread, from its wait loop: the statistics' log line every
  // statsLogInterval, and the summary as the service manager's status when it changed.
  void report() {
    static constexpr std::chrono::seconds kStatusEvery{2};
    const auto now = Clock::now();
    const bool logDue = options_.statsLogInterval.count() > 0 && now >= nextStatsLog_;
    if (!logDue && now < nextStatus_) return;
    const Stats stats = stats_->read();
    std::string summary = stats.summary();
    if (now >= nextStatus_ && summary.find("; 0 requests") == std::string::npos) {  // READY's status says it all
      nextStatus_ = now + kStatusEvery;
      if (summary != status_) notifier_.status(summary);
      status_ = std::move(summary);
    }
    if (!logDue) return;
    nextStatsLog_ = now + options_.statsLogInterval;
    std::string line = "stats: " + stats.summary();
    auto ms = [](std::chrono::microseconds us) {
      char text[32];
      std::snprintf(text, sizeof text, "%.1f", static_cast<double>(us.count()) / 1000.0);
      return std::string(text);
    };
    std::vector<GroupStats> all = stats.groups;
    all.push_back(stats.tasks);
    for (const GroupStats& g : all) {
      line += "\n  " + (g.name.empty() ? std::string("tasks") : g.name) + ": " + std::to_string(g.requests) +
              " requests, " + std::to_string(g.errors) + " errors, " + std::to_string(g.deadlineMisses) +
              " past deadline, " + std::to_string(g.hung) + " hung, " + std::to_string(g.inFlight) +
              " in flight, p50/p99/max " + ms(g.p50) + "/" + ms(g.p99) + "/" + ms(g.max) + " ms";
      if (g.snapshot)
        line += ", snapshot " + (g.snapshotAge ? std::to_string(g.snapshotAge->count()) + " ms old" : "none") + ", " +
                std::to_string(g.collectorFailures) + " collector failures";
    }
    log(Priority::info, line);
  }
  void notify(const NoticeHandler& handler, const Request& request) noexcept {
    if (handler) guard(subject(request), [&] { handler(request); });
  }
  static std::string subject(const Request& request) {
    return request.kind() == RequestKind::task ? "the handler of task " + std::string(request.id())
                                               : "the handler of group " + std::string(request.group());
  }
  // Runs body; false (after a log line) when it threw.
  // The reason goes to *why when given.
  template <class Body>
  bool guard(const std::string& who, const Body& body, std::string* why = nullptr) noexcept {
    std::string what;
    try {
      body();
      return true;
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
      what = "an exception that is no std::exception";
    }
    log(Priority::error, who + " threw: " + what);
    try {
      if (why) *why = "threw: " + what;
    } catch (...) {  // no memory: the log line is what there is
    }
    return false;
  }

 public:
  // One line to the log hook, or to standard error without one. Never throws.
  void log(Priority priority, const std::string& line) noexcept { logTo(config_.log, priority, line, journal_); }
  // Standard error gets "cpclient: " and the line; when it is the journal's stream,
  // each of the line's lines starts with the priority's "<N>" too.
  static void logTo(const LogHook& hook, Priority priority, const std::string& line, bool journal) noexcept {
    try {
      if (hook) return hook(line);
      const std::string prefix = journal ? "<" + std::to_string(static_cast<int>(priority)) + ">" : "";
      std::string text = prefix + "cpclient: ";
      for (char c : line) {
        text += c;
        if (c == '\n') text += prefix;
      }
      std::fprintf(stderr, "%s\n", text.c_str());
    } catch (...) {  // a log hook that throws loses its line
    }
  }

 private:
  const Config config_;
  const RunOptions options_;
  const std::shared_ptr<Link> link_;
  const std::shared_ptr<StatsBoard> stats_;
  const bool journal_;        // standard error is the journal's stream
  ServiceNotifier notifier_;  // run's thread only
  unsigned epoch_ = 0;        // the connection that requests arrive on; run's thread only
  std::minstd_rand random_{std::random_device{}()};

  std::mutex mutex_;
  std::condition_variable ready_;                                 // a job is queued, or quit
  std::condition_variable idle_;                                  // nothing outstanding
  std::condition_variable tick_;                                  // ending
  std::condition_variable exit_;                                  // a thread exited
  std::deque<std::pair<int, Request>> queue_;                     // ready to run
  std::map<int, std::deque<Request>> busy_;                       // keys with a job running, and the jobs behind it
  size_t outstanding_ = 0;                                        // submitted and not yet finished
  bool timerBusy_ = false;                                        // a timer runs
  bool ending_ = false;                                           // no new timer runs
  bool quit_ = false;                                             // threads end
  std::vector<std::thread> threads_;                              // run's thread only
  std::vector<bool> exited_;                                      // per thread; under the lock
  std::condition_variable watching_;                              // a deadline is watched, or quit
  std::multimap<Clock::time_point, std::shared_ptr<Job>> watch_;  // handlers running with a deadline
  unsigned hung_ = 0;                                             // handlers running past their deadline
  unsigned extra_ = 0;                                            // extra workers running
  std::condition_variable snapshotTried_;                         // a collector's first run ended
  std::vector<Snapshot> snapshots_;                               // per group; under the lock
  Clock::time_point nextStatsLog_{};                              // run's thread only
  Clock::time_point nextStatus_{};                                // run's thread only
  std::string status_;                                            // the last summary sent; run's thread only
};

}  // namespace detail

// A provider: its groups and handlers, and the loop that serves them.
//
// Set up (group, task, onStart, onStop, onLog, every) before run(), on one thread.
// Handlers: a group's data, start and stop handlers never run at the same time as
// each other for that group, and see its requests in order; different groups, and
// task requests, run in parallel on the workers. The one exception is a handler
// past its group's deadline (GroupOptions): its request is answered, and the
// group's next handler runs beside it, so handlers that share state between the
// requests of a deadline group lock it themselves. A handler that throws is logged
// and its request answered with RunOptions::handlerErrorRc. Events, stop() and
// stopping() may be called from any thread at any time. Handlers and event threads
// end a provider with stop(), never with cpdll_CloseConnection: run owns the
// connection, lets the handlers finish and closes it itself.
//
// The C library has one connection per process: one run() at a time in a
// process, of any Provider; another that starts meanwhile gives up at once.
class Provider {
 public:
  using DataHandler = detail::DataHandler;
  using TaskHandler = detail::TaskHandler;
  using NoticeHandler = detail::NoticeHandler;
  using LogHook = detail::LogHook;

  Provider() = default;
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  // Registers group name (version) with its handler; returns its number (1, 2, ...).
  // A name given again replaces the earlier handler and keeps its number. Throws
  // std::invalid_argument for a name that is empty or holds & < > " ' or a
  // control character: the agent could not read its messages.
  // options may set a deadline and declare columns (see GroupOptions).
  int group(std::string name, int version, DataHandler handler, GroupOptions options = {}) {
    return addGroup(std::move(name), version, std::move(handler), std::move(options), nullptr);
  }
  // Registers a snapshot group: collector runs on a thread of its own once
  // before the registration (run waits for it up to snapshotEvery) and then every
  // options.snapshotEvery, and each data request is answered at once, without a
  // handler, from the last complete snapshot. A collector that throws or returns a
  // row that does not fit the declared columns keeps the previous snapshot; a run
  // still going at the next tick skips it; each counts in collectorFailures.
  // Equality filters (op EQ or none) on declared columns are applied to the rows;
  // a request that also filters on a name not declared, or uses logOp OR, gets
  // the whole snapshot. Before any snapshot, requests get handlerErrorRc. Throws
  // std::invalid_argument as group() does, and for a snapshotEvery not positive.
  int snapshotGroup(std::string name, int version, std::function<SnapshotRows()> collector, GroupOptions options) {
    if (options.snapshotEvery.count() <= 0 || !collector)
      throw std::invalid_argument("cpclient: a snapshot group has a collector and a positive snapshotEvery");
    return addGroup(std::move(name), version, nullptr, std::move(options), std::move(collector));
  }
  // The "--columns GROUP=NAME,NAME" options of agentemu for the groups with
  // declared columns, separated by blanks: "--columns Procs=pid,name --columns Disk=dev,free".
  [[nodiscard]] std::string agentemuColumns() const {
    std::string text;
    for (const auto& g : config_.groups) {
      if (g.options.columns.empty()) continue;
      text += (text.empty() ? "--columns " : " --columns ") + g.name;
      for (size_t i = 0; i < g.options.columns.size(); i++) text += (i ? "," : "=") + g.options.columns[i];
    }
    return text;
  }
  // The statistics of the current (or the last) run, per group in the order
  // registered and for the tasks; empty before the first run. Any thread.
  [[nodiscard]] Stats stats() const { return stats_->read(); }
  // The handler of task requests: returns the task's rc. Without one, tasks are
  // answered with handlerErrorRc. It may run on several workers at once.
  void task(TaskHandler handler) { config_.task = std::move(handler); }
  // Called for the start and the stop of a request on a group; no answer is sent.
  void onStart(NoticeHandler handler) { config_.onStart = std::move(handler); }
  void onStop(NoticeHandler handler) { config_.onStop = std::move(handler); }
  // Receives one line per failure (handler exceptions, lost and refused
  // connections, failed answers), from any thread. Default: standard error, each
  // line led by its journal priority ("<3>" error, "<4>" warning, "<6>" info) when
  // standard error is the journal's stream (JOURNAL_STREAM).
  void onLog(LogHook hook) { config_.log = std::move(hook); }
  // Calls fn every interval while run() has a connection, on run's timer thread
  // (one for all timers, which run one after the other); the first call comes one
  // interval after run starts, a tick that finds no connection or falls in a
  // longer run is skipped, and none starts once run is ending. An fn that throws
  // is logged. Throws std::invalid_argument for an interval that is not positive.
  void every(std::chrono::milliseconds interval, std::function<void()> fn) {
    if (interval.count() <= 0) throw std::invalid_argument("cpclient: a timer's interval is positive");
    config_.timers.push_back({interval, std::move(fn)});
  }

  // Connects, registers every group and serves requests until the agent shuts
  // down, stop() is called, or it gives up (see RunResult). Until it connects, at
  // the start as after a lost connection, it keeps trying (one open per attempt)
  // with a pause of RunOptions::backoff doubling to maxBackoff, each cut at random
  // by up to half, for as long as connectAttempts and connectTimeout allow (by
  // default forever). The log hook has one line when the agent is unreachable,
  // one when it is reached again, and a reminder at most once a minute between.
  //
  // A stop is seen within stopPoll in every state (connecting, pausing, waiting),
  // as is the agent's shutdown. Requests still being handled then get
  // RunOptions::grace to finish; then run closes the connection and returns.
  // A worker or timer still busy after the grace is detached: it goes on with
  // run's own copy of the set-up, which it shares, so it touches no freed memory,
  // and its answers and events fail with illegalState; what it touches of its own
  // (captures, the Provider through event) must still live. With workers 0 a
  // handler runs on run's thread, and run sees the stop once it returns.
  //
  // With agentUser set, CP_AGENT_USER holds it while run runs (then restored):
  // an agent of another user is refused, logged as unreachable, and retried.
  // With handleSignals, SIGINT and SIGTERM stop run as stop() does.
  //
  // Under a service manager (NOTIFY_SOCKET set) run notifies it, from its own
  // thread: "READY=1" with the first registration that went out, "STATUS=" lines
  // ("serving 2 groups", "reconnecting", "agent unreachable, retrying since
  // 12:04:05"), "WATCHDOG=1" every half of WATCHDOG_USEC from its wait loop, and
  // "STOPPING=1" with RunResult::message() as the status when it ends. A notify
  // socket that fails never holds run up: one log line, then silence.
  //
  // Throws std::system_error only if a worker or the timer thread cannot start
  // (it starts them before it connects): those started are ended and joined and
  // nothing is connected.
  [[nodiscard]] RunResult run(const RunOptions& options = {}) {
    const void* none = nullptr;
    if (!detail::runningProvider.compare_exchange_strong(none, this)) {
      detail::Session::logTo(config_.log, detail::Priority::error,
                             "run refused: another Provider is running in this process", detail::stderrIsJournal());
      return {RunEnd::gaveUp, std::make_error_code(std::errc::device_or_resource_busy)};
    }
    struct Release {
      ~Release() { detail::runningProvider.store(nullptr); }
    } release;
    if (stop_.load()) return {RunEnd::stopped, {}};
    RunOptions actual = options;
    actual.stopPoll = std::max(actual.stopPoll, std::chrono::milliseconds(1));
    actual.backoff = std::max(actual.backoff, std::chrono::milliseconds(1));
    actual.maxBackoff = std::max(actual.maxBackoff, actual.backoff);
    actual.grace = std::max(actual.grace, std::chrono::milliseconds(0));
    if (!actual.startThread)
      actual.startThread = [](std::function<void()> body) { return std::thread(std::move(body)); };
    const bool signals = actual.handleSignals;
    detail::EnvironmentSetting user("CP_AGENT_USER", actual.agentUser);
    detail::StopSignals stopSignals(signals);
    if (actual.port > 0) cpdll_setPort(actual.port);
    bool deadlines = actual.taskDeadline.count() > 0;  // a deadline needs a worker to leave the handler running on
    for (const auto& g : config_.groups) deadlines = deadlines || g.options.deadline.count() > 0;
    if (deadlines) actual.workers = std::max(actual.workers, 1u);
    stats_->reset(config_);
    auto session = std::make_shared<detail::Session>(config_, std::move(actual), link_, stats_);
    session->startThreads();
    return session->run([this, signals] {
      if (signals && detail::signalled.load()) stop_.store(true);
      return stop_.load();
    });
  }

  // Asks run() to finish: it sees the flag within RunOptions::stopPoll, gives the
  // handlers still running the grace, closes and returns. Only sets an atomic
  // flag: safe from any thread and from a signal handler. The flag stays: a stop
  // that comes before run() makes it return at once.
  void stop() noexcept { stop_.store(true); }
  [[nodiscard]] bool stopping() const noexcept { return stop_.load(); }

  // Sends one row of values as an event of group (by name), with or without a
  // subnode. While the connection is down: illegalState. unknownGroup for a name
  // not registered here; std::errc::invalid_argument for a group or subnode name
  // with & < > " ' or a control character; else the library's result.
  template <class... V>
  [[nodiscard]] std::error_code event(std::string_view group, const V&... values) {
    return sendEvent(group, nullptr, values...);
  }
  template <class... V>
  [[nodiscard]] std::error_code subnodeEvent(std::string_view group, std::string_view subnode, const V&... values) {
    if (!detail::validName(subnode)) return std::make_error_code(std::errc::invalid_argument);
    const std::string copy(subnode);
    return sendEvent(group, copy.c_str(), values...);
  }
  // Sends error code rc as an event of group, optionally for a subnode. Results as event's.
  [[nodiscard]] std::error_code eventError(std::string_view group, int rc,
                                           std::optional<std::string_view> subnode = {}) {
    if (subnode && !detail::validName(*subnode)) return std::make_error_code(std::errc::invalid_argument);
    const std::string copy(subnode.value_or(""));
    return guarded(group, [&](int id) {
      return subnode ? cpdll_SendSubnodeEventError(rc, id, copy.c_str()) : cpdll_SendEventError(rc, id);
    });
  }

 private:
  template <class... V>
  std::error_code sendEvent(std::string_view group, const char* subnode, const V&... values) {
    static_assert(sizeof...(V) > 0, "an event row has values");
    const detail::Cell cells[] = {detail::Cell(values)...};
    char* texts[sizeof...(V)];
    for (size_t i = 0; i < sizeof...(V); i++) texts[i] = const_cast<char*>(cells[i].c_str());  // only read
    return guarded(group, [&](int id) {
      return subnode ? cpdll_SendSubnodeEventData(texts, sizeof...(V), id, subnode)
                     : cpdll_SendEventData(texts, sizeof...(V), id);
    });
  }
  // Calls send(groupId) while a connection is live (see detail::Link).
  template <class Send>
  std::error_code guarded(std::string_view group, Send send) {
    if (!detail::validName(group)) return std::make_error_code(std::errc::invalid_argument);
    for (auto& g : config_.groups)
      if (g.name == group) return makeErrorCode(link_->call(0, [&] { return send(g.id); }));
    return Errc::unknownGroup;
  }

  int addGroup(std::string name, int version, DataHandler handler, GroupOptions options,
               std::function<SnapshotRows()> collector) {
    if (name.empty() || !detail::validName(name))
      throw std::invalid_argument("cpclient: a group name is not empty and holds no & < > \" ' or control character");
    for (auto& g : config_.groups)
      if (g.name == name) {
        g.version = version;
        g.handler = std::move(handler);
        g.options = std::move(options);
        g.collector = std::move(collector);
        return g.id;
      }
    config_.groups.push_back({std::move(name), version, static_cast<int>(config_.groups.size()) + 1, std::move(handler),
                              std::move(options), std::move(collector)});
    return config_.groups.back().id;
  }

  detail::Config config_;
  std::shared_ptr<detail::Link> link_ = std::make_shared<detail::Link>();
  std::shared_ptr<detail::StatsBoard> stats_ = std::make_shared<detail::StatsBoard>();
  std::atomic<bool> stop_{false};
};

}  // namespace cpclient

#endif  // CPCLIENT_PROVIDER_HPP
