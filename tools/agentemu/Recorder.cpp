// Scenario lines for a recorded run or a trace.
#include "Recorder.h"

#include <cerrno>
#include <cstring>

#include "Match.h"

namespace ScriptText {

namespace {

// The script's filter operators and the codes they are sent as.
const struct {
  const char* symbol;
  const char* op;
} OPERATORS[] = {{"!=", "NE"}, {"<=", "LE"}, {">=", "GE"}, {"=", "EQ"}, {"<", "LT"}, {">", "GT"}};

std::string key(const char* name, const std::string& value) { return std::string(" ") + name + "=" + word(value); }

std::string subnodeKey(const std::optional<std::string>& subnode) { return subnode ? key("subnode", *subnode) : ""; }

}  // namespace

std::string word(const std::string& text) {
  bool plain = !text.empty();
  for (unsigned char c : text) plain = plain && c > ' ' && c != '"' && c != '\\' && c != '=' && c != 0x7f;
  if (plain) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n' || c == '\t') {
      quoted += c == '\n' ? "\\n" : "\\t";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::optional<std::string> filter(const Filter& filter) {
  if (filter.logOp != "AND" || filter.name.empty() || filter.name.find_first_of("=!<>") != std::string::npos)
    return std::nullopt;
  for (const auto& candidate : OPERATORS)
    if (filter.op == candidate.op) return filter.name + candidate.symbol + filter.value;
  return std::nullopt;
}

std::string start(const std::string& requestStartedID, const std::string& group,
                  const std::optional<std::string>& subnode) {
  return "start " + word(group) + key("rsid", requestStartedID) + subnodeKey(subnode);
}

std::string stop(const std::string& requestStartedID, const std::string& group, bool shuttingDown,
                 const std::optional<std::string>& subnode) {
  return "stop " + word(group) + key("rsid", requestStartedID) + subnodeKey(subnode) +
         (shuttingDown ? " shuttingDown=true" : "");
}

std::optional<std::string> data(const std::string& id, const std::string& requestStartedID, const std::string& group,
                                const std::optional<std::string>& subnode, const std::vector<Filter>& filters,
                                bool wait) {
  std::string text = "data " + word(group) + key("id", id) + key("rsid", requestStartedID) + subnodeKey(subnode);
  for (const auto& each : filters) {
    std::optional<std::string> written = filter(each);
    if (!written) return std::nullopt;
    text += key("filter", *written);
  }
  return text + (wait ? "" : " nowait");
}

std::string task(const std::string& id, const std::string& command, const std::string& user,
                 const std::optional<std::string>& subnode, bool wait) {
  return "task " + word(command) + key("id", id) + key("user", user) + subnodeKey(subnode) + (wait ? "" : " nowait");
}

std::vector<std::string> answerExpects(const std::string& id, const Answer& answer, bool task, bool live) {
  std::string of = key("id", id);
  std::vector<std::string> lines;
  double number = 0;
  if (task) {
    lines.push_back("expect rc " + std::to_string(answer.rc ? *answer.rc : 0) + of);
    lines.push_back("expect outputs " + std::to_string(answer.outputs.size()) + of);
    for (std::size_t i = 0; i < answer.outputs.size(); i++) {
      const TaskOutput& output = answer.outputs[i];
      bool moving = live && readDecimal(output.value, number);
      lines.push_back("expect output" + std::string(moving ? "-number " : " ") + std::to_string(i + 1) +
                      (moving ? "" : " " + word(output.value)) + (output.inst ? key("inst", *output.inst) : "") + of);
    }
    return lines;
  }
  if (answer.rc) return {"expect error " + std::to_string(*answer.rc) + of};
  lines.push_back("expect rows " + std::to_string(answer.rows.size()) + of);
  for (std::size_t r = 0; r < answer.rows.size(); r++)
    for (std::size_t c = 0; c < answer.rows[r].size(); c++) {
      bool moving = live && readDecimal(answer.rows[r][c], number);
      lines.push_back("expect cell" + std::string(moving ? "-number " : " ") + std::to_string(r + 1) + " " +
                      std::to_string(c + 1) + (moving ? "" : " " + word(answer.rows[r][c])) + of);
    }
  return lines;
}

std::vector<std::string> eventExpects(long total, const std::map<std::string, long>& byGroup, bool live) {
  std::vector<std::string> lines;
  long least = total;
  bool periodic = false;
  for (const auto& entry : byGroup) {
    bool timed = live && entry.second > PERIODIC_EVENTS;
    periodic = periodic || timed;
    least -= timed ? entry.second - entry.second / 2 : 0;
    lines.push_back("expect events " + std::string(timed ? ">=" : "") +
                    std::to_string(timed ? entry.second / 2 : entry.second) + key("group", entry.first));
  }
  lines.insert(lines.begin(), "expect events " + std::string(periodic ? ">=" : "") + std::to_string(least));
  return lines;
}

}  // namespace ScriptText

Recorder::~Recorder() {
  if (file_) std::fclose(file_);
}

bool Recorder::open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) error = path + ": cannot be written: " + std::strerror(errno);
  return file_ != nullptr;
}

void Recorder::line(const std::string& text) {
  if (!file_) return;
  std::fputs(text.c_str(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}
