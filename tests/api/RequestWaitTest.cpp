// Waiting for requests over a real loopback agent: every kind, every field, the pending ids.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/ApiFixture.h"
#include "host/Trace.h"
#include "support/TraceCapture.h"
#include "util/HashTable.h"

namespace {

struct Filter {
  std::string name, value;
  const char* op;
  const char* logOp;
};

std::vector<Filter> filtersOf(const CPREQUEST* r) {
  std::vector<Filter> out;
  for (const RequestInfo* n = r->requestInfo; n; n = n->next) out.push_back({n->name, n->value, n->op, n->logOp});
  return out;
}

const char* text(const char* s) { return s ? s : "(null)"; }

class RequestWait : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    openRegistered({{"Procs", 7}, {"Disks", 9}});
  }
};

TEST_F(RequestWait, BeforeRegistrationCompleteGivesIllegalStateAndAnEmptyRecord) {
  cpdll_CloseConnection();
  openConnected();
  CPREQUEST* request = nullptr;
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_WaitForRequest(&request));
  ASSERT_NE(nullptr, request);
  EXPECT_EQ(NO_REQUEST, request->requestType);
  EXPECT_EQ(0, request->groupId);
  EXPECT_EQ(nullptr, request->id);
  EXPECT_EQ(nullptr, request->requestStartedID);
  EXPECT_EQ(nullptr, request->requestInfo);
  EXPECT_EQ(nullptr, request->command);
  EXPECT_EQ(nullptr, request->subnode);
  EXPECT_EQ(nullptr, request->user);
  EXPECT_FALSE(request->shuttingDown);
  cpdll_FreeRequest(request);
  cpdll_FreeRequest(nullptr);
}

TEST_F(RequestWait, DataRequestFillsEveryFieldAndBecomesPending) {
  TraceCapture trace(TRC_DETAIL);
  CPREQUEST* r = requestFor(
      "<dataRequest id=\"17\" requestStartedID=\"rs1\" subnode=\"Sub1\"><attrGroup name=\"Procs\"/>"
      "<requestInfo name=\"n1\" value=\"v1\" op=\"EQ\" logOp=\"AND\"/><requestInfo name=\"n2\" value=\"v &amp; 2\" "
      "op=\"GT\"/>"
      "<requestInfo name=\"n3\" value=\"v3\"/></dataRequest>\n");
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(DATA_REQUEST, r->requestType);
  EXPECT_EQ(7, r->groupId);
  EXPECT_STREQ("17", r->id);
  EXPECT_STREQ("rs1", r->requestStartedID);
  EXPECT_STREQ("Sub1", r->subnode);
  EXPECT_EQ(nullptr, r->command);
  EXPECT_EQ(nullptr, r->user);
  EXPECT_FALSE(r->shuttingDown);
  std::vector<Filter> filters = filtersOf(r);
  ASSERT_EQ(3u, filters.size());
  EXPECT_EQ("n1", filters[0].name);
  EXPECT_STREQ("EQ", filters[0].op);
  EXPECT_STREQ("AND", filters[0].logOp);
  EXPECT_EQ("v & 2", filters[1].value);
  EXPECT_STREQ("GT", filters[1].op);
  EXPECT_EQ(nullptr, filters[1].logOp);
  EXPECT_EQ(nullptr, filters[2].op);
  EXPECT_TRUE(trace.has("Got data request for attribute group Procs")) << trace.dump();

  EXPECT_EQ(cpContext.registry->get("Procs"), pendingGet("17"));
  cpdll_FreeRequest(r);
  EXPECT_TRUE(isPending("17"));  // the id lives on until the answer
}

TEST_F(RequestWait, RequestForAnUnregisteredGroupIsSkippedWithoutTrace) {
  TraceCapture trace(TRC_ERROR);
  ASSERT_TRUE(
      agent_.send("<dataRequest id=\"1\" subnode=\"Skipped\"><attrGroup name=\"Nope\"/>"
                  "<requestInfo name=\"x\" value=\"y\"/></dataRequest>\n"));
  CPREQUEST* r = requestFor("<dataRequest id=\"2\"><attrGroup name=\"Disks\"/></dataRequest>\n");
  EXPECT_EQ(DATA_REQUEST, r->requestType);
  EXPECT_EQ(9, r->groupId);
  EXPECT_STREQ("2", r->id);
  EXPECT_EQ(nullptr, r->subnode);
  EXPECT_EQ(nullptr, r->requestInfo);
  EXPECT_FALSE(isPending("1"));
  EXPECT_TRUE(trace.has("Requested attribute group was not registered for!!!")) << trace.dump();
  cpdll_FreeRequest(r);
}

struct SkippedCase {
  const char* name;
  const char* message;
  const char* errorLine;
};

const SkippedCase kSkipped[] = {
    {"DataRequestWithoutAttrGroup", "<dataRequest id=\"1\"/>\n", "Requested attribute group was not registered for!!!"},
    {"AttrGroupWithoutName", "<dataRequest id=\"1\"><attrGroup/></dataRequest>\n",
     "Requested attribute group was not registered for!!!"},
    {"DataRequestWithoutId", "<dataRequest><attrGroup name=\"Procs\"/></dataRequest>\n",
     "Data request without an id ignored"},
    {"TaskRequestWithoutId", "<taskRequest><task command=\"ls\"/></taskRequest>\n",
     "Task request without an id ignored"},
    {"StartForUnregisteredGroup", "<startRequestInfo requestStartedID=\"r1\" ag=\"Nope\"/>\n",
     "Requested attribute group <Nope> was not registered!!!"},
    {"StartWithoutGroup", "<startRequestInfo requestStartedID=\"r1\"/>\n",
     "Requested attribute group <(null)> was not registered!!!"},
    {"UnknownElement", "<hello subnode=\"S\"/>\n", "Unrecognized request type"},
    {"ElementNameInOtherCase", "<DataRequest id=\"1\"><attrGroup name=\"Procs\"/></DataRequest>\n",
     "Unrecognized request type"},
    {"NotXmlAtAll", "just words>\n", "Unrecognized request type"},
};

class SkippedRequest : public RequestWait, public ::testing::WithParamInterface<SkippedCase> {};

TEST_P(SkippedRequest, LeavesNothingAndTheWaitGoesOn) {
  const SkippedCase& c = GetParam();
  TraceCapture trace(TRC_ERROR);
  ASSERT_TRUE(agent_.send(c.message));
  CPREQUEST* r = requestFor("<startRequestInfo requestStartedID=\"r2\" ag=\"Procs\"/>\n");
  EXPECT_EQ(START_REQUEST, r->requestType);
  EXPECT_STREQ("r2", r->requestStartedID);
  EXPECT_EQ(nullptr, r->subnode);
  EXPECT_EQ(nullptr, r->id);
  EXPECT_EQ(0, cpContext.pending->entryCount());
  EXPECT_TRUE(trace.has(c.errorLine)) << trace.dump();
  cpdll_FreeRequest(r);
}

INSTANTIATE_TEST_SUITE_P(Messages, SkippedRequest, ::testing::ValuesIn(kSkipped),
                         [](const ::testing::TestParamInfo<SkippedCase>& info) { return info.param.name; });

TEST_F(RequestWait, TaskRequestCarriesCommandAndUserAndIsPendingOnce) {
  CPREQUEST* r = requestFor("<taskRequest id=\"t1\"><task command=\"ls -l\" user=\"bob\"/></taskRequest>\n");
  EXPECT_EQ(TASK_REQUEST, r->requestType);
  EXPECT_EQ(0, r->groupId);
  EXPECT_STREQ("t1", r->id);
  EXPECT_STREQ("ls -l", r->command);
  EXPECT_STREQ("bob", r->user);
  EXPECT_EQ(nullptr, r->requestStartedID);
  cpdll_FreeRequest(r);
  // A task entry's value is its own key.
  HashTableIterator it = cpContext.pending->iterator();
  ASSERT_TRUE(it.hasNext());
  it.next();
  EXPECT_STREQ("t1", it.key());
  EXPECT_EQ(static_cast<const void*>(it.key()), it.value());

  r = requestFor("<taskRequest id=\"t1\"><task command=\"pwd\"/></taskRequest>\n");
  EXPECT_STREQ("pwd", r->command);
  EXPECT_EQ(nullptr, r->user);
  cpdll_FreeRequest(r);
  EXPECT_EQ(1, cpContext.pending->entryCount());
}

TEST_F(RequestWait, SameIdForAnotherGroupTakesTheNewGroup) {
  cpdll_FreeRequest(requestFor("<dataRequest id=\"5\"><attrGroup name=\"Procs\"/></dataRequest>\n"));
  cpdll_FreeRequest(requestFor("<dataRequest id=\"5\"><attrGroup name=\"Disks\"/></dataRequest>\n"));
  EXPECT_EQ(1, cpContext.pending->entryCount());
  EXPECT_EQ(cpContext.registry->get("Disks"), pendingGet("5"));
}

TEST_F(RequestWait, StartRequestNamesItsGroupAndIsNotPending) {
  TraceCapture trace(TRC_DETAIL);
  CPREQUEST* r = requestFor("<startRequestInfo requestStartedID=\"r9\" ag=\"Disks\" subnode=\"D1\"/>\n");
  EXPECT_EQ(START_REQUEST, r->requestType);
  EXPECT_EQ(9, r->groupId);
  EXPECT_STREQ("r9", r->requestStartedID);
  EXPECT_STREQ("D1", r->subnode);
  EXPECT_EQ(nullptr, r->id);
  EXPECT_EQ(0, cpContext.pending->entryCount());
  EXPECT_TRUE(trace.has("Got request start for attribute group Disks")) << trace.dump();
  cpdll_FreeRequest(r);
}

struct StopCase {
  const char* name;
  const char* message;
  int requestType;
  int groupId;
  bool shuttingDown;
  const char* detailLine;
};

const StopCase kStops[] = {
    {"RegisteredGroup", "<stopRequestInfo requestStartedID=\"r1\" ag=\"Procs\"/>\n", STOP_REQUEST, 7, false,
     "Agent is not in the process of shutting down."},
    {"RegisteredGroupShuttingDown", "<stopRequestInfo requestStartedID=\"r1\" ag=\"Procs\" shuttingDown=\"true\"/>\n",
     STOP_REQUEST, 7, true, "Agent is in the process of shutting down."},
    {"UnregisteredGroupShuttingDown", "<stopRequestInfo requestStartedID=\"r1\" ag=\"Nope\" shuttingDown=\"TRUE\"/>\n",
     NO_REQUEST, 0, true, "Agent is in the process of shutting down."},
    {"UnregisteredGroup", "<stopRequestInfo ag=\"Nope\"/>\n", NO_REQUEST, 0, false,
     "Agent is not in the process of shutting down."},
};

class StopRequest : public RequestWait, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopRequest, EndsTheWaitWithTheAgentsShuttingDownFlag) {
  const StopCase& c = GetParam();
  TraceCapture trace(TRC_DETAIL);
  CPREQUEST* r = requestFor(c.message);
  EXPECT_EQ(c.requestType, r->requestType);
  EXPECT_EQ(c.groupId, r->groupId);
  EXPECT_EQ(c.shuttingDown, r->shuttingDown);
  EXPECT_EQ(nullptr, r->id);
  EXPECT_TRUE(trace.has(c.detailLine)) << trace.dump();
  if (c.requestType == STOP_REQUEST) {
    EXPECT_STREQ("r1", r->requestStartedID);
  }
  cpdll_FreeRequest(r);
}

INSTANTIATE_TEST_SUITE_P(Messages, StopRequest, ::testing::ValuesIn(kStops),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

TEST_F(RequestWait, ShutdownGivesNoRequestWithShuttingDownFalse) {
  CPREQUEST* r = requestFor("<shutdown/>\n");
  EXPECT_EQ(NO_REQUEST, r->requestType);
  EXPECT_FALSE(r->shuttingDown);
  EXPECT_EQ(REG_COMPLETE_STATE, cpContext.state);
  cpdll_FreeRequest(r);
}

TEST_F(RequestWait, AgentClosingTheConnectionGivesNoRequestAndKeepsTheState) {
  agent_.closeClient();
  int rc = -99;
  CPREQUEST* r = requestFor("", &rc);
  EXPECT_EQ(CP_OK, rc);
  EXPECT_EQ(NO_REQUEST, r->requestType);
  EXPECT_EQ(REG_COMPLETE_STATE, cpContext.state);
  cpdll_FreeRequest(r);
}

TEST_F(RequestWait, ParseErrorKeepsWhatWasRecognisedBeforeIt) {
  TraceCapture trace(0);
  CPREQUEST* r = requestFor("<dataRequest id=\"8\"><attrGroup name=\"Procs\"/></wrong>\n");
  EXPECT_EQ(DATA_REQUEST, r->requestType);
  EXPECT_STREQ("8", r->id);
  EXPECT_TRUE(trace.hasFragment("Client request parse error found: Mismatched end tag found: wrong != dataRequest"))
      << trace.dump();
  cpdll_FreeRequest(r);
}

TEST_F(RequestWait, FilterWithoutNameOrValueIsLeftOutWithAnUngatedLine) {
  TraceCapture trace(0);
  CPREQUEST* r = requestFor(
      "<dataRequest id=\"3\"><attrGroup name=\"Procs\"/><requestInfo value=\"v\"/><requestInfo name=\"n\"/>"
      "<requestInfo name=\"kept\" value=\"yes\"/></dataRequest>\n");
  std::vector<Filter> filters = filtersOf(r);
  ASSERT_EQ(1u, filters.size());
  EXPECT_EQ("kept", filters[0].name);
  EXPECT_EQ(2, trace.count("Received requestInfo with null name or value")) << trace.dump();
  cpdll_FreeRequest(r);
}

TEST_F(RequestWait, MessagesArrivingTogetherAreServedOnePerWait) {
  ASSERT_TRUE(
      agent_.send("<dataRequest id=\"1\"><attrGroup name=\"Procs\"/></dataRequest>\n"
                  "<taskRequest id=\"2\"><task command=\"c\"/></taskRequest>\n<shutdown/>\n"));
  std::vector<int> kinds;
  for (int i = 0; i < 3; i++) {
    CPREQUEST* r = nullptr;
    ASSERT_EQ(CP_OK, cpdll_WaitForRequest(&r));
    kinds.push_back(r->requestType);
    cpdll_FreeRequest(r);
  }
  EXPECT_EQ((std::vector<int>{DATA_REQUEST, TASK_REQUEST, NO_REQUEST}), kinds);
  EXPECT_TRUE(isPending("1"));
  EXPECT_TRUE(isPending("2"));
}

// The parser is kept from one message to the next: a message that makes it grow
// (nesting, a tag of many attributes) and breaks off inside a tag leaves nothing
// behind for the next one, which is parsed whole.
TEST_F(RequestWait, NextMessageParsesCleanAfterOneThatGrewAndBrokeOff) {
  std::string grown;
  for (int i = 0; i < 15; i++) grown += "<a>";
  grown += "<dataRequest id=\"x\" subnode=\"stale\"";
  for (int i = 0; i < 60; i++) grown += " k" + std::to_string(i) + "=\"v\"";
  CPREQUEST* r = requestFor(grown + " /x>\n<taskRequest id=\"t\"><task command=\"c\"/></taskRequest>\n");
  EXPECT_EQ(TASK_REQUEST, r->requestType);
  EXPECT_STREQ("t", text(r->id));
  EXPECT_STREQ("c", text(r->command));
  EXPECT_EQ(nullptr, r->subnode);
  cpdll_FreeRequest(r);
  r = requestFor(grown + "><attrGroup name=\"Procs\"/>\n");
  EXPECT_EQ(DATA_REQUEST, r->requestType);
  EXPECT_EQ(7, r->groupId);
  EXPECT_STREQ("x", text(r->id));
  EXPECT_STREQ("stale", text(r->subnode));
  cpdll_FreeRequest(r);
}

TEST_F(RequestWait, RecordOutlivesTheConnection) {
  CPREQUEST* r = requestFor("<taskRequest id=\"9\" subnode=\"S\"><task command=\"c\" user=\"u\"/></taskRequest>\n");
  cpdll_CloseConnection();
  EXPECT_STREQ("9", text(r->id));
  EXPECT_STREQ("S", text(r->subnode));
  cpdll_FreeRequest(r);
}

TEST_F(RequestWait, CloseOnAnotherThreadEndsABlockedWait) {
  int rc = -99;
  int type = -1;
  std::thread waiter([&] {
    CPREQUEST* r = nullptr;
    rc = cpdll_WaitForRequest(&r);
    type = r->requestType;
    cpdll_FreeRequest(r);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(CP_OK, cpdll_CloseConnection());
  waiter.join();
  EXPECT_EQ(CP_OK, rc);
  EXPECT_EQ(NO_REQUEST, type);
  EXPECT_EQ(0, cpContext.waiters.load());
  EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state);
}

TEST_F(RequestWait, NullOutPointerIsRefused) { EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_WaitForRequest(nullptr)); }

}  // namespace
