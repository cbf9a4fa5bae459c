// Out-of-memory sweep: a whole conversation, rerun with each allocation failing in
// turn (alone, and with every later one). At every step: no crash, no leak, and a
// call that reports success did what it says, byte for byte at the agent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/Connection.h"
#include "config/ConfigData.h"
#include "config/SubnodeNames.h"
#include "cpclient.h"
#include "host/Trace.h"
#include "oom/AllocationShim.h"
#include "support/AgentListener.h"
#include "transport/ClientSocket.h"

namespace {

// One piece of an expected agent stream: literal bytes, or one of several texts
// (a value may arrive escaped, unescaped, or empty when its copy failed).
struct Piece {
  std::vector<std::string> choices;
};

class Expected {
 public:
  void text(const std::string& s) { pieces_.push_back({{s}}); }
  void value(const std::string& escaped, const std::string& raw) { pieces_.push_back({{escaped, raw, ""}}); }
  bool matches(const std::string& stream) const { return match(stream, 0, 0); }
  std::string describe() const {
    std::string out;
    for (const Piece& p : pieces_) out += p.choices.size() == 1 ? p.choices[0] : "{" + p.choices[0] + "|...}";
    return out;
  }

 private:
  bool match(const std::string& s, size_t at, size_t piece) const {
    if (piece == pieces_.size()) return at == s.size();
    for (const std::string& c : pieces_[piece].choices)
      if (s.compare(at, c.size(), c) == 0 && match(s, at + c.size(), piece + 1)) return true;
    return false;
  }
  std::vector<Piece> pieces_;
};

void silence(const TraceLine&, void*) {}

const char* kRequests =
    "<dataRequest id=\"d1\" requestStartedID=\"r1\" subnode=\"S1\"><attrGroup name=\"Procs\"/>"
    "<requestInfo name=\"n\" value=\"v &amp; w\" op=\"EQ\"/></dataRequest>\n"
    "<dataRequest id=\"d2\"><attrGroup name=\"Disks\"/></dataRequest>\n"
    "<taskRequest id=\"t1\"><task command=\"echo hi\" user=\"me\"/></taskRequest>\n"
    "<startRequestInfo requestStartedID=\"r2\" ag=\"Procs\"/>\n"
    "<stopRequestInfo requestStartedID=\"r2\" ag=\"Procs\" shuttingDown=\"TRUE\"/>\n"
    "<shutdown/>\n";

bool isEmpty(const CPREQUEST* r) {
  return r->requestType == NO_REQUEST && r->groupId == 0 && !r->id && !r->requestStartedID && !r->requestInfo &&
         !r->command && !r->subnode && !r->user && !r->shuttingDown;
}

// A record that the wait reported as a success must be exactly the request sent.
void checkRecord(const CPREQUEST* r) {
  auto is = [](const char* a, const char* b) {
    return (a == nullptr && b == nullptr) || (a && b && std::string(a) == b);
  };
  switch (r->requestType) {
    case DATA_REQUEST:
      if (is(r->id, "d1")) {
        EXPECT_EQ(7, r->groupId);
        EXPECT_TRUE(is(r->requestStartedID, "r1"));
        EXPECT_TRUE(is(r->subnode, "S1"));
        ASSERT_NE(nullptr, r->requestInfo);
        EXPECT_TRUE(is(r->requestInfo->name, "n") && is(r->requestInfo->value, "v & w") &&
                    is(r->requestInfo->op, "EQ") && !r->requestInfo->logOp && !r->requestInfo->next);
      } else {
        EXPECT_TRUE(is(r->id, "d2"));
        EXPECT_EQ(9, r->groupId);
        EXPECT_TRUE(!r->requestStartedID && !r->subnode && !r->requestInfo);
      }
      break;
    case TASK_REQUEST:
      EXPECT_TRUE(is(r->id, "t1") && is(r->command, "echo hi") && is(r->user, "me") && r->groupId == 0);
      break;
    case START_REQUEST: EXPECT_TRUE(r->groupId == 7 && is(r->requestStartedID, "r2") && !r->id); break;
    case STOP_REQUEST: EXPECT_TRUE(r->groupId == 7 && is(r->requestStartedID, "r2") && r->shuttingDown); break;
    default: break;
  }
}

// Answers d1 with three rows, the third wider than the one-block conversion takes,
// and adds what reaches the agent to expected.
void answerRows(Expected& expected) {
  char16_t init[] = u"init", less[] = u"a<b", accent[] = u"\u00e9", wid[] = u"d1";
  char16_t* row1[] = {init, less};
  char16_t* row2[] = {nullptr, accent};
  // Wider than the one-block conversion takes: each value is copied on its own.
  char16_t amp[] = u"x&y";
  constexpr int WIDE = 65;
  char16_t* row3[WIDE];
  for (char16_t*& value : row3) value = amp;
  int r1, r2, r3, sent;
  {
    shim::Armed armed;
    r1 = cpdll_SetAttributeValues(row1, 2, wid);
    r2 = cpdll_SetAttributeValues(row2, 2, wid);
    r3 = cpdll_SetAttributeValues(row3, WIDE, wid);
    sent = cpdll_SendData("d1");
  }
  ASSERT_TRUE(r1 == CP_OK || r1 == CP_NO_MEMORY) << r1;
  ASSERT_TRUE(r2 == CP_OK || r2 == CP_NO_MEMORY) << r2;
  ASSERT_TRUE(r3 == CP_OK || r3 == CP_NO_MEMORY) << r3;
  if (sent == CP_OK) {
    expected.text("<dataResponse id=\"d1\"><attrGroup name=\"Procs\">");
    if (r1 == CP_OK) {
      expected.text("<in><al><a v=\"");
      expected.value("init", "init");
      expected.text("\"/><a v=\"");
      expected.value("a&lt;b", "a<b");
      expected.text("\"/></al></in>");
    }
    if (r2 == CP_OK) {
      expected.text("<in><al><a v=\"\"/><a v=\"");
      expected.value("\xc3\xa9", "\xc3\xa9");
      expected.text("\"/></al></in>");
    }
    if (r3 == CP_OK) {
      expected.text("<in><al>");
      for (int i = 0; i < WIDE; i++) {
        expected.text("<a v=\"");
        expected.value("x&amp;y", "x&y");
        expected.text("\"/>");
      }
      expected.text("</al></in>");
    }
    expected.text("</attrGroup></dataResponse>\n");
  } else {
    ASSERT_TRUE(sent == CP_NO_MEMORY) << sent;
  }
}

// Runs the conversation once, checking every result and the agent's stream.
void converse(AgentListener& agent) {
  Expected expected;
  cpContext.agentPort = -1;
  cpContext.threaded = false;

  {
    shim::Armed armed;
    globalConfigMap.setEnvProperty("ZRW_PRODUCT_CODE", "PC", true, false);
    Subnodes(globalConfigMap).addSection("disk", "c:");
    Subnodes(globalConfigMap).setSubnodeProperty("disk", 1, "LIMIT", "90", false);
  }

  std::string port = "CP_PORT=" + std::to_string(agent.port());
  const char* properties[] = {port.c_str(), "CP_MULTITHREADED=1"};
  int rc;
  {
    shim::Armed armed;
    rc = cp_OpenConnection(properties, 2);
  }
  ASSERT_TRUE(rc == CP_OK || rc == CP_CONNECT_FAILED) << rc;
  bool connected = rc == CP_OK;
  if (connected) {
    ASSERT_TRUE(agent.accept());
  }

  bool procs, disks;
  {
    shim::Armed armed;
    procs = cpdll_RegisterAttrGroup("Procs", 1, 7) == CP_OK;
    disks = cpdll_RegisterAttrGroup("Disks", 2, 9) == CP_OK;
    rc = cpdll_RegistrationComplete();
  }
  if (rc == CP_OK) {  // Procs (chain 12) comes before Disks in the registry
    expected.text(std::string("<vexaRegister ver=\"5\" threaded=\"1\"><attrGroupList>") +
                  (procs ? "<attrGroup name=\"Procs\" ver=\"1\"/>" : "") +
                  (disks ? "<attrGroup name=\"Disks\" ver=\"2\"/>" : "") + "</attrGroupList></vexaRegister>\n");
  } else {
    ASSERT_TRUE(rc == CP_WRITE_FAILED || rc == CP_ILLEGAL_STATE) << rc;
  }
  if (connected) {
    ASSERT_TRUE(agent.send(kRequests));
    agent.finishSending();
  }

  for (int waits = 0; waits < 12; waits++) {
    CPREQUEST* r = nullptr;
    {
      shim::Armed armed;
      rc = cpdll_WaitForRequest(&r);
    }
    if (!r) {
      ASSERT_EQ(CP_NO_MEMORY, rc);
      continue;
    }
    bool last = false;
    if (rc == CP_OK) {
      checkRecord(r);
      last = r->requestType == NO_REQUEST && !r->shuttingDown;
    } else {
      ASSERT_TRUE(rc == CP_NO_MEMORY || rc == CP_ILLEGAL_STATE) << rc;
      EXPECT_TRUE(isEmpty(r));
      last = rc == CP_ILLEGAL_STATE;
    }
    std::string id = r->id ? r->id : "";
    int type = rc == CP_OK ? r->requestType : NO_REQUEST;
    {
      shim::Armed armed;
      cpdll_FreeRequest(r);
    }
    if (type == DATA_REQUEST && id == "d1") {
      answerRows(expected);
      if (::testing::Test::HasFatalFailure()) return;
    } else if (type == DATA_REQUEST) {
      {
        shim::Armed armed;
        rc = cpdll_SendError(5, "d2");
      }
      if (rc == CP_OK)
        expected.text(
            "<dataResponse id=\"d2\"><attrGroup name=\"Disks\"><error rc=\"5\"/></attrGroup></dataResponse>\n");
      else
        ASSERT_EQ(CP_NO_MEMORY, rc);
    } else if (type == TASK_REQUEST) {
      {
        shim::Armed armed;
        rc = cpdll_SendTaskRC(0, "t1");
      }
      if (rc == CP_OK)
        expected.text("<taskResponse id=\"t1\" rc=\"0\"/>");
      else
        ASSERT_EQ(CP_NO_MEMORY, rc);
    }
    if (last) break;
  }

  // A message that could not be received ends the connection: writes fail from then on.
  int writeFailed = connected && cpContext.agent->hasEnded() ? CP_WRITE_FAILED : CP_NO_MEMORY;
  int event, eventError;
  const char* product;
  char* limit;
  {
    shim::Armed armed;
    const char* values[] = {"e<1"};
    event = cpdll_SendEventData(const_cast<char**>(values), 1, 7);
    eventError = cpdll_SendSubnodeEventError(-1, 9, "S");
    product = cpdll_GetConfigurationProperty("ZRW_PRODUCT_CODE");
    limit = getSubnodeConfigurationProperty("LIMIT", "disk", "c:");
  }
  if (event == CP_OK) {
    expected.text("<pureEvent><attrGroup name=\"Procs\"><in><al><a v=\"");
    expected.value("e&lt;1", "e<1");
    expected.text("\"/></al></in></attrGroup></pureEvent>\n");
  } else {
    ASSERT_TRUE(event == CP_NO_MEMORY || event == CP_ILLEGAL_STATE || event == CP_UNKNOWN_GROUP || event == writeFailed)
        << event;
  }
  if (eventError == CP_OK)
    expected.text("<pureEvent subnode=\"S\"><attrGroup name=\"Disks\"><error rc=\"-1\"/></attrGroup></pureEvent>\n");
  else
    ASSERT_TRUE(eventError == CP_NO_MEMORY || eventError == CP_ILLEGAL_STATE || eventError == CP_UNKNOWN_GROUP ||
                eventError == writeFailed)
        << eventError;
  if (product) {
    EXPECT_STREQ("PC", product);
  }
  if (limit) {
    EXPECT_STREQ("90", limit);
  }
  {
    shim::Armed armed;
    free(limit);
    EXPECT_EQ(CP_OK, cpdll_CloseConnection());
    resetConfigurationForTest();
  }

  std::string stream = connected ? agent.readAll(2000) : "";
  EXPECT_TRUE(expected.matches(stream)) << "agent received:\n" << stream << "\nexpected:\n" << expected.describe();
}

class OutOfMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    traceSetSink(&silence, nullptr);
    // The trace facility and the time zone allocate once for good: before the sweep.
    TRC1_Printf(syncRecord(), __LINE__, "warm up");
    setvbuf(stdout, nullptr, _IONBF, 0);  // console lines must not allocate a buffer mid-sweep
  }
  void TearDown() override { traceSetSink(nullptr, nullptr); }
  static TRC1_FunctionRecord* syncRecord();
};

CP_TRACE_UNIT("test");
TRC1_FunctionRecord* OutOfMemory::syncRecord() {
  static TRC1_FunctionRecord record = CP_TRACE_RECORD_("OutOfMemory");
  return &record;
}

TEST_F(OutOfMemory, EveryFailedAllocationOfAConversationIsSurvivedAndReported) {
  AgentListener agent;
  shim::startRun(shim::FailMode::NONE, 0);
  converse(agent);
  ASSERT_FALSE(HasFailure()) << "the conversation fails without any failed allocation";
  const long total = shim::counted();
  if (shim::liveBlocks()) shim::printLive();
  ASSERT_EQ(0, shim::liveBlocks());
  ASSERT_GT(total, 50);
  printf("swept %ld allocations, each failing alone and with every later one\n", total);
  RecordProperty("allocations", std::to_string(total));

  for (shim::FailMode mode : {shim::FailMode::ONLY_K, shim::FailMode::FROM_K_ON}) {
    for (long k = 1; k <= total; k++) {
      SCOPED_TRACE((mode == shim::FailMode::ONLY_K ? "only allocation " : "allocations from ") + std::to_string(k));
      shim::startRun(mode, k);
      converse(agent);
      long live = shim::liveBlocks();
      if (live) shim::printLive();
      shim::startRun(shim::FailMode::NONE, 0);
      EXPECT_EQ(0, live) << "blocks leaked";
      if (HasFailure()) return;  // the first failing k tells the story
    }
  }
}

// Three waits over a stream of tasks A (longer than the kept message buffer) and B
// (one read) and then C, the first wait's allocations failing: what each wait gave, "-" for no record, "!" for a
// request dropped and reported, "0" for no request, else the task's id.
std::vector<std::string> waitOverTwoReads(AgentListener& agent, shim::FailMode mode, long k) {
  cpdll_setPort(agent.port());
  EXPECT_EQ(CP_OK, cpdll_OpenConnection());
  EXPECT_TRUE(agent.accept());
  EXPECT_EQ(CP_OK, cpdll_RegistrationComplete());
  agent.readMessage();
  EXPECT_TRUE(agent.send("<taskRequest id=\"A\"><task command=\"" + std::string(2000, 'a') + "\"/></taskRequest>\n" +
                         "<taskRequest id=\"B\"><task command=\"b\"/></taskRequest>\n"));
  std::vector<std::string> seen;
  for (int wait = 0; wait < 3; wait++) {
    CPREQUEST* r = nullptr;
    int rc;
    if (wait == 0) {
      shim::startRun(mode, k);
      shim::Armed armed;
      rc = cpdll_WaitForRequest(&r);
    } else {
      if (wait == 1) {
        EXPECT_TRUE(agent.send("<taskRequest id=\"C\"><task command=\"c\"/></taskRequest>\n"));
        agent.finishSending();  // a wait beyond the stream sees its end rather than block
      }
      rc = cpdll_WaitForRequest(&r);
    }
    seen.push_back(!r ? "-" : rc == CP_NO_MEMORY ? "!" : r->requestType == NO_REQUEST ? "0" : r->id);
    cpdll_FreeRequest(r);
  }
  cpdll_CloseConnection();
  return seen;
}

// A wait whose allocations fail never loses a message unseen: tasks come in order,
// one is missing only where a wait reported it dropped, and once a wait reports no
// request (the connection ended), no later wait hands out anything.
TEST_F(OutOfMemory, ReceiveOutOfMemoryNeverSkipsAMessage) {
  AgentListener agent;
  ASSERT_EQ((std::vector<std::string>{"A", "B", "C"}), waitOverTwoReads(agent, shim::FailMode::NONE, 0));
  const long total = shim::counted();
  ASSERT_GT(total, 5);
  for (long k = 1; k <= total; k++) {
    std::vector<std::string> seen = waitOverTwoReads(agent, shim::FailMode::ONLY_K, k);
    SCOPED_TRACE("allocation " + std::to_string(k) + ": " + seen[0] + seen[1] + seen[2]);
    const std::string order = "ABC";
    size_t next = 0;
    bool ended = false;
    for (const std::string& outcome : seen) {
      if (ended) {
        EXPECT_EQ("0", outcome);
      } else if (outcome == "0") {
        ended = true;
      } else if (outcome == "!") {
        next++;
      } else if (outcome != "-") {
        ASSERT_LT(next, order.size());
        EXPECT_EQ(std::string(1, order[next++]), outcome);
      }
    }
    EXPECT_EQ(0, shim::liveBlocks());
  }
}

}  // namespace
