// The C++ provider API (cpclient.hpp) over the shared library, against a loopback agent.
#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>
#include <map>
#include <mutex>
#include <stdexcept>

#include "cpclient.hpp"
#include "support/AgentListener.h"

namespace {

using namespace std::chrono_literals;
using cpclient::Errc;

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
  std::error_code finish() {
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
  std::error_code result_;
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
  EXPECT_FALSE(finish());  // joins the workers: their writes to seen are visible
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
  EXPECT_FALSE(finish());
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
  EXPECT_FALSE(finish());
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

}  // namespace
