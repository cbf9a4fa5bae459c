// cpclient.hpp: a C++17 provider API over the C interface of cpclient.h.
//
// Header-only: it calls the C functions and nothing else, so no C++ type crosses
// the library's boundary. A provider registers a handler per attribute group (and
// one for tasks), then calls run(), which connects, registers, waits for the
// agent's requests and hands each to its handler, answers it, survives restarts
// of the agent and returns when the agent shuts down or stop() is called:
//
//   cpclient::Provider p;
//   p.group("Memory", 1, [](const cpclient::Request& req, cpclient::Rows& rows) {
//     rows.add("MemTotal", 16318480);
//   });
//   p.task([](const cpclient::Request& req, cpclient::TaskOutput& out) { out.add("done"); return 0; });
//   return p.run() ? 1 : 0;
//
// Results are std::error_code values in cpclient::category(), whose value is the
// CP_ result (CP_OK gives an empty error_code) and whose message is
// cpdll_ResultText's; compare them with the cpclient::Errc names.
//
// The C library has one connection per process: run one Provider at a time.
#ifndef CPCLIENT_HPP
#define CPCLIENT_HPP

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "cpclient.h"

namespace cpclient {

// ---- Results ---------------------------------------------------------------

// The CP_ results by name; the numbers are the C codes.
enum class Errc {
  noPort = CP_NO_PORT,
  connectFailed = CP_CONNECT_FAILED,
  illegalState = CP_ILLEGAL_STATE,
  writeFailed = CP_WRITE_FAILED,
  unknownGroup = CP_UNKNOWN_GROUP,
  idNotPending = CP_ID_NOT_PENDING,
  noMemory = CP_NO_MEMORY,
  timedOut = CP_TIMED_OUT,
  agentShutdown = CP_AGENT_SHUTDOWN,
  connectionLost = CP_CONNECTION_LOST,
};

// The category of every result here: name "cpclient", messages from cpdll_ResultText.
inline const std::error_category& category() noexcept {
  struct Category : std::error_category {
    const char* name() const noexcept override { return "cpclient"; }
    std::string message(int result) const override { return cpdll_ResultText(result); }
  };
  static const Category instance;
  return instance;
}

// A C result as an error_code: empty for CP_OK.
inline std::error_code makeErrorCode(int result) noexcept { return {result, category()}; }
inline std::error_code make_error_code(Errc e) noexcept { return makeErrorCode(static_cast<int>(e)); }

}  // namespace cpclient

namespace std {
template <>
struct is_error_code_enum<cpclient::Errc> : true_type {};
}  // namespace std

namespace cpclient {

// ---- Requests --------------------------------------------------------------

enum class RequestKind {
  none = NO_REQUEST,
  data = DATA_REQUEST,
  task = TASK_REQUEST,
  start = START_REQUEST,
  stop = STOP_REQUEST
};

// One filter of a data request, viewing the request's own strings.
struct Filter {
  std::string_view name;
  std::string_view value;
  std::optional<std::string_view> op;     // empty when the agent sent none
  std::optional<std::string_view> logOp;  // empty when the agent sent none
};

// The filters of a request, in the agent's order: for (auto& [name, value, op, logOp] : req.filters()).
class Filters {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Filter;
    using difference_type = std::ptrdiff_t;
    using pointer = const Filter*;
    using reference = const Filter&;
    explicit iterator(const RequestInfo* node = nullptr) : node_(node) { load(); }
    reference operator*() const { return current_; }
    pointer operator->() const { return &current_; }
    iterator& operator++() {
      node_ = node_->next;
      load();
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const iterator& other) const { return node_ == other.node_; }
    bool operator!=(const iterator& other) const { return node_ != other.node_; }

   private:
    static std::optional<std::string_view> view(const char* text) {
      return text ? std::optional<std::string_view>(text) : std::nullopt;
    }
    void load() {
      if (node_) current_ = {node_->name, node_->value, view(node_->op), view(node_->logOp)};
    }
    const RequestInfo* node_;
    Filter current_;
  };
  explicit Filters(const RequestInfo* head) : head_(head) {}
  iterator begin() const { return iterator(head_); }
  iterator end() const { return iterator(); }
  bool empty() const { return head_ == nullptr; }

 private:
  const RequestInfo* head_;
};

// A request record from the wait, which it owns and frees. Move-only. The views
// it hands out live as long as the Request.
class Request {
 public:
  explicit Request(CPREQUEST* record = nullptr) noexcept : record_(record) {}

  bool valid() const noexcept { return record_ != nullptr; }
  RequestKind kind() const noexcept { return record_ ? RequestKind(record_->requestType) : RequestKind::none; }
  // The group's number for data, start and stop requests; 0 for tasks.
  int groupId() const noexcept { return record_ ? record_->groupId : 0; }
  // The group's registered name; empty for tasks.
  std::string_view group() const noexcept { return group_; }
  // The id that data and task requests are answered under; empty for the others.
  std::string_view id() const noexcept { return text(record_ ? record_->id : nullptr).value_or(""); }
  std::optional<std::string_view> requestStartedId() const noexcept { return field(&CPREQUEST::requestStartedID); }
  std::optional<std::string_view> command() const noexcept { return field(&CPREQUEST::command); }
  std::optional<std::string_view> user() const noexcept { return field(&CPREQUEST::user); }
  std::optional<std::string_view> subnode() const noexcept { return field(&CPREQUEST::subnode); }
  // Stop requests: the agent itself is going down.
  bool shuttingDown() const noexcept { return record_ && record_->shuttingDown; }
  Filters filters() const noexcept { return Filters(record_ ? record_->requestInfo : nullptr); }
  // The record itself, still owned by this Request.
  const CPREQUEST* record() const noexcept { return record_.get(); }

 private:
  friend class Provider;
  struct Free {
    void operator()(CPREQUEST* record) const noexcept { cpdll_FreeRequest(record); }
  };
  static std::optional<std::string_view> text(const char* value) noexcept {
    return value ? std::optional<std::string_view>(value) : std::nullopt;
  }
  std::optional<std::string_view> field(char* CPREQUEST::*member) const noexcept {
    return text(record_ ? record_.get()->*member : nullptr);
  }
  std::unique_ptr<CPREQUEST, Free> record_;
  std::string_view group_;
};

// ---- Values ----------------------------------------------------------------

namespace detail {

// One value as a NUL-terminated UTF-8 string: text passes through (a string_view
// is copied to get its terminator), numbers are formatted without locale by
// std::to_chars (floating point in the shortest form that reads back exactly),
// bool as "true"/"false", nullptr as a null value. Neither copied nor moved: it
// lives in the array that a call builds and passes on.
class Cell {
 public:
  template <class T>
  Cell(const T& value) {  // NOLINT: converting on purpose
    using V = std::decay_t<T>;
    if constexpr (std::is_same_v<V, std::nullptr_t>) {
      text_ = nullptr;
    } else if constexpr (std::is_same_v<V, bool>) {
      text_ = value ? "true" : "false";
    } else if constexpr (std::is_arithmetic_v<V>) {
      *std::to_chars(number_, number_ + sizeof number_ - 1, value).ptr = '\0';
      text_ = number_;
    } else if constexpr (std::is_convertible_v<const T&, const char*>) {
      text_ = value;
    } else if constexpr (std::is_same_v<V, std::string>) {
      text_ = value.c_str();
    } else {
      static_assert(std::is_convertible_v<const T&, std::string_view>, "a value is text, a number or nullptr");
      copy_ = std::string_view(value);
      text_ = copy_.c_str();
    }
  }
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;
  const char* c_str() const noexcept { return text_; }

 private:
  char number_[40];  // the longest double, long or bool text with its NUL
  std::string copy_;
  const char* text_ = nullptr;
};

// The C strings of cells, in order.
template <size_t N>
void pointers(const Cell (&cells)[N], const char* (&out)[N]) noexcept {
  for (size_t i = 0; i < N; i++) out[i] = cells[i].c_str();
}

}  // namespace detail

// The answer to one data request, built by its handler. Each add() sends one row
// to the library at once; the dispatcher sends the answer when the handler
// returns: the rows (none is a valid answer), or the error set by error().
class Rows {
 public:
  // Adds one row of values (text, numbers, bool, nullptr; UTF-8). The first
  // failure is kept in result(). Empty error_code, or the library's result.
  template <class... V>
  std::error_code add(const V&... values) {
    static_assert(sizeof...(V) > 0, "a row has values; addRow(nullptr, 0) adds an empty one");
    const detail::Cell cells[] = {detail::Cell(values)...};
    const char* texts[sizeof...(V)];
    detail::pointers(cells, texts);
    return addRow(texts, static_cast<int>(sizeof...(V)));
  }
  // Adds one row of count values (null elements allowed).
  std::error_code addRow(const char* const* values, int count) {
    int result = cpdll_SetAttributeValuesUtf8(values, count, id_.c_str());
    if (result != CP_OK && first_ == CP_OK) first_ = result;
    if (result == CP_OK) rowCount_++;
    return makeErrorCode(result);
  }
  // Adds one row from a container of strings.
  template <class Strings>
  std::error_code addRow(const Strings& values) {
    std::vector<const char*> texts;
    for (const auto& value : values) texts.push_back(value.c_str());
    return addRow(texts.data(), static_cast<int>(texts.size()));
  }
  // Answers with error code rc instead of the rows, which are dropped.
  void error(int rc) noexcept {
    errorRc_ = rc;
    failed_ = true;
  }
  std::error_code result() const noexcept { return makeErrorCode(first_); }
  int rowCount() const noexcept { return rowCount_; }

 private:
  friend class Provider;
  explicit Rows(std::string_view id) : id_(id) {}
  std::string id_;
  int first_ = CP_OK;
  int rowCount_ = 0;
  bool failed_ = false;
  int errorRc_ = 0;
};

// The outputs of one task answer, each a value with an optional instance.
class TaskOutput {
 public:
  // Adds an output value (text, a number, bool; nullptr: an empty value).
  template <class V>
  void add(const V& value) {
    const detail::Cell cell(value);
    values_.emplace_back(cell.c_str() ? cell.c_str() : "");
    insts_.emplace_back();
  }
  // Adds an output value marked with instance inst.
  template <class V>
  void add(const V& value, std::string_view inst) {
    add(value);
    insts_.back() = std::string(inst);
  }
  void clear() noexcept {
    values_.clear();
    insts_.clear();
  }
  size_t size() const noexcept { return values_.size(); }

 private:
  friend class Provider;
  std::vector<std::string> values_;
  std::vector<std::optional<std::string>> insts_;
};

// ---- Running ---------------------------------------------------------------

struct RunOptions {
  int port = 0;                                // the agent's port; 0: cpdll_setPort's or CP_PORT
  unsigned workers = 0;                        // handler threads; 0: handlers run on the waiting thread
  bool reconnect = true;                       // on a lost connection, connect and register again
  int reconnectAttempts = 10;                  // opens tried per lost connection before run gives up
  std::chrono::milliseconds backoff{200};      // before the first open, doubled after each failure ...
  std::chrono::milliseconds maxBackoff{5000};  // ... up to this
  std::chrono::milliseconds stopPoll{150};     // how soon the waiting thread sees stop()
  int handlerErrorRc = 1;                      // the data error or task rc that answers a handler that threw
};

namespace detail {

// Runs jobs on a pool of threads, or on the caller's thread when the pool has
// none. Jobs with one key (>= 0) run one at a time, in the order submitted;
// jobs with other keys, and those with key -1, run in parallel.
class Dispatcher {
 public:
  using Run = std::function<void(Request&)>;
  Dispatcher(unsigned workers, Run run) : run_(std::move(run)) {
    for (unsigned i = 0; i < workers; i++) threads_.emplace_back([this] { work(); });
  }
  ~Dispatcher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    ready_.notify_all();
    for (auto& thread : threads_) thread.join();
  }
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  void submit(int key, Request request) {
    if (threads_.empty()) return run_(request);
    std::unique_lock<std::mutex> lock(mutex_);
    if (key >= 0) {
      auto [slot, fresh] = busy_.try_emplace(key);
      if (!fresh) {
        slot->second.push_back(std::move(request));  // behind the one of its key that is queued or runs
        outstanding_++;
        return;
      }
    }
    queue_.emplace_back(key, std::move(request));
    outstanding_++;
    lock.unlock();
    ready_.notify_one();
  }
  // Waits until every job submitted has run.
  void drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return outstanding_ == 0; });
  }

 private:
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return quit_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto [key, request] = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      run_(request);
      request = Request();  // freed outside the lock
      lock.lock();
      finish(key);
    }
  }
  // Under the lock: the next job of key becomes ready, or key is free again.
  void finish(int key) {
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

  Run run_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable idle_;
  std::deque<std::pair<int, Request>> queue_;  // ready to run
  std::map<int, std::deque<Request>> busy_;    // keys with a job running, and the jobs behind it
  size_t outstanding_ = 0;                     // submitted and not yet finished
  bool quit_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace detail

// A provider: its groups and handlers, and the loop that serves them.
//
// Set up (group, task, onStart, onStop, onLog) before run(), on one thread.
// Handlers: a group's data, start and stop handlers never run at the same time as
// each other for that group, and see its requests in order; different groups, and
// task requests, run in parallel on the workers. A handler that throws is logged
// and its request answered with RunOptions::handlerErrorRc. Events, stop() and
// stopping() may be called from any thread at any time. Handlers and event threads
// end a provider with stop(), never with cpdll_CloseConnection: run owns the
// connection, drains the handlers and closes it itself.
class Provider {
 public:
  using DataHandler = std::function<void(const Request&, Rows&)>;
  using TaskHandler = std::function<int(const Request&, TaskOutput&)>;
  using NoticeHandler = std::function<void(const Request&)>;
  using LogHook = std::function<void(std::string_view)>;

  Provider() = default;
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  // Registers group name (version) with its handler; returns its number (1, 2, ...).
  // A name given again replaces the earlier handler and keeps its number.
  int group(std::string name, int version, DataHandler handler) {
    for (auto& g : groups_)
      if (g.name == name) return g.version = version, g.handler = std::move(handler), g.id;
    groups_.push_back({std::move(name), version, static_cast<int>(groups_.size()) + 1, std::move(handler)});
    return groups_.back().id;
  }
  // The handler of task requests: returns the task's rc. Without one, tasks are
  // answered with handlerErrorRc. It may run on several workers at once.
  void task(TaskHandler handler) { task_ = std::move(handler); }
  // Called for the start and the stop of a request on a group; no answer is sent.
  void onStart(NoticeHandler handler) { onStart_ = std::move(handler); }
  void onStop(NoticeHandler handler) { onStop_ = std::move(handler); }
  // Receives one line per failure (handler exceptions, lost connections, failed
  // answers), from any thread. Default: standard error.
  void onLog(LogHook hook) { log_ = std::move(hook); }

  // Connects, registers every group and serves requests until the agent shuts
  // down or stop() is called (empty error_code), or until the connection cannot
  // be had: the open's result at the start, connectionLost when reconnecting is
  // off or gives up. Every handler has returned and the connection is closed
  // when it returns. Throws std::system_error only if a worker cannot start.
  std::error_code run(const RunOptions& options = {}) {
    options_ = options;
    options_.stopPoll = std::max(options_.stopPoll, std::chrono::milliseconds(1));
    if (stop_.load()) return {};
    if (options_.port > 0) cpdll_setPort(options_.port);
    int result = connect();
    if (result != CP_OK) return makeErrorCode(result);
    detail::Dispatcher dispatcher(options_.workers, [this](Request& request) { handle(request); });
    result = serve(dispatcher);
    dispatcher.drain();
    disconnect();
    return makeErrorCode(result);
  }

  // Asks run() to finish: it sees the flag within RunOptions::stopPoll (or the
  // current open's retries), lets running handlers finish, closes and returns.
  // Only sets an atomic flag: safe from any thread and from a signal handler.
  // The flag stays: a stop that comes before run() makes it return at once.
  void stop() noexcept { stop_.store(true); }
  bool stopping() const noexcept { return stop_.load(); }

  // Sends one row of values as an event of group (by name), with or without a
  // subnode. While the connection is down: illegalState. unknownGroup for a name
  // not registered here; else the library's result.
  template <class... V>
  std::error_code event(std::string_view group, const V&... values) {
    return sendEvent(group, nullptr, values...);
  }
  template <class... V>
  std::error_code subnodeEvent(std::string_view group, std::string_view subnode, const V&... values) {
    const std::string copy(subnode);
    return sendEvent(group, copy.c_str(), values...);
  }
  // Sends error code rc as an event of group, optionally for a subnode.
  std::error_code eventError(std::string_view group, int rc, std::optional<std::string_view> subnode = {}) {
    const std::string copy(subnode.value_or(""));
    return guarded(group, [&](int id) {
      return subnode ? cpdll_SendSubnodeEventError(rc, id, copy.c_str()) : cpdll_SendEventError(rc, id);
    });
  }

 private:
  struct Group {
    std::string name;
    int version;
    int id;
    DataHandler handler;
  };

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
  // Calls send(groupId) while the connection is up. The library's close waits for
  // an event under way and refuses one that begins during it, so no lock is needed.
  template <class Send>
  std::error_code guarded(std::string_view group, Send send) {
    const Group* target = find(group);
    if (!target) return Errc::unknownGroup;
    return makeErrorCode(up_.load() ? send(target->id) : CP_ILLEGAL_STATE);
  }
  const Group* find(std::string_view name) const {
    for (auto& g : groups_)
      if (g.name == name) return &g;
    return nullptr;
  }
  const Group* find(int id) const {
    return id >= 1 && id <= static_cast<int>(groups_.size()) ? &groups_[id - 1] : nullptr;
  }

  // Opens, registers every group and lets requests flow; closes again on failure.
  int connect() {
    int result = cpdll_OpenConnection();
    for (auto& g : groups_)
      if (result == CP_OK) result = cpdll_RegisterAttrGroup(g.name.c_str(), g.version, g.id);
    // Up before the registration goes out, so that an event sent once the agent has
    // it is never refused; until then the library refuses events itself.
    if (result == CP_OK) up_ = true;
    if (result == CP_OK) result = cpdll_RegistrationComplete();
    if (result != CP_OK) disconnect();
    return result;
  }
  // Events see the connection down before the close runs.
  void disconnect() {
    up_ = false;
    cpdll_CloseConnection();
  }

  // The wait loop: dispatches requests until the conversation ends; returns run's result.
  int serve(detail::Dispatcher& dispatcher) {
    while (!stop_.load()) {
      CPREQUEST* record = nullptr;
      int result = cpdll_WaitForRequestTimed(&record, static_cast<int>(options_.stopPoll.count()));
      Request request(record);
      switch (result) {
        case CP_OK: dispatch(dispatcher, std::move(request)); break;
        case CP_TIMED_OUT: break;
        case CP_AGENT_SHUTDOWN: return CP_OK;
        case CP_NO_MEMORY: log("a request was dropped: " + makeErrorCode(result).message()); break;
        case CP_CONNECTION_LOST:
          log("the connection to the agent was lost");
          if (!options_.reconnect) return result;
          dispatcher.drain();  // their answers fail harmlessly on the dead connection
          disconnect();
          result = reconnect();
          if (result != CP_OK) return result;
          break;
        default: return result;
      }
    }
    return CP_OK;
  }
  // Opens again with a growing pause between tries. CP_OK when connected or stopped.
  int reconnect() {
    auto pause = options_.backoff;
    for (int attempt = 1; attempt <= options_.reconnectAttempts; attempt++) {
      if (!sleepUnlessStopped(pause)) return CP_OK;
      int result = connect();
      if (result == CP_OK) {
        log("connected to the agent again");
        return CP_OK;
      }
      log("reconnect attempt " + std::to_string(attempt) + " failed: " + makeErrorCode(result).message());
      pause = std::min(pause * 2, options_.maxBackoff);
    }
    return CP_CONNECTION_LOST;
  }
  // False when stop() came first.
  bool sleepUnlessStopped(std::chrono::milliseconds pause) {
    auto until = std::chrono::steady_clock::now() + pause;
    while (!stop_.load()) {
      auto left = until - std::chrono::steady_clock::now();
      if (left <= left.zero()) return true;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, options_.stopPoll));
    }
    return false;
  }

  void dispatch(detail::Dispatcher& dispatcher, Request request) {
    const Group* group = find(request.groupId());
    if (group) request.group_ = group->name;
    int key = request.kind() == RequestKind::task ? -1 : request.groupId();
    dispatcher.submit(key, std::move(request));
  }
  // Runs the handler of one request and sends its answer. Never throws: a
  // failure outside the handlers (no memory) is logged like a handler's.
  void handle(const Request& request) noexcept {
    guard(request, [&] {
      switch (request.kind()) {
        case RequestKind::data: answerData(request); break;
        case RequestKind::task: answerTask(request); break;
        case RequestKind::start: notify(onStart_, request); break;
        case RequestKind::stop: notify(onStop_, request); break;
        case RequestKind::none: break;
      }
    });
  }
  void answerData(const Request& request) {
    const Group* group = find(request.groupId());
    Rows rows(request.id());
    if (!group || !guard(request, [&] { group->handler(request, rows); })) rows.error(options_.handlerErrorRc);
    const char* id = rows.id_.c_str();
    int result = rows.failed_ ? cpdll_SendError(rows.errorRc_, id) : cpdll_SendData(id);
    if (result != CP_OK) log("the answer to data request " + rows.id_ + " failed: " + makeErrorCode(result).message());
  }
  void answerTask(const Request& request) {
    TaskOutput out;
    int rc = options_.handlerErrorRc;
    if (task_ && !guard(request, [&] { rc = task_(request, out); })) {
      rc = options_.handlerErrorRc;
      out.clear();
    }
    std::vector<const char*> values;
    std::vector<const char*> insts;
    for (size_t i = 0; i < out.size(); i++) {
      values.push_back(out.values_[i].c_str());
      insts.push_back(out.insts_[i] ? out.insts_[i]->c_str() : nullptr);
    }
    const std::string id(request.id());
    int result = cpdll_SendTaskOutput(rc, id.c_str(), values.data(), insts.data(), static_cast<int>(out.size()));
    if (result != CP_OK) log("the answer to task " + id + " failed: " + makeErrorCode(result).message());
  }
  void notify(const NoticeHandler& handler, const Request& request) noexcept {
    if (handler) guard(request, [&] { handler(request); });
  }
  // Runs body; false (after a log line) when it threw.
  template <class Body>
  bool guard(const Request& request, Body body) noexcept {
    try {
      body();
      return true;
    } catch (const std::exception& e) {
      failed(request, e.what());
    } catch (...) {
      failed(request, "an exception that is no std::exception");
    }
    return false;
  }
  void failed(const Request& request, const char* what) noexcept {
    try {
      std::string subject = request.kind() == RequestKind::task ? "task " + std::string(request.id())
                                                                : "group " + std::string(request.group());
      log("the handler of " + subject + " threw: " + what);
    } catch (...) {  // no memory for the line: nothing to tell
    }
  }
  void log(const std::string& line) noexcept {
    try {
      if (log_) return log_(line);
      std::fprintf(stderr, "cpclient: %s\n", line.c_str());
    } catch (...) {  // a log hook that throws loses its line
    }
  }

  std::vector<Group> groups_;
  TaskHandler task_;
  NoticeHandler onStart_;
  NoticeHandler onStop_;
  LogHook log_;
  RunOptions options_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> up_{false};  // registered and not being closed
};

}  // namespace cpclient

#endif  // CPCLIENT_HPP
