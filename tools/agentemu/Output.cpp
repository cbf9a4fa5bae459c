// What agentemu prints: aligned tables for a person, or one JSON object per line.
#include "Output.h"

#include <algorithm>
#include <cmath>

namespace {

const char HOST[] = "127.0.0.1";
const char INDENT[] = "    ";
const char COLUMN_GAP[] = "  ";
const char* const REQUEST_KIND_NAMES[REQUEST_KINDS] = {"start", "data", "stop", "task", "raw", "shutdown"};
// The summary counts every kind before the shutdown.
const std::size_t COUNTED_KINDS = static_cast<std::size_t>(RequestKind::SHUTDOWN);

// Builds one JSON object, keys in the order they are added.
class JsonObject {
 public:
  explicit JsonObject(const char* type) { add("type", std::string(type)); }
  JsonObject& add(const char* key, const std::string& value) {
    return raw(key, "\"" + Output::jsonEscape(value) + "\"");
  }
  JsonObject& add(const char* key, const char* value) { return add(key, std::string(value)); }
  JsonObject& add(const char* key, long value) { return raw(key, std::to_string(value)); }
  JsonObject& add(const char* key, int value) { return raw(key, std::to_string(value)); }
  JsonObject& add(const char* key, bool value) { return raw(key, value ? "true" : "false"); }
  JsonObject& add(const char* key, const std::optional<std::string>& value) {
    return value ? add(key, *value) : raw(key, "null");
  }
  JsonObject& add(const char* key, const std::optional<long>& value) {
    return value ? add(key, *value) : raw(key, "null");
  }
  JsonObject& add(const char* key, const std::optional<int>& value) {
    return value ? add(key, *value) : raw(key, "null");
  }
  JsonObject& latency(const std::optional<double>& ms) {
    if (!ms) return raw("latencyMs", "null");
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", *ms);
    return raw("latencyMs", text);
  }
  JsonObject& raw(const char* key, const std::string& json) {
    text_ += text_.empty() ? "{" : ",";
    text_ += "\"" + std::string(key) + "\":" + json;
    return *this;
  }
  std::string text() const { return text_ + "}"; }

 private:
  std::string text_;
};

std::string jsonStrings(const Row& row) {
  std::string text = "[";
  for (std::size_t c = 0; c < row.size(); c++) text += (c ? ",\"" : "\"") + Output::jsonEscape(row[c]) + "\"";
  return text + "]";
}

std::string jsonRows(const std::vector<Row>& rows) {
  std::string text = "[";
  for (std::size_t r = 0; r < rows.size(); r++) text += (r ? "," : "") + jsonStrings(rows[r]);
  return text + "]";
}

std::string jsonColumns(const Row* columns) { return columns ? jsonStrings(*columns) : "null"; }

// A value as a person reads it: control characters shown as escapes.
std::string display(const std::string& text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      shown += escape;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

// Width on a terminal, counting each UTF-8 sequence as one column.
std::size_t displayWidth(const std::string& text) {
  std::size_t width = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) width++;
  return width;
}

std::string latencyText(const std::optional<double>& ms) {
  if (!ms) return "(never asked)";
  char text[48];
  std::snprintf(text, sizeof text, "(%.3f ms)", *ms);
  return text;
}

std::string plural(std::size_t count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string msText(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

const struct {
  const char* name;
  double fraction;
} PERCENTILES[] = {{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}};

std::string jsonLatency(const LatencyStats& stats) {
  std::string text = "{\"count\":" + std::to_string(stats.count());
  for (const auto& p : PERCENTILES)
    text += ",\"" + std::string(p.name) + "Ms\":" + msText(stats.percentile(p.fraction));
  return text + ",\"maxMs\":" + msText(stats.maxMs()) + "}";
}

std::string latencyLine(const std::string& name, const LatencyStats& stats) {
  std::string text = name + ": " + plural(static_cast<std::size_t>(stats.count()), "answer");
  for (const auto& p : PERCENTILES)
    text += ", " + std::string(p.name) + " " + msText(stats.percentile(p.fraction)) + " ms";
  return text + ", max " + msText(stats.maxMs()) + " ms";
}

}  // namespace

void LatencyStats::add(double ms) {
  count_++;
  max_ = std::max(max_, ms);
  if (samples_.size() < MAX_SAMPLES) {
    samples_.push_back(ms);
    return;
  }
  // Reservoir sampling: the count_-th latency replaces a random sample with chance MAX_SAMPLES / count_.
  random_ ^= random_ << 13;
  random_ ^= random_ >> 7;
  random_ ^= random_ << 17;
  unsigned long long slot = random_ % static_cast<unsigned long long>(count_);
  if (slot < MAX_SAMPLES) samples_[slot] = ms;
}

double LatencyStats::percentile(double fraction) const {
  if (samples_.empty()) return 0;
  std::vector<double> sorted = samples_;
  auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  std::size_t index = rank == 0 ? 0 : rank - 1;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(index), sorted.end());
  return sorted[index];
}

std::string Output::jsonEscape(const std::string& text) {
  std::string escaped;
  for (unsigned char c : text) {
    switch (c) {
      case '"': escaped += "\\\""; break;
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\t': escaped += "\\t"; break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          escaped += escape;
        } else {
          escaped += static_cast<char>(c);
        }
    }
  }
  return escaped;
}

void Output::line(const std::string& text) {
  if (beforeLine_) beforeLine_();
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void Output::table(const std::vector<Row>& rows, const Row* names) {
  std::size_t columns = names ? names->size() : 0;
  for (const auto& row : rows) columns = std::max(columns, row.size());
  // Column 0 holds the row number; the header names each value by its declared name, else its position.
  std::vector<std::vector<std::string>> cells;
  std::vector<std::string> header{"#"};
  for (std::size_t c = 1; c <= columns; c++)
    header.push_back(names && c <= names->size() ? display((*names)[c - 1]) : std::to_string(c));
  cells.push_back(header);
  for (std::size_t r = 0; r < rows.size(); r++) {
    std::vector<std::string> shown{std::to_string(r + 1)};
    for (const auto& value : rows[r]) shown.push_back(display(value));
    cells.push_back(shown);
  }
  std::vector<std::size_t> widths(columns + 1, 0);
  for (const auto& row : cells)
    for (std::size_t c = 0; c < row.size(); c++) widths[c] = std::max(widths[c], displayWidth(row[c]));
  for (const auto& row : cells) {
    std::string text = INDENT;
    for (std::size_t c = 0; c < row.size(); c++) {
      text += row[c];
      if (c + 1 < row.size()) text += std::string(widths[c] - displayWidth(row[c]), ' ') + COLUMN_GAP;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    line(text);
  }
}

void Output::listening(int port, bool byHand) {
  std::string exportLine = "export CP_PORT=" + std::to_string(port);
  if (json_) {
    line(JsonObject("listening").add("host", HOST).add("port", port).add("export", exportLine).text());
    return;
  }
  line("agentemu: listening on " + std::string(HOST) + ":" + std::to_string(port));
  if (byHand) {
    line(exportLine);
    line("agentemu: waiting for a provider to connect");
  }
}

void Output::started(const std::string& command, long pid) {
  if (!json_) line("agentemu: started " + command + " (pid " + std::to_string(pid) + ")");
}

void Output::connected(double latencyMs) {
  if (json_) return;
  char text[64];
  std::snprintf(text, sizeof text, "agentemu: provider connected (%.3f ms)", latencyMs);
  line(text);
}

void Output::registered(std::optional<long> version, const std::vector<RegisteredGroup>& groups, double latencyMs) {
  if (json_) {
    std::string list = "[";
    for (std::size_t i = 0; i < groups.size(); i++) {
      list += i ? "," : "";
      std::string groupVersion = groups[i].version ? std::to_string(*groups[i].version) : "null";
      list += "{\"name\":\"" + jsonEscape(groups[i].name) + "\",\"ver\":" + groupVersion + "}";
    }
    list += "]";
    line(JsonObject("registered").add("ver", version).raw("groups", list).latency(latencyMs).text());
    return;
  }
  line("<- registered " + plural(groups.size(), "group") + " " + latencyText(latencyMs));
  std::size_t width = 0;
  for (const auto& group : groups) width = std::max(width, displayWidth(display(group.name)));
  for (const auto& group : groups) {
    std::string name = display(group.name);
    line(INDENT + name + std::string(width - displayWidth(name), ' ') + "  ver " +
         (group.version ? std::to_string(*group.version) : std::string("?")));
  }
}

const char* requestKindName(RequestKind kind) { return REQUEST_KIND_NAMES[static_cast<std::size_t>(kind)]; }

void Output::sent(const SentRequest& request) {
  if (quiet_) return;
  if (json_) {
    line(JsonObject("sent")
             .add("kind", requestKindName(request.kind))
             .add("id", request.id)
             .add("group", request.group)
             .add("requestStartedID", request.requestStartedID)
             .add("xml", request.xml)
             .text());
    return;
  }
  std::string text = std::string("-> ") + requestKindName(request.kind);
  if (request.group) text += " " + display(*request.group);
  if (request.id) text += " id=" + display(*request.id);
  if (request.requestStartedID) text += " requestStartedID=" + display(*request.requestStartedID);
  if (!request.detail.empty()) text += " " + request.detail;
  line(text);
}

void Output::data(const std::string& id, const std::string& group, const std::vector<Row>& rows,
                  std::optional<double> latencyMs, const Row* columns) {
  if (quiet_) return;
  if (json_) {
    JsonObject object("data");
    object.add("id", id).add("group", group);
    if (columnsShown_) object.raw("columns", jsonColumns(columns));
    line(object.raw("rows", jsonRows(rows)).latency(latencyMs).text());
    return;
  }
  line("<- data " + display(group) + " id=" + display(id) + ": " + plural(rows.size(), "row") + " " +
       latencyText(latencyMs));
  if (!rows.empty()) table(rows, columns);
}

void Output::error(const std::string& id, const std::string& group, long rc, std::optional<double> latencyMs) {
  if (quiet_) return;
  if (json_) {
    line(JsonObject("error").add("id", id).add("group", group).add("rc", rc).latency(latencyMs).text());
    return;
  }
  line("<- error " + display(group) + " id=" + display(id) + ": rc=" + std::to_string(rc) + " " +
       latencyText(latencyMs));
}

void Output::event(const std::string& group, const std::optional<std::string>& subnode, const std::vector<Row>& rows,
                   std::optional<long> rc, const Row* columns) {
  if (quiet_) return;
  if (json_) {
    JsonObject object("event");
    object.add("group", group).add("subnode", subnode);
    if (columnsShown_) object.raw("columns", jsonColumns(columns));
    if (rc) {
      object.raw("rows", "null").add("rc", rc);
    } else {
      object.raw("rows", jsonRows(rows)).raw("rc", "null");
    }
    line(object.text());
    return;
  }
  std::string text = "<- event " + display(group);
  if (subnode) text += " subnode=" + display(*subnode);
  if (rc) {
    line(text + ": error rc=" + std::to_string(*rc));
    return;
  }
  line(text + ": " + plural(rows.size(), "row"));
  if (!rows.empty()) table(rows, columns);
}

void Output::task(const std::string& id, long rc, const std::vector<TaskOutput>& outputs,
                  std::optional<double> latencyMs) {
  if (quiet_) return;
  if (json_) {
    std::string list = "[";
    for (std::size_t i = 0; i < outputs.size(); i++) {
      list += i ? "," : "";
      list += "{\"value\":\"" + jsonEscape(outputs[i].value) +
              "\",\"inst\":" + (outputs[i].inst ? "\"" + jsonEscape(*outputs[i].inst) + "\"" : std::string("null")) +
              "}";
    }
    list += "]";
    line(JsonObject("task").add("id", id).add("rc", rc).raw("outputs", list).latency(latencyMs).text());
    return;
  }
  line("<- task id=" + display(id) + ": rc=" + std::to_string(rc) + " " + latencyText(latencyMs));
  for (const auto& output : outputs)
    line(INDENT + std::string("output ") + display(output.value) +
         (output.inst ? " inst=" + display(*output.inst) : std::string()));
}

void Output::restart(long pauseMs, const std::vector<std::string>& unanswered) {
  if (json_) {
    std::string ids = "[";
    for (std::size_t i = 0; i < unanswered.size(); i++) ids += (i ? ",\"" : "\"") + jsonEscape(unanswered[i]) + "\"";
    line(JsonObject("restart").add("pauseMs", pauseMs).raw("unanswered", ids + "]").text());
    return;
  }
  std::string text = "agentemu: restart: connection closed";
  for (std::size_t i = 0; i < unanswered.size(); i++)
    text += (i ? ", id=" : ", never answered: id=") + display(unanswered[i]);
  line(text + "; listening again in " + std::to_string(pauseMs) + " ms");
}

void Output::violation(const std::string& kind, const std::optional<std::string>& id, const std::string& message) {
  if (json_) {
    line(JsonObject("violation").add("kind", kind).add("id", id).add("message", message).text());
    return;
  }
  line("!! violation " + kind + ": " + display(message));
}

void Output::expectation(int scriptLine, const std::string& text, bool ok, const std::string& message) {
  if (json_) {
    line(JsonObject("expect").add("line", scriptLine).add("text", text).add("ok", ok).add("message", message).text());
    return;
  }
  line(std::string(ok ? "ok " : "!! FAILED ") + "expect " + text + " (line " + std::to_string(scriptLine) + ")" +
       (ok ? std::string() : ": " + message));
}

void Output::load(const LoadReport& r) {
  double sentPerS = r.sendingS > 0 ? static_cast<double>(r.sent) / r.sendingS : 0;
  double answeredPerS = r.answeringS > 0 ? static_cast<double>(r.answered) / r.answeringS : 0;
  char rates[64];
  if (json_) {
    JsonObject object("load");
    object.add("rate", r.rate).raw("durationS", msText(r.durationS));
    object.raw("concurrency", r.concurrency ? std::to_string(r.concurrency) : "null").add("sent", r.sent);
    std::snprintf(rates, sizeof rates, "%.1f", sentPerS);
    object.raw("sentPerS", rates).add("answered", r.answered);
    std::snprintf(rates, sizeof rates, "%.1f", answeredPerS);
    line(object.raw("answeredPerS", rates).add("missing", r.missing).text());
    return;
  }
  std::snprintf(rates, sizeof rates, "%g", r.durationS);
  std::string text = "agentemu: load: asked " + std::to_string(r.rate) + "/s for " + rates + " s (concurrency " +
                     (r.concurrency ? std::to_string(r.concurrency) : std::string("unlimited")) + "): sent " +
                     std::to_string(r.sent);
  std::snprintf(rates, sizeof rates, " (%.1f/s), answered %ld (%.1f/s), missing %ld", sentPerS, r.answered,
                answeredPerS, r.missing);
  line(text + rates);
}

void Output::summary(const Summary& s) {
  if (json_) {
    std::string groups = "[";
    for (std::size_t i = 0; i < s.groups.size(); i++) groups += (i ? ",\"" : "\"") + jsonEscape(s.groups[i]) + "\"";
    groups += "]";
    std::string sent = "{";
    for (std::size_t kind = 0; kind < COUNTED_KINDS; kind++)
      sent += (kind ? ",\"" : "\"") + std::string(REQUEST_KIND_NAMES[kind]) + "\":" + std::to_string(s.sent[kind]);
    sent += "}";
    std::string answers = "{\"data\":" + std::to_string(s.dataAnswers) +
                          ",\"error\":" + std::to_string(s.errorAnswers) +
                          ",\"task\":" + std::to_string(s.taskAnswers) + "}";
    JsonObject object("summary");
    object.raw("groups", groups).raw("sent", sent).raw("answers", answers).add("rows", s.rows).add("events", s.events);
    if (s.restartsShown) object.add("restarts", s.restarts).add("registrations", s.registrations);
    if (s.latencyShown) {
      std::string groupsLatency;
      for (const auto& entry : s.dataLatency)
        groupsLatency +=
            (groupsLatency.empty() ? "\"" : ",\"") + jsonEscape(entry.first) + "\":" + jsonLatency(entry.second);
      std::string tasks = s.taskLatency.count() ? jsonLatency(s.taskLatency) : "null";
      object.raw("latency", "{\"groups\":{" + groupsLatency + "},\"tasks\":" + tasks + "}");
    }
    line(object.add("violations", s.violations)
             .add("expectFailures", s.expectsFailed)
             .add("exitCode", s.exitCode)
             .add("signal", s.signal)
             .add("ok", s.ok)
             .text());
    return;
  }
  std::string groups;
  for (const auto& group : s.groups) groups += (groups.empty() ? "" : ", ") + display(group);
  line("summary");
  line("  groups      " + std::to_string(s.groups.size()) + (groups.empty() ? "" : " (" + groups + ")"));
  std::string sent;
  for (std::size_t kind = 0; kind < COUNTED_KINDS; kind++)
    sent += (kind ? ", " : "") + std::string(REQUEST_KIND_NAMES[kind]) + " " + std::to_string(s.sent[kind]);
  line("  sent        " + sent);
  line("  answers     data " + std::to_string(s.dataAnswers) + " (" + plural(s.rows, "row") + "), error " +
       std::to_string(s.errorAnswers) + ", task " + std::to_string(s.taskAnswers));
  line("  events      " + std::to_string(s.events));
  if (s.restartsShown)
    line("  restarts    " + std::to_string(s.restarts) + " (" + plural(s.registrations, "registration") + ")");
  if (s.latencyShown) {
    std::vector<std::string> lines;
    for (const auto& entry : s.dataLatency) lines.push_back(latencyLine(display(entry.first), entry.second));
    if (s.taskLatency.count()) lines.push_back(latencyLine("tasks", s.taskLatency));
    if (lines.empty()) lines.emplace_back("no answers");
    for (std::size_t i = 0; i < lines.size(); i++) line((i ? "              " : "  latency     ") + lines[i]);
  }
  line("  violations  " + std::to_string(s.violations));
  if (s.expectsPassed + s.expectsFailed > 0)
    line("  expects     " + std::to_string(s.expectsPassed) + " passed, " + std::to_string(s.expectsFailed) +
         " failed");
  std::string provider = s.byHand ? "started by hand" : "did not exit";
  if (s.exitCode) provider = "exited with " + std::to_string(*s.exitCode);
  if (s.signal) provider = "ended by signal " + std::to_string(*s.signal);
  line("  provider    " + provider);
  line(std::string("  result      ") + (s.ok ? "ok" : "FAILED"));
}
