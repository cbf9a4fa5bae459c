// The --report file: one self-contained HTML page (inline CSS and SVG, no script) that
// shows a run's rates, each group's latencies over time and their distribution, its
// late, error and missing answers, and its violations.
//
// The percentiles and counts come from the same Summary as the text summary, so the
// page and the summary agree. Each answer plotted is an SVG circle with data-sent-s
// and data-ms attributes (its send time in seconds, its latency in ms, as the JSON
// lines round them). Not thread-safe.
#ifndef AGENTEMU_REPORT_H
#define AGENTEMU_REPORT_H

#include <cstdio>
#include <string>

#include "Output.h"
#include "Timeline.h"

class Report {
 public:
  Report() = default;
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;
  ~Report();

  // Opens (creates or truncates) path for the page, so that an unwritable path is found
  // before the run. Returns false with error set when it cannot be opened.
  bool open(const std::string& path, std::string& error);
  bool isOpen() const { return file_ != nullptr; }
  // Writes the page of the run and closes the file. load: what a load run reached, or
  // null for another run. Returns false, after reporting it on standard error, when a
  // write failed.
  bool write(const Timeline& timeline, const Summary& summary, const LoadReport* load);

  // The page itself.
  static std::string page(const Timeline& timeline, const Summary& summary, const LoadReport* load);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

#endif
