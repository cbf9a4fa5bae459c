// The trace facility: level parsing and gating, the line format, files, dumps, threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/Trace.h"
#include "support/TraceCapture.h"

CP_TRACE_UNIT("test");

namespace {

int tracedAdd(int a, int b) {
  CP_TRACE_ENTRY(trc, "tracedAdd");
  CP_TRACE(trc, TRC_DETAIL, "detail %d", a);
  CP_TRACE(trc, TRC_ERROR, "error %d", b);
  CP_TRACE_ALWAYS(trc, "always\n");
  return trc.exit(__LINE__, a + b);
}

void tracedVoid() { CP_TRACE_ENTRY(trc, "tracedVoid"); }

const char* tracedText(const char* value) {
  CP_TRACE_ENTRY(trc, "tracedText");
  return trc.exit(__LINE__, value);
}

TRC1_FunctionRecord* tracedRecord() {
  static TRC1_FunctionRecord record = CP_TRACE_RECORD_("tracedRecord");
  return &record;
}

void dumpBytes(const void* data, int count) {
  CP_TRACE_QUIET(trc, "dumpBytes");
  TRC1_Dump(trc.record(), __LINE__, data, count, "title %d \n", 7);
}

struct LevelCase {
  const char* level;
  std::vector<std::string> texts;
};

TEST(Trace, LevelBitsGateEachKindOfLine) {
  const LevelCase cases[] = {
      {nullptr, {"always"}},
      {"0", {"always"}},
      {"0x01", {"detail 1", "always"}},
      {"128", {"error 2", "always"}},
      {"0xC1", {"> entry", "detail 1", "error 2", "always", "< exit rc=3"}},
      {"193", {"> entry", "detail 1", "error 2", "always", "< exit rc=3"}},
      {"0301", {"> entry", "detail 1", "error 2", "always", "< exit rc=3"}},  // octal, as strtol reads it
      {"0x41", {"> entry", "detail 1", "always", "< exit rc=3"}},
      {"junk", {"always"}},
  };
  for (const LevelCase& c : cases) {
    SCOPED_TRACE(c.level ? c.level : "(unset)");
    TraceCapture capture(0);
    ScopedEnv env("CP_TRACE_LEVEL", c.level);
    traceReconfigure();
    EXPECT_EQ(3, tracedAdd(1, 2));
    EXPECT_EQ(c.texts, capture.texts());
  }
}

TEST(Trace, ExitEventsCarryTheResultOrNone) {
  TraceCapture capture(TRC_EVENTS);
  tracedVoid();
  tracedText("value");
  tracedText(nullptr);
  EXPECT_EQ((std::vector<std::string>{"> entry", "< exit", "> entry", "< exit \"value\"", "> entry", "< exit null"}),
            capture.texts());
}

TEST(Trace, LineCarriesTimeThreadUnitLineAndFunction) {
  TraceCapture capture(0);
  tracedAdd(1, 2);
  std::vector<CapturedLine> lines = capture.lines();
  ASSERT_EQ(1u, lines.size());
  const std::string& line = lines[0].line;
  // 2026-12-08T03:56:49.123456Z 1234 TraceTest.cpp:27 tracedAdd: always
  ASSERT_GT(line.size(), 28u);
  EXPECT_EQ('T', line[10]);
  EXPECT_EQ('Z', line[26]);
  std::string tid = std::to_string(gettid());
  EXPECT_EQ(line.substr(28, tid.size()), tid);
  EXPECT_NE(std::string::npos, line.find(" TraceTest.cpp:"));
  EXPECT_EQ(line.size() - std::string(" tracedAdd: always").size(), line.rfind(" tracedAdd: always"));
}

TEST(Trace, DumpShowsOffsetsHexAndText) {
  TraceCapture capture(0);
  std::string bytes = "<a v=\"1\"/>\n\x01\xff" + std::string(8, 'z');
  dumpBytes(bytes.data(), static_cast<int>(bytes.size()));
  std::vector<CapturedLine> lines = capture.lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("title 7 ", lines[0].text);
  const std::string& whole = lines[0].line;
  EXPECT_NE(std::string::npos, whole.find("title 7  (21 bytes)\n"));
  EXPECT_NE(std::string::npos,
            whole.find("\n    00000000  3c 61 20 76 3d 22 31 22 2f 3e 0a 01 ff 7a 7a 7a  |<a v=\"1\"/>...zzz|"));
  EXPECT_NE(std::string::npos, whole.find("\n    00000010  7a 7a 7a 7a 7a "));
  EXPECT_EQ('|', whole.back());
}

void countBytes(const TraceLine& line, void* total) { *static_cast<size_t*>(total) += strlen(line.line); }

TEST(Trace, DumpTimeGrowsLinearlyWithItsSize) {
  std::vector<unsigned char> data(size_t{32} * 1024, 'x');
  size_t written = 0;
  traceSetSink(&countBytes, &written);
  double fastest[2] = {1e9, 1e9};  // of 4 KB and of 32 KB, over five dumps each
  for (int round = 0; round < 10; round++) {
    auto start = std::chrono::steady_clock::now();
    dumpBytes(data.data(), round % 2 ? 32 * 1024 : 4 * 1024);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    fastest[round % 2] = std::min(fastest[round % 2], took.count());
  }
  traceSetSink(nullptr, nullptr);
  EXPECT_GT(written, 5u * 2048 * 82);
  // Eight times the bytes: about 8 times the time when linear, 64 when quadratic.
  EXPECT_LT(fastest[1] / fastest[0], 24.0) << fastest[0] << " s, " << fastest[1] << " s";
}

TEST(Trace, FileReceivesOneFlushedLinePerMessageFromEveryThread) {
  char path[] = "/tmp/cptraceXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    ScopedEnv file("CP_TRACE_FILE", path);
    ScopedEnv level("CP_TRACE_LEVEL", "0");
    traceReconfigure();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
      threads.emplace_back([] {
        for (int i = 0; i < 200; i++) tracedAdd(i, i);
      });
    for (std::thread& t : threads) t.join();
  }
  traceReconfigure();
  std::ifstream in(path);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    count++;
    ASSERT_EQ(line.size() - 6, line.rfind("always")) << line;
    ASSERT_EQ(1u, std::count(line.begin(), line.end(), 'Z')) << line;
  }
  EXPECT_EQ(800, count);
  unlink(path);
}

constexpr wint_t NO_MULTIBYTE_FORM = 0xD800;  // formatting it fails with EILSEQ

TEST(Trace, TracingLeavesErrnoAlone) {
  void (*const calls[])() = {
      [] { tracedAdd(1, 2); },
      [] { TRC1_Printf(tracedRecord(), __LINE__, "%lc", NO_MULTIBYTE_FORM); },
      [] { TRC1_Dump(tracedRecord(), __LINE__, "ab", 2, "%lc", NO_MULTIBYTE_FORM); },
      [] {
        ScopedEnv file("CP_TRACE_FILE", "/nonexistent-dir/trace");
        traceReconfigure();
      },
  };
  TraceCapture capture(TRC_EVENTS | TRC_DETAIL | TRC_ERROR);
  for (size_t i = 0; i < std::size(calls); i++) {
    SCOPED_TRACE(i);
    errno = 1234;
    calls[i]();
    EXPECT_EQ(1234, errno);
  }
}

// Syncs race with reconfigurations between levels 1 and 2: flags must always match their generation.
// Under the thread sanitizer, whose slow atomics widen the window, a torn pair shows in most runs.
TEST(Trace, CachedFlagsAlwaysPairWithTheirGeneration) {
  static char level[] = "CP_TRACE_LEVEL=1";  // flipped in place: only the reconfiguring thread reads it
  putenv(level);
  TRC1_Sync(tracedRecord());  // registers the unit: each reconfiguration bumps its generation once
  traceReconfigure();
  const uint32_t first = cpTraceGeneration.load();
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  auto race = [&] {
    while (!stop) {
      TRC1_Sync(tracedRecord());
      uint32_t before = cpTraceGeneration.load();
      TraceScope scope(*tracedRecord(), false);
      if (before == cpTraceGeneration.load() && scope.on(TRC_DETAIL) != ((before - first) % 2 == 0)) mismatches++;
    }
  };
  std::thread a(race), b(race), c(race);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (int i = 1; mismatches == 0 && std::chrono::steady_clock::now() < end; i++) {
    level[sizeof level - 2] = i % 2 ? '2' : '1';
    traceReconfigure();
  }
  stop = true;
  a.join(), b.join(), c.join();
  unsetenv("CP_TRACE_LEVEL");
  traceReconfigure();
  EXPECT_EQ(0, mismatches.load());
}

}  // namespace
