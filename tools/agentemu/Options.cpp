// agentemu's command line: one table of options gives both the parsing and the usage text.
#include "Options.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "Excerpt.h"

namespace {

const char DEFAULT_USER[] = "agentemu";

const char USAGE_HEAD[] =
    "usage: agentemu [options] [--] PROVIDER [ARGS...]\n"
    "       agentemu [options]            (wait for a provider started by hand)\n"
    "\n"
    "Plays the monitoring agent on 127.0.0.1 against one provider.\n"
    "\n";
const char USAGE_TAIL[] =
    "\n"
    "Exit status: 0 no violation and the provider exited with 0; 1 otherwise;\n"
    "2 usage or set-up error.\n";
// The usage text's column for the options' descriptions.
const std::size_t DESCRIPTION_COLUMN = 21;
// The smallest --max-message: room for a registration of a few groups.
const long MIN_MAX_MESSAGE = 1024;

// One option of the command line. Its value comes as the next argument or after '='.
struct OptionSpec {
  const char* name;
  const char* valueName;  // the value's word in the usage text; null for an option without a value
  const char* help;       // its description in the usage text; a line feed starts a continuation line
  bool shapesDefault;     // it shapes the default scenario, so it cannot go with --script
  bool (*apply)(const std::string& value, Options& options);  // false: the value is invalid
};

const OptionSpec OPTIONS[] = {
    {"--port", "N", "listen on port N (default: a free port)", false,
     [](const std::string& value, Options& options) {
       long port = 0;
       bool ok = parseNumber(value, 0, 65535, port);
       options.port = static_cast<int>(port);
       return ok;
     }},
    {"--rounds", "N", "data requests per registered group (default 1)", true,
     [](const std::string& value, Options& options) {
       return parseNumber(value, 0, 1000000, options.scenario.rounds);
     }},
    {"--interval", "MS", "pause between two rounds of one group (default 0)", true,
     [](const std::string& value, Options& options) {
       return parseNumber(value, 0, MAX_PAUSE_MS, options.scenario.intervalMs);
     }},
    {"--task", "COMMAND", "add a task request after the groups (repeatable)", true,
     [](const std::string& value, Options& options) {
       options.scenario.tasks.push_back(value);
       return true;
     }},
    {"--user", "USER", "user of task requests (default agentemu)", false,
     [](const std::string& value, Options& options) {
       options.scenario.user = value;
       return true;
     }},
    {"--filter", "FILTER",
     "add a requestInfo filter NAME=VALUE (or !=, <, <=, >, >=) to\nevery data request (repeatable)", true,
     [](const std::string& value, Options& options) {
       Filter filter;
       bool ok = parseFilter(value, filter);
       options.scenario.filters.push_back(filter);
       return ok;
     }},
    {"--subnode", "S", "send data requests with subnode S", true,
     [](const std::string& value, Options& options) {
       options.scenario.subnode = value;
       return true;
     }},
    {"--restart-after", "N",
     "restart the agent after the Nth data request (of all\ngroups); the provider must connect and register again",
     true,
     [](const std::string& value, Options& options) {
       return parseNumber(value, 1, 1000000000, options.scenario.restartAfter);
     }},
    {"--script", "FILE", "play FILE instead of the default scenario", false,
     [](const std::string& value, Options& options) {
       options.scriptPath = value;
       return true;
     }},
    {"--record", "FILE", "write the conversation to FILE as a scenario whose expects\nare the answers received", false,
     [](const std::string& value, Options& options) {
       options.recordPath = value;
       return !value.empty();
     }},
    {"--from-trace", "FILE",
     "print the script that replays the library trace FILE\n(written at level 0x01), and stop; takes no provider",
     false,
     [](const std::string& value, Options& options) {
       options.tracePath = value;
       return !value.empty();
     }},
    {"--live", nullptr,
     "with --record or --from-trace: numbers are expected as any\nnumber, periodic events at least half as often",
     false, [](const std::string&, Options& options) { return options.live = true; }},
    {"--timeout", "S", "seconds to wait for the connection, each answer and the exit\n(default 10)", false,
     [](const std::string& value, Options& options) {
       char* end = nullptr;
       options.timeoutS = std::strtod(value.c_str(), &end);
       return !value.empty() && *end == '\0' && options.timeoutS > 0 && options.timeoutS <= 86400;
     }},
    {"--max-message", "BYTES",
     "a message of the provider longer than BYTES is a violation\nthat ends the conversation (default 64 MiB)", false,
     [](const std::string& value, Options& options) {
       long bytes = 0;
       bool ok = parseNumber(value, MIN_MAX_MESSAGE, LONG_MAX, bytes);
       options.maxMessage = static_cast<std::size_t>(bytes);
       return ok;
     }},
    {"--columns", "G=N,N,..",
     "name the values of group G's rows in tables, JSON and\nexpects; other row widths are violations (repeatable)",
     false,
     [](const std::string& value, Options& options) {
       std::size_t equals = value.find('=');
       Row names;
       if (equals == 0 || equals == std::string::npos || !parseColumnNames(value.substr(equals + 1), names))
         return false;
       options.columns.emplace_back(value.substr(0, equals), names);
       return true;
     }},
    {"--budget-ms", "[G=]N",
     "an answer (of group G) slower than N ms is a violation;\nthe summary shows latency percentiles (repeatable)",
     false,
     [](const std::string& value, Options& options) {
       std::size_t equals = value.find('=');
       long ms = 0;
       if (equals == 0 || !parseNumber(value.substr(equals == std::string::npos ? 0 : equals + 1), 0, MAX_PAUSE_MS, ms))
         return false;
       if (equals == std::string::npos) {
         options.budgetMs = ms;
       } else {
         options.groupBudgetsMs[value.substr(0, equals)] = ms;
       }
       return true;
     }},
    {"--latency", nullptr, "show the latency percentiles by group and of tasks", false,
     [](const std::string&, Options& options) { return options.latency = true; }},
    {"--load", "RATE",
     "instead of the default scenario, send RATE data requests a\nsecond, spread over the groups, and report what was "
     "reached",
     true, [](const std::string& value, Options& options) { return parseNumber(value, 1, 1000000, options.loadRate); }},
    {"--duration", "S", "seconds (fractions allowed) of the --load run (default 10)", false,
     [](const std::string& value, Options& options) {
       char* end = nullptr;
       options.durationS = std::strtod(value.c_str(), &end);
       options.loadShaped = true;
       return !value.empty() && *end == '\0' && options.durationS > 0 && options.durationS <= 86400;
     }},
    {"--concurrency", "N", "at most N requests of the --load run wait for their answer\n(default: no limit)", false,
     [](const std::string& value, Options& options) {
       options.loadShaped = true;
       return parseNumber(value, 1, 100000, options.concurrency);
     }},
    {"--report", "FILE",
     "write the run as one HTML page to FILE: rates, latencies\nover time and their distribution by group, violations",
     false,
     [](const std::string& value, Options& options) {
       options.reportPath = value;
       return !value.empty();
     }},
    {"--json", nullptr, "one JSON object per line instead of tables", false,
     [](const std::string&, Options& options) { return options.json = true; }},
    {"--help", nullptr, "this text", false, [](const std::string&, Options& options) { return options.help = true; }},
};

std::string usage() {
  std::string text = USAGE_HEAD;
  for (const auto& option : OPTIONS) {
    std::string line = std::string("  ") + option.name + (option.valueName ? std::string(" ") + option.valueName : "");
    line.resize(std::max(line.size() + 1, DESCRIPTION_COLUMN), ' ');
    // Continuation lines line up with the first, which a long option pushes right.
    std::size_t column = line.size();
    for (const char* c = option.help; *c; c++)
      line += *c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, *c);
    text += line + "\n";
  }
  return text + USAGE_TAIL;
}

const OptionSpec* findOption(const std::string& name) {
  for (const auto& option : OPTIONS)
    if (name == option.name) return &option;
  return nullptr;
}

// What is wrong with the combination of the load options with the others, or "".
std::string loadConflict(const Options& options) {
  if (!options.loadRate) return options.loadShaped ? "--duration and --concurrency need --load" : "";
  if (!options.recordPath.empty()) return "--record cannot be combined with --load";
  for (const auto& name : options.defaultOnly)
    if (name != "--load" && name != "--filter" && name != "--subnode")
      return name + " cannot be combined with --load, which plays a scenario of its own";
  return "";
}

}  // namespace

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
    std::size_t equals = arg.find('=');
    std::string name = arg.substr(0, equals);
    const OptionSpec* option = findOption(name);
    if (!option) {
      std::fprintf(stderr, "agentemu: unknown option %s\n%s", excerpt(name).c_str(), usage().c_str());
      return EXIT_USAGE;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (option->valueName) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "agentemu: %s needs a value\n", name.c_str());
        return EXIT_USAGE;
      }
      value = argv[++i];
    }
    if (!option->apply(value, options)) {
      std::fprintf(stderr, "agentemu: invalid value for %s: %s\n", name.c_str(), excerpt(value).c_str());
      return EXIT_USAGE;
    }
    if (options.help) {
      std::fputs(usage().c_str(), stdout);
      return EXIT_OK;
    }
    if (option->shapesDefault) options.defaultOnly.push_back(name);
  }
  for (; i < argc; i++) options.provider.push_back(argv[i]);
  if (!options.tracePath.empty() && !options.provider.empty()) {
    std::fprintf(stderr, "agentemu: --from-trace takes no provider\n");
    return EXIT_USAGE;
  }
  if (options.live && options.recordPath.empty() && options.tracePath.empty()) {
    std::fprintf(stderr, "agentemu: --live needs --record or --from-trace\n");
    return EXIT_USAGE;
  }
  if (std::string conflict = loadConflict(options); !conflict.empty()) {
    std::fprintf(stderr, "agentemu: %s\n", conflict.c_str());
    return EXIT_USAGE;
  }
  if (!options.scriptPath.empty() && !options.defaultOnly.empty()) {
    std::fprintf(stderr, "agentemu: %s shapes the default scenario and cannot be combined with --script\n",
                 options.defaultOnly.front().c_str());
    return EXIT_USAGE;
  }
  return -1;
}
