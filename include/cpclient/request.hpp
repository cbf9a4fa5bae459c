// cpclient/request.hpp: a request of the agent as its handler sees it: Request,
// which owns the C library's record, its kind, and its filters.
// Needs cpclient.h and the standard library's chrono, memory, optional and string_view.
#ifndef CPCLIENT_REQUEST_HPP
#define CPCLIENT_REQUEST_HPP

#include <chrono>
#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>

#include "cpclient.h"

namespace cpclient {

// The session of a run (provider.hpp), which fills in what a Request keeps for it.
namespace detail {
class Session;
}  // namespace detail

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
  friend class detail::Session;
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
  unsigned epoch_ = 0;                                // the connection it came on (see detail::Link)
  std::chrono::steady_clock::time_point received_{};  // when the wait returned it
};

}  // namespace cpclient

#endif  // CPCLIENT_REQUEST_HPP
