// What agentemu prints: aligned tables for a person, or one JSON object per line.
//
// Every line goes to the stream given at construction and is flushed at once,
// so that a reader of a pipe sees each message as it arrives. Not thread-safe;
// the one conversation thread prints.
#ifndef AGENTEMU_OUTPUT_H
#define AGENTEMU_OUTPUT_H

#include <array>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

using Row = std::vector<std::string>;

struct RegisteredGroup {
  std::string name;
  std::optional<long> version;  // empty when the ver attribute is absent or not a number
};

struct TaskOutput {
  std::string value;
  std::optional<std::string> inst;
};

// The kinds of message the emulator sends; the summary counts all but the shutdown, in this order.
enum class RequestKind { START, DATA, STOP, TASK, RAW, SHUTDOWN };
const std::size_t REQUEST_KINDS = 6;
// The kind as printed: "start", "data", "stop", "task", "raw" or "shutdown".
const char* requestKindName(RequestKind kind);

// One message the emulator sent, as the person and the JSON reader see it.
struct SentRequest {
  RequestKind kind = RequestKind::RAW;
  std::optional<std::string> id;  // data and task requests
  std::optional<std::string> group;
  std::optional<std::string> requestStartedID;
  std::string detail;  // person output only: filters, subnode, command
  std::string xml;     // the exact bytes sent, line feed included
};

// The latencies of one series of answers: their count, their maximum, and a sample of
// at most MAX_SAMPLES of them (all of them until then; beyond, a uniform random sample
// of fixed seed), so that the percentiles of a long run take bounded memory.
class LatencyStats {
 public:
  static constexpr std::size_t MAX_SAMPLES = 65536;
  void add(double ms);
  long count() const { return count_; }
  double maxMs() const { return max_; }
  // The latencies the percentiles come from: all of them, or the sample.
  const std::vector<double>& samples() const { return samples_; }
  // The nearest-rank percentile (0 < fraction <= 1) of the sample; 0 without answers.
  double percentile(double fraction) const;

 private:
  std::vector<double> samples_;
  long count_ = 0;
  double max_ = 0;
  unsigned long long random_ = 88172645463325252ULL;
};

struct Summary {
  std::vector<std::string> groups;
  std::array<int, REQUEST_KINDS> sent{};  // messages sent, by RequestKind
  int dataAnswers = 0, errorAnswers = 0, taskAnswers = 0, rows = 0, events = 0;
  int violations = 0, expectsPassed = 0, expectsFailed = 0;
  // Shown only when the scenario holds a restart, so that every other summary stays as it was.
  bool restartsShown = false;
  // Shown only in a run with a budget, --latency or --load: the latencies by group and of the tasks.
  bool latencyShown = false;
  std::map<std::string, LatencyStats> dataLatency;
  LatencyStats taskLatency;
  int restarts = 0, registrations = 0;  // restarts played; registrations received, the first included
  bool byHand = false;                  // the provider was started by hand: its exit is unknown
  std::optional<int> exitCode;          // the provider's exit status, when it exited
  std::optional<int> signal;            // the signal that ended the provider, when one did
  bool ok = false;
};

// What a load run reached.
struct LoadReport {
  long rate = 0;          // data requests per second asked
  double durationS = 0;   // how long they were sent
  long concurrency = 0;   // the most requests waiting at once; 0 no limit
  long sent = 0;          // data requests sent
  double sendingS = 0;    // from the first send to the end of sending
  long answered = 0;      // of them, answered
  double answeringS = 0;  // from the first send to the last answer (or the end of the wait)
  long missing = 0;       // of them, given up as missing
};

class Output {
 public:
  Output(bool json, std::FILE* out) : json_(json), out_(out) {}

  bool json() const { return json_; }
  // From now on data and event lines carry a "columns" key (null for a group without
  // declared columns): a run that declares columns gives every such line the same keys.
  void showColumns() { columnsShown_ = true; }
  // Quiet: the lines of messages sent and received are left out (a load run); violations,
  // expects and the summary are still printed.
  void quiet(bool on) { quiet_ = on; }
  // Calls hook before each line is printed (a progress line on a terminal clears itself); empty: none.
  void beforeLine(std::function<void()> hook) { beforeLine_ = std::move(hook); }

  void listening(int port, bool byHand);
  void started(const std::string& command, long pid);  // person output only
  void connected(double latencyMs);                    // person output only
  void registered(std::optional<long> version, const std::vector<RegisteredGroup>& groups, double latencyMs);
  void sent(const SentRequest& request);
  // latencyMs is empty for an answer to an id that no request of the run carried.
  // columns: the names declared for the group, or null; they label the table's header.
  void data(const std::string& id, const std::string& group, const std::vector<Row>& rows,
            std::optional<double> latencyMs, const Row* columns = nullptr);
  void error(const std::string& id, const std::string& group, long rc, std::optional<double> latencyMs);
  // An event carries rows, or an error code in rc.
  void event(const std::string& group, const std::optional<std::string>& subnode, const std::vector<Row>& rows,
             std::optional<long> rc, const Row* columns = nullptr);
  void task(const std::string& id, long rc, const std::vector<TaskOutput>& outputs, std::optional<double> latencyMs);
  // The agent restarts: it has closed the connection, the requests in unanswered (their
  // ids) can no longer be answered, and nothing listens for pauseMs.
  void restart(long pauseMs, const std::vector<std::string>& unanswered);
  void violation(const std::string& kind, const std::optional<std::string>& id, const std::string& message);
  void expectation(int scriptLine, const std::string& text, bool ok, const std::string& message);
  void load(const LoadReport& report);
  void summary(const Summary& summary);

  // Escapes text as the contents of a JSON string: quote, backslash and control characters.
  static std::string jsonEscape(const std::string& text);

 private:
  void line(const std::string& text);
  void table(const std::vector<Row>& rows, const Row* columns);

  bool json_;
  bool columnsShown_ = false;
  bool quiet_ = false;
  std::function<void()> beforeLine_;
  std::FILE* out_;
};

#endif
