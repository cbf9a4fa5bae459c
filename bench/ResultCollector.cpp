// Keeps every run's figures while printing them.
#include "ResultCollector.h"

namespace {

Result resultOf(const benchmark::BenchmarkReporter::Run& run) {
  Result result;
  result.realNs = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
  for (const auto& counter : run.counters) result.counters[counter.first] = counter.second.value;
  return result;
}

}  // namespace

void ResultCollector::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.error_occurred) {
      failures_.push_back(run.benchmark_name() + ": " + run.error_message);
      continue;
    }
    bool aggregate = run.run_type == Run::RT_Aggregate;
    if (aggregate && run.aggregate_name != "median") continue;
    std::string name = run.run_name.str();
    bool replaced = false;
    for (auto& entry : results_) {
      if (entry.first == name) {
        // A median replaces the single repetitions recorded before it.
        if (aggregate) entry.second = resultOf(run);
        replaced = true;
      }
    }
    if (!replaced) results_.emplace_back(name, resultOf(run));
  }
  ConsoleReporter::ReportRuns(runs);
}

const Result* ResultCollector::find(const std::string& name) const {
  for (const auto& entry : results_) {
    const std::string& n = entry.first;
    if (n == name || (n.size() > name.size() && n.compare(0, name.size(), name) == 0 && n[name.size()] == '/'))
      return &entry.second;
  }
  return nullptr;
}
