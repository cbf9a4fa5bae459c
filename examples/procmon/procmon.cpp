// procmon: an example provider in C++ (cpclient.hpp) that serves this machine's
// per-CPU times and memory figures, and survives restarts of the agent.
//
// Groups and their columns (the first is the row's key):
//   CPU     cpu user nice system idle iowait   (/proc/stat, in clock ticks)
//   Memory  name kB                            (/proc/meminfo)
// A filter on the key column with op "EQ" (or none) keeps only the rows with that
// key; other filters are left to the agent. Tasks: "loadavg" answers rc 0 with
// three outputs (instances 1m, 5m, 15m), "echo TEXT" answers rc 0 with TEXT, any
// other command rc 2. Every PROCMON_EVENT_MS milliseconds (default 1000; 0: none)
// a timer sends a Memory event with MemAvailable while the agent is connected.
// SIGINT and SIGTERM end it cleanly (run handles them). The groups declare their
// columns, so a row of another width is refused rather than sent, and
// `procmon --agentemu-columns` prints agentemu's --columns options for them:
//   agentemu $(procmon --agentemu-columns) procmon
#include <chrono>
#include <cpclient.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr int UNKNOWN_TASK_RC = 2;
cpclient::Provider provider;

// True when the request's equality filters on the key column all name key.
bool wanted(const cpclient::Request& request, std::string_view keyColumn, std::string_view key) {
  for (const auto& [name, value, op, logOp] : request.filters())
    if (name == keyColumn && (!op || *op == "EQ") && value != key) return false;
  return true;
}

void serveCpu(const cpclient::Request& request, cpclient::Rows& rows) {
  std::ifstream stat("/proc/stat");
  std::string line, cpu;
  long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0;
  while (std::getline(stat, line) && line.compare(0, 3, "cpu") == 0) {
    std::istringstream(line) >> cpu >> user >> nice >> system >> idle >> iowait;
    if (wanted(request, "cpu", cpu)) rows.add(cpu, user, nice, system, idle, iowait);
  }
  if (!stat.is_open()) rows.error(1);
}

// The value in kB of one /proc/meminfo line's name, or -1.
long long memoryValue(const std::string& wantedName) {
  std::ifstream meminfo("/proc/meminfo");
  std::string name;
  long long kB = 0;
  while (meminfo >> name >> kB && meminfo.ignore(64, '\n'))
    if (name == wantedName + ":") return kB;
  return -1;
}

void serveMemory(const cpclient::Request& request, cpclient::Rows& rows) {
  std::ifstream meminfo("/proc/meminfo");
  std::string name;
  long long kB = 0;
  while (meminfo >> name >> kB && meminfo.ignore(64, '\n')) {
    name.pop_back();  // its ':'
    if (wanted(request, "name", name)) rows.add(name, kB);
  }
  if (!meminfo.eof()) rows.error(1);
}

int runTask(const cpclient::Request& request, cpclient::TaskOutput& out) {
  std::string_view command = request.command().value_or("");
  if (command == "loadavg") {
    double load1 = 0, load5 = 0, load15 = 0;
    std::ifstream("/proc/loadavg") >> load1 >> load5 >> load15;
    out.add(load1, "1m");
    out.add(load5, "5m");
    out.add(load15, "15m");
    return 0;
  }
  if (command.substr(0, 5) != "echo ") return UNKNOWN_TASK_RC;
  out.add(command.substr(5));
  return 0;
}

// Sends MemAvailable as an event; called by run's timer while connected.
void sendEvent() {
  if (std::error_code result = provider.event("Memory", "MemAvailable", memoryValue("MemAvailable")))
    std::fprintf(stderr, "procmon: the event failed: %s\n", result.message().c_str());
}

// The options of a group with these columns and a deadline of a second: a read
// of /proc that hangs is answered with handlerErrorRc instead of holding the group.
cpclient::GroupOptions withColumns(std::vector<std::string> columns) {
  cpclient::GroupOptions options;
  options.columns = std::move(columns);
  options.deadline = std::chrono::seconds(1);
  return options;
}

// Declares the groups, the task and the timer, then runs until the agent shuts down
// or a signal stops the run: 0 then, 1 when the run failed.
int runProvider(int argc, char** argv) {
  provider.group("CPU", 1, serveCpu, withColumns({"cpu", "user", "nice", "system", "idle", "iowait"}));
  provider.group("Memory", 1, serveMemory, withColumns({"name", "kB"}));
  if (argc > 1 && std::string(argv[1]) == "--agentemu-columns")
    return std::puts(provider.agentemuColumns().c_str()) < 0;
  provider.task(runTask);
  const char* period = std::getenv("PROCMON_EVENT_MS");
  int periodMs = period ? std::atoi(period) : 1000;
  if (periodMs > 0) provider.every(std::chrono::milliseconds(periodMs), sendEvent);

  cpclient::RunOptions options;
  options.workers = 2;           // the task and the two groups may run side by side
  options.handleSignals = true;  // SIGINT and SIGTERM stop the run
  cpclient::RunResult result = provider.run(options);
  if (!result.ok()) std::fprintf(stderr, "procmon: %s\n", result.message().c_str());
  return result.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return runProvider(argc, argv);
  } catch (const std::exception& e) {  // a group declared wrongly, or no memory
    std::fprintf(stderr, "procmon: %s\n", e.what());
    return 1;
  }
}
