// The run of one conversation: start or await the provider, read its registration,
// play the default scenario or a script, send the shutdown, and sum up.
#ifndef AGENTEMU_RUNNER_H
#define AGENTEMU_RUNNER_H

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Conversation.h"
#include "Options.h"
#include "Output.h"
#include "Progress.h"
#include "ProviderLink.h"
#include "Recorder.h"
#include "Report.h"
#include "Scenario.h"
#include "StreamParser.h"

// Plays the steps against the provider and keeps the run's accounting.
class Runner {
 public:
  // recorder: where the conversation is written as a scenario, or null.
  Runner(const Options& options, ProviderLink& link, Output& output, Recorder* recorder = nullptr)
      : options_(options), link_(link), output_(output), recorder_(recorder), conversation_(output) {}

  // Plays script, or the default scenario when it is null, then the shutdown and the
  // script's closing expectations; prints the summary and returns the exit status.
  int run(const std::vector<Step>* script);

 private:
  using Clock = Conversation::Clock;

  Clock::time_point after(double seconds) const {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  std::string timeoutText() const;  // "10 s"
  std::string withinTimeout() const { return "within " + timeoutText(); }
  bool canSend() const { return open_ && conversation_.readable() && !shutdownSent_; }

  void pump(Clock::time_point deadline, const std::function<bool()>& done);
  void handleBytes(const std::string& bytes);
  void connectionClosed();
  bool send(const SentRequest& request);
  void awaitAnswer(const std::string& id);
  void awaitAll();
  // Reports the requests among ids that are still unanswered (unless the stream cannot be read).
  void giveUpWaiting(const std::vector<std::string>& ids);
  void play(const std::vector<Step>& steps);
  void playStep(const Step& step);
  void playRequest(const Step& step, const std::string& group);
  void playTask(const Step& step);
  void playExpect(const Step& step);
  // The checks of the expect steps: "" when it holds, else what was found.
  std::string checkAnswerExpect(const Expect& expect) const;
  std::string checkDataAnswer(const Expect& expect, const Answer& answer, const std::string& request,
                              const std::string& id) const;
  std::string checkTaskAnswer(const Expect& expect, const Answer& answer, const std::string& request) const;
  std::string checkEventExpect(const Expect& expect);
  // The index from 0 of expect's column (by number, or by name in group's declared columns).
  bool columnIndex(const Expect& expect, const std::string& group, std::size_t& index, std::string& failure) const;
  // Waits up to the timeout until expect.number events of its group and subnode have arrived.
  void awaitEvents(const Expect& expect);
  bool startProvider();
  // Accepts the provider's connection (again: its next one after a restart, always within the timeout).
  bool connect(Clock::time_point startedAt, bool again);
  void awaitRegistration();
  // Closes the connection, listens for nothing for pauseMs, then awaits the provider's next
  // connection and registration on the same port.
  void restart(long pauseMs);
  // The load run: starts every group, sends data requests at the asked rate (round the
  // groups, within the concurrency) for the duration, waits for the last answers, stops
  // the groups and reports what was reached.
  void playLoad();
  void sendLoadRequest(const std::string& group);
  // Waits (up to the timeout) for the load run's last answers, redrawing the progress line.
  void awaitLoadAnswers(Progress& progress);
  void shutdown();
  int finish();
  // The recording: a line, the steps that are no requests, and the answers that came
  // since the last call as expects (behind a wait for the ones not waited for, unless the
  // shutdown was sent).
  void record(const std::string& line) {
    if (recorder_) recorder_->line(line);
  }
  void recordStep(const Step& step);
  void recordAnswers();
  void recordStart();
  void recordEnd();

  const Options& options_;
  ProviderLink& link_;
  Output& output_;
  Recorder* recorder_;
  std::vector<std::string> answeredIds_;  // recorded: answers not written yet
  std::set<std::string> nowaitIds_;       // recorded: requests sent without waiting
  Conversation conversation_;
  std::unique_ptr<StreamParser> parser_ = std::make_unique<StreamParser>(options_.maxMessage);  // one per connection
  bool open_ = false;
  bool closedReported_ = false;
  bool shutdownSent_ = false;
  std::map<std::string, std::string> started_;  // group -> requestStartedID of its open start request
  std::optional<std::string> lastDataId_, lastTaskId_, lastRequestId_;
  Timeline timeline_;               // what the run did over time: the progress line and --report
  std::optional<LoadReport> load_;  // what the load run reached, once it is over
  Report report_;                   // --report
};

#endif
