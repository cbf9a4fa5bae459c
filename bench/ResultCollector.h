// Keeps every run's figures while printing them, so that ratios can be computed after the run.
#ifndef CPCLIENT_BENCH_RESULTCOLLECTOR_H
#define CPCLIENT_BENCH_RESULTCOLLECTOR_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// One benchmark's figures: the median of its repetitions when there were several,
// else its only run.
struct Result {
  double realNs;                           // wall time per iteration
  std::map<std::string, double> counters;  // rates already per second
  double counter(const std::string& name) const {
    auto it = counters.find(name);
    return it == counters.end() ? 0.0 : it->second;
  }
};

// A console reporter that also remembers each run by its name (the name as
// registered, with google benchmark's suffixes such as "/real_time").
class ResultCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  // The result of the run named name, or name followed by google benchmark's
  // suffixes ("/iterations:4", "/real_time", "/threads:4"); null when none ran.
  const Result* find(const std::string& name) const;
  // The names of the runs that ended with an error, with the error.
  const std::vector<std::string>& failures() const { return failures_; }

 private:
  std::vector<std::pair<std::string, Result>> results_;
  std::vector<std::string> failures_;
};

#endif  // CPCLIENT_BENCH_RESULTCOLLECTOR_H
