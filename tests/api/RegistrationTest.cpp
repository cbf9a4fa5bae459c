// The vexaRegister message byte for byte, and the registration's state rules.
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/ApiFixture.h"
#include "host/Trace.h"
#include "support/TraceCapture.h"
#include "util/HashTable.h"

namespace {

struct Group {
  const char* name;
  int version;
};

struct RegistrationCase {
  const char* name;
  std::vector<Group> groups;  // in the order of registration
  const char* expected;
};

// Chains of a 64-bucket table: Beta 1, Gamma 8, Alpha 11, Procs 12, A&B 14,
// DiskInfo 28, Q"uote 53; G0 and G88 share chain 24, aa and b@ one hash.
const RegistrationCase kRegistrations[] = {
    {"NoGroup", {}, "<vexaRegister ver=\"5\"><attrGroupList></attrGroupList></vexaRegister>\n"},
    {"TwoGroupsInChainOrder",
     {{"DiskInfo", 1}, {"Procs", 3}},
     "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"Procs\" ver=\"3\"/>"
     "<attrGroup name=\"DiskInfo\" ver=\"1\"/></attrGroupList></vexaRegister>\n"},
    {"ThreeGroupsFollowTheHashNotTheCallOrder",
     {{"Alpha", 1}, {"Beta", 2}, {"Gamma", 3}},
     "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"Beta\" ver=\"2\"/>"
     "<attrGroup name=\"Gamma\" ver=\"3\"/><attrGroup name=\"Alpha\" ver=\"1\"/></attrGroupList></vexaRegister>\n"},
    {"SameChainPutsTheLaterGroupFirst",
     {{"G0", 1}, {"G88", 2}},
     "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"G88\" ver=\"2\"/>"
     "<attrGroup name=\"G0\" ver=\"1\"/></attrGroupList></vexaRegister>\n"},
    {"RepeatedNameLeavesOneEntryWithTheLastVersion",
     {{"Procs", 1}, {"DiskInfo", 4}, {"Procs", 9}},
     "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"Procs\" ver=\"9\"/>"
     "<attrGroup name=\"DiskInfo\" ver=\"4\"/></attrGroupList></vexaRegister>\n"},
    {"RepeatedNameKeepsItsPlaceInTheChain",
     {{"aa", 1}, {"b@", 2}, {"aa", 3}},
     "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"b@\" ver=\"2\"/>"
     "<attrGroup name=\"aa\" ver=\"3\"/></attrGroupList></vexaRegister>\n"},
    {"NamesAreWrittenUnescaped",
     {{"A&B", 1}, {"Q\"uote", 2}},
     "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"A&B\" ver=\"1\"/>"
     "<attrGroup name=\"Q\"uote\" ver=\"2\"/></attrGroupList></vexaRegister>\n"},
    {"NegativeVersion",
     {{"Procs", -1}},
     "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"Procs\" ver=\"-1\"/></attrGroupList></vexaRegister>\n"},
};

class RegistrationMessage : public ApiTest, public ::testing::WithParamInterface<RegistrationCase> {};

TEST_P(RegistrationMessage, IsSentByteForByte) {
  const RegistrationCase& c = GetParam();
  openConnected();
  for (const Group& g : c.groups) ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup(g.name, g.version, 1));
  ASSERT_EQ(CP_OK, cpdll_RegistrationComplete());
  EXPECT_EQ(c.expected, agent_.readMessage());
  EXPECT_EQ(REG_COMPLETE_STATE, cpContext.state);
}

INSTANTIATE_TEST_SUITE_P(Groups, RegistrationMessage, ::testing::ValuesIn(kRegistrations),
                         [](const ::testing::TestParamInfo<RegistrationCase>& info) { return info.param.name; });

using Registration = ApiTest;

TEST_F(Registration, ThreadedMarkComesFromTheInternalOpensPropertyList) {
  std::string port = "CP_PORT=" + std::to_string(agent_.port());
  const char* properties[] = {"CP_MULTITHREADED=1", port.c_str()};
  ASSERT_EQ(CP_OK, cp_OpenConnection(properties, 2));
  ASSERT_TRUE(agent_.accept());
  ASSERT_EQ(CP_OK, cpdll_RegistrationComplete());
  EXPECT_EQ("<vexaRegister ver=\"5\" threaded=\"1\"><attrGroupList></attrGroupList></vexaRegister>\n",
            agent_.readMessage());
}

TEST_F(Registration, RepeatedNameReplacesTheEarlierRecord) {
  openConnected();
  ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup("Procs", 1, 10));
  ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup("Procs", 2, 20));
  EXPECT_EQ(1, cpContext.registry->entryCount());
  const AGPTR* group = static_cast<const AGPTR*>(cpContext.registry->get("Procs"));
  ASSERT_NE(nullptr, group);
  EXPECT_EQ(20, group->groupId);
  EXPECT_EQ(2, group->version);
  // The registry's key is the surviving record's own name copy.
  HashTableIterator it = cpContext.registry->iterator();
  ASSERT_TRUE(it.hasNext());
  it.next();
  EXPECT_EQ(group->name, it.key());
}

TEST_F(Registration, OutsideStateOneIsRefusedAndSendsNothing) {
  TraceCapture trace(TRC_ERROR);
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_RegisterAttrGroup("Procs", 1, 1));
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_RegistrationComplete());
  EXPECT_EQ(2, trace.count("Called with illegal state.  Expected 1 (OPEN_SOCKET_STATE), got 3.")) << trace.dump();

  openConnected();
  ASSERT_EQ(CP_OK, cpdll_RegistrationComplete());
  ASSERT_NE("", agent_.readMessage());
  trace.clear();
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_RegisterAttrGroup("Procs", 1, 1));
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_RegistrationComplete());
  EXPECT_EQ(2, trace.count("Called with illegal state.  Expected 1 (OPEN_SOCKET_STATE), got 2.")) << trace.dump();
  EXPECT_EQ("", agent_.readAll(100));
  EXPECT_EQ(REG_COMPLETE_STATE, cpContext.state);
}

TEST_F(Registration, NullNameIsRefusedAndKeepsTheEarlierGroups) {
  openConnected();
  ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup("Procs", 1, 1));
  TraceCapture trace(TRC_ERROR);
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_RegisterAttrGroup(nullptr, 1, 2));
  EXPECT_TRUE(trace.has("strdup failed for agPtr->name.")) << trace.dump();
  EXPECT_EQ(1, cpContext.registry->entryCount());
  EXPECT_EQ(OPEN_SOCKET_STATE, cpContext.state);
}

TEST_F(Registration, BrokenConnectionGivesWriteFailedAndStillEnablesRequests) {
  openConnected();
  ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup("Procs", 1, 1));
  agent_.resetClient();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  TraceCapture trace(0);
  EXPECT_EQ(CP_WRITE_FAILED, cpdll_RegistrationComplete());
  EXPECT_TRUE(trace.hasFragment("socket write error:")) << trace.dump();
  EXPECT_EQ(REG_COMPLETE_STATE, cpContext.state);

  CPREQUEST* request = nullptr;
  EXPECT_EQ(CP_OK, cpdll_WaitForRequest(&request));
  ASSERT_NE(nullptr, request);
  EXPECT_EQ(NO_REQUEST, request->requestType);
  cpdll_FreeRequest(request);
}

}  // namespace
