// Trace facility: level flags from the environment, one locked, flushed write per line.
#include "host/Trace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

// Generation words of the units that have synced at least once; bumping them
// makes every record of the unit take the new flags at its next entry.
constexpr int MAX_UNITS = 64;

// Longest dump line: line feed, indent, offset, 16 hex columns and 16 text bytes.
constexpr size_t MAX_DUMP_LINE = 5 + 8 + 1 + 16 * 3 + 3 + 16 + 1;

struct TraceState {
  std::mutex mutex;  // guards everything below and every write of a line
  bool configured = false;
  uint32_t level = 0;
  FILE* file = nullptr;  // null: standard error
  TraceSink sink = nullptr;
  void* sinkContext = nullptr;
  std::atomic<uint32_t>* units[MAX_UNITS] = {};
  int unitCount = 0;
};

TraceState& state() {
  static TraceState* s = new TraceState;  // never destroyed: traces may run during unload
  return *s;
}

void configureLocked(TraceState& s) {
  const char* levelText = getenv("CP_TRACE_LEVEL");
  s.level = levelText ? static_cast<uint32_t>(strtol(levelText, nullptr, 0)) : 0;
  if (s.file) {
    fclose(s.file);
    s.file = nullptr;
  }
  const char* path = getenv("CP_TRACE_FILE");
  if (path && *path) s.file = fopen(path, "a");
  s.configured = true;
}

void registerUnitLocked(TraceState& s, std::atomic<uint32_t>* generation) {
  for (int i = 0; i < s.unitCount; i++)
    if (s.units[i] == generation) return;
  if (s.unitCount < MAX_UNITS) s.units[s.unitCount++] = generation;
}

// Restores the caller's errno when it goes out of scope: tracing never disturbs it,
// even when formatting, allocation or opening the file fails.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }
  ErrnoGuard(const ErrnoGuard&) = delete;
  ErrnoGuard& operator=(const ErrnoGuard&) = delete;

 private:
  int saved_;
};

const char* baseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// A growable text for one line. It grows geometrically, so appending is linear in
// the final length. When memory is short the text is cut where growth failed and
// takes nothing more, so it never has a gap.
class LineText {
 public:
  LineText() { small_[0] = 0; }
  ~LineText() {
    if (data_ != small_) free(data_);
  }
  LineText(const LineText&) = delete;
  LineText& operator=(const LineText&) = delete;

  void vappend(const char* format, va_list args) {
    if (cut_) return;
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(data_ + length_, capacity_ - length_, format, copy);
    va_end(copy);
    if (n < 0) {
      data_[length_] = 0;
      return;
    }
    if (static_cast<size_t>(n) >= capacity_ - length_ && reserve(length_ + n + 1)) {
      vsnprintf(data_ + length_, capacity_ - length_, format, args);
    }
    length_ += static_cast<size_t>(n) < capacity_ - length_ ? n : capacity_ - length_ - 1;
  }
  void appendBytes(const char* bytes, size_t count) {
    if (cut_) return;
    if (count >= capacity_ - length_ && !reserve(length_ + count + 1)) count = capacity_ - length_ - 1;
    memcpy(data_ + length_, bytes, count);
    length_ += count;
    data_[length_] = 0;
  }
  // Makes room for more bytes at once; without the memory, growth is left to the appends.
  void expect(size_t more) {
    if (more < SIZE_MAX - length_ - 1) reserve(length_ + more + 1, false);
  }
  void append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    vappend(format, args);
    va_end(args);
  }
  void chopLineFeed() {
    while (length_ > 0 && data_[length_ - 1] == '\n') data_[--length_] = 0;
  }
  const char* c_str() const { return data_; }
  size_t length() const { return length_; }

 private:
  // Grows to at least size, doubling when that is more; cutOnFailure marks the text cut.
  bool reserve(size_t size, bool cutOnFailure = true) {
    if (size <= capacity_) return true;
    size_t wanted = capacity_ <= SIZE_MAX / 2 && capacity_ * 2 > size ? capacity_ * 2 : size;
    char* bigger = static_cast<char*>(malloc(wanted));
    if (!bigger && wanted > size) bigger = static_cast<char*>(malloc(wanted = size));
    if (!bigger) {
      cut_ = cut_ || cutOnFailure;
      return false;
    }
    memcpy(bigger, data_, length_ + 1);
    if (data_ != small_) free(data_);
    data_ = bigger;
    capacity_ = wanted;
    return true;
  }
  char small_[512];
  char* data_ = small_;
  size_t capacity_ = sizeof(small_);
  size_t length_ = 0;
  bool cut_ = false;
};

void appendPrefix(LineText& out, const TRC1_FunctionRecord* record, int line) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts;
  gmtime_r(&now.tv_sec, &parts);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &parts);
  out.append("%s.%06ldZ %ld %s:%d %s: ", stamp, now.tv_nsec / 1000, static_cast<long>(syscall(SYS_gettid)),
             baseName(record->unit->sourceFile.text), line, record->functionName);
}

// Writes one finished line (or block of lines) under the output lock.
void emit(const TRC1_FunctionRecord* record, const LineText& whole, const char* text) {
  TraceState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!s.configured) configureLocked(s);
  if (s.sink) {
    s.sink(TraceLine{record->functionName, text, whole.c_str()}, s.sinkContext);
  } else {
    FILE* out = s.file ? s.file : stderr;
    fwrite(whole.c_str(), 1, whole.length(), out);
    fputc('\n', out);
    fflush(out);
  }
}

void writeLine(const TRC1_FunctionRecord* record, int line, const char* format, va_list args) {
  LineText text;
  text.vappend(format, args);
  text.chopLineFeed();
  LineText whole;
  appendPrefix(whole, record, line);
  whole.append("%s", text.c_str());
  emit(record, whole, text.c_str());
}

void writeFormatted(const TRC1_FunctionRecord* record, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void writeFormatted(const TRC1_FunctionRecord* record, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(record, line, format, args);
  va_end(args);
}

uint64_t cacheWord(uint32_t flags, uint32_t generation) { return static_cast<uint64_t>(generation) << 32 | flags; }

// Appends one dump line of up to 16 bytes from offset: offset, hex and text columns.
// Formatted by hand into a fixed buffer: a large dump is many lines.
void appendDumpLine(LineText& out, const unsigned char* bytes, size_t count, size_t offset) {
  static const char HEX[] = "0123456789abcdef";
  char line[MAX_DUMP_LINE];
  size_t at = 0;
  // The line is counted by `at`, never terminated.
  memcpy(line, "\n    ", 5);  // NOLINT(bugprone-not-null-terminated-result)
  at += 5;
  uint32_t shown = static_cast<uint32_t>(offset);  // the column is 8 hex digits wide
  for (int shift = 28; shift >= 0; shift -= 4) line[at++] = HEX[(shown >> shift) & 0xf];
  line[at++] = ' ';
  for (size_t i = 0; i < 16; i++) {
    line[at++] = ' ';
    if (offset + i < count) {
      line[at++] = HEX[bytes[offset + i] >> 4];
      line[at++] = HEX[bytes[offset + i] & 0xf];
    } else {
      line[at++] = ' ';
      line[at++] = ' ';
    }
  }
  memcpy(line + at, "  |", 3);  // NOLINT(bugprone-not-null-terminated-result)
  at += 3;
  for (size_t i = 0; i < 16 && offset + i < count; i++) {
    unsigned char c = bytes[offset + i];
    line[at++] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
  }
  line[at++] = '|';
  out.appendBytes(line, at);
}

}  // namespace

namespace cptrace {
const TRC1_BuildInfo* emptyBuildInfo() {
  static const TRC1_BuildInfo info = {0, nullptr, 0, nullptr};
  return &info;
}
}  // namespace cptrace

uint32_t TRC1_Sync(TRC1_FunctionRecord* record) {
  ErrnoGuard keepErrno;
  TraceState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!s.configured) configureLocked(s);
  registerUnitLocked(s, record->generation);
  // Stored under the lock, so the last pair stored is always the newest one read.
  record->cached.store(cacheWord(s.level, record->generation->load(std::memory_order_acquire)),
                       std::memory_order_release);
  return s.level;
}

void TRC1_Event(TRC1_FunctionRecord* record, int line, int kind, ...) {
  ErrnoGuard keepErrno;
  va_list args;
  va_start(args, kind);
  switch (kind) {
    case TRC1_ENTRY: writeFormatted(record, line, "> entry"); break;
    case TRC1_EXIT_RESULT: writeFormatted(record, line, "< exit rc=%d", va_arg(args, int)); break;
    case TRC1_EXIT_TEXT: {
      const char* value = va_arg(args, const char*);
      if (value)
        writeFormatted(record, line, "< exit \"%s\"", value);
      else
        writeFormatted(record, line, "< exit null");
      break;
    }
    default: writeFormatted(record, line, "< exit"); break;
  }
  va_end(args);
}

void TRC1_Printf(TRC1_FunctionRecord* record, int line, const char* format, ...) {
  ErrnoGuard keepErrno;
  va_list args;
  va_start(args, format);
  writeLine(record, line, format, args);
  va_end(args);
}

void TRC1_Dump(TRC1_FunctionRecord* record, int line, const void* data, int count, const char* format, ...) {
  ErrnoGuard keepErrno;
  LineText title;
  va_list args;
  va_start(args, format);
  title.vappend(format, args);
  va_end(args);
  title.chopLineFeed();

  LineText whole;
  appendPrefix(whole, record, line);
  whole.append("%s (%d bytes)", title.c_str(), count);
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  size_t length = bytes && count > 0 ? static_cast<size_t>(count) : 0;
  whole.expect((length + 15) / 16 * MAX_DUMP_LINE);
  for (size_t offset = 0; offset < length; offset += 16) appendDumpLine(whole, bytes, length, offset);
  emit(record, whole, title.c_str());
}

void traceReconfigure() {
  ErrnoGuard keepErrno;
  TraceState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  configureLocked(s);
  for (int i = 0; i < s.unitCount; i++) s.units[i]->fetch_add(1, std::memory_order_acq_rel);
}

void traceSetSink(TraceSink sink, void* context) {
  ErrnoGuard keepErrno;
  TraceState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.sink = sink;
  s.sinkContext = context;
}

void TraceScope::sendEntry() {
  ErrnoGuard keepErrno;
  TRC1_Event(&record_, record_.line, TRC1_ENTRY);
  entrySent_ = true;
}

void TraceScope::sendExit(int line) {
  ErrnoGuard keepErrno;
  TRC1_Event(&record_, line, TRC1_EXIT);
}

void TraceScope::sendExitResult(int line, int result) {
  ErrnoGuard keepErrno;
  TRC1_Event(&record_, line, TRC1_EXIT_RESULT, result);
}

void TraceScope::sendExitText(int line, const char* result) {
  ErrnoGuard keepErrno;
  TRC1_Event(&record_, line, TRC1_EXIT_TEXT, result);
}
