// The timed wait: each of its ends over a real loopback agent, and a message cut by the time limit.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "api/ApiFixture.h"

namespace {

class TimedWait : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    openRegistered({{"Procs", 7}});
  }
  // One timed wait: its result, with the record's type in *type; the record is freed.
  static int wait(int timeoutMs, int* type = nullptr) {
    CPREQUEST* r = nullptr;
    int result = cpdll_WaitForRequestTimed(&r, timeoutMs);
    if (type) *type = r ? r->requestType : -1;
    cpdll_FreeRequest(r);
    return result;
  }
};

struct EndCase {
  const char* name;
  const char* inbound;  // sent before the wait; "close" closes the connection instead
  int result;
  int requestType;
};

const EndCase kEnds[] = {
    {"DataRequest", "<dataRequest id=\"1\"><attrGroup name=\"Procs\"/></dataRequest>\n", CP_OK, DATA_REQUEST},
    {"TaskRequest", "<taskRequest id=\"2\"><task command=\"c\"/></taskRequest>\n", CP_OK, TASK_REQUEST},
    {"StopOfARegisteredGroup", "<stopRequestInfo ag=\"Procs\"/>\n", CP_OK, STOP_REQUEST},
    {"Shutdown", "<shutdown/>\n", CP_AGENT_SHUTDOWN, NO_REQUEST},
    {"StopOfAnUnknownGroupIsSkipped", "<stopRequestInfo ag=\"Nope\" shuttingDown=\"true\"/>\n", CP_TIMED_OUT,
     NO_REQUEST},
    {"NothingArrives", "", CP_TIMED_OUT, NO_REQUEST},
    {"AgentCloses", "close", CP_CONNECTION_LOST, NO_REQUEST},
};

class TimedWaitEnd : public TimedWait, public ::testing::WithParamInterface<EndCase> {};

TEST_P(TimedWaitEnd, SaysWhyItEnded) {
  const EndCase& c = GetParam();
  if (std::string(c.inbound) == "close")
    agent_.closeClient();
  else
    ASSERT_TRUE(agent_.send(c.inbound));
  int type = -1;
  EXPECT_EQ(c.result, wait(200, &type));
  EXPECT_EQ(c.requestType, type);
}

INSTANTIATE_TEST_SUITE_P(Messages, TimedWaitEnd, ::testing::ValuesIn(kEnds),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

TEST_F(TimedWait, MessageCutByTheTimeLimitIsCompletedByTheNextWait) {
  const std::string message = "<dataRequest id=\"5\"><attrGroup name=\"Procs\"/></dataRequest>\n";
  for (size_t cut : {size_t(1), message.size() - 2, message.size() - 1}) {  // the last: only the line feed is due
    ASSERT_TRUE(agent_.send(message.substr(0, cut)));
    EXPECT_EQ(CP_TIMED_OUT, wait(30)) << cut;
    ASSERT_TRUE(agent_.send(message.substr(cut)));
    CPREQUEST* r = nullptr;
    ASSERT_EQ(CP_OK, cpdll_WaitForRequestTimed(&r, 1000)) << cut;
    EXPECT_EQ(DATA_REQUEST, r->requestType);
    EXPECT_STREQ("5", r->id);
    cpdll_FreeRequest(r);
    EXPECT_EQ(CP_OK, cpdll_SendData("5"));
  }
}

// This thread's CPU seconds to receive a data request of about size bytes that
// arrives in 4 KiB pieces with a zero-limit poll after each, sending included.
double pollWhileArriving(AgentListener& agent, size_t size, const std::string& id) {
  const std::string message = "<dataRequest id=\"" + id +
                              "\"><attrGroup name=\"Procs\"/><requestInfo name=\"n\" value=\"" +
                              std::string(size, 'v') + "\"/></dataRequest>\n";
  constexpr size_t PIECE = 4096;
  timespec start{}, stop{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  int result = CP_TIMED_OUT;
  CPREQUEST* r = nullptr;
  for (size_t at = 0; at < message.size() && result == CP_TIMED_OUT; at += PIECE) {
    EXPECT_TRUE(agent.send(message.substr(at, PIECE)));
    cpdll_FreeRequest(r);
    result = cpdll_WaitForRequestTimed(&r, 0);
  }
  if (result == CP_TIMED_OUT) result = cpdll_WaitForRequestTimed(&r, 1000);  // the last piece may come late
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stop);
  EXPECT_EQ(CP_OK, result);
  EXPECT_EQ(DATA_REQUEST, r->requestType);
  cpdll_FreeRequest(r);
  EXPECT_EQ(CP_OK, cpdll_SendError(1, id.c_str()));
  return static_cast<double>(stop.tv_sec - start.tv_sec) + static_cast<double>(stop.tv_nsec - start.tv_nsec) * 1e-9;
}

// A poll that finds nothing new costs the same however much of the request has
// arrived: four times the size costs about four times the time, not sixteen.
TEST_F(TimedWait, ZeroPollsOverARequestArrivingInPiecesCostLinearTime) {
  agent_.sendWithoutDelay();
  double small = 1e9, large = 1e9;
  for (int run = 0; run < 3; run++) {
    small = std::min(small, pollWhileArriving(agent_, 1 << 20, "s" + std::to_string(run)));
    large = std::min(large, pollWhileArriving(agent_, 4 << 20, "l" + std::to_string(run)));
  }
  RecordProperty("ratio", std::to_string(large / small));
  EXPECT_LT(large / small, 8) << small << " s for 1 MiB, " << large << " s for 4 MiB";
}

TEST_F(TimedWait, ZeroTakesOnlyWhatHasArrivedAndTheTimeIsHeld) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CP_TIMED_OUT, wait(0));
  EXPECT_EQ(CP_TIMED_OUT, wait(100));
  auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(tookMs, 100);
  ASSERT_TRUE(agent_.send("<shutdown/>\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(CP_AGENT_SHUTDOWN, wait(0));
}

TEST_F(TimedWait, CloseOnAnotherThreadIsALostConnectionThenTheWrongState) {
  int result = 0;
  std::thread waiter([&] { result = wait(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(CP_OK, cpdll_CloseConnection());
  waiter.join();
  EXPECT_EQ(CP_CONNECTION_LOST, result);
  EXPECT_EQ(CP_ILLEGAL_STATE, wait(0));
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_WaitForRequestTimed(nullptr, 0));
}

TEST_F(TimedWait, LostConnectionStaysLost) {
  agent_.resetClient();
  EXPECT_EQ(CP_CONNECTION_LOST, wait(1000));
  EXPECT_EQ(CP_CONNECTION_LOST, wait(-1));
}

}  // namespace
