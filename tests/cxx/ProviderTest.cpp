// The C++ provider API (cpclient.hpp) over the shared library, against a loopback agent.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>

#include "cpclient.hpp"
#include "support/AgentListener.h"

namespace {

using namespace std::chrono_literals;
using cpclient::Errc;
using cpclient::RunEnd;

std::string dataRequest(const std::string& id, const std::string& group, const std::string& inner = "") {
  return "<dataRequest id=\"" + id + "\"><attrGroup name=\"" + group + "\"/>" + inner + "</dataRequest>\n";
}
std::string taskRequest(const std::string& id, const std::string& command) {
  return "<taskRequest id=\"" + id + "\"><task command=\"" + command + "\" user=\"u\"/></taskRequest>\n";
}
// The answer to a data request with the given rows, each of its values.
std::string dataAnswer(const std::string& id, const std::string& group, const std::vector<std::string>& rows) {
  std::string answer = "<dataResponse id=\"" + id + "\"><attrGroup name=\"" + group + "\">";
  for (const auto& row : rows) answer += "<in><al>" + row + "</al></in>";
  return answer + "</attrGroup></dataResponse>\n";
}

// Runs provider_.run(options_) on a thread of its own against agent_.
class CxxProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("CP_SLEEP_UNIT_MS", "1", 1);
    options_.port = agent_.port();
    options_.backoff = 10ms;
    options_.stopPoll = 20ms;
    provider_.onLog([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_ += std::string(line) + "\n";
    });
  }
  void TearDown() override {
    provider_.stop();
    if (runner_.joinable()) runner_.join();
    unsetenv("CP_SLEEP_UNIT_MS");
  }
  void start() {
    runner_ = std::thread([this] { result_ = provider_.run(options_); });
    ASSERT_TRUE(agent_.accept());
    registration_ = agent_.readMessage();
    ASSERT_NE("", registration_);
  }
  // The next message that is no event.
  std::string answer() {
    for (std::string message;;)
      if ((message = agent_.readMessage()).rfind("<pureEvent", 0) != 0) return message;
  }
  cpclient::RunResult finish() {
    runner_.join();
    return result_;
  }
  std::string log() {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
  }

  AgentListener agent_;
  cpclient::Provider provider_;
  cpclient::RunOptions options_;
  std::thread runner_;
  cpclient::RunResult result_;
  std::string registration_;
  std::mutex logMutex_;
  std::string log_;
};

TEST_F(CxxProvider, AnswersOfOneGroupNeverMixWhileGroupsRunInParallel) {
  constexpr int kGroups = 3;
  constexpr int kRounds = 12;
  std::atomic<int> inside[kGroups + 1] = {};
  std::vector<int> seen[kGroups + 1];  // per group, touched only by the group's serialized handler
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int g = 1; g <= kGroups; g++) {
    provider_.group("G" + std::to_string(g), 1, [&, g](const cpclient::Request& request, cpclient::Rows& rows) {
      EXPECT_EQ(0, inside[g]++);
      if (running++ > 0) overlapped = true;
      // The first request of G1 waits for another group's handler: groups run side by side.
      for (auto until = std::chrono::steady_clock::now() + 5s; request.id() == "1" && !overlapped;)
        if (std::chrono::steady_clock::now() > until) break;
      seen[g].push_back(std::stoi(std::string(request.id())));
      rows.add(request.id(), g);
      std::this_thread::sleep_for(1ms);
      rows.add(request.id(), g);
      running--;
      inside[g]--;
    });
  }
  options_.workers = 4;
  start();
  std::string burst;
  for (int i = 0; i < kRounds * kGroups; i++)
    burst += dataRequest(std::to_string(i + 1), "G" + std::to_string(i % kGroups + 1));
  ASSERT_TRUE(agent_.send(burst));
  std::map<std::string, std::string> answers;
  for (int i = 0; i < kRounds * kGroups; i++) {
    std::string message = answer();
    answers[message.substr(0, message.find("\"><"))] = message;
  }
  for (int i = 0; i < kRounds * kGroups; i++) {
    std::string id = std::to_string(i + 1), group = std::to_string(i % kGroups + 1);
    std::string row = "<a v=\"" + id + "\"/><a v=\"" + group + "\"/>";
    EXPECT_EQ(dataAnswer(id, "G" + group, {row, row}), answers["<dataResponse id=\"" + id]);
  }
  EXPECT_TRUE(overlapped);
  ASSERT_TRUE(agent_.send("<shutdown/>\n"));
  EXPECT_EQ(RunEnd::agentShutdown, finish().end);  // joins the workers: their writes to seen are visible
  for (int g = 1; g <= kGroups; g++) EXPECT_TRUE(std::is_sorted(seen[g].begin(), seen[g].end()));
}

TEST_F(CxxProvider, AgentRestartIsSurvivedAndEventsFailWhileTheConnectionIsDown) {
  std::atomic<bool> entered{false}, release{false}, done{false};
  provider_.group("G", 1, [&](const cpclient::Request& request, cpclient::Rows& rows) {
    entered = true;
    for (auto until = std::chrono::steady_clock::now() + 5s; request.id() == "slow" && !release;)
      if (std::chrono::steady_clock::now() > until) break;
    rows.add(request.id());
  });
  options_.workers = 2;
  options_.backoff = 300ms;  // the window in which the connection is down
  start();
  // The library takes events once its registration is through, just after the agent has it.
  auto until = std::chrono::steady_clock::now() + 5s;
  while (provider_.event("G", "up") == Errc::illegalState && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ("<pureEvent><attrGroup name=\"G\"><in><al><a v=\"up\"/></al></in></attrGroup></pureEvent>\n",
            agent_.readMessage());
  std::thread events([&] {  // events all along, racing the close and the open
    while (!done) {
      std::error_code result = provider_.event("G", "x");
      EXPECT_TRUE(!result || result == Errc::illegalState || result == Errc::writeFailed) << result.message();
      std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(agent_.send(dataRequest("1", "G")));
  EXPECT_EQ(dataAnswer("1", "G", {"<a v=\"1\"/>"}), answer());
  ASSERT_TRUE(agent_.send(dataRequest("slow", "G")));
  while (!entered) std::this_thread::sleep_for(1ms);
  agent_.closeClient();
  until = std::chrono::steady_clock::now() + 5s;
  // The slow answer goes out once the waiting thread has seen the connection end, so it must fail.
  while (log().find("the connection to the agent was lost") == std::string::npos &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  release = true;
  while (provider_.event("G", "down") != Errc::illegalState && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(Errc::illegalState, provider_.event("G", "down"));

  ASSERT_TRUE(agent_.accept());
  EXPECT_EQ(registration_, agent_.readMessage());
  ASSERT_TRUE(agent_.send(dataRequest("2", "G")));
  EXPECT_EQ(dataAnswer("2", "G", {"<a v=\"2\"/>"}), answer());
  done = true;
  events.join();
  ASSERT_TRUE(agent_.send("<shutdown/>\n"));
  agent_.finishSending();
  EXPECT_EQ(RunEnd::agentShutdown, finish().end);
  EXPECT_NE(std::string::npos, log().find("the answer to data request slow failed")) << log();
  EXPECT_EQ(Errc::illegalState, provider_.event("G", "after"));
}

cpclient::Provider* signalTarget = nullptr;

TEST_F(CxxProvider, StopFromASignalHandlerEndsRunAndClosesTheConnection) {
  provider_.group("G", 1, [](const cpclient::Request&, cpclient::Rows&) {});
  start();
  signalTarget = &provider_;
  struct sigaction action = {}, before = {};
  action.sa_handler = [](int) { signalTarget->stop(); };
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &before));
  ASSERT_EQ(0, pthread_kill(runner_.native_handle(), SIGUSR1));  // the waiting thread itself
  EXPECT_EQ(RunEnd::stopped, finish().end);
  EXPECT_EQ("", agent_.readAll(2000));  // closed, nothing more sent
  sigaction(SIGUSR1, &before, nullptr);
}

TEST_F(CxxProvider, ThrowingHandlersAreAnsweredWithTheErrorRcAndValuesAreFormattedExactly) {
  provider_.group("G", 1, [](const cpclient::Request& request, cpclient::Rows& rows) {
    if (request.id() == "bad") throw std::runtime_error("boom");
    rows.add(request.id(), -12, 2.5, 1e20, true, nullptr, std::string_view("a&b"));
    for (const auto& [name, value, op, logOp] : request.filters())
      rows.add(name, value, op.value_or("none"), logOp.value_or("none"));
  });
  provider_.task([](const cpclient::Request& request, cpclient::TaskOutput& out) {
    if (request.command() == "bad") throw 1;
    out.add(*request.command(), "i1");
    out.add(7);
    return 3;
  });
  options_.handlerErrorRc = 7;
  start();
  ASSERT_TRUE(agent_.send(dataRequest("bad", "G")));
  EXPECT_EQ("<dataResponse id=\"bad\"><attrGroup name=\"G\"><error rc=\"7\"/></attrGroup></dataResponse>\n", answer());
  const std::string taskAnswers[] = {"<taskResponse id=\"t1\" rc=\"7\"/>",
                                     "<taskResponse id=\"t2\" rc=\"3\"><output value=\"run\" inst=\"i1\"/>"
                                     "<output value=\"7\"/></taskResponse>"};
  ASSERT_TRUE(agent_.send(taskRequest("t1", "bad")));
  EXPECT_EQ(taskAnswers[0], agent_.readBytes(taskAnswers[0].size()));
  ASSERT_TRUE(agent_.send(taskRequest("t2", "run")));
  EXPECT_EQ(taskAnswers[1], agent_.readBytes(taskAnswers[1].size()));
  ASSERT_TRUE(agent_.send(dataRequest("ok", "G", "<requestInfo name=\"n\" value=\"v\" op=\"EQ\"/>")));
  EXPECT_EQ(dataAnswer("ok", "G",
                       {"<a v=\"ok\"/><a v=\"-12\"/><a v=\"2.5\"/><a v=\"1e+20\"/><a v=\"true\"/><a v=\"\"/>"
                        "<a v=\"a&amp;b\"/>",
                        "<a v=\"n\"/><a v=\"v\"/><a v=\"EQ\"/><a v=\"none\"/>"}),
            answer());
  EXPECT_NE(std::string::npos, log().find("the handler of group G threw: boom")) << log();
  EXPECT_NE(std::string::npos, log().find("the handler of task t1 threw")) << log();
  EXPECT_EQ(Errc::unknownGroup, provider_.event("Nope", 1));
  EXPECT_EQ("the request id is not pending", std::error_code(Errc::idNotPending).message());
}

// Counts the lines of the log that hold text.
int lines(const std::string& log, const std::string& text) {
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) count++;
  return count;
}

TEST_F(CxxProvider, RunSaysWhetherTheAgentShutDownItWasStoppedOrItGaveUp) {
  start();
  ASSERT_TRUE(agent_.send("<shutdown/>\n"));
  EXPECT_EQ(RunEnd::agentShutdown, finish().end);
  options_.port = AgentListener::unusedPort();
  options_.connectAttempts = 4;
  cpclient::RunResult gaveUp = provider_.run(options_);
  EXPECT_EQ(RunEnd::gaveUp, gaveUp.end);
  EXPECT_EQ(Errc::connectFailed, gaveUp.error);
  EXPECT_EQ(1, lines(log(), "cannot reach the agent")) << log();  // not one line per attempt
  options_.connectAttempts = 0;
  options_.connectTimeout = 150ms;
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(RunEnd::gaveUp, provider_.run(options_).end);
  EXPECT_GE(std::chrono::steady_clock::now() - began, 150ms);
  provider_.stop();
  EXPECT_EQ(RunEnd::stopped, provider_.run(options_).end);
}

// A listener that begins on port only when made: an agent that comes up late.
struct LateAgent {
  explicit LateAgent(int port) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    listen(fd, 4);
  }
  ~LateAgent() { close(fd); }
  // Accepts within 10 s, then reads one message; "" when none came.
  std::string acceptAndRead() {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return "";
    int client = accept(fd, nullptr, nullptr);
    close(fd);
    fd = client;
    return read();
  }
  std::string read() {
    std::string message;
    char byte = 0;
    while (message.size() < 2 || message.compare(message.size() - 2, 2, ">\n") != 0) {
      pollfd ready = {fd, POLLIN, 0};
      if (poll(&ready, 1, 5000) != 1 || ::read(fd, &byte, 1) != 1) return message;
      message += byte;
    }
    return message;
  }
  bool send(const std::string& bytes) { return write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()); }
  int fd;
};

TEST_F(CxxProvider, AProviderStartedBeforeItsAgentIsServedOnceTheAgentListens) {
  provider_.group("G", 1, [](const cpclient::Request& request, cpclient::Rows& rows) { rows.add(request.id(), 'R'); });
  options_ = {};
  options_.port = AgentListener::unusedPort();
  runner_ = std::thread([this] { result_ = provider_.run(options_); });
  std::this_thread::sleep_for(3s);
  LateAgent agent(options_.port);
  EXPECT_NE("", agent.acceptAndRead());
  ASSERT_TRUE(agent.send(dataRequest("1", "G") + "<shutdown/>\n"));
  EXPECT_EQ(dataAnswer("1", "G", {"<a v=\"1\"/><a v=\"R\"/>"}), agent.read());
  EXPECT_EQ(RunEnd::agentShutdown, finish().end);
  EXPECT_EQ(1, lines(log(), "cannot reach the agent: the connection to the agent failed")) << log();
  EXPECT_EQ(1, lines(log(), "connected to the agent after ")) << log();
  EXPECT_EQ(2, lines(log(), "\n")) << log();
}

TEST_F(CxxProvider, AnAgentOfAnotherUserIsRefusedAndRetriedUntilStopped) {
  ASSERT_EQ(nullptr, getenv("CP_AGENT_USER"));
  options_.agentUser = std::to_string(getuid() + 1);
  runner_ = std::thread([this] { result_ = provider_.run(options_); });
  for (int i = 0; i < 2; i++) {  // each attempt connects, and the library closes at once
    ASSERT_TRUE(agent_.accept());
    EXPECT_EQ("", agent_.readAll(2000));
  }
  provider_.stop();
  EXPECT_EQ(RunEnd::stopped, finish().end);
  EXPECT_EQ(1, lines(log(), "cannot reach the agent (only an agent of user " + options_.agentUser + ")")) << log();
  EXPECT_EQ(nullptr, getenv("CP_AGENT_USER"));  // restored
}

TEST(CxxProviderStop, StopAndSignalsEndRunWithinHalfASecondInEveryState) {
  struct Case {
    const char* name;
    int signal;  // 0: stop()
    bool agent;  // else unreachable: run is pausing between attempts
    bool busy;   // a handler is running past the grace
  } const kCases[] = {{"stop while pausing", 0, false, false},
                      {"SIGINT while pausing", SIGINT, false, false},
                      {"SIGTERM while pausing", SIGTERM, false, false},
                      {"stop while waiting", 0, true, false},
                      {"SIGINT while answering", SIGINT, true, true}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    struct Shared {
      std::atomic<bool> entered{false}, release{false}, warned{false};
      std::atomic<int> started{0}, ended{0};  // threads of the run, the detached one too
    };
    auto shared = std::make_shared<Shared>();  // the detached handler outlives the case
    AgentListener agent;
    cpclient::Provider provider;
    provider.onLog([shared](std::string_view line) {
      if (line.find("cannot reach") != line.npos) shared->warned = true;
    });
    provider.group("G", 1, [shared](const cpclient::Request&, cpclient::Rows&) {
      shared->entered = true;
      while (!shared->release) std::this_thread::sleep_for(1ms);
    });
    cpclient::RunOptions options;
    options.port = c.agent ? agent.port() : AgentListener::unusedPort();
    options.backoff = options.maxBackoff = 5s;
    options.grace = 100ms;
    options.workers = 1;
    options.handleSignals = true;
    // Counts the run's threads out, so that the case ends only when the detached one has:
    // a thread still running when the process exits would meet its static objects gone.
    options.startThread = [shared](std::function<void()> body) {
      shared->started++;
      return std::thread([shared, body = std::move(body)]() mutable {
        std::move(body)();
        body = nullptr;  // the session it holds goes before the count
        shared->ended++;
      });
    };
    struct sigaction before = {}, after = {};
    sigaction(SIGINT, nullptr, &before);
    auto run = std::async(std::launch::async, [&] { return provider.run(options); });
    if (c.agent) {
      ASSERT_TRUE(agent.accept());
      ASSERT_NE("", agent.readMessage());
      if (c.busy) {
        ASSERT_TRUE(agent.send(dataRequest("1", "G")));
      }
    }
    auto until = std::chrono::steady_clock::now() + 5s;
    while (!(c.busy ? shared->entered.load() : c.agent || shared->warned.load()) &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);  // well inside the state
    auto began = std::chrono::steady_clock::now();
    if (c.signal) {
      kill(getpid(), c.signal);
    } else {
      provider.stop();
    }
    ASSERT_EQ(std::future_status::ready, run.wait_for(2s));
    auto latency = std::chrono::steady_clock::now() - began;
    EXPECT_LT(latency, 500ms);
    std::printf("[ latency  ] %s: %lld ms\n", c.name,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(latency).count()));
    EXPECT_EQ(RunEnd::stopped, run.get().end);
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(before.sa_handler, after.sa_handler);  // put back
    shared->release = true;
    for (auto end = std::chrono::steady_clock::now() + 5s;
         shared->ended < shared->started && std::chrono::steady_clock::now() < end;)
      std::this_thread::sleep_for(1ms);
    EXPECT_EQ(shared->started.load(), shared->ended.load());
  }
}

TEST_F(CxxProvider, AThreadThatCannotStartFailsRunWithSystemErrorAfterJoiningTheOthers) {
  std::atomic<int> made{0}, ended{0};
  options_.workers = 3;
  options_.startThread = [&](const std::function<void()>& body) {
    if (made++ == 1) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread([&ended, body] {
      body();
      ended++;
    });
  };
  try {
    (void)provider_.run(options_);
    ADD_FAILURE() << "run returned";
  } catch (const std::system_error& e) {
    EXPECT_EQ(std::errc::resource_unavailable_try_again, e.code());
  }
  EXPECT_EQ(1, ended.load());
  EXPECT_FALSE(agent_.accept(300));  // nothing was connected
  provider_.stop();
  EXPECT_EQ(RunEnd::stopped, provider_.run(options_).end);  // not refused as a second run
}

TEST_F(CxxProvider, CharsAndViewRowsAreTextBadNamesAreRefusedAndOneProviderRunsAtATime) {
  provider_.group("G", 1, [](const cpclient::Request& request, cpclient::Rows& rows) {
    rows.add(request.id(), 'R');
    std::vector<std::string_view> row = {"a", std::string_view("bc", 1)};
    rows.addRow(row);
  });
  provider_.task([](const cpclient::Request&, cpclient::TaskOutput& out) { return out.add(1, "i\x01"), 0; });
  for (const char* bad : {"", "a&b", "a<b", "a>b", "a\"b", "a'b", "a\tb", "a\x7f"})
    EXPECT_THROW(provider_.group(bad, 1, nullptr), std::invalid_argument) << bad;
  provider_.every(10ms, [this] { (void)provider_.event("G", "tick"); });
  options_.handlerErrorRc = 5;
  start();
  EXPECT_EQ("<pureEvent><attrGroup name=\"G\"><in><al><a v=\"tick\"/></al></in></attrGroup></pureEvent>\n",
            agent_.readMessage());
  ASSERT_TRUE(agent_.send(dataRequest("r", "G") + taskRequest("t", "x")));
  EXPECT_EQ(dataAnswer("r", "G", {"<a v=\"r\"/><a v=\"R\"/>", "<a v=\"a\"/><a v=\"b\"/>"}), answer());
  const std::string taskAnswer = "<taskResponse id=\"t\" rc=\"5\"/>";  // the task threw on its instance
  EXPECT_EQ(taskAnswer, agent_.readBytes(taskAnswer.size()));
  EXPECT_EQ(std::errc::invalid_argument, provider_.subnodeEvent("G", "s&1", 1));
  EXPECT_EQ(std::errc::invalid_argument, provider_.eventError("G", 1, "s\n"));
  cpclient::Provider second;
  EXPECT_EQ(std::errc::device_or_resource_busy, second.run(options_).error);
  provider_.stop();
  EXPECT_EQ(RunEnd::stopped, finish().end);
}

}  // namespace
