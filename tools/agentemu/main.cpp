// agentemu: plays the monitoring agent's side of the protocol against one provider.
//
// Listens on 127.0.0.1, starts the provider with CP_PORT (or waits for one started
// by hand), reads its registration, plays the default scenario or a script, sends
// the shutdown, waits for the provider's exit and prints a summary. Exit status:
// 0 when the conversation had no violation, every expect held and the provider
// exited with 0; 1 otherwise; 2 for a usage or set-up error.
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Output.h"
#include "ProviderLink.h"
#include "Recorder.h"
#include "Runner.h"
#include "Scenario.h"
#include "TraceReader.h"

int main(int argc, char** argv) {
  Options options;
  int status = parseOptions(argc, argv, options);
  if (status >= 0) return status;
  std::string error;
  if (!options.tracePath.empty()) {
    if (TraceReader::writeScenario(options.tracePath, stdout, options.live, error)) return EXIT_OK;
    std::fprintf(stderr, "agentemu: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  std::vector<Step> script;
  if (!options.scriptPath.empty()) {
    if (!readScript(options.scriptPath, options.scenario.user, script, error)) {
      std::fprintf(stderr, "agentemu: %s\n", error.c_str());
      return EXIT_USAGE;
    }
  }
  ProviderLink link;
  if (!link.listen(options.port, error)) {
    std::fprintf(stderr, "agentemu: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  Recorder recorder;
  if (!options.recordPath.empty() && !recorder.open(options.recordPath, error)) {
    std::fprintf(stderr, "agentemu: %s\n", error.c_str());
    return EXIT_USAGE;
  }
  Output output(options.json, stdout);
  Runner runner(options, link, output, options.recordPath.empty() ? nullptr : &recorder);
  return runner.run(options.scriptPath.empty() ? nullptr : &script);
}
