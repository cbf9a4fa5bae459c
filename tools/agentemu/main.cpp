// agentemu: plays the monitoring agent's side of the protocol against one provider.
//
// Listens on 127.0.0.1, starts the provider with CP_PORT (or waits for one started
// by hand), reads its registration, plays the default scenario or a script, sends
// the shutdown, waits for the provider's exit and prints a summary. Exit status:
// 0 when the conversation had no violation, every expect held and the provider
// exited with 0; 1 otherwise; 2 for a usage or set-up error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "Conversation.h"
#include "Output.h"
#include "ProviderLink.h"
#include "Scenario.h"
#include "StreamParser.h"

namespace {

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;
const double DEFAULT_TIMEOUT_S = 10.0;
const char DEFAULT_USER[] = "agentemu";

const char USAGE[] =
    "usage: agentemu [options] [--] PROVIDER [ARGS...]\n"
    "       agentemu [options]            (wait for a provider started by hand)\n"
    "\n"
    "Plays the monitoring agent on 127.0.0.1 against one provider.\n"
    "\n"
    "  --port N           listen on port N (default: a free port)\n"
    "  --rounds N         data requests per registered group (default 1)\n"
    "  --interval MS      pause between two rounds of one group (default 0)\n"
    "  --task COMMAND     add a task request after the groups (repeatable)\n"
    "  --user USER        user of task requests (default agentemu)\n"
    "  --filter FILTER    add a requestInfo filter NAME=VALUE (or !=, <, <=, >, >=) to\n"
    "                     every data request (repeatable)\n"
    "  --subnode S        send data requests with subnode S\n"
    "  --script FILE      play FILE instead of the default scenario\n"
    "  --timeout S        seconds to wait for the connection, each answer and the exit\n"
    "                     (default 10)\n"
    "  --json             one JSON object per line instead of tables\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 no violation and the provider exited with 0; 1 otherwise;\n"
    "2 usage or set-up error.\n";

struct Options {
  int port = 0;
  DefaultScenario scenario;
  std::vector<std::string> defaultOnly;  // options that shape the default scenario, for the --script check
  std::string scriptPath;
  double timeoutS = DEFAULT_TIMEOUT_S;
  bool json = false;
  std::vector<std::string> provider;
};

bool parseLongOption(const std::string& text, long minimum, long maximum, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && errno != ERANGE && value >= minimum && value <= maximum;
}

// Returns -1 to go on, or the exit status (help: 0, error: 2).
int parseOptions(int argc, char** argv, Options& options) {
  options.scenario.user = DEFAULT_USER;
  int i = 1;
  for (; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--") {
      i++;
      break;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) break;  // the provider's name
    std::string name = arg, value;
    bool inlineValue = false;
    std::size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      inlineValue = true;
    }
    if (name == "--help") {
      std::fputs(USAGE, stdout);
      return EXIT_OK;
    }
    if (name == "--json") {
      options.json = true;
      continue;
    }
    static const char* const WITH_VALUE[] = {"--port",   "--rounds",  "--interval", "--task",   "--user",
                                             "--filter", "--subnode", "--script",   "--timeout"};
    bool known = false;
    for (const char* option : WITH_VALUE) known = known || name == option;
    if (!known) {
      std::fprintf(stderr, "agentemu: unknown option %s\n%s", name.c_str(), USAGE);
      return EXIT_USAGE;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "agentemu: %s needs a value\n", name.c_str());
        return EXIT_USAGE;
      }
      value = argv[++i];
    }
    long number = 0;
    bool ok = true;
    if (name == "--port") {
      ok = parseLongOption(value, 0, 65535, number);
      options.port = static_cast<int>(number);
    } else if (name == "--rounds") {
      ok = parseLongOption(value, 0, 1000000, options.scenario.rounds);
    } else if (name == "--interval") {
      ok = parseLongOption(value, 0, 86400000, options.scenario.intervalMs);
    } else if (name == "--task") {
      options.scenario.tasks.push_back(value);
    } else if (name == "--user") {
      options.scenario.user = value;
    } else if (name == "--filter") {
      Filter filter;
      ok = parseFilter(value, filter);
      options.scenario.filters.push_back(filter);
    } else if (name == "--subnode") {
      options.scenario.subnode = value;
    } else if (name == "--script") {
      options.scriptPath = value;
    } else if (name == "--timeout") {
      char* end = nullptr;
      options.timeoutS = std::strtod(value.c_str(), &end);
      ok = !value.empty() && *end == '\0' && options.timeoutS > 0 && options.timeoutS <= 86400;
    }
    if (!ok) {
      std::fprintf(stderr, "agentemu: invalid value for %s: %s\n", name.c_str(), value.c_str());
      return EXIT_USAGE;
    }
    if (name == "--rounds" || name == "--interval" || name == "--task" || name == "--filter" || name == "--subnode")
      options.defaultOnly.push_back(name);
  }
  for (; i < argc; i++) options.provider.push_back(argv[i]);
  if (!options.scriptPath.empty() && !options.defaultOnly.empty()) {
    std::fprintf(stderr, "agentemu: %s shapes the default scenario and cannot be combined with --script\n",
                 options.defaultOnly.front().c_str());
    return EXIT_USAGE;
  }
  return -1;
}

// Joins the non-empty parts of a request's description with blanks.
std::string describe(std::initializer_list<std::string> parts) {
  std::string text;
  for (const auto& part : parts)
    if (!part.empty()) text += (text.empty() ? "" : " ") + part;
  return text;
}

std::string describeFilters(const std::vector<Filter>& filters) {
  std::string text;
  for (const auto& filter : filters)
    text += (text.empty() ? "filters " : ", ") + filter.name + " " + filter.op + " \"" + filter.value + "\"";
  return text;
}

// Plays the steps against the provider and keeps the run's accounting.
class Runner {
 public:
  Runner(const Options& options, ProviderLink& link, Output& output)
      : options_(options), link_(link), output_(output), conversation_(output) {}

  int run(const std::vector<Step>* script);

 private:
  using Clock = Conversation::Clock;

  Clock::time_point after(double seconds) const {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  std::string withinTimeout() const;
  bool canSend() const { return open_ && conversation_.readable() && !shutdownSent_; }

  void pump(Clock::time_point deadline, const std::function<bool()>& done);
  void connectionClosed();
  bool send(const SentRequest& request);
  void awaitAnswer(const std::string& id);
  void play(const std::vector<Step>& steps);
  void playStep(const Step& step);
  void playRequest(const Step& step, const std::string& group);
  void playExpect(const Step& step);
  void shutdown();
  int finish();

  const Options& options_;
  ProviderLink& link_;
  Output& output_;
  Conversation conversation_;
  StreamParser parser_;
  bool open_ = false;
  bool closedReported_ = false;
  bool shutdownSent_ = false;
  std::map<std::string, std::string> started_;  // group -> requestStartedID of its open start request
  std::optional<std::string> lastDataId_, lastTaskId_;
};

std::string Runner::withinTimeout() const {
  char text[48];
  std::snprintf(text, sizeof text, "within %g s", options_.timeoutS);
  return text;
}

void Runner::pump(Clock::time_point deadline, const std::function<bool()>& done) {
  while (open_ && !done()) {
    if (Clock::now() >= deadline) return;
    std::string bytes;
    ProviderLink::ReadResult result = link_.read(deadline, bytes);
    if (result == ProviderLink::ReadResult::TIMEOUT) return;
    if (result == ProviderLink::ReadResult::CLOSED) {
      parser_.finish();
      for (const auto& item : parser_.take()) conversation_.handle(item);
      connectionClosed();
      return;
    }
    parser_.feed(bytes.data(), bytes.size());
    for (const auto& item : parser_.take()) conversation_.handle(item);
  }
}

void Runner::connectionClosed() {
  open_ = false;
  if (shutdownSent_ || closedReported_) return;
  closedReported_ = true;
  conversation_.violation(Violation::CONNECTION_CLOSED, std::nullopt,
                          "the provider closed the connection before the shutdown");
}

bool Runner::send(const SentRequest& request) {
  Summary& summary = conversation_.summary();
  if (request.kind == "start") summary.sentStart++;
  if (request.kind == "data") summary.sentData++;
  if (request.kind == "stop") summary.sentStop++;
  if (request.kind == "task") summary.sentTask++;
  if (request.kind == "raw") summary.sentRaw++;
  output_.sent(request);
  if (link_.write(request.xml)) return true;
  // The provider is gone; what it sent before closing is still read.
  pump(after(options_.timeoutS), [] { return false; });
  connectionClosed();
  return false;
}

void Runner::awaitAnswer(const std::string& id) {
  pump(after(options_.timeoutS), [&] { return conversation_.answered(id) || !conversation_.readable(); });
  if (!conversation_.readable()) return;  // the answer may be in bytes that cannot be read
  conversation_.giveUp(id, open_ ? withinTimeout() : "before the connection closed");
}

void Runner::playRequest(const Step& step, const std::string& group) {
  bool registered = false;
  for (const auto& known : conversation_.groups()) registered = registered || known.name == group;
  // The library drops requests for groups it did not register, so none is awaited.
  std::string unregistered = registered ? "" : "(group not registered: no answer expected)";
  std::string subnode = step.subnode ? "subnode=" + *step.subnode : "";
  SentRequest request;
  request.kind = step.kind == Step::START ? "start" : step.kind == Step::STOP ? "stop" : "data";
  request.group = group;
  if (step.kind == Step::START) {
    std::string requestStartedID = step.requestStartedID ? *step.requestStartedID : conversation_.freshId();
    started_[group] = requestStartedID;
    conversation_.askedStartOrStop(requestStartedID);
    request.requestStartedID = requestStartedID;
    request.xml = Wire::startRequest(requestStartedID, group, step.subnode);
    request.detail = describe({subnode, unregistered});
    send(request);
    return;
  }
  auto open = started_.find(group);
  std::string requestStartedID = step.requestStartedID    ? *step.requestStartedID
                                 : open != started_.end() ? open->second
                                                          : conversation_.freshId();
  request.requestStartedID = requestStartedID;
  if (step.kind == Step::STOP) {
    if (open != started_.end()) started_.erase(open);
    conversation_.askedStartOrStop(requestStartedID);
    request.xml = Wire::stopRequest(requestStartedID, group, step.shuttingDown, step.subnode);
    request.detail = describe({step.shuttingDown ? "shuttingDown=true" : "", subnode, unregistered});
    send(request);
    return;
  }
  std::string id = step.id ? *step.id : conversation_.freshId();
  conversation_.askedData(id, group, registered);
  lastDataId_ = id;
  request.id = id;
  request.xml = Wire::dataRequest(id, requestStartedID, step.subnode, group, step.filters);
  request.detail = describe({describeFilters(step.filters), subnode, unregistered});
  if (send(request) && step.wait && registered) awaitAnswer(id);
}

void Runner::playExpect(const Step& step) {
  const Expect& expect = step.expect;
  std::string failure;
  if (expect.what == Expect::EVENTS) {
    long wanted = expect.number;
    pump(after(options_.timeoutS), [&] { return conversation_.events() >= wanted; });
    if (conversation_.events() != wanted) failure = std::to_string(conversation_.events()) + " events arrived";
  } else {
    bool task = expect.what == Expect::RC;
    const std::optional<std::string>& id = task ? lastTaskId_ : lastDataId_;
    const Answer* answer = id ? conversation_.answerTo(*id) : nullptr;
    std::string request = std::string(task ? "task" : "data") + " request" + (id ? " id=" + *id : "");
    if (!id) {
      failure = std::string("no ") + (task ? "task" : "data") + " request was sent before";
    } else if (!answer) {
      failure = "the " + request + " has no answer";
    } else if (expect.what == Expect::RC || expect.what == Expect::ERROR) {
      if (!answer->rc) {
        failure = "the " + request + " was answered with " + std::to_string(answer->rows.size()) + " rows";
      } else if (*answer->rc != expect.number) {
        failure = "the " + request + " was answered with rc " + std::to_string(*answer->rc);
      }
    } else if (answer->rc) {
      failure = "the " + request + " was answered with error rc " + std::to_string(*answer->rc);
    } else if (expect.what == Expect::ROWS) {
      if (static_cast<long>(answer->rows.size()) != expect.number)
        failure = "the " + request + " was answered with " + std::to_string(answer->rows.size()) + " rows";
    } else {
      std::size_t row = static_cast<std::size_t>(expect.row - 1), column = static_cast<std::size_t>(expect.column - 1);
      if (row >= answer->rows.size() || column >= answer->rows[row].size()) {
        failure = "the " + request + " has no cell " + std::to_string(expect.row) + " " + std::to_string(expect.column);
      } else if (answer->rows[row][column] != expect.value) {
        failure = "the cell holds \"" + answer->rows[row][column] + "\"";
      }
    }
  }
  Summary& summary = conversation_.summary();
  (failure.empty() ? summary.expectsPassed : summary.expectsFailed)++;
  output_.expectation(step.line, step.text, failure.empty(), failure);
}

void Runner::playStep(const Step& step) {
  if (step.kind == Step::EXPECT) {
    playExpect(step);
    return;
  }
  if (!canSend()) return;
  switch (step.kind) {
    case Step::START:
    case Step::DATA:
    case Step::STOP:
      if (step.group != "*") {
        playRequest(step, step.group);
      } else {
        for (const auto& group : conversation_.groups())
          if (canSend()) playRequest(step, group.name);
      }
      break;
    case Step::TASK: {
      SentRequest request;
      request.kind = "task";
      std::string id = step.id ? *step.id : conversation_.freshId();
      conversation_.askedTask(id, true);
      lastTaskId_ = id;
      request.id = id;
      request.xml = Wire::taskRequest(id, step.subnode, step.command, step.user);
      request.detail = describe({"command \"" + step.command + "\"", "user \"" + step.user + "\"",
                                 step.subnode ? "subnode=" + *step.subnode : ""});
      if (send(request) && step.wait) awaitAnswer(id);
      break;
    }
    case Step::WAIT: {
      Clock::time_point deadline = after(options_.timeoutS);
      pump(deadline, [&] { return conversation_.awaiting().empty() || !conversation_.readable(); });
      if (!conversation_.readable()) break;
      for (const auto& id : conversation_.awaiting())
        conversation_.giveUp(id, open_ ? withinTimeout() : "before the connection closed");
      break;
    }
    case Step::SLEEP: pump(Clock::now() + std::chrono::milliseconds(step.sleepMs), [] { return false; }); break;
    case Step::RAW: {
      SentRequest request;
      request.kind = "raw";
      request.xml = step.text + "\n";
      request.detail = step.text;
      conversation_.askedRaw(request.xml);
      send(request);
      break;
    }
    case Step::SHUTDOWN:  // run() sends it once the steps before it are played
    case Step::EXPECT: break;
  }
}

void Runner::play(const std::vector<Step>& steps) {
  for (const auto& step : steps) {
    if (step.kind == Step::SHUTDOWN) return;
    playStep(step);
    if (!open_ && !shutdownSent_) return;  // the provider has gone; nothing more to ask
  }
}

// Sends the shutdown (when it can), reads until the provider closes, and waits for its exit.
void Runner::shutdown() {
  if (shutdownSent_) return;
  Clock::time_point deadline = after(options_.timeoutS);
  if (open_) {
    SentRequest request;
    request.kind = "shutdown";
    request.xml = Wire::shutdown();
    shutdownSent_ = true;
    output_.sent(request);
    link_.write(request.xml);
    link_.finishSending();
    pump(deadline, [] { return false; });  // until the provider closes the connection
  }
  shutdownSent_ = true;
  // Requests still awaited now have had their chance.
  if (conversation_.readable())
    for (const auto& id : conversation_.awaiting()) conversation_.giveUp(id, "before the end of the conversation");
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g s", options_.timeoutS);
  if (link_.started()) {
    if (!link_.waitExit(deadline)) {
      conversation_.violation(Violation::NO_EXIT, std::nullopt,
                              std::string("the provider did not exit within ") + seconds + " of the shutdown; killed");
      link_.kill();
    }
  } else if (open_) {
    conversation_.violation(
        Violation::NO_EXIT, std::nullopt,
        std::string("the provider did not close its connection within ") + seconds + " of the shutdown");
  }
}

int Runner::finish() {
  Summary& summary = conversation_.summary();
  summary.byHand = !link_.started();
  summary.exitCode = link_.exitCode();
  summary.signal = link_.signal();
  summary.ok = summary.violations == 0 && summary.expectsFailed == 0 &&
               (summary.byHand || (summary.exitCode && *summary.exitCode == 0));
  output_.summary(summary);
  return summary.ok ? EXIT_OK : EXIT_FAILED;
}

int Runner::run(const std::vector<Step>* script) {
  output_.listening(link_.port(), options_.provider.empty());
  Clock::time_point startedAt = Clock::now();
  if (!options_.provider.empty()) {
    std::string error;
    if (!link_.start(options_.provider, error)) {
      std::fprintf(stderr, "agentemu: %s\n", error.c_str());
      return EXIT_USAGE;
    }
    std::string command;
    for (const auto& arg : options_.provider) command += (command.empty() ? "" : " ") + arg;
    output_.started(command, static_cast<long>(link_.pid()));
  }
  std::optional<Clock::time_point> connectDeadline;
  if (link_.started()) connectDeadline = after(options_.timeoutS);
  ProviderLink::AcceptResult accepted = link_.accept(connectDeadline);
  if (accepted != ProviderLink::AcceptResult::CONNECTED) {
    std::string why = "the connection could not be accepted";
    if (accepted == ProviderLink::AcceptResult::TIMEOUT) why = "the provider did not connect " + withinTimeout();
    if (accepted == ProviderLink::AcceptResult::EXITED) {
      why = "the provider ended before it connected";
      if (link_.exitCode())
        why = "the provider exited with " + std::to_string(*link_.exitCode()) + " before it connected";
    }
    conversation_.violation(Violation::NO_CONNECTION, std::nullopt, why);
    link_.kill();
    return finish();
  }
  open_ = true;
  conversation_.connected(Clock::now());
  output_.connected(std::chrono::duration<double, std::milli>(Clock::now() - startedAt).count());

  pump(after(options_.timeoutS), [&] { return conversation_.registered() || !conversation_.readable(); });
  if (!conversation_.registered() && conversation_.readable() && open_)
    conversation_.violation(Violation::NO_REGISTRATION, std::nullopt, "no registration " + withinTimeout());
  if (conversation_.registered() && canSend()) {
    if (script) {
      play(*script);
    } else {
      play(defaultSteps(conversation_.groups(), options_.scenario));
    }
  }
  shutdown();
  // The steps after a script's shutdown are its closing expectations.
  if (script) {
    bool afterShutdown = false;
    for (const auto& step : *script) {
      if (afterShutdown) playStep(step);
      afterShutdown = afterShutdown || step.kind == Step::SHUTDOWN;
    }
  }
  return finish();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = parseOptions(argc, argv, options);
  if (status >= 0) return status;
  std::vector<Step> script;
  if (!options.scriptPath.empty()) {
    std::string error;
    if (!readScript(options.scriptPath, options.scenario.user, script, error)) {
      std::fprintf(stderr, "agentemu: %s\n", error.c_str());
      return EXIT_USAGE;
    }
  }
  ProviderLink link;
  std::string error;
  if (!link.listen(options.port, error)) {
    std::fprintf(stderr, "agentemu: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  Output output(options.json, stdout);
  Runner runner(options, link, output);
  return runner.run(options.scriptPath.empty() ? nullptr : &script);
}
