// The agent's side of one conversation: the groups the provider registered, the
// requests asked and their answers, and every protocol violation seen.
//
// The runner tells it what was sent; the stream parser's items tell it what the
// provider sent. Each message and each violation is printed through Output as it
// is found. Not thread-safe; one owner.
#ifndef AGENTEMU_CONVERSATION_H
#define AGENTEMU_CONVERSATION_H

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Output.h"
#include "StreamParser.h"
#include "Timeline.h"

// Names of the violations, as printed.
namespace Violation {
const char MALFORMED_XML[] = "malformed-xml";
const char MESSAGE_TOO_LONG[] = "message-too-long";
const char FRAMING[] = "framing";
const char BAD_MESSAGE[] = "bad-message";
const char UNKNOWN_ID[] = "unknown-id";
const char DUPLICATE_ANSWER[] = "duplicate-answer";
const char ANSWER_TO_START_STOP[] = "answer-to-start-stop";
const char WRONG_ANSWER_KIND[] = "wrong-answer-kind";
const char WRONG_GROUP[] = "wrong-group";
const char UNKNOWN_GROUP[] = "unknown-group";
const char MISSING_ANSWER[] = "missing-answer";
const char NO_CONNECTION[] = "no-connection";
const char NO_REGISTRATION[] = "no-registration";
const char CONNECTION_CLOSED[] = "connection-closed";
const char NO_EXIT[] = "no-exit";
const char ROW_WIDTH[] = "row-width";
const char SLOW_ANSWER[] = "slow-answer";
}  // namespace Violation

// What the provider answered to one data or task request.
struct Answer {
  std::vector<Row> rows;
  std::optional<long> rc;  // data: the error code instead of rows; task: the return code
  std::vector<TaskOutput> outputs;
};

// Reads the rows of an attrGroup element, <in><al><a v=""/>...</al></in>..., or its
// <error rc=""/>. Returns a description of what does not fit that shape, or "".
std::string readGroupContent(const Element& group, std::vector<Row>& rows, std::optional<long>& rc);

// The events of one group and subnode: how many arrived, and the last one.
struct EventTally {
  std::string group;
  long count = 0;
  unsigned long last = 0;  // the run's event number of the last one, from 1
  Row row;                 // the last one's row, when it carried one
  std::optional<long> rc;  // the last one's error code, when it carried one
};

class Conversation {
 public:
  // At most this many groups and subnodes are told apart in the event tallies; events of
  // further ones count only in the total, so that a provider cannot make memory grow.
  static constexpr std::size_t MAX_EVENT_TALLIES = 4096;

  using Clock = std::chrono::steady_clock;

  explicit Conversation(Output& output) : output_(output) {}

  // A connection of the provider was accepted at connectedAt; the registration's latency
  // counts from there. Each connection registers anew: a restarted agent knows no groups.
  void connected(Clock::time_point connectedAt) {
    connectedAt_ = connectedAt;
    registered_ = false;
  }
  // The agent closed the connection: the requests still unanswered can never be answered
  // (an answer on a later connection is to an id that connection never carried). Returns
  // the required ones, oldest first; none of them is reported missing later.
  std::vector<std::string> connectionLost();

  // Returns the next id of the run's one counter (decimal, from 1) that no request has used;
  // request ids and requestStartedIDs come from it alike, so each names one thing.
  std::string freshId();

  // Bookkeeping of what was written. An id asked again starts over as a new request.
  // required: the answer must come before the end (or the timeout of a wait for it);
  // its absence is a violation.
  void askedData(const std::string& id, const std::string& group, bool required);
  void askedTask(const std::string& id, bool required);
  void askedStartOrStop(const std::string& requestStartedID);
  // A raw message: the requests it holds count as asked, but their answers are not required.
  void askedRaw(const std::string& xml);

  // Takes one item of the provider's stream: prints the message and checks it.
  void handle(const StreamItem& item);

  // Reports a violation that the runner found (connection, registration, exit).
  void violation(const char* kind, const std::optional<std::string>& id, const std::string& message);

  // The required requests that have neither an answer nor a missing-answer report, oldest first.
  std::vector<std::string> awaiting() const;
  bool answered(const std::string& id) const;
  // The request id was asked and is still waiting for its answer.
  bool pending(const std::string& id) const;
  // The answer to id, or null when there is none (yet).
  const Answer* answerTo(const std::string& id) const;
  // Reports the request id as unanswered (missing-answer); a later answer is still shown.
  void giveUp(const std::string& id, const std::string& why);

  // Declares the names of group's values: they label its tables and JSON lines, and an
  // answer or event whose row width differs is a row-width violation.
  void setColumns(const std::string& group, const Row& names) { columns_[group] = names; }
  // The names declared for group, or null.
  const Row* columnsOf(const std::string& group) const;
  // The group of the data request id, or null when id is no data request.
  const std::string* groupOf(const std::string& id) const;
  // Events so far of group and subnode (each unset: any); the last of them, or null.
  long eventCount(const std::optional<std::string>& group, const std::optional<std::string>& subnode) const;
  const EventTally* lastEvent(const std::optional<std::string>& group, const std::optional<std::string>& subnode) const;

  // Whether answers are kept for answerTo (their rows and outputs); a load run keeps none.
  void keepAnswers(bool keep) { keepAnswers_ = keep; }
  // How many required requests have had their answer or been given up on, of all asked.
  long settled() const { return settled_; }
  // How many required requests have had their answer.
  long answeredRequests() const { return answeredRequests_; }

  // Calls onAnswer with the id of each request that takes an answer, once it is kept.
  void onAnswer(std::function<void(const std::string&)> onAnswer) { onAnswer_ = std::move(onAnswer); }
  // The events so far by group (of the groups told apart, see MAX_EVENT_TALLIES).
  std::map<std::string, long> eventsByGroup() const;

  // Answer budgets: an answer slower than its group's budget (else the general one; tasks
  // have the general one) is a slow-answer violation. Unset: no budget.
  void setBudgets(std::optional<long> generalMs, const std::map<std::string, long>& groupMs) {
    budgetMs_ = generalMs;
    groupBudgetsMs_ = groupMs;
  }

  // Where the data requests, their answers and the violations are also told, with their
  // times; null (the default) for none. The timeline must outlive the conversation's use.
  void setTimeline(Timeline* timeline) { timeline_ = timeline; }

  // The provider registered on its current connection.
  bool registered() const { return registered_; }
  const std::vector<RegisteredGroup>& groups() const { return groups_; }
  // The provider's stream can still be read: no malformed XML and no message too long so far.
  bool readable() const { return readable_; }
  int events() const { return summary_.events; }
  int violations() const { return summary_.violations; }
  // Counts of the messages received and the violations; the runner adds the rest.
  Summary& summary() { return summary_; }

 private:
  enum class Kind { DATA, TASK };
  enum class State { PENDING, ANSWERED, GAVE_UP, LOST };  // LOST: asked on a connection that the agent closed
  struct Asked {
    Kind kind;
    std::string group;
    Clock::time_point sentAt;
    bool required;
    State state;
    std::size_t order;
    Answer answer;
  };

  void onMessage(const Element& message);
  void onRegistration(const Element& message);
  void onDataResponse(const Element& message);
  void onTaskResponse(const Element& message);
  void onEvent(const Element& message);
  // Finds the request that an answer of kind answers; reports what is wrong with it.
  // Returns the request when the answer is to be taken as its answer.
  Asked* matchAnswer(const char* messageName, Kind kind, const std::string& id);
  std::optional<double> latencyMs(const Asked* asked, Clock::time_point at) const;
  // Reports the first row whose width differs from the columns declared for group.
  void checkWidth(const std::string& group, const std::vector<Row>& rows, const std::string& what,
                  const std::optional<std::string>& id);
  // Moves asked to state, counting it settled when it leaves PENDING.
  void settle(Asked& asked, State state);
  // Counts the latency of an answer to asked in its series and checks it against the budget;
  // error: a data answer with an error code.
  void answerTook(const std::string& id, const Asked& asked, std::optional<double> ms, bool error = false);
  void tallyEvent(const std::string& group, const std::optional<std::string>& subnode, const std::vector<Row>& rows,
                  std::optional<long> rc);

  Output& output_;
  Clock::time_point connectedAt_{};
  unsigned long nextId_ = 1;
  std::map<std::string, Asked> asked_;
  std::set<std::string> usedIds_;
  std::set<std::string> startStopIds_;
  std::size_t order_ = 0;
  bool registered_ = false;
  bool readable_ = true;
  std::vector<RegisteredGroup> groups_;
  std::map<std::string, Row> columns_;
  std::function<void(const std::string&)> onAnswer_;
  bool keepAnswers_ = true;
  long settled_ = 0;
  long answeredRequests_ = 0;
  std::optional<long> budgetMs_;
  std::map<std::string, long> groupBudgetsMs_;
  std::map<std::pair<std::string, std::optional<std::string>>, EventTally> eventTallies_;
  Summary summary_;
  Timeline* timeline_ = nullptr;
};

#endif
