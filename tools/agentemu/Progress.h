// The progress line of a load run: elapsed and remaining time, requests sent and
// answered, and the p99 latency so far, redrawn in place on a terminal.
//
// It draws only when its stream is a terminal, so that a file or a pipe receives
// nothing; clear() leaves the line empty for the next output. Not thread-safe.
#ifndef AGENTEMU_PROGRESS_H
#define AGENTEMU_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <string>

#include "Timeline.h"

class Progress {
 public:
  using Clock = Timeline::Clock;
  static constexpr std::chrono::milliseconds EVERY{250};

  // Draws on stream, when fd (the stream's descriptor) is a terminal, the run that began
  // at begin and sends for durationS.
  Progress(std::FILE* stream, int fd, Clock::time_point begin, double durationS);

  // When the next drawing is due; far away when nothing is drawn, so that a wait can end at it.
  Clock::time_point due() const { return due_; }
  // Draws timeline's counts when a drawing is due.
  void update(const Timeline& timeline);
  // Erases the line drawn, if any.
  void clear();

  // The line's text at elapsedS seconds: "load 2.5/10 s, 7.5 s left: sent 250, answered 249, p99 0.183 ms".
  static std::string text(const Timeline& timeline, double elapsedS, double durationS);

 private:
  std::FILE* stream_;
  int fd_;
  bool terminal_;
  Clock::time_point begin_, due_;
  double durationS_;
  bool drawn_ = false;
};

#endif
