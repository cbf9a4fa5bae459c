// Trace facility of the host services: per-function trace records, level flags and trace lines.
//
// Every traced function owns one static TRC1_FunctionRecord and reads its level
// flags once at entry through a TraceScope. The flags come from CP_TRACE_LEVEL
// (parsed like strtol with base 0; unset means 0). Lines go to the file named by
// CP_TRACE_FILE (appended to), or to standard error when it is unset.
//
// A line carries a UTC timestamp, the thread id, the source unit and line and the
// function name, then the message text verbatim. A trailing line feed of a format
// makes no empty line. Lines from several threads never interleave, and each line
// is flushed at once. Every function here may be called from any thread, and
// none changes errno.
#ifndef CPCLIENT_HOST_TRACE_H
#define CPCLIENT_HOST_TRACE_H

#include <atomic>
#include <cstdint>

// Level bits.
constexpr uint32_t TRC_DETAIL = 0x01;  // detail lines and data dumps
constexpr uint32_t TRC_EVENTS = 0x40;  // entry and exit events
constexpr uint32_t TRC_ERROR = 0x80;   // error lines

// Event kinds of TRC1_Event.
constexpr int TRC1_ENTRY = 0;        // no value
constexpr int TRC1_EXIT_RESULT = 1;  // value: a 32-bit int
constexpr int TRC1_EXIT = 2;         // no value
constexpr int TRC1_EXIT_TEXT = 3;    // value: a const char*, may be null (a text result)

struct TRC1_Text {
  const char* text;
  int32_t length;
};

// Build information of a module: two counted arrays of texts.
struct TRC1_BuildInfo {
  int32_t fileCount;
  const char* const* files;
  int32_t tagCount;
  const char* const* tags;
};

// One static record per source file.
struct TRC1_UnitRecord {
  uint32_t recordVersion;  // 400
  uint32_t recordFlags;    // 0x8000
  TRC1_Text sourceFile;
  TRC1_Text compileDate;  // 11 characters, "Mmm dd yyyy"
  TRC1_Text compileTime;  // 8 characters, "hh:mm:ss"
  TRC1_Text revision;
  TRC1_Text component;  // "zrw"
  uint32_t reserved[2];
  const TRC1_BuildInfo* (*buildInfo)();
};

// One static record per traced function. The cache is written only by the trace
// facility and is atomic, so records may be shared by threads.
struct TRC1_FunctionRecord {
  const TRC1_UnitRecord* unit;
  const char* functionName;
  int32_t functionNameLength;
  int32_t line;  // source line of the function's opening
  std::atomic<uint32_t>* generation;
  uint32_t recordKind;  // 0x200
  // The cached level flags (low half) and the generation they were read at (high
  // half), in one word written and read whole, so that flags never pair with
  // another generation than their own. 0 at load: no generation matches it.
  std::atomic<uint64_t> cached;
};

// Returns the function's level flags and refreshes the record's cache.
uint32_t TRC1_Sync(TRC1_FunctionRecord* record);
// Writes an entry or exit event; see the kinds above for the one optional value.
void TRC1_Event(TRC1_FunctionRecord* record, int line, int kind, ...);
// Writes one formatted line.
void TRC1_Printf(TRC1_FunctionRecord* record, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Writes the formatted title and count bytes of data as offset, hex and text columns.
void TRC1_Dump(TRC1_FunctionRecord* record, int line, const void* data, int count, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Re-reads CP_TRACE_LEVEL and CP_TRACE_FILE and makes every traced function take
// the new flags at its next entry. Lines written before it keep their destination.
void traceReconfigure();

// One finished trace line, as handed to a sink.
struct TraceLine {
  const char* function;  // the record's function name
  const char* text;      // the message text, without a trailing line feed
  const char* line;      // the whole line as it would be written, with its prefix
};
using TraceSink = void (*)(const TraceLine& line, void* context);

// Sends every trace line to sink instead of the file (null restores the file).
// The sink runs under the trace facility's output lock: it must not trace.
void traceSetSink(TraceSink sink, void* context);

// The source line of a call. As a defaulted parameter it holds the line where the
// call is written; a type of its own, so that it never pairs with an int result.
struct TraceCallLine {
  int value;
};

// Reads a function's level flags once at its entry and, under TRC_EVENTS, brackets
// it with an entry event and one exit event. Use it through CP_TRACE_ENTRY.
// A function without a result sends its exit with exitVoid() before a return; one
// that just ends leaves the exit to the destructor, which knows only the line of
// the function's opening.
class TraceScope {
 public:
  // Inline, and calling out only when the level flags must be read again or an
  // event is sent: a function whose events are off pays two loads and a compare.
  TraceScope(TRC1_FunctionRecord& record, bool events) noexcept
      : record_(record), flags_(flagsOf(record)), entrySent_(false), exitSent_(false) {
    if (events && on(TRC_EVENTS)) sendEntry();
  }
  ~TraceScope() {
    if (entrySent_ && !exitSent_) sendExit(record_.line);
  }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

  bool on(uint32_t bits) const { return (flags_ & bits) != 0; }
  TRC1_FunctionRecord* record() const { return &record_; }

  // Each sends the exit event with the result (once), on the line of the call, and
  // hands the result back, so a return reads: return trc.exit(result);
  int exit(int result, TraceCallLine line = {__builtin_LINE()}) { return exit(line.value, result); }
  bool exit(bool result, TraceCallLine line = {__builtin_LINE()}) { return exit(line.value, result); }
  const char* exit(const char* result, TraceCallLine line = {__builtin_LINE()}) { return exit(line.value, result); }
  // The same with the line given: return trc.exit(__LINE__, result);
  int exit(int line, int result) {
    if (entrySent_ && !exitSent_) sendExitResult(line, result);
    exitSent_ = true;
    return result;
  }
  bool exit(int line, bool result) {
    exit(line, result ? 1 : 0);
    return result;
  }
  const char* exit(int line, const char* result) {
    if (entrySent_ && !exitSent_) sendExitText(line, result);
    exitSent_ = true;
    return result;
  }
  void exitVoid(int line = __builtin_LINE()) {
    if (entrySent_ && !exitSent_) sendExit(line);
    exitSent_ = true;
  }

 private:
  // The flags cached in record at the current generation, else read again.
  static uint32_t flagsOf(TRC1_FunctionRecord& record) {
    uint64_t cached = record.cached.load(std::memory_order_acquire);
    if (static_cast<uint32_t>(cached >> 32) == record.generation->load(std::memory_order_acquire))
      return static_cast<uint32_t>(cached);
    return TRC1_Sync(&record);
  }
  // The events themselves, each keeping errno as it was.
  void sendEntry();
  void sendExit(int line);
  void sendExitResult(int line, int result);
  void sendExitText(int line, const char* result);

  TRC1_FunctionRecord& record_;
  uint32_t flags_;
  bool entrySent_;
  bool exitSent_;
};

namespace cptrace {
const TRC1_BuildInfo* emptyBuildInfo();
}

// Declares the unit record and generation word of one source file; once per .cpp.
#define CP_TRACE_UNIT(revisionText)                                                                           \
  static std::atomic<uint32_t> cpTraceGeneration{1};                                                          \
  static const TRC1_UnitRecord cpTraceUnit = {400,                                                            \
                                              0x8000,                                                         \
                                              {__FILE__, static_cast<int32_t>(sizeof(__FILE__) - 1)},         \
                                              {__DATE__, static_cast<int32_t>(sizeof(__DATE__) - 1)},         \
                                              {__TIME__, static_cast<int32_t>(sizeof(__TIME__) - 1)},         \
                                              {revisionText, static_cast<int32_t>(sizeof(revisionText) - 1)}, \
                                              {"zrw", 3},                                                     \
                                              {0, 0},                                                         \
                                              &cptrace::emptyBuildInfo}

#define CP_TRACE_RECORD_(name)                                                                             \
  {                                                                                                        \
    &cpTraceUnit, name, static_cast<int32_t>(sizeof(name) - 1), __LINE__, &cpTraceGeneration, 0x200, { 0 } \
  }

// Opens a traced function: reads its flags and sends the entry event under TRC_EVENTS.
#define CP_TRACE_ENTRY(scope, name)                                  \
  static TRC1_FunctionRecord scope##Record = CP_TRACE_RECORD_(name); \
  TraceScope scope(scope##Record, true)

// Reads a function's flags for its messages without sending entry and exit events.
#define CP_TRACE_QUIET(scope, name)                                  \
  static TRC1_FunctionRecord scope##Record = CP_TRACE_RECORD_(name); \
  TraceScope scope(scope##Record, false)

// A line under the given level bits.
#define CP_TRACE(scope, bits, ...)                                              \
  do {                                                                          \
    if ((scope).on(bits)) TRC1_Printf((scope).record(), __LINE__, __VA_ARGS__); \
  } while (0)

// A line written whatever the level.
#define CP_TRACE_ALWAYS(scope, ...) TRC1_Printf((scope).record(), __LINE__, __VA_ARGS__)

#endif  // CPCLIENT_HOST_TRACE_H
