// The run of one conversation.
#include "Runner.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <initializer_list>
#include <thread>

#include "Excerpt.h"
#include "Progress.h"

namespace {

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

}  // namespace

std::string Runner::timeoutText() const {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", options_.timeoutS);
  return text;
}

void Runner::pump(Clock::time_point deadline, const std::function<bool()>& done) {
  while (open_ && !done()) {
    if (Clock::now() >= deadline) return;
    std::string bytes;
    ProviderLink::ReadResult result = link_.read(deadline, bytes);
    if (result == ProviderLink::ReadResult::TIMEOUT) return;
    if (result == ProviderLink::ReadResult::CLOSED) {
      parser_->finish();
      for (const auto& item : parser_->take()) conversation_.handle(item);
      connectionClosed();
      return;
    }
    handleBytes(bytes);
  }
}

void Runner::handleBytes(const std::string& bytes) {
  parser_->feed(bytes.data(), bytes.size());
  for (const auto& item : parser_->take()) {
    conversation_.handle(item);
    // Nothing after a message too long can be read: the connection is closed at once,
    // so that the provider's writes fail instead of filling the socket.
    if (item.kind == StreamItem::TOO_LONG) {
      link_.closeConnection();
      open_ = false;
    }
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
  conversation_.summary().sent[static_cast<std::size_t>(request.kind)]++;
  output_.sent(request);
  if (link_.write(request.xml)) return true;
  // The provider is gone; what it sent before closing is still read.
  pump(after(options_.timeoutS), [] { return false; });
  connectionClosed();
  return false;
}

void Runner::awaitAnswer(const std::string& id) {
  pump(after(options_.timeoutS), [&] { return conversation_.answered(id) || !conversation_.readable(); });
  giveUpWaiting({id});
}

void Runner::awaitAll() {
  pump(after(options_.timeoutS), [&] { return conversation_.awaiting().empty() || !conversation_.readable(); });
  giveUpWaiting(conversation_.awaiting());
}

void Runner::giveUpWaiting(const std::vector<std::string>& ids) {
  if (!conversation_.readable()) return;  // the answers may be in bytes that cannot be read
  for (const auto& id : ids) conversation_.giveUp(id, open_ ? withinTimeout() : "before the connection closed");
}

void Runner::playRequest(const Step& step, const std::string& group) {
  bool registered = false;
  for (const auto& known : conversation_.groups()) registered = registered || known.name == group;
  // The library drops requests for groups it did not register, so none is awaited.
  std::string unregistered = registered ? "" : "(group not registered: no answer expected)";
  std::string subnode = step.subnode ? "subnode=" + *step.subnode : "";
  SentRequest request;
  request.kind = step.kind == Step::START  ? RequestKind::START
                 : step.kind == Step::STOP ? RequestKind::STOP
                                           : RequestKind::DATA;
  request.group = group;
  if (step.kind == Step::START) {
    std::string requestStartedID = step.requestStartedID ? *step.requestStartedID : conversation_.freshId();
    started_[group] = requestStartedID;
    conversation_.askedStartOrStop(requestStartedID);
    request.requestStartedID = requestStartedID;
    request.xml = Wire::startRequest(requestStartedID, group, step.subnode);
    request.detail = describe({subnode, unregistered});
    record(ScriptText::start(requestStartedID, group, step.subnode));
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
    record(ScriptText::stop(requestStartedID, group, step.shuttingDown, step.subnode));
    send(request);
    return;
  }
  std::string id = step.id ? *step.id : conversation_.freshId();
  conversation_.askedData(id, group, registered);
  lastDataId_ = id;
  lastRequestId_ = id;
  request.id = id;
  request.xml = Wire::dataRequest(id, requestStartedID, step.subnode, group, step.filters);
  request.detail = describe({describeFilters(step.filters), subnode, unregistered});
  std::optional<std::string> line =
      ScriptText::data(id, requestStartedID, group, step.subnode, step.filters, step.wait && registered);
  record(line ? *line : "raw " + request.xml.substr(0, request.xml.size() - 1));
  if (!step.wait && registered) nowaitIds_.insert(id);
  if (send(request) && step.wait && registered) awaitAnswer(id);
}

bool Runner::columnIndex(const Expect& expect, const std::string& group, std::size_t& index,
                         std::string& failure) const {
  index = static_cast<std::size_t>(expect.column - 1);
  if (expect.columnName.empty()) return true;
  const Row* names = conversation_.columnsOf(group);
  for (std::size_t c = 0; names && c < names->size(); c++) {
    index = c;
    if ((*names)[c] == expect.columnName) return true;
  }
  failure = "group " + quotedExcerpt(group) + " has no column " + quotedExcerpt(expect.columnName);
  return false;
}

std::string Runner::checkDataAnswer(const Expect& expect, const Answer& answer, const std::string& request,
                                    const std::string& id) const {
  if (expect.what == Expect::ERROR) {
    if (!answer.rc) return request + " was answered with " + std::to_string(answer.rows.size()) + " rows";
    if (*answer.rc != expect.number) return request + " was answered with rc " + std::to_string(*answer.rc);
    return "";
  }
  if (answer.rc) return request + " was answered with error rc " + std::to_string(*answer.rc);
  if (expect.what == Expect::ROWS) {
    if (holds(expect.count, static_cast<long>(answer.rows.size()))) return "";
    return request + " was answered with " + std::to_string(answer.rows.size()) + " rows";
  }
  std::string failure;
  const std::string* group = conversation_.groupOf(id);
  std::size_t column = 0;
  if (!columnIndex(expect, group ? *group : std::string(), column, failure)) return failure;
  std::size_t row = static_cast<std::size_t>(expect.row - 1);
  std::string columnText = expect.columnName.empty() ? std::to_string(expect.column) : expect.columnName;
  if (row >= answer.rows.size() || column >= answer.rows[row].size())
    return request + " has no cell " + std::to_string(expect.row) + " " + columnText;
  std::string found = mismatch(expect.match, answer.rows[row][column]);
  return found.empty() ? "" : "the cell holds " + found;
}

std::string Runner::checkTaskAnswer(const Expect& expect, const Answer& answer, const std::string& request) const {
  if (!answer.rc) return request + " was answered with " + std::to_string(answer.rows.size()) + " rows";
  if (expect.what == Expect::RC) {
    if (*answer.rc != expect.number) return request + " was answered with rc " + std::to_string(*answer.rc);
    return "";
  }
  if (expect.what == Expect::OUTPUTS) {
    if (holds(expect.count, static_cast<long>(answer.outputs.size()))) return "";
    return request + " was answered with " + std::to_string(answer.outputs.size()) + " outputs";
  }
  std::string output = "output " + std::to_string(expect.number);
  if (static_cast<std::size_t>(expect.number) > answer.outputs.size()) return request + " has no " + output;
  const TaskOutput& found = answer.outputs[static_cast<std::size_t>(expect.number - 1)];
  if (std::string wrong = mismatch(expect.match, found.value); !wrong.empty()) return output + " holds " + wrong;
  if (expect.inst && found.inst != expect.inst)
    return output + (found.inst ? " has inst " + quotedExcerpt(*found.inst) : std::string(" has no inst"));
  return "";
}

std::string Runner::checkAnswerExpect(const Expect& expect) const {
  bool task = expect.what == Expect::RC || expect.what == Expect::OUTPUTS || expect.what == Expect::OUTPUT;
  bool any = expect.what == Expect::NO_ANSWER;
  std::optional<std::string> id = expect.id ? expect.id : any ? lastRequestId_ : task ? lastTaskId_ : lastDataId_;
  std::string kind = any ? "" : task ? "task " : "data ";
  if (!id) return "no " + kind + "request was sent before";
  const Answer* answer = conversation_.answerTo(*id);
  std::string request = "the " + kind + "request id=" + excerpt(*id);
  if (any) return answer ? request + " was answered" : "";
  if (!answer) return request + " has no answer";
  return task ? checkTaskAnswer(expect, *answer, request) : checkDataAnswer(expect, *answer, request, *id);
}

std::string Runner::checkEventExpect(const Expect& expect) {
  if (expect.what == Expect::EVENTS) {
    // At most N is checked at once: a wait for more could only make it fail.
    if (expect.count.compare != CountMatch::AT_MOST) awaitEvents(expect);
    long count = conversation_.eventCount(expect.group, expect.subnode);
    return holds(expect.count, count) ? "" : std::to_string(count) + " events arrived";
  }
  const EventTally* last = conversation_.lastEvent(expect.group, expect.subnode);
  if (!last) return "no such event arrived";
  if (expect.what == Expect::EVENT_ERROR) {
    if (!last->rc) return "the last event carried a row";
    return *last->rc == expect.number ? "" : "the last event carried error rc " + std::to_string(*last->rc);
  }
  if (last->rc) return "the last event carried error rc " + std::to_string(*last->rc);
  std::string failure;
  std::size_t column = 0;
  if (!columnIndex(expect, last->group, column, failure)) return failure;
  if (column >= last->row.size()) return "the last event has no value " + std::to_string(column + 1);
  std::string found = mismatch(expect.match, last->row[column]);
  return found.empty() ? "" : "the value is " + found;
}

void Runner::awaitEvents(const Expect& expect) {
  long wanted = expect.number;
  pump(after(options_.timeoutS),
       [&] { return conversation_.eventCount(expect.group, expect.subnode) >= wanted || !conversation_.readable(); });
}

void Runner::playExpect(const Step& step) {
  const Expect& expect = step.expect;
  bool events =
      expect.what == Expect::EVENTS || expect.what == Expect::EVENT_CELL || expect.what == Expect::EVENT_ERROR;
  std::string failure = events ? checkEventExpect(expect) : checkAnswerExpect(expect);
  Summary& summary = conversation_.summary();
  (failure.empty() ? summary.expectsPassed : summary.expectsFailed)++;
  output_.expectation(step.line, step.text, failure.empty(), failure);
}

void Runner::playTask(const Step& step) {
  SentRequest request;
  request.kind = RequestKind::TASK;
  std::string id = step.id ? *step.id : conversation_.freshId();
  conversation_.askedTask(id, true);
  lastTaskId_ = id;
  lastRequestId_ = id;
  request.id = id;
  request.xml = Wire::taskRequest(id, step.subnode, step.command, step.user);
  request.detail = describe({"command \"" + step.command + "\"", "user \"" + step.user + "\"",
                             step.subnode ? "subnode=" + *step.subnode : ""});
  record(ScriptText::task(id, step.command, step.user, step.subnode, step.wait));
  if (!step.wait) nowaitIds_.insert(id);
  if (send(request) && step.wait) awaitAnswer(id);
}

void Runner::playStep(const Step& step) {
  if (step.kind == Step::EXPECT) {
    playExpect(step);
    return;
  }
  if (!canSend()) return;
  recordStep(step);
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
    case Step::TASK: playTask(step); break;
    case Step::WAIT:
      if (!step.id) {
        awaitAll();
      } else if (conversation_.pending(*step.id)) {
        awaitAnswer(*step.id);
      }
      break;
    case Step::WAIT_EVENTS: awaitEvents(step.expect); break;
    case Step::COLUMNS: conversation_.setColumns(step.group, step.names); break;
    case Step::RESTART: restart(step.sleepMs); break;
    case Step::SLEEP: pump(Clock::now() + std::chrono::milliseconds(step.sleepMs), [] { return false; }); break;
    case Step::RAW: {
      SentRequest request;
      request.kind = RequestKind::RAW;
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
    recordAnswers();
    // The provider has gone, or did not register again after a restart: nothing more to ask.
    if (!open_ || !conversation_.registered()) return;
  }
}

// Sends the shutdown (when it can), reads until the provider closes, and waits for its exit.
void Runner::shutdown() {
  if (shutdownSent_) return;
  Clock::time_point deadline = after(options_.timeoutS);
  if (open_) {
    SentRequest request;
    request.kind = RequestKind::SHUTDOWN;
    request.xml = Wire::shutdown();
    recordAnswers();
    record("shutdown");
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
  if (link_.started()) {
    if (!link_.waitExit(deadline)) {
      conversation_.violation(Violation::NO_EXIT, std::nullopt,
                              "the provider did not exit " + withinTimeout() + " of the shutdown; killed");
      link_.kill();
    }
  } else if (open_) {
    conversation_.violation(Violation::NO_EXIT, std::nullopt,
                            "the provider did not close its connection " + withinTimeout() + " of the shutdown");
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
  if (report_.isOpen() && !report_.write(timeline_, summary, load_ ? &*load_ : nullptr)) return EXIT_USAGE;
  return summary.ok ? EXIT_OK : EXIT_FAILED;
}

bool Runner::startProvider() {
  if (options_.provider.empty()) return true;  // one started by hand is awaited
  std::string error;
  if (!link_.start(options_.provider, error)) {
    std::fprintf(stderr, "agentemu: %s\n", error.c_str());
    return false;
  }
  std::string command;
  for (const auto& arg : options_.provider) command += (command.empty() ? "" : " ") + arg;
  output_.started(command, static_cast<long>(link_.pid()));
  return true;
}

bool Runner::connect(Clock::time_point startedAt, bool again) {
  std::optional<Clock::time_point> connectDeadline;
  if (link_.started() || again) connectDeadline = after(options_.timeoutS);
  ProviderLink::AcceptResult accepted = link_.accept(connectDeadline);
  if (accepted != ProviderLink::AcceptResult::CONNECTED) {
    std::string connected = again ? "connected again" : "connected";
    std::string why = "the connection could not be accepted";
    if (accepted == ProviderLink::AcceptResult::TIMEOUT)
      why = again ? "the provider did not connect again " + withinTimeout() + " of the restart"
                  : "the provider did not connect " + withinTimeout();
    if (accepted == ProviderLink::AcceptResult::EXITED) {
      why = "the provider ended before it " + connected;
      if (link_.exitCode())
        why = "the provider exited with " + std::to_string(*link_.exitCode()) + " before it " + connected;
    }
    conversation_.violation(Violation::NO_CONNECTION, std::nullopt, why);
    link_.kill();
    return false;
  }
  open_ = true;
  conversation_.connected(Clock::now());
  output_.connected(std::chrono::duration<double, std::milli>(Clock::now() - startedAt).count());
  return true;
}

void Runner::awaitRegistration() {
  pump(after(options_.timeoutS), [&] { return conversation_.registered() || !conversation_.readable(); });
  if (!conversation_.registered() && conversation_.readable() && open_)
    conversation_.violation(Violation::NO_REGISTRATION, std::nullopt, "no registration " + withinTimeout());
}

void Runner::restart(long pauseMs) {
  // What has arrived is taken, one read at a time as the parser's limit needs; what the
  // provider sends from now on is lost with the connection.
  std::string bytes;
  while (open_ && link_.read(Clock::now(), bytes) == ProviderLink::ReadResult::DATA) {
    handleBytes(bytes);
    bytes.clear();
  }
  output_.restart(pauseMs, conversation_.connectionLost());
  link_.closeConnection();
  open_ = false;
  parser_ = std::make_unique<StreamParser>(options_.maxMessage);  // the next connection is a stream of its own
  conversation_.summary().restarts++;
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  std::string error;
  if (!link_.listen(link_.port(), error)) {
    conversation_.violation(Violation::NO_CONNECTION, std::nullopt, "no new connection: " + error);
    link_.kill();
    return;
  }
  if (connect(Clock::now(), true)) awaitRegistration();
}

void Runner::sendLoadRequest(const std::string& group) {
  Step data;
  data.kind = Step::DATA;
  data.group = group;
  data.subnode = options_.scenario.subnode;
  data.filters = options_.scenario.filters;
  data.wait = false;
  playRequest(data, group);
}

void Runner::playLoad() {
  std::vector<std::string> groups;
  for (const auto& group : conversation_.groups()) groups.push_back(group.name);
  output_.quiet(true);
  conversation_.keepAnswers(false);
  Step start;
  start.kind = Step::START;
  start.group = "*";
  playStep(start);
  LoadReport report{options_.loadRate, options_.durationS, options_.concurrency, 0, 0, 0, 0, 0};
  // At most this many requests wait at once without a limit, so that memory stays bounded.
  const long limit = options_.concurrency ? options_.concurrency : 100000;
  long settledBefore = conversation_.settled(), answeredBefore = conversation_.answeredRequests();
  std::deque<std::pair<Clock::time_point, std::string>> waiting;  // oldest first; answered ones linger
  Clock::time_point begin = Clock::now(), end = after(options_.durationS);
  timeline_.start(begin, options_.loadRate);
  Progress progress(stderr, STDERR_FILENO, begin, options_.durationS);
  output_.beforeLine([&progress] { progress.clear(); });
  std::chrono::duration<double> every(1.0 / static_cast<double>(options_.loadRate));
  // The requests due within the duration, the first at once.
  auto total = static_cast<long>(std::ceil(static_cast<double>(options_.loadRate) * options_.durationS - 1e-9));
  while (canSend() && !groups.empty() && Clock::now() < end && report.sent < total) {
    progress.update(timeline_);
    // The oldest requests that have their answer are dropped, the ones past the timeout given up.
    while (!waiting.empty() &&
           (!conversation_.pending(waiting.front().second) || waiting.front().first < Clock::now())) {
      giveUpWaiting({waiting.front().second});
      waiting.pop_front();
    }
    auto due = begin + std::chrono::duration_cast<Clock::duration>(every * static_cast<double>(report.sent));
    long inFlight = report.sent - (conversation_.settled() - settledBefore);
    if (due <= Clock::now() && inFlight < limit) {
      sendLoadRequest(groups[static_cast<std::size_t>(report.sent++) % groups.size()]);
      waiting.emplace_back(after(options_.timeoutS), lastDataId_.value_or(""));
      continue;
    }
    Clock::time_point until =
        std::min({end, inFlight < limit || waiting.empty() ? due : waiting.front().first, progress.due()});
    pump(until, [&] { return report.sent - (conversation_.settled() - settledBefore) < inFlight; });
  }
  report.sendingS = std::chrono::duration<double>(Clock::now() - begin).count();
  if (report.sent == total) report.sendingS = std::max(report.sendingS, options_.durationS);  // all sent on time
  awaitLoadAnswers(progress);
  report.answeringS = std::chrono::duration<double>(Clock::now() - begin).count();
  report.answered = conversation_.answeredRequests() - answeredBefore;
  report.missing = report.sent - report.answered;
  Step stop;
  stop.kind = Step::STOP;
  stop.group = "*";
  playStep(stop);
  output_.quiet(false);
  output_.beforeLine(nullptr);
  load_ = report;
  output_.load(report);
}

void Runner::awaitLoadAnswers(Progress& progress) {
  Clock::time_point deadline = after(options_.timeoutS);
  auto done = [&] { return conversation_.awaiting().empty() || !conversation_.readable(); };
  // In steps, so that the progress line goes on showing the answers that come.
  while (open_ && !done() && Clock::now() < deadline) {
    pump(std::min(deadline, progress.due()), done);
    progress.update(timeline_);
  }
  progress.clear();
  giveUpWaiting(conversation_.awaiting());
}

void Runner::recordStep(const Step& step) {
  switch (step.kind) {
    case Step::WAIT: record(step.id ? "wait id=" + ScriptText::word(*step.id) : "wait"); break;
    case Step::WAIT_EVENTS:
      record("wait-events " + std::to_string(step.expect.number) +
             (step.expect.group ? " group=" + ScriptText::word(*step.expect.group) : "") +
             (step.expect.subnode ? " subnode=" + ScriptText::word(*step.expect.subnode) : ""));
      break;
    case Step::SLEEP: record("sleep " + std::to_string(step.sleepMs)); break;
    case Step::RESTART: record("restart " + std::to_string(step.sleepMs)); break;
    case Step::RAW: record("raw " + step.text); break;
    case Step::COLUMNS: {
      std::string names;
      for (const auto& name : step.names) names += (names.empty() ? "" : ",") + name;
      record("columns " + ScriptText::word(step.group) + " " + ScriptText::word(names));
      break;
    }
    default: break;  // requests are recorded as they are sent, expects not at all
  }
}

void Runner::recordAnswers() {
  for (const auto& id : answeredIds_) {
    const Answer* answer = conversation_.answerTo(id);
    if (!answer) continue;
    if (nowaitIds_.count(id) && !shutdownSent_) record("wait id=" + ScriptText::word(id));
    for (const auto& line : ScriptText::answerExpects(id, *answer, !conversation_.groupOf(id), options_.live))
      record(line);
  }
  answeredIds_.clear();
}

void Runner::recordStart() {
  if (!recorder_) return;
  conversation_.onAnswer([this](const std::string& id) { answeredIds_.push_back(id); });
  record("# Recorded by agentemu; replay: agentemu --script FILE PROVIDER [ARGS...]");
  for (const auto& declared : options_.columns) {
    std::string names;
    for (const auto& name : declared.second) names += (names.empty() ? "" : ",") + name;
    record("columns " + ScriptText::word(declared.first) + " " + ScriptText::word(names));
  }
}

void Runner::recordEnd() {
  if (!recorder_) return;
  recordAnswers();
  for (const auto& line :
       ScriptText::eventExpects(conversation_.events(), conversation_.eventsByGroup(), options_.live))
    record(line);
}

int Runner::run(const std::vector<Step>* script) {
  std::string error;
  if (!options_.reportPath.empty() && !report_.open(options_.reportPath, error)) {
    std::fprintf(stderr, "agentemu: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  output_.listening(link_.port(), options_.provider.empty());
  // A run that may restart always shows its restarts and registrations; no other run does.
  Summary& summary = conversation_.summary();
  summary.restartsShown = options_.scenario.restartAfter > 0;
  for (const auto& step : script ? *script : std::vector<Step>())
    summary.restartsShown = summary.restartsShown || step.kind == Step::RESTART;
  for (const auto& declared : options_.columns) conversation_.setColumns(declared.first, declared.second);
  bool columns = !options_.columns.empty();
  for (const auto& step : script ? *script : std::vector<Step>()) columns = columns || step.kind == Step::COLUMNS;
  if (columns) output_.showColumns();
  recordStart();
  conversation_.setBudgets(options_.budgetMs, options_.groupBudgetsMs);
  summary.latencyShown = options_.loadRate || options_.latency || options_.budgetMs || !options_.groupBudgetsMs.empty();
  Clock::time_point startedAt = Clock::now();
  if (options_.loadRate || report_.isOpen()) {
    timeline_.start(startedAt, 0);
    conversation_.setTimeline(&timeline_);
  }
  if (!startProvider()) return EXIT_USAGE;
  if (!connect(startedAt, false)) return finish();
  awaitRegistration();
  if (conversation_.registered() && canSend()) {
    if (script) {
      play(*script);
    } else if (options_.loadRate) {
      playLoad();
    } else {
      play(defaultSteps(conversation_.groups(), options_.scenario));
    }
  }
  shutdown();
  recordEnd();
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
