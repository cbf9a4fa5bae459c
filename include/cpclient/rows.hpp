// cpclient/rows.hpp: the answers that handlers build, Rows for a data request and
// TaskOutput for a task, and beneath them the state of one answer (detail::Answer)
// and the guard of the connection it goes out on (detail::Link).
// Needs cpclient.h, errors.hpp, values.hpp and the standard library's locks; no thread.
#ifndef CPCLIENT_ROWS_HPP
#define CPCLIENT_ROWS_HPP

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "cpclient.h"
#include "errors.hpp"
#include "values.hpp"

namespace cpclient {

namespace detail {

// The session of a run (provider.hpp), which reads what Rows and TaskOutput gather.
class Session;

// The connection as answers and events see it: live holds the number of the
// connection (1, 2, ...) while requests may be answered on it, 0 while none is
// up. Calls into the library hold the lock shared; down() takes it alone after
// the library's close, so once it returns no call of that connection is still in
// the library, and later ones (a handler that outlived its run) fail at once
// rather than reach a connection opened after.
class Link {
 public:
  // Runs call() while connection epoch (0: any) is live; else CP_ILLEGAL_STATE.
  template <class Call>
  int call(unsigned epoch, const Call& call) {
    std::shared_lock<std::shared_mutex> lock(calls_);
    unsigned live = live_.load();
    return live != 0 && (epoch == 0 || epoch == live) ? call() : CP_ILLEGAL_STATE;
  }
  unsigned live() const noexcept { return live_.load(); }
  // Makes the connection just opened live and returns its number. Run's thread only.
  unsigned up() noexcept {
    live_.store(++opened_);
    return opened_;
  }
  // Ends the live connection: calls that begin now fail, those under way finish in the close.
  void down() {
    live_.store(0);
    cpdll_CloseConnection();
    std::unique_lock<std::shared_mutex> drained(calls_);
  }

 private:
  std::shared_mutex calls_;
  std::atomic<unsigned> live_{0};
  unsigned opened_ = 0;
};

// The state of one request's answer, shared by its Rows, the worker that runs
// its handler and the deadline watcher. Every row add and the answer itself run
// under its lock, and the answer goes out once: after the deadline has answered
// (expired), nothing more of the request reaches the library, so the group's one
// response buffer is free for the group's next request while the handler runs on.
class Answer {
 public:
  Answer(std::string id, Link* link, unsigned epoch, const std::vector<std::string>* columns)
      : id_(std::move(id)), link_(link), epoch_(epoch), columns_(columns) {}
  // Runs add() on the live connection unless the request is answered: then
  // CP_TIMED_OUT when the deadline answered it, else CP_ILLEGAL_STATE.
  template <class Add>
  int add(const Add& add) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return expired_ ? CP_TIMED_OUT : CP_ILLEGAL_STATE;
    return link_ ? link_->call(epoch_, add) : CP_ILLEGAL_STATE;
  }
  // Sends the answer with send() unless one went out: true when this call
  // answered (the library's result in *result); expire marks it the deadline's.
  template <class Send>
  bool answer(bool expire, const Send& send, int* result) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return false;
    done_ = true;
    expired_ = expire;
    *result = link_ ? link_->call(epoch_, send) : CP_ILLEGAL_STATE;
    return true;
  }
  bool expired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return expired_;
  }
  const std::string& id() const noexcept { return id_; }
  // The group's declared column names, or null; they live as long as the run's set-up.
  const std::vector<std::string>* columns() const noexcept { return columns_; }

 private:
  std::mutex mutex_;
  const std::string id_;
  Link* const link_;  // lives as long as the run that made the answer
  const unsigned epoch_;
  const std::vector<std::string>* const columns_;
  bool done_ = false;     // answered
  bool expired_ = false;  // answered by the deadline
};

}  // namespace detail

// The answer to one data request, built by its handler. Each add() sends one row
// to the library at once; the dispatcher sends the answer when the handler
// returns: the rows (none is a valid answer), or the error set by error(). A
// handler may ignore add's result: the first failure stays in result(), and the
// answer that follows it fails and is logged.
//
// For a group with declared columns, a row of another width (or addNamed with a
// name not declared) is refused: std::errc::invalid_argument, the row is logged,
// and the request is answered with RunOptions::handlerErrorRc. Once the group's
// deadline has answered the request, every add returns Errc::timedOut and sends
// nothing: a handler may test that to give up early.
class Rows {
 public:
  // One value of addNamed: a column's name and a value as add() takes it.
  struct Named {
    template <class V>
    Named(std::string_view column, const V& value) : name(column) {  // NOLINT: braced pairs on purpose
      const detail::Cell cell(value);
      text = cell.c_str() ? cell.c_str() : "";
    }
    std::string_view name;
    std::string text;
  };

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
    const auto* columns = answer_->columns();
    if (columns && count != static_cast<int>(columns->size())) return refuse(values, count);
    int result = answer_->add([&] { return cpdll_SetAttributeValuesUtf8(values, count, answer_->id().c_str()); });
    if (result != CP_OK && !first_) first_ = makeErrorCode(result);
    if (result == CP_OK) rowCount_++;
    return makeErrorCode(result);
  }
  // Adds one row from a container of text: std::string, std::string_view, const char*.
  template <class Strings>
  std::error_code addRow(const Strings& values) {
    std::vector<const char*> texts;
    std::deque<std::string> copies;  // terminated copies of views; a deque keeps them in place
    for (const auto& value : values) {
      using V = std::decay_t<decltype(value)>;
      if constexpr (std::is_convertible_v<const V&, const char*>) {
        texts.push_back(value);
      } else if constexpr (std::is_same_v<V, std::string>) {
        texts.push_back(value.c_str());
      } else {
        texts.push_back(copies.emplace_back(std::string_view(value)).c_str());
      }
    }
    return addRow(texts.data(), static_cast<int>(texts.size()));
  }
  // Adds one row by the group's declared column names, in any order; a column
  // not named is empty: rows.addNamed({{"pid", 1}, {"name", "init"}}). A name
  // not declared, or a group without columns, refuses the row as a wrong width does.
  std::error_code addNamed(std::initializer_list<Named> values) {
    const auto* columns = answer_->columns();
    std::vector<const char*> texts(columns ? columns->size() : 0, "");
    for (const Named& value : values) {
      const size_t at = columns ? std::find(columns->begin(), columns->end(), value.name) - columns->begin() : 0;
      if (!columns || at == columns->size()) {
        std::vector<const char*> given;
        for (const Named& each : values) given.push_back(each.text.c_str());
        return refuse(given.data(), static_cast<int>(given.size()), "column \"" + std::string(value.name) + "\"");
      }
      texts[at] = value.text.c_str();
    }
    return addRow(texts.data(), static_cast<int>(texts.size()));
  }
  // Answers with error code rc instead of the rows, which are dropped.
  void error(int rc) noexcept {
    errorRc_ = rc;
    failed_ = true;
  }
  [[nodiscard]] std::error_code result() const noexcept { return first_; }
  [[nodiscard]] int rowCount() const noexcept { return rowCount_; }

 private:
  friend class detail::Session;
  Rows(std::shared_ptr<detail::Answer> answer, int refusedRc) : answer_(std::move(answer)), refusedRc_(refusedRc) {}
  // Refuses a row that the group's columns do not fit: the request fails, and the
  // first such row is kept for the log line.
  std::error_code refuse(const char* const* values, int count, const std::string& unknown = "") {
    const auto* columns = answer_->columns();
    if (refused_.empty()) {
      refused_ = "a row of " + std::to_string(count) + " value(s)";
      refused_ += unknown.empty() ? "" : " with the undeclared " + unknown;
      refused_ +=
          columns ? " for the " + std::to_string(columns->size()) + " declared column(s)" : " (no columns declared)";
      for (int i = 0; i < count; i++) refused_ += std::string(i ? "|" : ": ") + (values[i] ? values[i] : "");
    }
    error(refusedRc_);
    const std::error_code refused = std::make_error_code(std::errc::invalid_argument);
    if (!first_) first_ = refused;
    return refused;
  }
  std::shared_ptr<detail::Answer> answer_;
  int refusedRc_;
  std::error_code first_;
  int rowCount_ = 0;
  bool failed_ = false;
  int errorRc_ = 0;
  std::string refused_;  // the first row refused, for the log
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
  // Adds an output value marked with instance inst (escaped on the wire). Throws
  // std::invalid_argument for an inst with a control character (the task is then
  // answered as for any handler that throws).
  template <class V>
  void add(const V& value, std::string_view inst) {
    if (!detail::validName(inst, true)) throw std::invalid_argument("cpclient: an instance holds no control character");
    add(value);
    insts_.back() = std::string(inst);
  }
  void clear() noexcept {
    values_.clear();
    insts_.clear();
  }
  [[nodiscard]] size_t size() const noexcept { return values_.size(); }

 private:
  friend class detail::Session;
  std::vector<std::string> values_;
  std::vector<std::optional<std::string>> insts_;
};

}  // namespace cpclient

#endif  // CPCLIENT_ROWS_HPP
