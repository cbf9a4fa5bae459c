// agentemu's command line.
#include "Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

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

bool parseLongOption(const std::string& text, long minimum, long maximum, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && errno != ERANGE && value >= minimum && value <= maximum;
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
