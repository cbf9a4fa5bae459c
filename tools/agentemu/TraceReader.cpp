// A library trace turned into a script.
#include "TraceReader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "Conversation.h"
#include "Excerpt.h"
#include "Recorder.h"
#include "Scenario.h"
#include "StreamParser.h"

namespace TraceReader {

namespace {

// The longest line kept: a dump line has 86 characters, a title line a few more.
const std::size_t MAX_LINE = 4096;
const char RECEIVED[] = " receive on socket ";
const char SENT[] = " send on socket ";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a dump line "    OOOOOOOO  hh hh ...  |text|" whose offset is at: appends its bytes.
bool readDumpLine(const std::string& line, std::size_t at, std::string& bytes) {
  if (line.size() < 14 || line.compare(0, 4, "    ") != 0) return false;
  std::size_t offset = 0;
  for (std::size_t i = 4; i < 12; i++) {
    int digit = hexValue(line[i]);
    if (digit < 0) return false;
    offset = offset * 16 + static_cast<std::size_t>(digit);
  }
  if (offset != at) return false;
  std::size_t end = std::min(line.find('|', 12), line.size());
  for (std::size_t i = 13; i + 2 < end; i += 3) {
    if (line[i] != ' ' || line[i + 1] == ' ') continue;
    int high = hexValue(line[i + 1]), low = hexValue(line[i + 2]);
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

// The script being written, and what it needs to remember of the trace.
class Writer {
 public:
  Writer(std::FILE* out, bool live) : out_(out), live_(live) {}
  void line(const std::string& text) {
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
  }
  void received(const Element& message, const std::string& bytes);
  void sent(const Element& message);
  void finish() {
    line("shutdown");
    // A trace's events come on the field's timer: a group heard often is counted at least.
    for (const auto& expect : ScriptText::eventExpects(events_, eventsByGroup_, true)) line(expect);
  }

 private:
  std::optional<std::string> step(const Element& message);
  void answered(const std::string& id, const Answer& answer, bool task);

  std::FILE* out_;
  bool live_;
  std::map<std::string, long> eventsByGroup_;  // at most MAX_TRACKED groups told apart
  std::set<std::string> asked_;                // requests without an answer so far, at most MAX_TRACKED
  long events_ = 0;
  long registrations_ = 0;
  bool restartDue_ = false;  // a new connection or a shutdown came before the next request
};

std::optional<std::string> attribute(const Element& element, const char* name) {
  const std::string* value = element.attribute(name);
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

// The script step for a message the provider received, or nothing when a step cannot say it.
std::optional<std::string> Writer::step(const Element& message) {
  auto id = attribute(message, "id");
  auto requestStartedID = attribute(message, "requestStartedID");
  auto subnode = attribute(message, "subnode");
  if (message.name == "startRequestInfo" || message.name == "stopRequestInfo") {
    auto group = attribute(message, "ag");
    if (!requestStartedID || !group) return std::nullopt;
    if (message.name == "startRequestInfo") return ScriptText::start(*requestStartedID, *group, subnode);
    return ScriptText::stop(*requestStartedID, *group, attribute(message, "shuttingDown") == "true", subnode);
  }
  if (message.name == "dataRequest") {
    const Element* group = message.child("attrGroup");
    auto name = group ? attribute(*group, "name") : std::nullopt;
    if (!id || !requestStartedID || !name) return std::nullopt;
    std::vector<Filter> filters;
    for (const auto& info : message.children) {
      if (info.name != "requestInfo") continue;
      auto field = [&](const char* key) { return attribute(info, key).value_or(""); };
      filters.push_back(Filter{field("name"), field("value"), field("op"), field("logOp")});
    }
    return ScriptText::data(*id, *requestStartedID, *name, subnode, filters, false);
  }
  const Element* task = message.child("task");
  if (message.name != "taskRequest" || !id || !task) return std::nullopt;
  auto command = attribute(*task, "command");
  auto user = attribute(*task, "user");
  if (!command || !user) return std::nullopt;
  return ScriptText::task(*id, *command, *user, subnode, false);
}

void Writer::received(const Element& message, const std::string& bytes) {
  if (message.name == "shutdown") {
    restartDue_ = true;
    return;
  }
  if (restartDue_) line("restart");
  restartDue_ = false;
  auto id = attribute(message, "id");
  if (id && asked_.size() < MAX_TRACKED) asked_.insert(*id);
  std::optional<std::string> written = step(message);
  if (written) {
    line(*written);
  } else if (bytes.find('\n') == std::string::npos && bytes.find('\r') == std::string::npos) {
    line("raw " + bytes);
  } else {
    line("# <" + excerpt(message.name) + "> holds a line break, which a raw step cannot send; skipped");
  }
}

void Writer::answered(const std::string& id, const Answer& answer, bool task) {
  if (!asked_.erase(id)) {
    line("# an answer to id " + excerpt(ScriptText::word(id)) +
         ", which the trace does not show asked or answered it before");
    return;
  }
  line("wait id=" + ScriptText::word(id));
  for (const auto& expect : ScriptText::answerExpects(id, answer, task, live_)) line(expect);
}

void Writer::sent(const Element& message) {
  auto id = attribute(message, "id");
  if (message.name == "vexaRegister") {
    restartDue_ = restartDue_ || registrations_++ > 0;
  } else if (message.name == "pureEvent") {
    events_++;
    const Element* group = message.child("attrGroup");
    auto name = group ? attribute(*group, "name") : std::nullopt;
    if (name && (eventsByGroup_.count(*name) || eventsByGroup_.size() < MAX_TRACKED)) eventsByGroup_[*name]++;
  } else if (message.name == "dataResponse" && id) {
    const Element* group = message.child("attrGroup");
    Answer answer;
    if (group && readGroupContent(*group, answer.rows, answer.rc).empty()) answered(*id, answer, false);
  } else if (message.name == "taskResponse" && id) {
    Answer answer;
    long rc = 0;
    if (!parseNumber(attribute(message, "rc").value_or(""), LONG_MIN, LONG_MAX, rc)) return;
    answer.rc = rc;
    for (const auto& output : message.children)
      answer.outputs.push_back(TaskOutput{attribute(output, "value").value_or(""), attribute(output, "inst")});
    answered(*id, answer, true);
  }
}

// One dump being read: its direction, its size, its bytes so far.
struct Dump {
  bool active = false;
  bool received = false;
  bool broken = false;
  std::size_t declared = 0;
  long line = 0;
  std::string bytes;
};

// Reads a title line; false when it starts no dump.
bool startDump(const std::string& line, long number, Dump& dump) {
  bool received = line.find(RECEIVED) != std::string::npos;
  if (!received && line.find(SENT) == std::string::npos) return false;
  std::size_t open = line.rfind('(');
  long count = 0;
  if (open == std::string::npos || line.compare(line.size() - 7, 7, " bytes)") != 0 ||
      !parseNumber(line.substr(open + 1, line.size() - 7 - open - 1), 0, LONG_MAX, count))
    return false;
  dump = Dump{true, received, static_cast<std::size_t>(count) > MAX_DUMP, static_cast<std::size_t>(count), number, {}};
  return true;
}

void endDump(Dump& dump, Writer& writer) {
  if (!dump.active) return;
  dump.active = false;
  std::string where = "# trace line " + std::to_string(dump.line) + ": ";
  if (dump.broken || dump.bytes.size() != dump.declared) {
    writer.line(where + "a dump of " + std::to_string(dump.declared) +
                " bytes that is cut short or unreadable; skipped");
    return;
  }
  StreamParser parser;
  parser.feed(dump.bytes.data(), dump.bytes.size());
  parser.finish();
  for (const auto& item : parser.take()) {
    if (item.kind == StreamItem::MALFORMED) writer.line(where + "a message that is not well-formed; skipped");
    if (item.kind != StreamItem::MESSAGE) continue;
    if (dump.received) {
      writer.received(item.message, dump.bytes);
    } else {
      writer.sent(item.message);
    }
  }
}

// Reads one line of at most MAX_LINE characters (the rest of a longer one is dropped);
// false at the end of the file.
bool readLine(std::FILE* in, std::string& line) {
  line.clear();
  int c;
  while ((c = std::fgetc(in)) != EOF && c != '\n')
    if (line.size() < MAX_LINE) line += static_cast<char>(c);
  return c != EOF || !line.empty();
}

}  // namespace

bool writeScenario(const std::string& path, std::FILE* out, bool live, std::string& error) {
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (!in) {
    error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  Writer writer(out, live);
  writer.line("# Made by agentemu --from-trace: the messages the provider received, its answers as expects");
  Dump dump;
  std::string line;
  for (long number = 1; readLine(in, line); number++) {
    if (dump.active && !dump.broken && readDumpLine(line, dump.bytes.size(), dump.bytes)) {
      dump.broken = dump.bytes.size() > dump.declared;
      continue;
    }
    if (dump.active && dump.broken && line.compare(0, 4, "    ") == 0) continue;
    endDump(dump, writer);
    startDump(line, number, dump);
  }
  endDump(dump, writer);
  std::fclose(in);
  writer.finish();
  std::fflush(out);
  return true;
}

}  // namespace TraceReader
