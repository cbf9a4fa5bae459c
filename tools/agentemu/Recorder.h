// Writes scenario lines: the steps of a conversation and the answers it received as
// expects, so that a run (or a trace) becomes a script that replays it and checks that
// every answer is the same. The lines read back with readScript exactly as written.
#ifndef AGENTEMU_RECORDER_H
#define AGENTEMU_RECORDER_H

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Conversation.h"
#include "Wire.h"

namespace ScriptText {
// text as one script word: as it is, or double-quoted with \" \\ \n \t when it holds a
// blank, a quote, a backslash, an '=', a control character, or is empty.
std::string word(const std::string& text);
// The filter as a script's NAME<op>VALUE, or nothing when its op or logOp has no such form.
std::optional<std::string> filter(const Filter& filter);
std::string start(const std::string& requestStartedID, const std::string& group,
                  const std::optional<std::string>& subnode);
std::string stop(const std::string& requestStartedID, const std::string& group, bool shuttingDown,
                 const std::optional<std::string>& subnode);
// Null when a filter has no script form (the request is then written as a raw step).
std::optional<std::string> data(const std::string& id, const std::string& requestStartedID, const std::string& group,
                                const std::optional<std::string>& subnode, const std::vector<Filter>& filters,
                                bool wait);
std::string task(const std::string& id, const std::string& command, const std::string& user,
                 const std::optional<std::string>& subnode, bool wait);
// The expects that hold for exactly this answer to request id (a task's when task). live:
// a value that reads as a number is expected as any number (cell-number, output-number),
// since it may move; texts, row counts and codes stay exact.
std::vector<std::string> answerExpects(const std::string& id, const Answer& answer, bool task, bool live = false);
// The closing expects of the events: the total, then each group's count. live: a group
// heard more than PERIODIC_EVENTS times sends on a timer, so that a replay cannot meet its
// count: it is expected at least half of it (and the total likewise).
std::vector<std::string> eventExpects(long total, const std::map<std::string, long>& byGroup, bool live);
const long PERIODIC_EVENTS = 2;
}  // namespace ScriptText

// A scenario file being written, each line flushed as it comes.
class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Creates (or empties) path; false with error set when it cannot be written.
  bool open(const std::string& path, std::string& error);
  void line(const std::string& text);

 private:
  std::FILE* file_ = nullptr;
};

#endif
