// Test fixture piece: sets the trace level and collects every trace line while alive.
#ifndef CPCLIENT_TESTS_SUPPORT_TRACECAPTURE_H
#define CPCLIENT_TESTS_SUPPORT_TRACECAPTURE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct CapturedLine {
  std::string function;
  std::string text;  // message text without prefix or trailing line feed
  std::string line;  // whole line with prefix
};

// Installs itself as the trace sink with the given level flags; on destruction
// restores level 0 and the default output. One capture at a time.
class TraceCapture {
 public:
  explicit TraceCapture(uint32_t level);
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<CapturedLine> lines() const;
  std::vector<std::string> texts() const;
  // True when some line's text equals text exactly.
  bool has(const std::string& text) const;
  // True when some line's text contains fragment.
  bool hasFragment(const std::string& fragment) const;
  // How many line texts equal text exactly.
  int count(const std::string& text) const;
  // Everything captured, one text per line, for failure messages.
  std::string dump() const;
  void clear();

 private:
  static void sink(const struct TraceLine& line, void* context);
  mutable std::mutex mutex_;
  std::vector<CapturedLine> lines_;
};

// Sets an environment variable for the lifetime of the object, restoring the old value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);  // value null: unset
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool hadOld_;
};

#endif  // CPCLIENT_TESTS_SUPPORT_TRACECAPTURE_H
