// Faults on the wire against a real loopback agent: the connection ending at every
// byte, messages one byte at a time, a huge message, a NUL, an agent that stops
// reading, and many open/close cycles.
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/ApiFixture.h"
#include "api/DataResponse.h"
#include "host/Trace.h"
#include "support/TraceCapture.h"
#include "util/HashTable.h"

namespace {

const std::string kStream =
    "<dataRequest id=\"d1\" requestStartedID=\"r1\"><attrGroup name=\"Procs\"/>"
    "<requestInfo name=\"n\" value=\"v\"/></dataRequest>\n"
    "<taskRequest id=\"t1\"><task command=\"c\"/></taskRequest>\n"
    "<startRequestInfo requestStartedID=\"r2\" ag=\"Procs\"/>\n"
    "<dataRequest id=\"d2\"><attrGroup name=\"Procs\"/></dataRequest>\n"
    "<stopRequestInfo requestStartedID=\"r2\" ag=\"Procs\"/>\n";

int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') count++;
  closedir(dir);
  return count;
}

class WireFault : public ApiTest {
 protected:
  // Answers every request like a provider until the wait reports no request;
  // returns the requests seen. Never more waits than the stream holds messages.
  // An answer that finds the connection gone ends it: no request is served after it.
  std::vector<std::string> serveUntilGone(int* lastAnswer) {
    std::vector<std::string> seen;
    for (int waits = 0; waits < 8; waits++) {
      CPREQUEST* r = nullptr;
      EXPECT_EQ(CP_OK, cpdll_WaitForRequest(&r));
      int type = r->requestType;
      if (*lastAnswer == CP_WRITE_FAILED) {
        EXPECT_EQ(NO_REQUEST, type) << "served after the connection ended";
      }
      if (type == DATA_REQUEST) {
        const char* row[] = {"v"};
        cp_SetAttributeValues(const_cast<char**>(row), 1, r->id);
        *lastAnswer = cpdll_SendData(r->id);
      } else if (type == TASK_REQUEST) {
        *lastAnswer = cpdll_SendTaskRC(0, r->id);
      }
      seen.push_back(std::to_string(type) + (r->id ? r->id : "") + (r->requestStartedID ? r->requestStartedID : ""));
      cpdll_FreeRequest(r);
      if (type == NO_REQUEST) return seen;
    }
    ADD_FAILURE() << "the wait did not end";
    return seen;
  }
};

TEST_F(WireFault, ConnectionEndingAtEveryByteEndsTheWaitCleanly) {
  TraceCapture quiet(0);
  const std::vector<std::string> all = {"1d1r1", "2t1", "3r2", "1d2", "4r2"};
  for (bool reset : {false, true}) {
    for (size_t offset = 0; offset <= kStream.size(); offset++) {
      SCOPED_TRACE((reset ? "reset after " : "close after ") + std::to_string(offset) + " bytes");
      openRegistered({{"Procs", 7}});
      ASSERT_TRUE(agent_.send(kStream.substr(0, offset)));
      if (reset) {
        agent_.resetClient();
      } else {
        agent_.closeClient();
      }
      int lastAnswer = CP_OK;
      std::vector<std::string> seen = serveUntilGone(&lastAnswer);
      // The complete messages before the cut are served in order, all of them unless
      // an answer found the connection gone first.
      size_t complete = 0;
      for (size_t at = 0; (at = kStream.find(">\n", at)) != std::string::npos && at + 2 <= offset; at += 2) complete++;
      ASSERT_LE(seen.size(), complete + 1);
      if (lastAnswer != CP_WRITE_FAILED) {
        ASSERT_EQ(complete + 1, seen.size());
      }
      for (size_t i = 0; i + 1 < seen.size(); i++) EXPECT_EQ(all[i], seen[i]);
      EXPECT_EQ(std::to_string(NO_REQUEST), seen.back());
      EXPECT_EQ(REG_COMPLETE_STATE, cpContext.state);
      // Once the wait has seen the agent go, answers fail rather than pretend, from the first.
      EXPECT_EQ(CP_WRITE_FAILED, cpdll_SendEventError(1, 7));
      EXPECT_EQ(CP_OK, cpdll_CloseConnection());
      if (HasFailure()) return;
    }
  }
}

TEST_F(WireFault, MessagesSentOneBytePerSegmentArriveWhole) {
  openRegistered({{"Procs", 7}});
  std::thread sender([this] {
    for (char c : kStream + "<shutdown/>\n") {
      ASSERT_TRUE(agent_.send(std::string(1, c)));
      usleep(20);
    }
  });
  int lastAnswer = CP_OK;
  std::vector<std::string> seen = serveUntilGone(&lastAnswer);
  sender.join();
  EXPECT_EQ((std::vector<std::string>{"1d1r1", "2t1", "3r2", "1d2", "4r2", "0"}), seen);
  EXPECT_EQ(CP_OK, lastAnswer);
}

TEST_F(WireFault, TenMegabyteMessageIsDeliveredIntact) {
  openRegistered({{"Procs", 7}});
  std::string big(size_t{10} * 1024 * 1024, 'x');
  for (size_t i = 0; i < big.size(); i += 4093) big[i] = 'y';
  std::thread sender([&] {
    ASSERT_TRUE(agent_.send("<dataRequest id=\"big\"><attrGroup name=\"Procs\"/><requestInfo name=\"n\" value=\"" +
                            big + "\"/></dataRequest>\n"));
  });
  CPREQUEST* r = nullptr;
  ASSERT_EQ(CP_OK, cpdll_WaitForRequest(&r));
  sender.join();
  ASSERT_EQ(DATA_REQUEST, r->requestType);
  ASSERT_NE(nullptr, r->requestInfo);
  EXPECT_TRUE(big == r->requestInfo->value);
  cpdll_FreeRequest(r);
}

TEST_F(WireFault, BytesAfterANulInOneReadAreDropped) {
  openRegistered({{"Procs", 7}});
  static const char kWithNul[] =
      "<taskRequest id=\"t\"><task command=\"c\"/></taskRequest>\n\0<dataRequest id=\"x\">\n";
  ASSERT_TRUE(agent_.send(std::string(kWithNul, sizeof kWithNul - 1)));
  CPREQUEST* r = nullptr;
  ASSERT_EQ(CP_OK, cpdll_WaitForRequest(&r));
  EXPECT_EQ(TASK_REQUEST, r->requestType);
  cpdll_FreeRequest(r);
  // The read that held the NUL has been consumed whole: the next message is new.
  ASSERT_TRUE(agent_.send("<shutdown/>\n"));
  ASSERT_EQ(CP_OK, cpdll_WaitForRequest(&r));
  EXPECT_EQ(NO_REQUEST, r->requestType);
  EXPECT_EQ(nullptr, r->id);
  cpdll_FreeRequest(r);
}

TEST_F(WireFault, WriteBlockedByAnAgentThatStopsReadingFailsWhenTheAgentGoesAway) {
  openRegistered({{"Procs", 7}});
  TraceCapture quiet(0);
  std::atomic<int> lastResult{CP_OK};
  std::atomic<int> sent{0};
  std::thread writer([&] {
    std::string value(size_t{64} * 1024, 'v');
    const char* row[] = {value.c_str()};
    int rc = CP_OK;
    while (rc == CP_OK) {
      rc = cpdll_SendEventData(const_cast<char**>(row), 1, 7);
      sent++;
    }
    lastResult = rc;
  });
  // The agent reads nothing: the socket buffers fill and the writer blocks, which
  // shows as a count that stops moving (waited for, however loaded the machine).
  bool blocked = false;
  for (int i = 0; i < 100 && !blocked; i++) {
    int before = sent.load();
    usleep(100000);
    blocked = before >= 2 && sent.load() == before;
  }
  EXPECT_TRUE(blocked) << "the writer should be blocked";
  agent_.resetClient();
  writer.join();
  EXPECT_EQ(CP_WRITE_FAILED, lastResult.load());
  EXPECT_EQ(CP_OK, cpdll_CloseConnection());
  openConnected();  // and the library connects again
}

TEST_F(WireFault, ThousandOpenCloseCyclesLeakNoDescriptor) {
  cpdll_setPort(agent_.port());
  ASSERT_EQ(CP_OK, cpdll_OpenConnection());
  ASSERT_TRUE(agent_.accept());
  cpdll_CloseConnection();
  int before = openDescriptors();
  for (int i = 0; i < 1000; i++) {
    ASSERT_EQ(CP_OK, cpdll_OpenConnection());
    ASSERT_TRUE(agent_.accept());
    if (i % 2) {
      ASSERT_EQ(CP_OK, cpdll_RegistrationComplete());
    }
    ASSERT_EQ(CP_OK, cpdll_CloseConnection());
  }
  agent_.closeClient();
  EXPECT_EQ(before - 1, openDescriptors());  // less the agent's last accepted socket
}

// A provider whose waiting thread waits again after every NO_REQUEST, closed from
// another thread at once: the close must never pull the socket from under a wait.
TEST_F(WireFault, CloseWhileAnotherThreadWaitsAgainAndAgainIsSafe) {
  TraceCapture quiet(0);
  for (int cycle = 0; cycle < 300; cycle++) {
    openRegistered({{"Procs", 7}});
    std::atomic<int> last{CP_OK};
    std::thread waiter([&last] {
      int rc;
      do {
        CPREQUEST* r = nullptr;
        rc = cpdll_WaitForRequest(&r);
        cpdll_FreeRequest(r);
      } while (rc == CP_OK);
      last = rc;
    });
    ASSERT_EQ(CP_OK, cpdll_CloseConnection());
    waiter.join();
    ASSERT_EQ(CP_ILLEGAL_STATE, last.load());
    ASSERT_EQ(0, cpContext.waiters.load());
  }
}

// Events, task answers and data answers on other threads while the close runs: the
// close must never free the registry, the tables or the socket under one of them.
TEST_F(WireFault, CloseWhileOtherThreadsAnswerAndSendEventsIsSafe) {
  TraceCapture quiet(0);
  for (int cycle = 0; cycle < 200; cycle++) {
    openRegistered({{"Procs", 7}});
    ASSERT_TRUE(
        agent_.send("<taskRequest id=\"t\"><task command=\"c\"/></taskRequest>\n"
                    "<dataRequest id=\"d\"><attrGroup name=\"Procs\"/></dataRequest>\n"));
    for (int i = 0; i < 2; i++) {
      CPREQUEST* r = nullptr;
      ASSERT_EQ(CP_OK, cpdll_WaitForRequest(&r));
      cpdll_FreeRequest(r);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    auto expected = [](int rc) { return rc == CP_OK || rc == CP_ILLEGAL_STATE || rc == CP_WRITE_FAILED; };
    std::thread events([&] {
      char value[] = "v";
      char* row[] = {value};
      for (int sent = 0; !stop && sent < 200; sent++) {  // within the agent's socket buffer
        if (!expected(cpdll_SendEventData(row, 1, 7)) || !expected(cpdll_SendEventError(1, 7))) unexpected++;
      }
    });
    std::thread answers([&] {
      const char* row[] = {"v"};
      int rows = cpdll_SetAttributeValuesUtf8(row, 1, "d");
      int data = cpdll_SendData("d");
      int task = cpdll_SendTaskRC(0, "t");
      for (int rc : {rows, data, task})
        if (!expected(rc) && rc != CP_ID_NOT_PENDING) unexpected++;
    });
    std::this_thread::sleep_for(std::chrono::microseconds(cycle % 7 * 50));
    ASSERT_EQ(CP_OK, cpdll_CloseConnection());
    stop = true;
    events.join();
    answers.join();
    ASSERT_EQ(0, unexpected.load());
    ASSERT_EQ(0, cpContext.users.load());
    agent_.readAll(0);
  }
}

// An answer that has passed its state check when the close begins (held here at
// the pending-table lock) is delivered whole to an agent that reads; so it is when
// two closes meet, and the second waits for the first instead of freeing twice.
TEST_F(WireFault, CloseLetsAnAnswerUnderWayFinishAndSerialisesWithASecondClose) {
  TraceCapture quiet(0);
  for (int closers : {1, 2}) {
    SCOPED_TRACE(std::to_string(closers) + " closes");
    openRegistered({{"Procs", 7}});
    cpdll_FreeRequest(requestFor("<dataRequest id=\"d\"><attrGroup name=\"Procs\"/></dataRequest>\n"));
    const char* row[] = {"v"};
    ASSERT_EQ(CP_OK, cpdll_SetAttributeValuesUtf8(row, 1, "d"));
    SVC1_GetLock(&cpContext.pendingLock);
    std::atomic<int> answered{1};
    std::thread answer([&answered] { answered = cpdll_SendData("d"); });
    while (cpContext.users.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past its state check
    std::vector<std::thread> closes;
    std::atomic<int> closed{0};
    for (int i = 0; i < closers; i++) closes.emplace_back([&closed] { closed += cpdll_CloseConnection() == CP_OK; });
    while (!cpContext.closing.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the close has stopped the receiving
    SVC1_ReleaseLock(&cpContext.pendingLock);
    std::string received = agent_.readAll(2000);
    answer.join();
    for (std::thread& t : closes) t.join();
    EXPECT_EQ(CP_OK, answered.load());
    EXPECT_EQ(closers, closed.load());
    EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state.load());
    EXPECT_EQ(
        "<dataResponse id=\"d\"><attrGroup name=\"Procs\"><in><al><a v=\"v\"/></al></in></attrGroup></dataResponse>\n",
        received);
  }
}

// A send that the agent never takes holds the close only until the close's limit:
// the close then ends the sending side, which fails that send, and goes on as the
// call leaves (a close that slept through its wake-up would never return).
TEST_F(WireFault, CloseEndsASendTheAgentNeverTakesAtItsLimit) {
  openRegistered({{"Procs", 7}});
  TraceCapture quiet(0);
  std::atomic<int> sent{0}, last{CP_OK};
  std::thread writer([&] {
    std::string value(size_t{64} * 1024, 'v');
    const char* row[] = {value.c_str()};
    int rc;
    while ((rc = cpdll_SendEventData(const_cast<char**>(row), 1, 7)) == CP_OK) sent++;
    last = rc;
  });
  int before = -1;
  for (int i = 0; i < 100 && (before < 2 || sent.load() != before); i++) {  // until the writer is blocked
    before = sent.load();
    usleep(100000);
  }
  EXPECT_EQ(CP_OK, cpdll_CloseConnection());
  writer.join();
  EXPECT_EQ(CP_WRITE_FAILED, last.load());
  EXPECT_EQ(0, cpContext.users.load());
}

// Requests the provider never read are still queued when it closes: the close must
// not answer them with a reset, which would throw away events not yet delivered.
TEST_F(WireFault, CloseOverUnreadRequestsDeliversEveryEventSent) {
  openRegistered({{"Procs", 7}});
  ASSERT_TRUE(agent_.send("<taskRequest id=\"t\"><task command=\"c\"/></taskRequest>\n"));
  std::string received;
  std::thread agentReads([&] {
    usleep(200000);  // the agent reads late, so events are still queued at the close
    received = agent_.readAll(3000);
  });
  std::string value(1000, 'v');
  const char* row[] = {value.c_str()};
  constexpr int kEvents = 5000;
  for (int i = 0; i < kEvents; i++) ASSERT_EQ(CP_OK, cpdll_SendEventData(const_cast<char**>(row), 1, 7));
  EXPECT_EQ(CP_OK, cpdll_CloseConnection());
  agentReads.join();
  int events = 0;
  for (size_t at = 0; (at = received.find("</pureEvent>\n", at)) != std::string::npos; at++) events++;
  EXPECT_EQ(kEvents, events);
}

}  // namespace
