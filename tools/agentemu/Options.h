// agentemu's command line: the options, their usage text, and the exit statuses.
#ifndef AGENTEMU_OPTIONS_H
#define AGENTEMU_OPTIONS_H

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Scenario.h"
#include "StreamParser.h"

// Exit statuses: no violation and the provider exited with 0; anything else; usage or set-up error.
const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const double DEFAULT_TIMEOUT_S = 10.0;

struct Options {
  int port = 0;
  DefaultScenario scenario;
  std::vector<std::string> defaultOnly;  // options that shape the default scenario, for the --script check
  std::string scriptPath;
  std::string recordPath;
  std::string reportPath;  // --report: the run's HTML page is written there
  std::string tracePath;   // --from-trace: print the script made from this trace, and stop  // --record: the
                           // conversation is written there as a scenario
  double timeoutS = DEFAULT_TIMEOUT_S;
  std::size_t maxMessage = StreamParser::DEFAULT_MAX_MESSAGE;  // --max-message: the longest message taken
  std::vector<std::pair<std::string, Row>> columns;            // --columns: group, its value names
  std::optional<long> budgetMs;                                // --budget-ms N
  std::map<std::string, long> groupBudgetsMs;                  // --budget-ms GROUP=N
  bool latency = false;
  bool live = false;        // --live: --record and --from-trace expect numbers by kind and periodic events at least
  long loadRate = 0;        // --load: data requests per second; 0 no load run
  double durationS = 10;    // --duration
  long concurrency = 0;     // --concurrency: most requests waiting at once; 0 no limit
  bool loadShaped = false;  // --duration or --concurrency was given                              // --latency: the
                            // percentiles in the summary
  bool json = false;
  bool help = false;  // --help: print the usage and stop
  std::vector<std::string> provider;
};

// Reads the command line into options. Returns -1 to go on, or the exit status
// (--help: EXIT_OK after printing the usage; an error: EXIT_USAGE after reporting it).
int parseOptions(int argc, char** argv, Options& options);

#endif
