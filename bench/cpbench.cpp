// Benchmarks of the library's hot paths beside the libraries a provider might use instead.
//
// Every figure that matters is a ratio between two rows of one run: the machine
// is shared, so absolute times are noise. The set-up checks first that every
// compared builder produces the library's bytes, and stops the run when one does
// not (peers that escape a character differently are reported, and the data
// avoids that character). After the run a summary prints the ratios against
// their targets as a markdown table (also written to --cpbench_table=FILE).
//
// The benchmark thread is pinned to CPU 0; the draining agent runs on CPU 1. The
// round trips pin both ends alike (both on CPU 0, or CPU 0 and CPU 1) and pair
// each block of library round trips with a block of raw TCP round trips.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <iconv.h>
#include <libxml/parser.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "BenchData.h"
#include "LoopbackAgent.h"
#include "PeerBuilders.h"
#include "PeerParsers.h"
#include "ResultCollector.h"
#include "api/Connection.h"
#include "api/DataResponse.h"
#include "api/Registration.h"
#include "api/RequestWait.h"
#include "api/RowFormat.h"
#include "cpclient.h"
#include "transport/ClientSocket.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"
#include "util/Utf16.h"
#include "xml/ClientRequestXMLHandler.h"
#include "xml/XMLParser.h"

namespace {

// The data response of the main case: 1,000 rows of 10 values of 16 to 24 bytes
// (20 on average); every 100th value holds one character that needs escaping,
// taken in turn from & < " and line feed, which every builder escapes alike (>
// and the apostrophe are left out: pugixml writes > as it is, and neither
// libxml2 nor pugixml escapes the apostrophe; the set-up reports both).
constexpr int ROWS = 1000;
constexpr int COLUMNS = 10;
constexpr int MIN_VALUE_LENGTH = 16;
constexpr int MAX_VALUE_LENGTH = 24;
constexpr int ESCAPE_EVERY = 100;
constexpr const char* SPECIALS = "&<\"\n";
constexpr uint32_t SEED = 20240611;

constexpr int LARGE_ROWS = 100000;  // one response of the large case
constexpr int ROUND_TRIP_ROWS = 10;
constexpr int EVENT_THREADS = 4;
constexpr size_t UTF16_LONG_UNITS = 32768;  // 64 KiB of UTF-16 input
constexpr size_t UTF16_SHORT_UNITS = 20;    // one typical value
constexpr int BUFFERED_REQUESTS = 14;       // requests per read in the buffered wait

constexpr int MAIN_CPU = 0;
constexpr int OTHER_CPU = 1;

constexpr const char* TABLE_GROUP = "ProcessTable";
constexpr int TABLE_GROUP_ID = 1;
constexpr const char* LARGE_GROUP = "LargeTable";
constexpr int LARGE_GROUP_ID = 2;
constexpr const char* TABLE_ID = "1001";
constexpr const char* LARGE_ID = "2001";
constexpr const char* RESPONSE_END = "</attrGroup></dataResponse>\n";

struct Options {
  bool smoke = false;     // tiny fixed iteration counts, for CI
  std::string tablePath;  // where the summary table also goes
};
Options options;

RowSet& rowSet() {
  static RowSet set(ROWS, COLUMNS, MIN_VALUE_LENGTH, MAX_VALUE_LENGTH, ESCAPE_EVERY, SPECIALS, SEED);
  return set;
}

Table tableOf(RowSet& set, int rows) { return Table{rows, set.columns(), set.row(0)}; }

// The request the agent sends in the round trips and the parse benchmarks: the
// text the library's receive delivers (through the '>', without the line feed).
std::string requestMessage() { return dataRequestMessage(TABLE_ID, TABLE_GROUP); }
std::string requestText() {
  std::string m = requestMessage();
  return m.substr(0, m.size() - 1);
}

// The bytes of the main case and of the round trip's answer, as checked at set-up.
std::string expectedResponse;
std::string expectedRoundTripAnswer;

AGPTR* groupNamed(const char* name) {
  return cpContext.registry ? static_cast<AGPTR*>(cpContext.registry->get(name)) : nullptr;
}

bool makePending(const char* id, AGPTR* group) {
  char* key = strdup(id);
  return key && pendingPut(key, group);
}

// The library's one connection, to an agent of the wanted mode.
class Session {
 public:
  // Connects to a new agent unless one of this mode is connected already (or
  // fresh is set), registers both groups and completes the registration.
  static bool ensure(LoopbackAgent::Mode mode, bool fresh, int agentCpu) {
    if (agent_ && mode_ == mode && !fresh && !stale_) return agent_->pin(agentCpu);
    close();
    agent_.reset(new LoopbackAgent(mode, requestMessage()));
    mode_ = mode;
    stale_ = false;
    bool ok = agent_->port() && agent_->pin(agentCpu);
    if (ok) cp_setPort(agent_->port());
    ok = ok && cp_OpenConnection(nullptr, 0) == CP_OK &&
         cp_RegisterAttrGroup(TABLE_GROUP, 1, TABLE_GROUP_ID) == CP_OK &&
         cp_RegisterAttrGroup(LARGE_GROUP, 1, LARGE_GROUP_ID) == CP_OK && cp_RegistrationComplete() == CP_OK;
    stale_ = !ok;  // a failed set-up is tried afresh next time
    return ok;
  }
  static LoopbackAgent* agent() { return agent_.get(); }
  // The connection no longer talks to the agent (its socket was replaced).
  static void markStale() { stale_ = true; }
  static void close() {
    cp_CloseConnection();
    agent_.reset();
  }

 private:
  static std::unique_ptr<LoopbackAgent> agent_;
  static LoopbackAgent::Mode mode_;
  static bool stale_;
};
std::unique_ptr<LoopbackAgent> Session::agent_;
LoopbackAgent::Mode Session::mode_ = LoopbackAgent::Mode::DRAIN;
bool Session::stale_ = false;

bool ensureDrain(benchmark::State& state) {
  if (Session::ensure(LoopbackAgent::Mode::DRAIN, false, OTHER_CPU)) return true;
  state.SkipWithError("could not connect the library to the loopback agent");
  return false;
}

void setRowCounters(benchmark::State& state, int rows, size_t messageBytes) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rows);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(messageBytes));
}

// ---- 1. Data response building -------------------------------------------------

// rows through cpdll_SetAttributeValues (UTF-16) or cp_SetAttributeValues (UTF-8),
// then cp_SendData (and the id made pending again), or, without the send, the
// group buffer emptied for the next round.
void buildWithLibrary(benchmark::State& state, bool utf16, bool send) {
  if (!ensureDrain(state)) return;
  RowSet& set = rowSet();
  AGPTR* group = groupNamed(TABLE_GROUP);
  std::u16string id16 = toUtf16(TABLE_ID);
  if (!group || !makePending(TABLE_ID, group)) {
    state.SkipWithError("no group or no pending id");
    return;
  }
  int failures = 0;
  for (auto _ : state) {
    if (utf16) {
      for (int r = 0; r < ROWS; r++) failures += cpdll_SetAttributeValues(set.row16(r), COLUMNS, &id16[0]) != CP_OK;
    } else {
      for (int r = 0; r < ROWS; r++) failures += cp_SetAttributeValues(set.row(r), COLUMNS, TABLE_ID) != CP_OK;
    }
    if (send) {
      failures += cp_SendData(TABLE_ID) != CP_OK;
      failures += !makePending(TABLE_ID, group);
    } else {
      group->responseBuffer->setLength(0);
    }
  }
  pendingRemove(TABLE_ID);
  if (failures) state.SkipWithError("a library call failed");
  setRowCounters(state, ROWS, expectedResponse.size());
}

void BM_BuildPeer(benchmark::State& state, size_t (*build)(const Table&, const char*, const char*, std::string*)) {
  Table table = tableOf(rowSet(), ROWS);
  for (auto _ : state) benchmark::DoNotOptimize(build(table, TABLE_ID, TABLE_GROUP, nullptr));
  setRowCounters(state, ROWS, expectedResponse.size());
}

void BM_BuildMemcpy(benchmark::State& state) {
  std::vector<char> target(expectedResponse.size());
  for (auto _ : state) {
    memcpy(target.data(), expectedResponse.data(), expectedResponse.size());
    benchmark::ClobberMemory();
  }
  setRowCounters(state, ROWS, expectedResponse.size());
}

// The send of the finished bytes alone, through the library's socket to the same agent.
void BM_SendOnly(benchmark::State& state) {
  if (!ensureDrain(state)) return;
  StringBuffer message(expectedResponse.c_str());
  int failures = 0;
  for (auto _ : state) failures += !cpContext.agent->write(message);
  if (failures) state.SkipWithError("a write failed");
  setRowCounters(state, ROWS, expectedResponse.size());
}

// ---- 2. One large response -----------------------------------------------------

long statusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t length = strlen(field);
  while (std::getline(status, line))
    if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
      return atol(line.c_str() + length + 1);
  return -1;
}

// Resets the peak resident size to the current one; false where the kernel cannot.
bool resetPeakRss() {
  int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, "5", 1) == 1;
  close(fd);
  return ok;
}

size_t heapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// LARGE_ROWS rows in one response through cpdll_SetAttributeValues, then sent; the
// first iteration fills a fresh group buffer, the later ones reuse it. Counts the
// group buffer's reallocations (its capacity changes) and the peak memory of the
// first response: resident (the peak RSS over the response) and heap (in use,
// sampled after every growth of the buffer).
void BM_LargeResponse(benchmark::State& state) {
  if (!Session::ensure(LoopbackAgent::Mode::DRAIN, true, OTHER_CPU)) {
    state.SkipWithError("could not connect the library to the loopback agent");
    return;
  }
  RowSet& set = rowSet();
  AGPTR* group = groupNamed(LARGE_GROUP);
  std::u16string id16 = toUtf16(LARGE_ID);
  StringBuffer* buffer = group ? group->responseBuffer : nullptr;
  int failures = 0;
  int response = 0;
  double firstNs = 0, laterNs = 0;
  int64_t reallocsFirst = 0, reallocsLater = 0;
  size_t responseBytes = 0, peakHeap = 0, capacity = 0;
  long peakRssKb = -1;
  for (auto _ : state) {
    if (!buffer || !makePending(LARGE_ID, group)) {
      failures++;
      break;
    }
    bool first = response == 0;
    bool rssReset = first && resetPeakRss();
    long rssBeforeKb = statusKb("VmRSS");
    size_t heapBefore = heapInUse();
    size_t heapPeak = heapBefore;
    int64_t reallocs = 0;
    int lastCapacity = buffer->capacity();
    auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < LARGE_ROWS; r++) {
      failures += cpdll_SetAttributeValues(set.row16(r % ROWS), COLUMNS, &id16[0]) != CP_OK;
      if (buffer->capacity() != lastCapacity) {
        reallocs++;
        lastCapacity = buffer->capacity();
        if (first) heapPeak = std::max(heapPeak, heapInUse());
      }
    }
    size_t bytes = static_cast<size_t>(buffer->length()) + strlen(RESPONSE_END);
    failures += cp_SendData(LARGE_ID) != CP_OK;
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (buffer->capacity() != lastCapacity) reallocs++;
    if (first) {
      firstNs = ns;
      reallocsFirst = reallocs;
      responseBytes = bytes;
      peakHeap = heapPeak - heapBefore;
      capacity = static_cast<size_t>(buffer->capacity());
      if (rssReset) peakRssKb = statusKb("VmHWM") - rssBeforeKb;
    } else {
      laterNs += ns;
      reallocsLater += reallocs;
    }
    response++;
  }
  if (failures) state.SkipWithError("a library call failed");
  const double mb = 1e6;
  state.counters["first_ms"] = firstNs / 1e6;
  state.counters["later_ms"] = response > 1 ? laterNs / (response - 1) / 1e6 : 0;
  state.counters["response_MB"] = static_cast<double>(responseBytes) / mb;
  state.counters["capacity_MB"] = static_cast<double>(capacity) / mb;
  state.counters["peak_heap_MB"] = static_cast<double>(peakHeap) / mb;
  state.counters["peak_rss_MB"] = peakRssKb < 0 ? -1 : static_cast<double>(peakRssKb) * 1024 / mb;
  state.counters["reallocs_first"] = static_cast<double>(reallocsFirst);
  state.counters["reallocs_later"] = static_cast<double>(reallocsLater);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * LARGE_ROWS);
}

// ---- 3. Inbound requests -------------------------------------------------------

// What cp_WaitForRequest makes of a parsed data request: the record, which takes
// the handler's copies over, and the pending entry with its own copy of the id.
CPREQUEST* recordOf(ClientRequestXMLHandler& handler) {
  CPREQUEST* record = static_cast<CPREQUEST*>(calloc(1, sizeof(CPREQUEST)));
  if (!record) return nullptr;
  AGPTR* group = handler.isDataRequest() && handler.getAttrGroup() ? groupNamed(handler.getAttrGroup()) : nullptr;
  if (group && handler.getId()) {
    record->groupId = group->groupId;
    record->requestType = DATA_REQUEST;
    record->id = handler.takeId();
    record->requestStartedID = handler.takeRequestStartedID();
    makePending(record->id, group);
  }
  record->subnode = handler.takeSubnode();
  RequestInfo** tail = &record->requestInfo;
  for (RequestInfo* node = handler.takeRequestInfo(); node;) {
    RequestInfo* next = node->next;
    node->next = nullptr;
    if (node->name && node->value) {
      *tail = node;
      tail = &node->next;
    } else {
      freeRequestInfoList(node);
    }
    node = next;
  }
  return record;
}

enum class ParseDepth { PARSER_ONLY, WITH_HANDLER, WITH_RECORD };

void BM_ParseLibrary(benchmark::State& state, ParseDepth depth) {
  if (!ensureDrain(state)) return;
  std::string text = requestText();
  std::vector<char> copy(text.size() + 1);
  int failures = 0;
  XMLParser parser(nullptr);  // kept from message to message, as the wait keeps its parser
  parser.prepare();
  for (auto _ : state) {
    memcpy(copy.data(), text.c_str(), text.size() + 1);
    if (depth == ParseDepth::PARSER_ONLY) {
      failures += !parser.parse(copy.data());
      continue;
    }
    ClientRequestXMLHandler handler;
    parser.setHandler(&handler);
    failures += !parser.parse(copy.data());
    parser.setHandler(nullptr);
    if (depth == ParseDepth::WITH_RECORD) {
      CPREQUEST* record = recordOf(handler);
      failures += !record || record->requestType != DATA_REQUEST;
      cpdll_FreeRequest(record);
    }
  }
  pendingRemove(TABLE_ID);
  if (failures) state.SkipWithError("a parse failed");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// The whole of cp_WaitForRequest with the requests already waiting in the socket:
// one read brings BUFFERED_REQUESTS of them, the others come from the left-over.
void BM_WaitForRequestBuffered(benchmark::State& state) {
  if (!ensureDrain(state)) return;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0) {
    state.SkipWithError("no socket pair");
    return;
  }
  cpContext.agent->adopt(pair[0]);
  Session::markStale();
  std::string batch;
  for (int i = 0; i < BUFFERED_REQUESTS; i++) batch += requestMessage();
  int failures = 0;
  int64_t served = 0;
  for (auto _ : state) {
    if (served++ % BUFFERED_REQUESTS == 0)
      failures += ::write(pair[1], batch.data(), batch.size()) != static_cast<ssize_t>(batch.size());
    CPREQUEST* record = nullptr;
    failures += cp_WaitForRequest(&record) != CP_OK || !record || record->requestType != DATA_REQUEST;
    cpdll_FreeRequest(record);
  }
  Session::close();
  ::close(pair[1]);
  if (failures) state.SkipWithError("a wait failed");
  state.SetItemsProcessed(state.iterations());
}

void BM_ParseExpat(benchmark::State& state) {
  std::string text = requestText();
  ExpatParser parser;
  int failures = 0;
  for (auto _ : state) failures += parser.parse(text.data(), text.size()) == 0;
  if (failures) state.SkipWithError("a parse failed");
  state.SetItemsProcessed(state.iterations());
}

void BM_ParseLibxml2Sax(benchmark::State& state) {
  std::string text = requestText();
  int failures = 0;
  for (auto _ : state) failures += parseWithLibxml2Sax(text.data(), text.size()) == 0;
  if (failures) state.SkipWithError("a parse failed");
  state.SetItemsProcessed(state.iterations());
}

void BM_ParsePugixml(benchmark::State& state) {
  std::string text = requestText();
  std::vector<char> copy(text.size() + 1);
  PugixmlParser parser;
  int failures = 0;
  for (auto _ : state) {
    memcpy(copy.data(), text.c_str(), text.size() + 1);
    failures += parser.parse(copy.data(), text.size()) == 0;
  }
  if (failures) state.SkipWithError("a parse failed");
  state.SetItemsProcessed(state.iterations());
}

// ---- 4. Round trips --------------------------------------------------------------

// Answers one data request as a provider does: wait, ROUND_TRIP_ROWS rows in
// UTF-16 under the request's id, send, free.
bool answerOneRequest(RowSet& set) {
  CPREQUEST* record = nullptr;
  bool ok = cpdll_WaitForRequest(&record) == CP_OK && record && record->requestType == DATA_REQUEST && record->id;
  if (ok) {
    char16_t id16[64];
    size_t n = 0;
    for (; record->id[n] && n + 1 < sizeof id16 / sizeof id16[0]; n++)
      id16[n] = static_cast<unsigned char>(record->id[n]);
    id16[n] = 0;
    for (int r = 0; r < ROUND_TRIP_ROWS && ok; r++) ok = cpdll_SetAttributeValues(set.row16(r), COLUMNS, id16) == CP_OK;
    ok = cpdll_SendData(record->id) == CP_OK && ok;
  }
  cpdll_FreeRequest(record);
  return ok;
}

// Blocks of library round trips paired with blocks of raw ones, both agents on
// agentCpu (the provider side stays on MAIN_CPU); the order alternates per block.
void BM_RoundTrip(benchmark::State& state, int agentCpu) {
  const int block = options.smoke ? 10 : 100;
  if (!Session::ensure(LoopbackAgent::Mode::ROUND_TRIP, false, agentCpu)) {
    state.SkipWithError("could not connect the library to the loopback agent");
    return;
  }
  RawPingPong raw(requestMessage(), expectedRoundTripAnswer);
  if (!raw.ok() || !raw.pin(agentCpu)) {
    state.SkipWithError("no raw loopback connection");
    return;
  }
  RowSet& set = rowSet();
  LoopbackAgent* agent = Session::agent();
  int64_t libraryNs = 0, rawNs = 0, libraryTrips = 0, rawTrips = 0;
  bool ok = true;
  int64_t blockIndex = 0;
  for (auto _ : state) {
    for (int half = 0; half < 2 && ok; half++) {
      bool libraryTurn = (blockIndex + half) % 2 == 0;
      if (libraryTurn) {
        agent->startBlock(block);
        for (int i = 0; i < block && ok; i++) ok = answerOneRequest(set);
        if (!ok) Session::close();  // so that the agent stops waiting
        int64_t ns = ok ? agent->finishBlock() : -1;
        ok = ok && ns > 0;
        libraryNs += ns;
        libraryTrips += block;
      } else {
        raw.startBlock(block);
        int64_t ns = raw.serveBlock(block);
        ok = ok && ns > 0;
        rawNs += ns;
        rawTrips += block;
      }
    }
    blockIndex++;
  }
  if (!ok) {
    state.SkipWithError("a round trip failed");
    return;
  }
  const auto real = [](int64_t n) { return static_cast<double>(n); };
  double libraryRate = real(libraryTrips) / (real(libraryNs) / 1e9);
  double rawRate = real(rawTrips) / (real(rawNs) / 1e9);
  state.counters["lib_rt_per_s"] = libraryRate;
  state.counters["raw_rt_per_s"] = rawRate;
  state.counters["lib_us"] = real(libraryNs) / 1e3 / real(libraryTrips);
  state.counters["raw_us"] = real(rawNs) / 1e3 / real(rawTrips);
  state.counters["lib_vs_raw"] = libraryRate / rawRate;
}

// ---- 5. Events ---------------------------------------------------------------------

void connectForEvents(const benchmark::State&) { Session::ensure(LoopbackAgent::Mode::DRAIN, false, OTHER_CPU); }

void BM_Events(benchmark::State& state) {
  if (state.threads() > 1) pinCurrentThread(-1);  // the threads share both CPUs
  RowSet& set = rowSet();
  int failures = 0;
  int r = state.thread_index() * 97;
  for (auto _ : state) failures += cpdll_SendEventData(set.row(r++ % ROWS), COLUMNS, TABLE_GROUP_ID) != CP_OK;
  if (failures) state.SkipWithError("an event failed");
  state.SetItemsProcessed(state.iterations());
}

// The same event messages written whole on a raw loopback socket to a draining
// agent, with TCP_NODELAY and under a lock as the library's writes are.
class RawEventSink {
 public:
  RawEventSink() : agent_(LoopbackAgent::Mode::DRAIN), fd_(-1) {
    agent_.pin(OTHER_CPU);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // as the library's socket
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(agent_.port()));
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
    RowSet& set = rowSet();
    for (int r = 0; r < ROWS; r++) {
      Table one = {1, COLUMNS, set.row(r)};
      std::string row;
      buildNaive(one, "", "", &row);  // <dataResponse id=""><attrGroup name=""> ROW </attrGroup>...
      size_t begin = row.find("<in>"), end = row.rfind("</in>") + 5;
      messages_.push_back("<pureEvent><attrGroup name=\"" + std::string(TABLE_GROUP) + "\">" +
                          row.substr(begin, end - begin) + "</attrGroup></pureEvent>\n");
    }
  }
  ~RawEventSink() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool send(int r) {
    const std::string& m = messages_[static_cast<size_t>(r) % messages_.size()];
    std::lock_guard<std::mutex> guard(mutex_);
    return ::send(fd_, m.data(), m.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(m.size());
  }

 private:
  LoopbackAgent agent_;
  int fd_;
  std::vector<std::string> messages_;
  std::mutex mutex_;
};

RawEventSink& rawEventSink() {
  static RawEventSink sink;
  return sink;
}

void prepareRawEvents(const benchmark::State&) { rawEventSink(); }

void BM_RawEvents(benchmark::State& state) {
  if (state.threads() > 1) pinCurrentThread(-1);
  RawEventSink& sink = rawEventSink();
  int failures = 0;
  int r = state.thread_index() * 97;
  for (auto _ : state) failures += !sink.send(r++);
  if (failures) state.SkipWithError("a send failed");
  state.SetItemsProcessed(state.iterations());
}

// ---- 6. UTF-16 conversion ------------------------------------------------------------

enum class Utf16Way { CONVERT, BOUNDED, MEASURE, MEASURE_AND_CONVERT, COPY, ICONV };

void BM_Utf16(benchmark::State& state, bool mixed, size_t units, Utf16Way way) {
  std::u16string text = mixed ? mixedText16(units, SEED) : asciiText16(units, SEED);
  std::vector<char> out(text.size() * 3 + 1);
  // (iconv_t)-1 is iconv's own "no descriptor".
  const iconv_t none = reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
  iconv_t cd = way == Utf16Way::ICONV ? iconv_open("UTF-8", "UTF-16LE") : none;
  if (way == Utf16Way::ICONV && cd == none) {
    state.SkipWithError("iconv cannot convert UTF-16LE to UTF-8");
    return;
  }
  int failures = 0;
  for (auto _ : state) {
    switch (way) {
      case Utf16Way::CONVERT: utf16ToUtf8(text.c_str(), out.data()); break;
      case Utf16Way::BOUNDED: failures += utf16ToUtf8Bounded(text.c_str(), out.data(), out.size()) == 0; break;
      case Utf16Way::MEASURE: benchmark::DoNotOptimize(utf8Length(text.c_str())); break;
      case Utf16Way::MEASURE_AND_CONVERT:
        failures += utf8Length(text.c_str()) > out.size();
        utf16ToUtf8(text.c_str(), out.data());
        break;
      case Utf16Way::COPY: {
        char* copy = utf16ToUtf8Copy(text.c_str());
        failures += !copy;
        free(copy);
        break;
      }
      case Utf16Way::ICONV: {
        char* in = reinterpret_cast<char*>(&text[0]);
        size_t inLeft = text.size() * sizeof(char16_t);
        char* o = out.data();
        size_t outLeft = out.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        failures += iconv(cd, &in, &inLeft, &o, &outLeft) == static_cast<size_t>(-1);
        *o = 0;
        break;
      }
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (cd != none) iconv_close(cd);
  if (failures) state.SkipWithError("a conversion failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(units * sizeof(char16_t)));
}

// ---- The machine ----------------------------------------------------------------------

std::string firstLineWith(const char* path, const char* prefix) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line))
    if (line.compare(0, strlen(prefix), prefix) == 0) return line;
  return "";
}

// What the figures were measured on: processor, CPUs, kernel, compiler, build.
std::string machine() {
  std::string cpu = firstLineWith("/proc/cpuinfo", "model name");
  size_t colon = cpu.find(':');
  cpu = colon == std::string::npos ? "unknown processor" : cpu.substr(colon + 2);
  struct utsname system;
  std::string kernel = uname(&system) == 0 ? std::string(system.sysname) + " " + system.release : "unknown kernel";
  std::ifstream loadavg("/proc/loadavg");
  std::string load1, load5;
  loadavg >> load1 >> load5;
  std::ostringstream out;
  out << "Machine: " << cpu << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs online, " << kernel << "; g++ "
      << __VERSION__ << ", " << CPBENCH_BUILD_TYPE << " build; load average " << load1 << " " << load5
      << " at the start.\n\n";
  return out.str();
}

// ---- Set-up checks -----------------------------------------------------------------

// The first offset where two texts differ, shown with some context.
std::string firstDifference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) i++;
  size_t from = i < 40 ? 0 : i - 40;
  std::ostringstream out;
  out << "at byte " << i << " (sizes " << a.size() << " and " << b.size() << "): ..." << a.substr(from, 80)
      << "... against ..." << b.substr(from, 80) << "...";
  return out.str();
}

std::string visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c == '|')
      out += "\\|";
    else
      out += static_cast<char>(c);
  }
  return out;
}

std::string escapedByLibrary(const std::string& value) {
  char* escaped = nullptr;
  substituteEntries(value.c_str(), &escaped);
  std::string out = escaped ? escaped : value;
  free(escaped);
  return out;
}

// Prints how each builder writes each character that may need escaping.
void reportEscaping(std::ostream& out) {
  const char* probes[] = {"&", "<", ">", "\"", "'", "\n", "\r", "\t", "\xc3\xa9"};
  out << "Escaping of one character in an attribute value (x?y), by builder:\n\n";
  out << "| character | cpclient | naive | libxml2 | pugixml |\n|---|---|---|---|---|\n";
  for (const char* probe : probes) {
    std::string value = std::string("x") + probe + "y";
    std::string library = escapedByLibrary(value);
    auto cell = [&](const std::string& s) { return "`" + visible(s) + "`" + (s == library ? "" : " (differs)"); };
    out << "| `" << visible(probe) << "` | `" << visible(library) << "` | " << cell(escapedNaive(value)) << " | "
        << cell(escapedByLibxml2(value)) << " | " << cell(escapedByPugixml(value)) << " |\n";
  }
  out << "\n";
}

// Builds the main case through both library paths to a recording agent and
// compares the bytes with every peer's. Also keeps the round trip's answer.
bool checkBuilders(std::ostream& out) {
  RowSet& set = rowSet();
  if (!Session::ensure(LoopbackAgent::Mode::RECORD, true, OTHER_CPU)) {
    out << "set-up: could not connect the library to a recording agent\n";
    return false;
  }
  AGPTR* group = groupNamed(TABLE_GROUP);
  std::u16string id16 = toUtf16(TABLE_ID);
  bool ok = group != nullptr;
  ok = ok && makePending(TABLE_ID, group);
  for (int r = 0; r < ROWS && ok; r++) ok = cpdll_SetAttributeValues(set.row16(r), COLUMNS, &id16[0]) == CP_OK;
  ok = ok && cp_SendData(TABLE_ID) == CP_OK && makePending(TABLE_ID, group);
  for (int r = 0; r < ROWS && ok; r++) ok = cp_SetAttributeValues(set.row(r), COLUMNS, TABLE_ID) == CP_OK;
  ok = ok && cp_SendData(TABLE_ID) == CP_OK && makePending(TABLE_ID, group);
  for (int r = 0; r < ROUND_TRIP_ROWS && ok; r++)
    ok = cpdll_SetAttributeValues(set.row16(r), COLUMNS, &id16[0]) == CP_OK;
  ok = ok && cp_SendData(TABLE_ID) == CP_OK;
  LoopbackAgent* agent = Session::agent();
  cp_CloseConnection();
  std::string stream = agent->recorded();
  Session::close();
  if (!ok) {
    out << "set-up: a library call failed while building the check responses\n";
    return false;
  }
  // The stream: the registration, then the three responses, each ending in a line feed.
  std::vector<std::string> messages;
  for (size_t at = 0; at < stream.size();) {
    size_t end = stream.find('\n', at);
    if (end == std::string::npos) break;
    messages.push_back(stream.substr(at, end + 1 - at));
    at = end + 1;
  }
  if (messages.size() != 4) {
    out << "set-up: expected 4 messages at the agent, got " << messages.size() << "\n";
    return false;
  }
  expectedResponse = messages[1];
  expectedRoundTripAnswer = messages[3];

  Table table = tableOf(set, ROWS);
  std::string naive, libxml2, pugixml, naiveSmall;
  buildNaive(table, TABLE_ID, TABLE_GROUP, &naive);
  buildWithLibxml2(table, TABLE_ID, TABLE_GROUP, &libxml2);
  buildWithPugixml(table, TABLE_ID, TABLE_GROUP, &pugixml);
  buildNaive(tableOf(set, ROUND_TRIP_ROWS), TABLE_ID, TABLE_GROUP, &naiveSmall);
  struct Comparison {
    const char* what;
    const std::string& bytes;
  } comparisons[] = {{"cp_SetAttributeValues (UTF-8)", messages[2]},
                     {"naive std::string", naive},
                     {"libxml2 xmlTextWriter", libxml2},
                     {"pugixml tree, saved raw", pugixml},
                     {"naive std::string, 10 rows (round trip answer)", naiveSmall}};
  bool same = true;
  out << "Byte check against cpdll_SetAttributeValues (UTF-16), " << expectedResponse.size() << " bytes, "
      << set.escapedValues() << " of " << ROWS * COLUMNS << " values escaped:\n";
  for (const Comparison& c : comparisons) {
    const std::string& reference = &c.bytes == &naiveSmall ? expectedRoundTripAnswer : expectedResponse;
    bool equal = c.bytes == reference;
    same = same && equal;
    out << "  " << c.what << ": " << (equal ? "same bytes" : "DIFFERENT " + firstDifference(reference, c.bytes))
        << "\n";
  }
  out << "\n";
  return same;
}

// ---- Summary ---------------------------------------------------------------------------

std::string fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string verdict(bool met) { return met ? "met" : "NOT met"; }

void printSummary(const ResultCollector& results, std::ostream& out) {
  auto nsPerRow = [&](const std::string& name) {
    const Result* r = results.find(name);
    double rate = r ? r->counter("items_per_second") : 0;
    return rate > 0 ? 1e9 / rate : 0.0;
  };
  auto mbPerS = [&](const std::string& name) {
    const Result* r = results.find(name);
    return r ? r->counter("bytes_per_second") / 1e6 : 0.0;
  };
  auto ratio = [](double slow, double fast) { return fast > 0 ? slow / fast : 0.0; };

  out << "### 1. Data response: 1,000 rows x 10 values of ~20 bytes, 1% escaped\n\n";
  const double libxml2 = nsPerRow("build/libxml2");
  const double pugixml = nsPerRow("build/pugixml");
  struct Row {
    const char* label;
    const char* name;
  } rows[] = {
      {"(a) cpdll_SetAttributeValues, UTF-16, + cp_SendData", "build/cpdll_SetAttributeValues_utf16+SendData"},
      {"(b) cp_SetAttributeValues, UTF-8, + cp_SendData", "build/cp_SetAttributeValues_utf8+SendData"},
      {"(a) without the send", "build/cpdll_SetAttributeValues_utf16_nosend"},
      {"(b) without the send", "build/cp_SetAttributeValues_utf8_nosend"},
      {"the send alone (ClientSocket::write of the finished bytes)", "build/send_only"},
      {"libxml2 xmlTextWriter to memory", "build/libxml2"},
      {"pugixml tree, saved raw", "build/pugixml"},
      {"naive std::string +=", "build/naive"},
      {"memcpy of the finished bytes (bound)", "build/memcpy"},
  };
  out << "| builder | ns/row | MB/s | libxml2 ÷ this | pugixml ÷ this |\n|---|---:|---:|---:|---:|\n";
  for (const Row& row : rows) {
    double ns = nsPerRow(row.name);
    out << "| " << row.label << " | " << fixed(ns, 1) << " | " << fixed(mbPerS(row.name), 0) << " | "
        << fixed(ratio(libxml2, ns), 2) << " | " << fixed(ratio(pugixml, ns), 2) << " |\n";
  }
  double a = nsPerRow(rows[0].name), b = nsPerRow(rows[1].name), aAlone = nsPerRow(rows[2].name);
  out << "\nTargets: (1a) >= 10x libxml2: " << fixed(ratio(libxml2, a), 2) << "x, " << verdict(ratio(libxml2, a) >= 10)
      << "; (1a) >= 4x pugixml: " << fixed(ratio(pugixml, a), 2) << "x, " << verdict(ratio(pugixml, a) >= 4)
      << "; (1a) without the send >= 7x pugixml: " << fixed(ratio(pugixml, aAlone), 2) << "x, "
      << verdict(ratio(pugixml, aAlone) >= 7) << "; (1b) >= 5x pugixml: " << fixed(ratio(pugixml, b), 2) << "x, "
      << verdict(ratio(pugixml, b) >= 5) << ".\n\n";

  out << "### 2. One response of 100,000 rows (cpdll_SetAttributeValues)\n\n";
  if (const Result* r = results.find("large/100000_rows")) {
    double size = r->counter("response_MB");
    double heap = r->counter("peak_heap_MB"), rss = r->counter("peak_rss_MB");
    out << "| response | first response | later responses | reallocations, first | reallocations, later | "
           "capacity | peak heap | peak RSS |\n|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    out << "| " << fixed(size, 1) << " MB | " << fixed(r->counter("first_ms"), 1) << " ms | "
        << fixed(r->counter("later_ms"), 1) << " ms | " << fixed(r->counter("reallocs_first"), 0) << " | "
        << fixed(r->counter("reallocs_later"), 0) << " | " << fixed(r->counter("capacity_MB"), 1) << " MB | "
        << fixed(heap, 1) << " MB (" << fixed(ratio(heap, size), 2) << "x) | " << fixed(rss, 1) << " MB ("
        << fixed(ratio(rss, size), 2) << "x) |\n";
    double worst = std::max(heap, rss);
    out << "\nTargets: peak memory < 2.5x the response: " << fixed(ratio(worst, size), 2) << "x, "
        << verdict(worst < 2.5 * size && size > 0)
        << "; no reallocation in a later response: " << verdict(r->counter("reallocs_later") == 0) << ".\n\n";
  }

  out << "### 3. Inbound data request (" << requestText().size() << " bytes, three requestInfo filters)\n\n";
  struct Row parses[] = {
      {"cpclient: parser + handler + CPREQUEST", "parse/cpclient_parser+handler+record"},
      {"cpclient: parser + handler", "parse/cpclient_parser+handler"},
      {"cpclient: parser alone (no handler)", "parse/cpclient_parser_only"},
      {"cpclient: cp_WaitForRequest, requests already buffered", "parse/cp_WaitForRequest_buffered"},
      {"pugixml load_buffer_inplace", "parse/pugixml_inplace"},
      {"expat (parser reset per message)", "parse/expat"},
      {"libxml2 SAX2 (xmlSAXUserParseMemory)", "parse/libxml2_sax"},
  };
  const double pugiParse = nsPerRow("parse/pugixml_inplace");
  out << "| parser | ns/message | pugixml ÷ this |\n|---|---:|---:|\n";
  for (const Row& row : parses) {
    double ns = nsPerRow(row.name);
    out << "| " << row.label << " | " << fixed(ns, 0) << " | " << fixed(ratio(pugiParse, ns), 2) << " |\n";
  }
  double full = nsPerRow(parses[0].name);
  out << "\nTarget: parser + handler + record at most 2.5x pugixml's in-place parse: "
      << fixed(ratio(full, pugiParse), 2) << "x, " << verdict(full > 0 && full <= 2.5 * pugiParse) << ".\n\n";

  out << "### 4. Round trip: data request answered with 10 rows, against raw TCP ping-pong (paired blocks)\n\n";
  out << "| ends | library µs | raw µs | library round trips/s | raw round trips/s | library ÷ raw |\n"
         "|---|---:|---:|---:|---:|---:|\n";
  bool roundTripsMet = true, roundTripsRun = false;
  for (const char* ends : {"same_core", "cross_core"}) {
    const Result* r = results.find(std::string("roundtrip/") + ends);
    if (!r) continue;
    roundTripsRun = true;
    double share = r->counter("lib_vs_raw");
    if (std::string(ends) == "same_core") roundTripsMet = share >= 0.9;
    out << "| " << ends << " | " << fixed(r->counter("lib_us"), 1) << " | " << fixed(r->counter("raw_us"), 1) << " | "
        << fixed(r->counter("lib_rt_per_s"), 0) << " | " << fixed(r->counter("raw_rt_per_s"), 0) << " | "
        << fixed(share * 100, 0) << "% |\n";
  }
  out << "\nTarget: both ends on one core, >= 90% of the raw round trips per second: "
      << (roundTripsRun ? verdict(roundTripsMet) : "not run") << ".\n\n";

  out << "### 5. Events (one row of 10 values each)\n\n| sender | 1 thread, events/s | 4 threads, events/s |\n"
         "|---|---:|---:|\n";
  auto rate = [&](const std::string& name) {
    const Result* r = results.find(name);
    return r ? r->counter("items_per_second") : 0.0;
  };
  out << "| cpdll_SendEventData | " << fixed(rate("events/cpdll_SendEventData/real_time/threads:1"), 0) << " | "
      << fixed(rate("events/cpdll_SendEventData/real_time/threads:4"), 0) << " |\n";
  out << "| raw send() of the same bytes | " << fixed(rate("events/raw_send/real_time/threads:1"), 0) << " | "
      << fixed(rate("events/raw_send/real_time/threads:4"), 0) << " |\n";
  double one =
      ratio(rate("events/cpdll_SendEventData/real_time/threads:1"), rate("events/raw_send/real_time/threads:1"));
  double four =
      ratio(rate("events/cpdll_SendEventData/real_time/threads:4"), rate("events/raw_send/real_time/threads:4"));
  out << "\nTarget: >= 85% of the raw send's events a second: 1 thread " << fixed(one * 100, 0) << "%, "
      << verdict(one >= 0.85) << "; 4 threads " << fixed(four * 100, 0) << "%, " << verdict(four >= 0.85) << ".\n\n";

  out << "### 6. UTF-16 to UTF-8, GB/s of UTF-16 input\n\n";
  out << "| text | utf16ToUtf8Bounded | utf16ToUtf8 | utf8Length | utf8Length + utf16ToUtf8 | utf16ToUtf8Copy | iconv "
         "| "
         "Bounded ÷ iconv |\n|---|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const char* text : {"ascii_64KiB", "mixed_64KiB", "ascii_20", "mixed_20"}) {
    std::string base = std::string("utf16/") + text + "/";
    auto gbs = [&](const char* way) {
      const Result* r = results.find(base + way);
      return r ? r->counter("bytes_per_second") / 1e9 : 0.0;
    };
    out << "| " << text << " | " << fixed(gbs("utf16ToUtf8Bounded"), 2) << " | " << fixed(gbs("utf16ToUtf8"), 2)
        << " | " << fixed(gbs("utf8Length"), 2) << " | " << fixed(gbs("utf8Length+utf16ToUtf8"), 2) << " | "
        << fixed(gbs("utf16ToUtf8Copy"), 2) << " | " << fixed(gbs("iconv"), 2) << " | "
        << fixed(ratio(gbs("utf16ToUtf8Bounded"), gbs("iconv")), 1) << " |\n";
  }
  out << "\n";
}

// ---- Registration --------------------------------------------------------------------

void registerBenchmarks() {
  const int largeIterations = options.smoke ? 2 : 4;
  const int roundTripIterations = options.smoke ? 2 : 20;

  benchmark::RegisterBenchmark("build/cpdll_SetAttributeValues_utf16+SendData", buildWithLibrary, true, true);
  benchmark::RegisterBenchmark("build/cp_SetAttributeValues_utf8+SendData", buildWithLibrary, false, true);
  benchmark::RegisterBenchmark("build/cpdll_SetAttributeValues_utf16_nosend", buildWithLibrary, true, false);
  benchmark::RegisterBenchmark("build/cp_SetAttributeValues_utf8_nosend", buildWithLibrary, false, false);
  benchmark::RegisterBenchmark("build/send_only", BM_SendOnly);
  benchmark::RegisterBenchmark("build/libxml2", BM_BuildPeer, buildWithLibxml2);
  benchmark::RegisterBenchmark("build/pugixml", BM_BuildPeer, buildWithPugixml);
  benchmark::RegisterBenchmark("build/naive", BM_BuildPeer, buildNaive);
  benchmark::RegisterBenchmark("build/memcpy", BM_BuildMemcpy);

  benchmark::RegisterBenchmark("large/100000_rows", BM_LargeResponse)
      ->Iterations(largeIterations)
      ->Unit(benchmark::kMillisecond);

  benchmark::RegisterBenchmark("parse/cpclient_parser+handler+record", BM_ParseLibrary, ParseDepth::WITH_RECORD);
  benchmark::RegisterBenchmark("parse/cpclient_parser+handler", BM_ParseLibrary, ParseDepth::WITH_HANDLER);
  benchmark::RegisterBenchmark("parse/cpclient_parser_only", BM_ParseLibrary, ParseDepth::PARSER_ONLY);
  benchmark::RegisterBenchmark("parse/cp_WaitForRequest_buffered", BM_WaitForRequestBuffered);
  benchmark::RegisterBenchmark("parse/pugixml_inplace", BM_ParsePugixml);
  benchmark::RegisterBenchmark("parse/expat", BM_ParseExpat);
  benchmark::RegisterBenchmark("parse/libxml2_sax", BM_ParseLibxml2Sax);

  benchmark::RegisterBenchmark("roundtrip/same_core", BM_RoundTrip, MAIN_CPU)
      ->Iterations(roundTripIterations)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("roundtrip/cross_core", BM_RoundTrip, OTHER_CPU)
      ->Iterations(roundTripIterations)
      ->Unit(benchmark::kMillisecond);

  benchmark::RegisterBenchmark("events/cpdll_SendEventData", BM_Events)
      ->Setup(connectForEvents)
      ->UseRealTime()
      ->Threads(1)
      ->Threads(EVENT_THREADS);
  benchmark::RegisterBenchmark("events/raw_send", BM_RawEvents)
      ->Setup(prepareRawEvents)
      ->UseRealTime()
      ->Threads(1)
      ->Threads(EVENT_THREADS);

  struct Text {
    const char* name;
    bool mixed;
    size_t units;
  } texts[] = {{"ascii_64KiB", false, UTF16_LONG_UNITS},
               {"mixed_64KiB", true, UTF16_LONG_UNITS},
               {"ascii_20", false, UTF16_SHORT_UNITS},
               {"mixed_20", true, UTF16_SHORT_UNITS}};
  struct Way {
    const char* name;
    Utf16Way way;
  } ways[] = {{"utf16ToUtf8", Utf16Way::CONVERT},  {"utf16ToUtf8Bounded", Utf16Way::BOUNDED},
              {"utf8Length", Utf16Way::MEASURE},   {"utf8Length+utf16ToUtf8", Utf16Way::MEASURE_AND_CONVERT},
              {"utf16ToUtf8Copy", Utf16Way::COPY}, {"iconv", Utf16Way::ICONV}};
  for (const Text& text : texts)
    for (const Way& way : ways)
      benchmark::RegisterBenchmark((std::string("utf16/") + text.name + "/" + way.name).c_str(), BM_Utf16, text.mixed,
                                   text.units, way.way);
}

// Takes this program's own flags out of argv, leaving google benchmark's.
void parseOptions(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; i++) {
    std::string arg = argv[i];
    if (arg == "--smoke")
      options.smoke = true;
    else if (arg.compare(0, 16, "--cpbench_table=") == 0)
      options.tablePath = arg.substr(16);
    else
      argv[kept++] = argv[i];
  }
  *argc = kept;
  argv[kept] = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  parseOptions(&argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (getenv("CP_TRACE_LEVEL")) printf("note: CP_TRACE_LEVEL is set; tracing costs are included\n");
  if (!pinCurrentThread(MAIN_CPU)) printf("note: could not pin the benchmark thread to CPU %d\n", MAIN_CPU);
  xmlInitParser();

  std::ostringstream checks;
  checks << machine();
  bool same = checkBuilders(checks);
  reportEscaping(checks);
  fputs(checks.str().c_str(), stdout);
  if (!same) {
    fprintf(stderr, "set-up check failed: the compared builders do not produce the same bytes\n");
    return 1;
  }

  registerBenchmarks();
  ResultCollector results;
  benchmark::RunSpecifiedBenchmarks(&results);
  Session::close();

  std::ostringstream summary;
  printSummary(results, summary);
  printf("\n%s", summary.str().c_str());
  if (!options.tablePath.empty()) {
    std::ofstream table(options.tablePath);
    table << checks.str() << summary.str();
  }
  benchmark::Shutdown();
  xmlCleanupParser();
  for (const std::string& failure : results.failures()) fprintf(stderr, "benchmark failed: %s\n", failure.c_str());
  return results.failures().empty() ? 0 : 1;
}
