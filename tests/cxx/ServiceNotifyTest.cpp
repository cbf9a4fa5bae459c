// The service manager's notify datagrams of cpclient.hpp's run, caught by a datagram socket of the test's own.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>

#include "cpclient.hpp"
#include "support/AgentListener.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A bound AF_UNIX datagram socket in a folder of its own, named by NOTIFY_SOCKET while the test runs.
class ServiceNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, mkdtemp(folder_));
    path_ = std::string(folder_) + "/notify";
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, path_.size());
    ASSERT_EQ(0, bind(sink_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    options_.port = agent_.port();
    options_.backoff = 10ms;
    options_.stopPoll = 20ms;
  }
  void TearDown() override {
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
    close(sink_);
    unlink(path_.c_str());
    rmdir(folder_);
  }
  // The next datagram, "" when none comes within timeoutMs.
  std::string next(int timeoutMs = 5000) {
    pollfd ready = {sink_, POLLIN, 0};
    char text[256];
    ssize_t length = poll(&ready, 1, timeoutMs) == 1 ? recv(sink_, text, sizeof text, 0) : 0;
    return std::string(text, length > 0 ? length : 0);
  }
  // Runs provider (group G, whose request "stuck" takes 600 ms) on a thread; stop() ends it.
  std::thread start(cpclient::Provider& provider) {
    provider.group("G", 1, [](const cpclient::Request& request, cpclient::Rows& rows) {
      if (request.id() == "stuck") std::this_thread::sleep_for(600ms);
      rows.add(request.id());
    });
    provider.onLog([this](std::string_view line) { log_ += std::string(line) + "\n"; });
    return std::thread([&provider, this] { end_ = provider.run(options_).message(); });
  }

  char folder_[32] = "/tmp/cpnotify.XXXXXX";
  std::string path_;
  int sink_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  AgentListener agent_;
  cpclient::RunOptions options_;
  std::string log_, end_;  // written by run's thread, read after it is joined
};

TEST_F(ServiceNotify, ReadyFollowsTheRegistrationOnceAndStatusFollowsLossReconnectAndStop) {
  cpclient::Provider provider;
  std::thread runner = start(provider);
  EXPECT_EQ("READY=1\nSTATUS=serving 1 group", next());  // not accepted yet: connected through the backlog
  ASSERT_TRUE(agent_.accept());
  EXPECT_EQ(0u, agent_.readMessage(50).find("<vexaRegister ver="));  // sent before READY=1, so already here
  agent_.closeClient();
  EXPECT_EQ("STATUS=reconnecting", next());
  EXPECT_EQ("STATUS=serving 1 group", next());
  provider.stop();
  runner.join();
  EXPECT_EQ("STOPPING=1\nSTATUS=stopped", next());
  EXPECT_EQ("", next(300));
}

TEST_F(ServiceNotify, TheStatusAndTheStatsLogLineSumUpTheRequestsOnceThereAreAny) {
  options_.statsLogInterval = 1ms;  // a line each turn of the wait loop
  cpclient::Provider provider;
  std::thread runner = start(provider);
  ASSERT_EQ("READY=1\nSTATUS=serving 1 group", next());
  ASSERT_TRUE(agent_.accept());
  ASSERT_NE("", agent_.readMessage());
  ASSERT_TRUE(agent_.send("<dataRequest id=\"1\"><attrGroup name=\"G\"/></dataRequest>\n"));
  const std::string status = next();
  EXPECT_EQ(0u, status.find("STATUS=serving 1 group; 1 requests, 0 past deadline, p99 ")) << status;
  std::this_thread::sleep_for(100ms);  // a few more turns
  provider.stop();
  runner.join();
  EXPECT_EQ("STOPPING=1\nSTATUS=stopped", next());
  EXPECT_NE(std::string::npos, log_.find("\n  G: 1 requests, 0 errors, 0 past deadline, 0 hung, 0 in flight")) << log_;
}

TEST_F(ServiceNotify, AnAgentNeverReachedIsStatedWithItsTimeAndReadyIsNeverSent) {
  options_.port = AgentListener::unusedPort();
  options_.connectAttempts = 3;
  cpclient::Provider provider;
  start(provider).join();
  std::string status = next();
  EXPECT_EQ("STATUS=agent unreachable, retrying since ", status.substr(0, 41));
  EXPECT_TRUE(status.size() == 49 && status[43] == ':' && status[46] == ':') << status;
  EXPECT_EQ("STOPPING=1\nSTATUS=" + end_, next());
  EXPECT_EQ("", next(300));
}

TEST_F(ServiceNotify, WatchdogPingsComeEveryHalfIntervalFromTheWaitingThreadAndStopWhileItIsHeldUp) {
  setenv("WATCHDOG_USEC", "200000", 1);
  setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
  std::vector<Clock::time_point> pings;
  auto collect = [&](std::chrono::milliseconds span) {
    for (auto end = Clock::now() + span; Clock::now() < end;)
      if (next(10) == "WATCHDOG=1") pings.push_back(Clock::now());
  };
  cpclient::Provider provider;
  std::thread runner = start(provider);  // workers 0: the handler runs on, and holds up, the waiting thread
  ASSERT_EQ("READY=1\nSTATUS=serving 1 group", next());
  ASSERT_TRUE(agent_.accept());
  collect(600ms);
  ASSERT_TRUE(agent_.send("<dataRequest id=\"stuck\"><attrGroup name=\"G\"/></dataRequest>\n"));
  collect(1000ms);
  provider.stop();
  runner.join();
  std::vector<long long> gapsMs;
  for (size_t i = 1; i < pings.size(); i++)
    gapsMs.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(pings[i] - pings[i - 1]).count());
  std::sort(gapsMs.begin(), gapsMs.end());
  ASSERT_GE(gapsMs.size(), 6u);
  EXPECT_GE(gapsMs.back(), 500);  // held up by the handler
  EXPECT_GE(gapsMs.front(), 70);
  EXPECT_LE(gapsMs[gapsMs.size() - 2], 200);
  for (std::string datagram; (datagram = next()) != "" && datagram != "STOPPING=1\nSTATUS=stopped";) {
  }
}

TEST_F(ServiceNotify, ANotifySocketThatFailsOrIsUnsetChangesNothingButOneLogLine) {
  const struct Case {
    const char* name;
    std::string socket;  // NOTIFY_SOCKET; empty: unset
    int logLines;
  } kCases[] = {{"unset", "", 0}, {"missing", path_ + ".missing", 1}, {"relative", "notify", 1}};
  setenv("WATCHDOG_USEC", "20000", 1);  // a ping every 10 ms
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    c.socket.empty() ? unsetenv("NOTIFY_SOCKET") : setenv("NOTIFY_SOCKET", c.socket.c_str(), 1);
    log_.clear();
    cpclient::Provider provider;
    std::thread runner = start(provider);
    ASSERT_TRUE(agent_.accept());
    ASSERT_NE("", agent_.readMessage());
    auto began = Clock::now();
    ASSERT_TRUE(agent_.send("<dataRequest id=\"a\"><attrGroup name=\"G\"/></dataRequest>\n"));
    EXPECT_EQ(
        "<dataResponse id=\"a\"><attrGroup name=\"G\"><in><al><a v=\"a\"/></al></in></attrGroup></dataResponse>\n",
        agent_.readMessage());
    std::this_thread::sleep_for(100ms);  // pings fail meanwhile
    provider.stop();
    runner.join();
    EXPECT_LT(Clock::now() - began, 400ms);
    EXPECT_EQ(c.logLines, std::count(log_.begin(), log_.end(), '\n')) << log_;
    EXPECT_EQ(c.logLines, log_.rfind("cannot notify the service manager at NOTIFY_SOCKET=" + c.socket + ": ", 0) == 0);
    if (c.name == std::string("unset")) {
      EXPECT_EQ("", next(100));
    }
  }
}

TEST_F(ServiceNotify, DefaultLogLinesCarryTheirJournalPriorityWhenStandardErrorIsTheJournalStream) {
  FILE* file = std::tmpfile();
  ASSERT_NE(nullptr, file);
  const int saved = dup(STDERR_FILENO);
  dup2(fileno(file), STDERR_FILENO);
  struct stat status = {};
  fstat(STDERR_FILENO, &status);
  setenv("JOURNAL_STREAM", (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);
  options_.port = AgentListener::unusedPort();
  options_.connectAttempts = 1;
  EXPECT_EQ(cpclient::RunEnd::gaveUp, cpclient::Provider().run(options_).end);  // no log hook: standard error
  unsetenv("JOURNAL_STREAM");
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string written(4096, '\0'), marked;  // marked: the lines that begin with a priority
  written.resize(pread(fileno(file), written.data(), written.size(), 0));
  std::fclose(file);
  written.insert(0, "\n");
  for (size_t at = 0; (at = written.find("\n<", at)) != std::string::npos; at++)
    marked += written.substr(at + 1, written.find('\n', at + 1) - at);
  EXPECT_EQ(0u, marked.find("<4>cpclient: cannot reach the agent: ")) << written;
  EXPECT_NE(std::string::npos, marked.find("\n<3>cpclient: gave up connecting to the agent after 1 attempts\n"));
  EXPECT_EQ(2, std::count(marked.begin(), marked.end(), '\n')) << written;
}
}  // namespace
