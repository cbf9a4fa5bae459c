// The default scenario and the script reader.
#include "Scenario.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "Excerpt.h"
#include "Match.h"

namespace {

const char EVERY_GROUP[] = "*";
const char LOG_OP_AND[] = "AND";

// The steps that send a request, by name.
const struct {
  const char* name;
  Step::Kind kind;
} REQUEST_STEPS[] = {{"start", Step::START}, {"data", Step::DATA}, {"stop", Step::STOP}, {"task", Step::TASK}};

// One word of a script line; equalsAt is the position of its first '=' outside quotes.
struct Word {
  std::string text;
  std::size_t equalsAt = std::string::npos;
};

bool splitWords(const std::string& line, std::vector<Word>& words, std::string& error) {
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    if (i == line.size()) break;
    Word word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
      if (line[i] != '"') {
        // A run of plain characters is taken at once, so that a long word is copied once.
        std::size_t end = std::min(line.find_first_of(" \t\"", i), line.size());
        const void* equals = std::memchr(line.data() + i, '=', end - i);
        if (equals && word.equalsAt == std::string::npos)
          word.equalsAt =
              word.text.size() + static_cast<std::size_t>(static_cast<const char*>(equals) - (line.data() + i));
        word.text.append(line, i, end - i);
        i = end;
        continue;
      }
      i++;  // just past the opening quote
      for (;;) {
        if (i == line.size()) {
          error = "unterminated quote";
          return false;
        }
        char c = line[i++];
        if (c == '"') break;
        if (c == '\\' && i < line.size()) {
          char escaped = line[i++];
          c = escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
        }
        word.text += c;
      }
    }
    words.push_back(std::move(word));
  }
  return true;
}

// Reads the words after the step's name into step; returns "" or what is wrong.
std::string readRequestWords(const std::vector<Word>& words, Step& step) {
  bool named = false;
  for (std::size_t i = 1; i < words.size(); i++) {
    const Word& word = words[i];
    if (word.equalsAt == std::string::npos) {
      if (!named) {
        (step.kind == Step::TASK ? step.command : step.group) = word.text;
        named = true;
      } else if (word.text == "nowait" && (step.kind == Step::DATA || step.kind == Step::TASK)) {
        step.wait = false;
      } else {
        return "unexpected word " + quotedExcerpt(word.text) + " (quote a value that holds blanks)";
      }
      continue;
    }
    std::string key = word.text.substr(0, word.equalsAt);
    std::string value = word.text.substr(word.equalsAt + 1);
    bool request = step.kind == Step::DATA || step.kind == Step::TASK;
    bool started = step.kind != Step::TASK;
    if (key == "subnode") {
      step.subnode = value;
    } else if (key == "id" && request) {
      step.id = value;
    } else if (key == "rsid" && started) {
      step.requestStartedID = value;
    } else if (key == "user" && step.kind == Step::TASK) {
      step.user = value;
    } else if (key == "filter" && step.kind == Step::DATA) {
      Filter filter;
      if (!parseFilter(value, filter)) return "filter " + quotedExcerpt(value) + " is not NAME<op>VALUE";
      step.filters.push_back(filter);
    } else if (key == "shuttingDown" && step.kind == Step::STOP && (value == "true" || value == "false")) {
      step.shuttingDown = value == "true";
    } else {
      return "unknown or invalid " + quotedExcerpt(word.text);
    }
  }
  if (!named) return step.kind == Step::TASK ? "task needs a command" : "needs a group name (or *)";
  if (step.group == EVERY_GROUP && step.id) return "id= cannot be given for every group";
  return "";
}

// The expect steps: name, how many positional words follow it, the keys they take, the usage,
// and for a value's expect how the value is matched (the NUMBER forms have no value word).
const struct {
  const char* name;
  Expect::What what;
  std::size_t positional;
  const char* keys;  // blank-separated
  const char* usage;
  ValueMatch::Kind match;
} EXPECT_STEPS[] = {
    {"rows", Expect::ROWS, 1, "id", "expect rows N|>=N|<=N [id=ID]", ValueMatch::EXACT},
    {"error", Expect::ERROR, 1, "id", "expect error RC [id=ID]", ValueMatch::EXACT},
    {"cell", Expect::CELL, 3, "id", "expect cell ROW COL TEXT [id=ID] (ROW from 1, COL from 1 or a column name)",
     ValueMatch::EXACT},
    {"cell-number", Expect::CELL, 2, "id min max", "expect cell-number ROW COL [min=A] [max=B] [id=ID]",
     ValueMatch::NUMBER},
    {"cell-match", Expect::CELL, 3, "id", "expect cell-match ROW COL PATTERN [id=ID]", ValueMatch::PATTERN},
    {"rc", Expect::RC, 1, "id", "expect rc RC [id=ID]", ValueMatch::EXACT},
    {"outputs", Expect::OUTPUTS, 1, "id", "expect outputs N|>=N|<=N [id=ID]", ValueMatch::EXACT},
    {"output", Expect::OUTPUT, 2, "id inst", "expect output N VALUE [inst=I] [id=ID] (N from 1)", ValueMatch::EXACT},
    {"output-number", Expect::OUTPUT, 1, "id inst min max", "expect output-number N [min=A] [max=B] [inst=I] [id=ID]",
     ValueMatch::NUMBER},
    {"output-match", Expect::OUTPUT, 2, "id inst", "expect output-match N PATTERN [inst=I] [id=ID]",
     ValueMatch::PATTERN},
    {"no-answer", Expect::NO_ANSWER, 0, "id", "expect no-answer [id=ID]", ValueMatch::EXACT},
    {"events", Expect::EVENTS, 1, "group subnode", "expect events N|>=N|<=N [group=G] [subnode=S]", ValueMatch::EXACT},
    {"event-cell", Expect::EVENT_CELL, 2, "group subnode", "expect event-cell COL TEXT [group=G] [subnode=S]",
     ValueMatch::EXACT},
    {"event-cell-number", Expect::EVENT_CELL, 1, "group subnode min max",
     "expect event-cell-number COL [min=A] [max=B] [group=G] [subnode=S]", ValueMatch::NUMBER},
    {"event-cell-match", Expect::EVENT_CELL, 2, "group subnode",
     "expect event-cell-match COL PATTERN [group=G] [subnode=S]", ValueMatch::PATTERN},
    {"event-error", Expect::EVENT_ERROR, 1, "group subnode", "expect event-error RC [group=G] [subnode=S]",
     ValueMatch::EXACT},
};

// A column as a number from 1 or, failing that, a name to look up in the declared columns.
void readColumn(const std::string& text, Expect& expect) {
  if (!parseNumber(text, 1, LONG_MAX, expect.column)) expect.columnName = text;
}

// Reads the key=value words from words[first] on: the keys among allowed fill expect.
bool readExpectKeys(const std::vector<Word>& words, std::size_t first, const std::string& allowed, Expect& expect) {
  for (std::size_t i = first; i < words.size(); i++) {
    const Word& word = words[i];
    if (word.equalsAt == std::string::npos) return false;
    std::string key = word.text.substr(0, word.equalsAt);
    if ((" " + allowed + " ").find(" " + key + " ") == std::string::npos) return false;
    std::string value = word.text.substr(word.equalsAt + 1);
    double bound = 0;
    if (key == "min" || key == "max") {
      if (!readDecimal(value, bound)) return false;
      (key == "min" ? expect.match.minimum : expect.match.maximum) = bound;
      continue;
    }
    (key == "id" ? expect.id : key == "inst" ? expect.inst : key == "group" ? expect.group : expect.subnode) = value;
  }
  return true;
}

// Reads the positional words of an expect step into expect; false when one is invalid.
// The value word, the last positional one, is read by readExpectWords.
bool readExpectValues(const std::vector<Word>& words, Expect& expect) {
  const std::string first = words.size() > 2 ? words[2].text : std::string();
  switch (expect.what) {
    case Expect::CELL: readColumn(words[3].text, expect); return parseNumber(first, 1, LONG_MAX, expect.row);
    case Expect::EVENT_CELL: readColumn(first, expect); return true;
    case Expect::OUTPUT: return parseNumber(first, 1, LONG_MAX, expect.number);
    case Expect::ERROR:
    case Expect::RC:
    case Expect::EVENT_ERROR: return parseNumber(first, LONG_MIN, LONG_MAX, expect.number);
    case Expect::NO_ANSWER: return true;
    default:
      if (!readCount(first, expect.count)) return false;
      expect.number = expect.count.number;
      return true;
  }
}

std::string readExpectWords(const std::vector<Word>& words, Step& step) {
  const char* usage =
      "expect rows|error|cell|cell-number|cell-match|rc|outputs|output|output-number|output-match|no-answer|events"
      "|event-cell|event-cell-number|event-cell-match|event-error ...";
  if (words.size() < 2) return usage;
  for (const auto& kind : EXPECT_STEPS) {
    if (words[1].text != kind.name) continue;
    step.expect.what = kind.what;
    step.expect.match.kind = kind.match;
    bool ok = words.size() >= 2 + kind.positional && readExpectValues(words, step.expect) &&
              readExpectKeys(words, 2 + kind.positional, kind.keys, step.expect);
    if (!ok) return kind.usage;
    bool valued = (kind.what == Expect::CELL || kind.what == Expect::EVENT_CELL || kind.what == Expect::OUTPUT) &&
                  kind.match != ValueMatch::NUMBER;
    step.expect.match.text = valued ? words[1 + kind.positional].text : "";
    std::string error;
    if (kind.match == ValueMatch::PATTERN && !compilePattern(step.expect.match.text, step.expect.match, error))
      return error;
    return "";
  }
  return usage;
}

// Parses the steps other than requests, expects and raw; returns "" or what is wrong.
std::string readPlainStep(const std::string& name, const std::vector<Word>& words, Step& step) {
  if (name == "sleep") {
    step.kind = Step::SLEEP;
    if (words.size() != 2 || !parseNumber(words[1].text, 0, MAX_PAUSE_MS, step.sleepMs)) return "sleep MS";
    return "";
  }
  if (name == "restart") {
    step.kind = Step::RESTART;
    step.sleepMs = DEFAULT_RESTART_PAUSE_MS;
    if (words.size() > 2 || (words.size() == 2 && !parseNumber(words[1].text, 0, MAX_PAUSE_MS, step.sleepMs)))
      return "restart [PAUSE_MS]";
    return "";
  }
  if (name == "wait") {
    step.kind = Step::WAIT;
    if (words.size() == 2 && words[1].equalsAt == 2 && words[1].text.compare(0, 3, "id=") == 0)
      step.id = words[1].text.substr(3);
    return words.size() == 1 || step.id ? "" : "wait [id=ID]";
  }
  if (name == "wait-events") {
    step.kind = Step::WAIT_EVENTS;
    bool ok = words.size() >= 2 && parseNumber(words[1].text, 0, LONG_MAX, step.expect.number) &&
              readExpectKeys(words, 2, "group subnode", step.expect);
    return ok ? "" : "wait-events N [group=G] [subnode=S]";
  }
  if (name == "columns") {
    step.kind = Step::COLUMNS;
    if (words.size() != 3 || !parseColumnNames(words[2].text, step.names)) return "columns GROUP NAME,NAME,...";
    step.group = words[1].text;
    return "";
  }
  if (name == "shutdown") {
    step.kind = Step::SHUTDOWN;
    if (words.size() != 1) return name + " takes no arguments";
    return "";
  }
  return "unknown step " + quotedExcerpt(name);
}

// Parses one script line that is not blank or a comment; returns "" or what is wrong.
std::string readStep(const std::string& line, const std::string& defaultUser, Step& step) {
  std::size_t start = line.find_first_not_of(" \t");
  std::size_t nameEnd = line.find_first_of(" \t", start);
  std::string name = line.substr(start, nameEnd == std::string::npos ? std::string::npos : nameEnd - start);
  if (name == "raw") {
    step.kind = Step::RAW;
    step.text = nameEnd == std::string::npos ? "" : line.substr(nameEnd + 1);
    if (step.text.empty()) return "raw needs the message text";
    return "";
  }
  std::vector<Word> words;
  std::string error;
  if (!splitWords(line, words, error)) return error;
  for (const auto& request : REQUEST_STEPS) {
    if (name != request.name) continue;
    step.kind = request.kind;
    step.user = defaultUser;
    return readRequestWords(words, step);
  }
  if (name == "expect") {
    step.kind = Step::EXPECT;
    std::size_t textStart = line.find_first_not_of(" \t", nameEnd);
    std::size_t textEnd = line.find_last_not_of(" \t");
    if (textStart != std::string::npos) step.text = line.substr(textStart, textEnd + 1 - textStart);
    return readExpectWords(words, step);
  }
  return readPlainStep(name, words, step);
}

}  // namespace

std::vector<Step> defaultSteps(const std::vector<RegisteredGroup>& groups, const DefaultScenario& scenario) {
  std::vector<Step> steps;
  long dataSteps = 0;
  Step restart;
  restart.kind = Step::RESTART;
  restart.sleepMs = DEFAULT_RESTART_PAUSE_MS;
  for (const auto& group : groups) {
    Step start;
    start.kind = Step::START;
    start.group = group.name;
    steps.push_back(start);
    for (long round = 0; round < scenario.rounds; round++) {
      if (round > 0 && scenario.intervalMs > 0) {
        Step sleep;
        sleep.kind = Step::SLEEP;
        sleep.sleepMs = scenario.intervalMs;
        steps.push_back(sleep);
      }
      Step data;
      data.kind = Step::DATA;
      data.group = group.name;
      data.subnode = scenario.subnode;
      data.filters = scenario.filters;
      steps.push_back(data);
      if (++dataSteps != scenario.restartAfter) continue;
      // The new connection has not seen the group's start: it is sent again, with a fresh id.
      steps.push_back(restart);
      steps.push_back(start);
    }
    Step stop;
    stop.kind = Step::STOP;
    stop.group = group.name;
    steps.push_back(stop);
  }
  for (const auto& command : scenario.tasks) {
    Step task;
    task.kind = Step::TASK;
    task.command = command;
    task.user = scenario.user;
    steps.push_back(task);
  }
  if (scenario.restartAfter > dataSteps) steps.push_back(restart);
  return steps;
}

bool parseNumber(const std::string& text, long minimum, long maximum, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && errno != ERANGE && value >= minimum && value <= maximum;
}

bool parseFilter(const std::string& text, Filter& filter) {
  std::size_t at = text.find_first_of("=!<>", 1);
  if (at == std::string::npos) return false;
  static const struct {
    const char* symbol;
    const char* op;
  } OPERATORS[] = {{"!=", "NE"}, {"<=", "LE"}, {">=", "GE"}, {"=", "EQ"}, {"<", "LT"}, {">", "GT"}};
  for (const auto& candidate : OPERATORS) {
    std::string symbol = candidate.symbol;
    if (text.compare(at, symbol.size(), symbol) != 0) continue;
    filter = Filter{text.substr(0, at), text.substr(at + symbol.size()), candidate.op, LOG_OP_AND};
    return true;
  }
  return false;  // a lone '!'
}

bool parseColumnNames(const std::string& text, Row& names) {
  names.clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = text.find(',', start);
    names.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (names.back().empty()) return false;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool readScript(const std::string& path, const std::string& defaultUser, std::vector<Step>& steps, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::string line;
  bool shutdownSeen = false;
  for (int number = 1; std::getline(in, line); number++) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    Step step;
    step.line = number;
    std::string problem = readStep(line, defaultUser, step);
    if (problem.empty() && shutdownSeen && step.kind != Step::EXPECT) problem = "only expect steps may follow shutdown";
    if (!problem.empty()) {
      error = path + ":" + std::to_string(number) + ": ";
      error += problem;
      return false;
    }
    shutdownSeen = shutdownSeen || step.kind == Step::SHUTDOWN;
    steps.push_back(step);
  }
  return true;
}
