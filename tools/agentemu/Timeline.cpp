// What a run did over time, for the progress line and the HTML report.
#include "Timeline.h"

#include <algorithm>

void Timeline::start(Clock::time_point origin, long askedRate) {
  std::vector<ViolationAt> kept = std::move(violations_);
  long violationCount = violationCount_;
  double shiftS = secondsSince(origin);
  *this = Timeline();
  origin_ = origin;
  askedRate_ = askedRate;
  for (auto& violation : kept) violation.atS -= shiftS;
  violations_ = std::move(kept);
  violationCount_ = violationCount;
}

Timeline::Second& Timeline::secondOf(Clock::time_point at) {
  double s = std::max(0.0, secondsSince(at));
  auto index = std::min(static_cast<std::size_t>(s), MAX_SECONDS - 1);
  if (seconds_.size() <= index) seconds_.resize(index + 1);
  return seconds_[index];
}

void Timeline::sent(Clock::time_point sentAt) {
  sentCount_++;
  secondOf(sentAt).sent++;
}

void Timeline::answered(const std::string& group, Clock::time_point sentAt, double ms, bool error, bool late) {
  answeredCount_++;
  all_.add(ms);
  Second& second = secondOf(Clock::now());
  second.answered++;
  second.errors += error ? 1 : 0;
  second.late += late ? 1 : 0;
  Group& line = groups_[group];
  line.answers++;
  line.errors += error ? 1 : 0;
  line.late += late ? 1 : 0;
  Point point{secondsSince(sentAt), ms, error, late};
  if (line.points.size() < MAX_POINTS) {
    line.points.push_back(point);
    return;
  }
  // Reservoir sampling, as LatencyStats does: the answers-th point replaces one with chance MAX_POINTS / answers.
  random_ ^= random_ << 13;
  random_ ^= random_ >> 7;
  random_ ^= random_ << 17;
  unsigned long long slot = random_ % static_cast<unsigned long long>(line.answers);
  if (slot < MAX_POINTS) line.points[slot] = point;
}

void Timeline::missing(const std::string& group) {
  secondOf(Clock::now()).missing++;
  groups_[group].missing++;
}

void Timeline::violation(const std::string& kind, const std::string& message) {
  violationCount_++;
  if (violations_.size() < MAX_VIOLATIONS) violations_.push_back({secondsSince(Clock::now()), kind, message});
}
