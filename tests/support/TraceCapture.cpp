#include "support/TraceCapture.h"

#include <cstdlib>
#include <string>

#include "host/Trace.h"

TraceCapture::TraceCapture(uint32_t level) {
  setenv("CP_TRACE_LEVEL", std::to_string(level).c_str(), 1);
  traceReconfigure();
  traceSetSink(&TraceCapture::sink, this);
}

TraceCapture::~TraceCapture() {
  traceSetSink(nullptr, nullptr);
  unsetenv("CP_TRACE_LEVEL");
  traceReconfigure();
}

void TraceCapture::sink(const TraceLine& line, void* context) {
  auto* self = static_cast<TraceCapture*>(context);
  std::lock_guard<std::mutex> guard(self->mutex_);
  self->lines_.push_back(CapturedLine{line.function, line.text, line.line});
}

std::vector<CapturedLine> TraceCapture::lines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

std::vector<std::string> TraceCapture::texts() const {
  std::vector<std::string> out;
  for (const CapturedLine& l : lines()) out.push_back(l.text);
  return out;
}

bool TraceCapture::has(const std::string& text) const { return count(text) > 0; }

bool TraceCapture::hasFragment(const std::string& fragment) const {
  for (const CapturedLine& l : lines())
    if (l.text.find(fragment) != std::string::npos) return true;
  return false;
}

int TraceCapture::count(const std::string& text) const {
  int n = 0;
  for (const CapturedLine& l : lines())
    if (l.text == text) n++;
  return n;
}

std::string TraceCapture::dump() const {
  std::string out;
  for (const CapturedLine& l : lines()) out += l.function + ": " + l.text + "\n";
  return out;
}

void TraceCapture::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.clear();
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  hadOld_ = old != nullptr;
  if (old) old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (hadOld_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}
