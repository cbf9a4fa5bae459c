// The progress line of a load run on a terminal.
#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace {
// Back to the line's start, and erase to its end.
const char ERASE_LINE[] = "\r\033[K";
}  // namespace

Progress::Progress(std::FILE* stream, int fd, Clock::time_point begin, double durationS)
    : stream_(stream),
      fd_(fd),
      terminal_(isatty(fd) == 1),
      begin_(begin),
      due_(terminal_ ? begin : Clock::time_point::max()),
      durationS_(durationS) {}

std::string Progress::text(const Timeline& timeline, double elapsedS, double durationS) {
  char line[160];
  const LatencyStats& all = timeline.allLatencies();
  std::string p99 = "-";
  if (all.count()) {
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.3f ms", all.percentile(0.99));
    p99 = ms;
  }
  std::snprintf(line, sizeof line, "load %.1f/%g s, %.1f s left: sent %ld, answered %ld, p99 %s", elapsedS, durationS,
                std::max(0.0, durationS - elapsedS), timeline.sentCount(), timeline.answeredCount(), p99.c_str());
  return line;
}

void Progress::update(const Timeline& timeline) {
  Clock::time_point now = Clock::now();
  if (!terminal_ || now < due_) return;
  due_ = now + EVERY;
  double elapsedS = std::chrono::duration<double>(now - begin_).count();
  std::string line = text(timeline, elapsedS, durationS_);
  // Cut to the terminal's width: a line that wraps could not be redrawn in place.
  struct winsize size {};
  if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col) line.resize(size.ws_col - 1);
  std::fprintf(stream_, "\r%s\033[K", line.c_str());
  std::fflush(stream_);
  drawn_ = true;
}

void Progress::clear() {
  if (!drawn_) return;
  std::fputs(ERASE_LINE, stream_);
  std::fflush(stream_);
  drawn_ = false;
}
