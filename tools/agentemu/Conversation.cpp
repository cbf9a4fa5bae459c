// The agent's side of one conversation: registered groups, requests, answers, violations.
#include "Conversation.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Excerpt.h"

namespace {

// Reads a decimal integer with an optional minus sign and nothing else around it.
std::optional<long> parseLong(const std::string* text) {
  if (!text || text->empty()) return std::nullopt;
  std::size_t start = (*text)[0] == '-' ? 1 : 0;
  if (start == text->size()) return std::nullopt;
  for (std::size_t i = start; i < text->size(); i++)
    if ((*text)[i] < '0' || (*text)[i] > '9') return std::nullopt;
  errno = 0;
  long value = std::strtol(text->c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return value;
}

}  // namespace

std::string readGroupContent(const Element& group, std::vector<Row>& rows, std::optional<long>& rc) {
  std::string problem;
  bool sawError = false;
  for (const auto& child : group.children) {
    if (child.name == "error") {
      if (sawError) problem = "more than one <error>";
      sawError = true;
      rc = parseLong(child.attribute("rc"));
      if (!rc) problem = "<error> without a numeric rc";
      continue;
    }
    if (child.name != "in") {
      problem = "unexpected <" + excerpt(child.name) + "> in <attrGroup>";
      continue;
    }
    if (child.children.size() != 1 || child.children[0].name != "al") problem = "<in> must hold one <al>";
    Row row;
    for (const auto& list : child.children) {
      for (const auto& value : list.children) {
        const std::string* v = value.attribute("v");
        if (value.name != "a" || !v) problem = "<al> must hold only <a v=\"...\"/>";
        row.push_back(v ? *v : std::string());
      }
    }
    rows.push_back(row);
  }
  if (sawError && !rows.empty()) problem = "rows and <error> together";
  return problem;
}

std::string Conversation::freshId() {
  std::string id;
  do {
    id = std::to_string(nextId_++);
  } while (usedIds_.count(id));
  usedIds_.insert(id);
  return id;
}

void Conversation::askedData(const std::string& id, const std::string& group, bool required) {
  usedIds_.insert(id);
  asked_[id] = Asked{Kind::DATA, group, Clock::now(), required, State::PENDING, order_++, {}};
  if (timeline_ && required) timeline_->sent(asked_[id].sentAt);
}

void Conversation::askedTask(const std::string& id, bool required) {
  usedIds_.insert(id);
  asked_[id] = Asked{Kind::TASK, {}, Clock::now(), required, State::PENDING, order_++, {}};
}

void Conversation::askedStartOrStop(const std::string& requestStartedID) {
  usedIds_.insert(requestStartedID);
  startStopIds_.insert(requestStartedID);
}

void Conversation::askedRaw(const std::string& xml) {
  StreamParser parser;
  parser.feed(xml.data(), xml.size());
  for (const auto& item : parser.take()) {
    if (item.kind != StreamItem::MESSAGE) continue;
    const Element& message = item.message;
    const std::string* id = message.attribute("id");
    const std::string* requestStartedID = message.attribute("requestStartedID");
    if (message.name == "dataRequest" && id) {
      const Element* group = message.child("attrGroup");
      const std::string* name = group ? group->attribute("name") : nullptr;
      askedData(*id, name ? *name : std::string(), false);
    } else if (message.name == "taskRequest" && id) {
      askedTask(*id, false);
    } else if ((message.name == "startRequestInfo" || message.name == "stopRequestInfo") && requestStartedID) {
      askedStartOrStop(*requestStartedID);
    }
  }
}

void Conversation::violation(const char* kind, const std::optional<std::string>& id, const std::string& message) {
  summary_.violations++;
  if (timeline_) timeline_->violation(kind, message);
  output_.violation(kind, id, message);
}

std::vector<std::string> Conversation::awaiting() const {
  std::map<std::size_t, std::string> byOrder;
  for (const auto& entry : asked_)
    if (entry.second.required && entry.second.state == State::PENDING) byOrder[entry.second.order] = entry.first;
  std::vector<std::string> ids;
  ids.reserve(byOrder.size());
  for (const auto& entry : byOrder) ids.push_back(entry.second);
  return ids;
}

std::vector<std::string> Conversation::connectionLost() {
  std::vector<std::string> ids = awaiting();
  for (auto& entry : asked_)
    if (entry.second.state == State::PENDING) entry.second.state = State::LOST;
  return ids;
}

bool Conversation::answered(const std::string& id) const {
  auto it = asked_.find(id);
  return it != asked_.end() && it->second.state == State::ANSWERED;
}

void Conversation::settle(Asked& asked, State state) {
  if (asked.required && asked.state == State::PENDING) settled_++;
  if (asked.required && asked.state != State::ANSWERED && state == State::ANSWERED) answeredRequests_++;
  asked.state = state;
}

bool Conversation::pending(const std::string& id) const {
  auto it = asked_.find(id);
  return it != asked_.end() && it->second.state == State::PENDING;
}

const Answer* Conversation::answerTo(const std::string& id) const {
  auto it = asked_.find(id);
  return it != asked_.end() && it->second.state == State::ANSWERED ? &it->second.answer : nullptr;
}

void Conversation::giveUp(const std::string& id, const std::string& why) {
  auto it = asked_.find(id);
  if (it == asked_.end() || it->second.state != State::PENDING) return;
  settle(it->second, State::GAVE_UP);
  if (timeline_ && it->second.kind == Kind::DATA) timeline_->missing(it->second.group);
  std::string what = it->second.kind == Kind::DATA
                         ? "data request " + quotedExcerpt(id) + " for " + quotedExcerpt(it->second.group)
                         : "task request " + quotedExcerpt(id);
  violation(Violation::MISSING_ANSWER, id, "no answer to the " + what + " " + why);
}

const Row* Conversation::columnsOf(const std::string& group) const {
  auto it = columns_.find(group);
  return it == columns_.end() ? nullptr : &it->second;
}

const std::string* Conversation::groupOf(const std::string& id) const {
  auto it = asked_.find(id);
  return it != asked_.end() && it->second.kind == Kind::DATA ? &it->second.group : nullptr;
}

long Conversation::eventCount(const std::optional<std::string>& group,
                              const std::optional<std::string>& subnode) const {
  if (!group && !subnode) return summary_.events;
  long count = 0;
  for (const auto& entry : eventTallies_)
    if ((!group || entry.first.first == *group) && (!subnode || entry.first.second == subnode))
      count += entry.second.count;
  return count;
}

const EventTally* Conversation::lastEvent(const std::optional<std::string>& group,
                                          const std::optional<std::string>& subnode) const {
  const EventTally* last = nullptr;
  for (const auto& entry : eventTallies_)
    if ((!group || entry.first.first == *group) && (!subnode || entry.first.second == subnode))
      if (!last || entry.second.last > last->last) last = &entry.second;
  return last;
}

void Conversation::tallyEvent(const std::string& group, const std::optional<std::string>& subnode,
                              const std::vector<Row>& rows, std::optional<long> rc) {
  auto key = std::make_pair(group, subnode);
  auto it = eventTallies_.find(key);
  if (it == eventTallies_.end()) {
    if (eventTallies_.size() >= MAX_EVENT_TALLIES) return;
    it = eventTallies_.emplace(key, EventTally()).first;
    it->second.group = group;
  }
  EventTally& tally = it->second;
  tally.count++;
  tally.last = static_cast<unsigned long>(summary_.events);
  tally.row = rows.empty() ? Row() : rows[0];
  tally.rc = rc;
}

std::map<std::string, long> Conversation::eventsByGroup() const {
  std::map<std::string, long> counts;
  for (const auto& entry : eventTallies_) counts[entry.first.first] += entry.second.count;
  return counts;
}

void Conversation::answerTook(const std::string& id, const Asked& asked, std::optional<double> ms, bool error) {
  if (onAnswer_) onAnswer_(id);
  if (!ms) return;
  bool data = asked.kind == Kind::DATA;
  (data ? summary_.dataLatency[asked.group] : summary_.taskLatency).add(*ms);
  auto group = data ? groupBudgetsMs_.find(asked.group) : groupBudgetsMs_.end();
  std::optional<long> budget = group != groupBudgetsMs_.end() ? std::optional<long>(group->second) : budgetMs_;
  bool late = budget && *ms > static_cast<double>(*budget);
  if (timeline_ && data) timeline_->answered(asked.group, asked.sentAt, *ms, error, late);
  if (!late) return;
  char took[64];
  std::snprintf(took, sizeof took, " took %.3f ms, over the budget of %ld ms", *ms, *budget);
  std::string what = data ? "data request " + quotedExcerpt(id) + " for " + quotedExcerpt(asked.group)
                          : "task request " + quotedExcerpt(id);
  violation(Violation::SLOW_ANSWER, id, "the answer to the " + what + took);
}

void Conversation::checkWidth(const std::string& group, const std::vector<Row>& rows, const std::string& what,
                              const std::optional<std::string>& id) {
  const Row* names = columnsOf(group);
  if (!names) return;
  for (std::size_t r = 0; r < rows.size(); r++) {
    if (rows[r].size() == names->size()) continue;
    violation(Violation::ROW_WIDTH, id,
              what + ": row " + std::to_string(r + 1) + " has " + std::to_string(rows[r].size()) +
                  " values, but group " + quotedExcerpt(group) + " declares " + std::to_string(names->size()) +
                  " columns");
    return;
  }
}

std::optional<double> Conversation::latencyMs(const Asked* asked, Clock::time_point at) const {
  if (!asked) return std::nullopt;
  return std::chrono::duration<double, std::milli>(at - asked->sentAt).count();
}

void Conversation::handle(const StreamItem& item) {
  if (item.kind == StreamItem::MALFORMED || item.kind == StreamItem::TOO_LONG) {
    readable_ = false;
    violation(item.kind == StreamItem::MALFORMED ? Violation::MALFORMED_XML : Violation::MESSAGE_TOO_LONG, std::nullopt,
              item.text);
    return;
  }
  if (item.kind == StreamItem::FRAMING) {
    violation(Violation::FRAMING, std::nullopt, item.text);
    return;
  }
  onMessage(item.message);
  // A message cut short by the depth bound is shown as far as it was kept, then reported.
  if (!item.text.empty()) {
    const std::string* id = item.message.attribute("id");
    violation(Violation::BAD_MESSAGE, id ? std::optional<std::string>(*id) : std::nullopt, item.text);
  }
}

void Conversation::onMessage(const Element& message) {
  if (message.name == "vexaRegister") {
    onRegistration(message);
    return;
  }
  bool known = message.name == "dataResponse" || message.name == "taskResponse" || message.name == "pureEvent";
  if (!known) {
    violation(Violation::BAD_MESSAGE, std::nullopt, "unknown message <" + excerpt(message.name) + ">");
    return;
  }
  if (!registered_) {
    violation(Violation::BAD_MESSAGE, std::nullopt, "<" + message.name + "> before the registration; ignored");
    return;
  }
  if (message.name == "dataResponse") {
    onDataResponse(message);
  } else if (message.name == "taskResponse") {
    onTaskResponse(message);
  } else {
    onEvent(message);
  }
}

void Conversation::onRegistration(const Element& message) {
  if (registered_) {
    violation(Violation::BAD_MESSAGE, std::nullopt, "a second <vexaRegister>; ignored");
    return;
  }
  registered_ = true;
  summary_.registrations++;
  // A registration after a restart replaces the one before.
  groups_.clear();
  summary_.groups.clear();
  std::optional<long> version = parseLong(message.attribute("ver"));
  const Element* list = message.child("attrGroupList");
  std::vector<std::string> problems;
  if (!version) problems.push_back("<vexaRegister> without a numeric ver");
  if (!list) problems.push_back("<vexaRegister> without <attrGroupList>");
  std::set<std::string> names;
  if (list) {
    for (const auto& group : list->children) {
      const std::string* name = group.attribute("name");
      if (group.name != "attrGroup" || !name) {
        problems.push_back("<attrGroupList> may hold only <attrGroup name=\"...\" ver=\"...\"/>");
        continue;
      }
      std::optional<long> groupVersion = parseLong(group.attribute("ver"));
      if (!groupVersion) problems.push_back("group " + quotedExcerpt(*name) + " without a numeric ver");
      if (!names.insert(*name).second) {
        problems.push_back("group " + quotedExcerpt(*name) + " registered twice");
        continue;
      }
      groups_.push_back(RegisteredGroup{*name, groupVersion});
      summary_.groups.push_back(*name);
    }
  }
  output_.registered(version, groups_, std::chrono::duration<double, std::milli>(Clock::now() - connectedAt_).count());
  for (const auto& problem : problems) violation(Violation::BAD_MESSAGE, std::nullopt, problem);
}

Conversation::Asked* Conversation::matchAnswer(const char* messageName, Kind kind, const std::string& id) {
  auto it = asked_.find(id);
  std::string what = std::string("<") + messageName + "> for id " + quotedExcerpt(id);
  if (it == asked_.end()) {
    if (startStopIds_.count(id)) {
      violation(Violation::ANSWER_TO_START_STOP, id,
                what + ", the requestStartedID of a start or stop request, which takes no answer");
    } else {
      violation(Violation::UNKNOWN_ID, id, what + ", which no request carried");
    }
    return nullptr;
  }
  Asked& asked = it->second;
  if (asked.state == State::LOST) {
    violation(Violation::UNKNOWN_ID, id, what + ", which was asked on a connection that the agent has closed since");
    return nullptr;
  }
  if (asked.kind != kind) {
    violation(Violation::WRONG_ANSWER_KIND, id,
              what + ", which was a " + (asked.kind == Kind::DATA ? "data" : "task") + " request");
    // Taken as the request's answer all the same, so that it is not reported missing too.
    settle(asked, State::ANSWERED);
    return nullptr;
  }
  if (asked.state == State::ANSWERED) {
    violation(Violation::DUPLICATE_ANSWER, id, what + ", which was answered already");
    return nullptr;
  }
  return &asked;
}

void Conversation::onDataResponse(const Element& message) {
  Clock::time_point at = Clock::now();
  const std::string* id = message.attribute("id");
  const Element* group = message.child("attrGroup");
  const std::string* name = group ? group->attribute("name") : nullptr;
  std::vector<Row> rows;
  std::optional<long> rc;
  std::string problem = group ? readGroupContent(*group, rows, rc) : "<dataResponse> without <attrGroup name=\"...\">";
  if (group && !name) problem = "<attrGroup> without a name";
  if (!id) problem = "<dataResponse> without an id";
  if (!problem.empty()) {
    violation(Violation::BAD_MESSAGE, id ? std::optional<std::string>(*id) : std::nullopt, problem);
    if (!id) return;
  }
  std::string groupName = name ? *name : std::string();
  auto it = asked_.find(*id);
  const Asked* before = it != asked_.end() && it->second.kind == Kind::DATA ? &it->second : nullptr;
  if (rc) {
    summary_.errorAnswers++;
    output_.error(*id, groupName, *rc, latencyMs(before, at));
  } else {
    summary_.dataAnswers++;
    summary_.rows += static_cast<int>(rows.size());
    output_.data(*id, groupName, rows, latencyMs(before, at), columnsOf(groupName));
    checkWidth(groupName, rows, "<dataResponse> for id " + quotedExcerpt(*id), *id);
  }
  Asked* asked = matchAnswer("dataResponse", Kind::DATA, *id);
  if (!asked) return;
  settle(*asked, State::ANSWERED);
  if (keepAnswers_) asked->answer = Answer{rows, rc, {}};
  answerTook(*id, *asked, latencyMs(asked, at), rc.has_value());
  if (groupName != asked->group)
    violation(Violation::WRONG_GROUP, *id,
              "<dataResponse> for id " + quotedExcerpt(*id) + " names group " + quotedExcerpt(groupName) +
                  ", but the request was for " + quotedExcerpt(asked->group));
}

void Conversation::onTaskResponse(const Element& message) {
  Clock::time_point at = Clock::now();
  const std::string* id = message.attribute("id");
  std::optional<long> rc = parseLong(message.attribute("rc"));
  std::vector<TaskOutput> outputs;
  std::string problem;
  for (const auto& child : message.children) {
    const std::string* value = child.attribute("value");
    if (child.name != "output" || !value) {
      problem = "<taskResponse> may hold only <output value=\"...\"/>";
      continue;
    }
    const std::string* inst = child.attribute("inst");
    outputs.push_back(TaskOutput{*value, inst ? std::optional<std::string>(*inst) : std::nullopt});
  }
  if (!rc) problem = "<taskResponse> without a numeric rc";
  if (!id) problem = "<taskResponse> without an id";
  if (!problem.empty()) violation(Violation::BAD_MESSAGE, id ? std::optional<std::string>(*id) : std::nullopt, problem);
  if (!id || !rc) return;
  auto it = asked_.find(*id);
  const Asked* before = it != asked_.end() && it->second.kind == Kind::TASK ? &it->second : nullptr;
  summary_.taskAnswers++;
  output_.task(*id, *rc, outputs, latencyMs(before, at));
  Asked* asked = matchAnswer("taskResponse", Kind::TASK, *id);
  if (!asked) return;
  settle(*asked, State::ANSWERED);
  if (keepAnswers_) asked->answer = Answer{{}, rc, outputs};
  answerTook(*id, *asked, latencyMs(asked, at));
}

void Conversation::onEvent(const Element& message) {
  const std::string* subnode = message.attribute("subnode");
  const Element* group = message.child("attrGroup");
  const std::string* name = group ? group->attribute("name") : nullptr;
  if (!name) {
    violation(Violation::BAD_MESSAGE, std::nullopt, "<pureEvent> without <attrGroup name=\"...\">");
    return;
  }
  std::vector<Row> rows;
  std::optional<long> rc;
  std::string problem = readGroupContent(*group, rows, rc);
  if (problem.empty() && !rc && rows.size() != 1) problem = "<pureEvent> must carry one row or an <error>";
  summary_.events++;
  std::optional<std::string> eventSubnode = subnode ? std::optional<std::string>(*subnode) : std::nullopt;
  tallyEvent(*name, eventSubnode, rows, rc);
  output_.event(*name, eventSubnode, rows, rc, columnsOf(*name));
  if (!problem.empty()) violation(Violation::BAD_MESSAGE, std::nullopt, problem);
  checkWidth(*name, rows, "<pureEvent> for group " + quotedExcerpt(*name), std::nullopt);
  for (const auto& registered : groups_)
    if (registered.name == *name) return;
  violation(Violation::UNKNOWN_GROUP, std::nullopt,
            "<pureEvent> for group " + quotedExcerpt(*name) + ", which was not registered");
}
