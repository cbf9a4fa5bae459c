// What a run did over time, for the progress line and the HTML report: each group's
// answers as points (latency against send time), the requests, answers and failures of
// each second, and the violations.
//
// Memory stays bounded whatever the run's length: at most MAX_POINTS points per group
// (beyond, a uniform sample of fixed seed), one bucket per second up to MAX_SECONDS,
// the first MAX_VIOLATIONS violations. Not thread-safe; the conversation thread feeds it.
#ifndef AGENTEMU_TIMELINE_H
#define AGENTEMU_TIMELINE_H

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "Output.h"

class Timeline {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t MAX_POINTS = 5000;
  static constexpr std::size_t MAX_SECONDS = 2 * 86400 + 2;  // a day of load and a day of waiting
  static constexpr std::size_t MAX_VIOLATIONS = 100;

  // One answer: when its request was sent (seconds from the origin) and how long it took.
  struct Point {
    double sentS;
    double latencyMs;
    bool error;  // answered with an error code
    bool late;   // slower than its budget
  };
  // What happened in one second, by the time each thing happened.
  struct Second {
    long sent = 0, answered = 0, errors = 0, late = 0, missing = 0;
  };
  struct Group {
    std::vector<Point> points;  // a sample of the answers, in the order they came
    long answers = 0, errors = 0, late = 0, missing = 0;
  };
  struct ViolationAt {
    double atS;
    std::string kind;
    std::string message;
  };

  // Starts over with origin as time 0; askedRate: the data requests a second asked (0: no load run).
  // The violations so far are kept, their times counted from the new origin (negative: before it).
  void start(Clock::time_point origin, long askedRate);

  // A data request was sent at sentAt.
  void sent(Clock::time_point sentAt);
  // A data request of group, sent at sentAt, was answered (with an error code, late) after ms.
  void answered(const std::string& group, Clock::time_point sentAt, double ms, bool error, bool late);
  // A data request of group was given up as missing now.
  void missing(const std::string& group);
  void violation(const std::string& kind, const std::string& message);

  double secondsSince(Clock::time_point at) const { return std::chrono::duration<double>(at - origin_).count(); }
  long askedRate() const { return askedRate_; }
  long sentCount() const { return sentCount_; }
  long answeredCount() const { return answeredCount_; }
  // The latencies of every answer of every group, for the progress line's p99.
  const LatencyStats& allLatencies() const { return all_; }
  const std::map<std::string, Group>& groups() const { return groups_; }
  const std::vector<Second>& seconds() const { return seconds_; }
  const std::vector<ViolationAt>& violations() const { return violations_; }
  long violationCount() const { return violationCount_; }

 private:
  Second& secondOf(Clock::time_point at);

  Clock::time_point origin_{};
  long askedRate_ = 0;
  long sentCount_ = 0, answeredCount_ = 0, violationCount_ = 0;
  LatencyStats all_;
  std::map<std::string, Group> groups_;
  std::vector<Second> seconds_;
  std::vector<ViolationAt> violations_;
  unsigned long long random_ = 2463534242ULL;
};

#endif
