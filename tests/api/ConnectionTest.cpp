// Connection lifecycle through the exports: port rules, states, open and close.
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>

#include "api/ApiFixture.h"
#include "host/Trace.h"
#include "support/TraceCapture.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

namespace {

using Connection = ApiTest;

TEST_F(Connection, HelloAnswersTheInterfaceLevelInEveryState) {
  EXPECT_EQ(1000, vexadllHello());
  openConnected();
  EXPECT_EQ(1000, vexadllHello());
  cpdll_CloseConnection();
  EXPECT_EQ(1000, vexadllHello());
}

TEST_F(Connection, OpenWithoutAnyPortReturnsNoPortAndChangesNothing) {
  TraceCapture trace(0);
  EXPECT_EQ(CP_NO_PORT, cpdll_OpenConnection());
  EXPECT_TRUE(trace.has("CP_PORT not found in the environment")) << trace.dump();
  EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state);
  EXPECT_EQ(-1, cpContext.agentPort);
  EXPECT_EQ(nullptr, cpContext.agent);
}

TEST_F(Connection, PropertyListWithoutPortSaysSo) {
  const char* properties[] = {"OTHER=1"};
  TraceCapture trace(0);
  EXPECT_EQ(CP_NO_PORT, cp_OpenConnection(properties, 1));
  EXPECT_TRUE(trace.has("CP_PORT not found in the proerties list")) << trace.dump();
  EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state);
}

TEST_F(Connection, PortFromThePropertyListIsUsedWhenTheEnvironmentHasNone) {
  std::string port = "CP_PORT=" + std::to_string(agent_.port());
  const char* properties[] = {"OTHER=1", port.c_str(), "CP_PORT=1"};
  EXPECT_EQ(CP_OK, cp_OpenConnection(properties, 3));
  EXPECT_EQ(agent_.port(), cpContext.agentPort);
  EXPECT_TRUE(agent_.accept());
}

TEST_F(Connection, SetPortWinsOverTheEnvironment) {
  ScopedEnv env("CP_PORT", std::to_string(AgentListener::unusedPort()).c_str());
  cpdll_setPort(agent_.port());
  EXPECT_EQ(CP_OK, cpdll_OpenConnection());
  EXPECT_EQ(OPEN_SOCKET_STATE, cpContext.state);
  EXPECT_TRUE(agent_.accept());
}

TEST_F(Connection, PortFoundInTheEnvironmentIsReusedWithoutReadingItAgain) {
  {
    ScopedEnv env("CP_PORT", std::to_string(agent_.port()).c_str());
    ASSERT_EQ(CP_OK, cpdll_OpenConnection());
    ASSERT_TRUE(agent_.accept());
  }
  ScopedEnv other("CP_PORT", "1");
  cpdll_CloseConnection();
  EXPECT_EQ(CP_OK, cpdll_OpenConnection());
  EXPECT_TRUE(agent_.accept());
}

TEST_F(Connection, PortThatIsNotANumberFailsToConnect) {
  ScopedEnv env("CP_PORT", "agent");
  EXPECT_EQ(CP_CONNECT_FAILED, cpdll_OpenConnection());
  EXPECT_EQ(0, cpContext.agentPort);
  EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state);
}

TEST_F(Connection, FailedConnectStaysClosedAndTheNextOpenStartsClean) {
  cpdll_setPort(AgentListener::unusedPort());
  TraceCapture trace(0);
  EXPECT_EQ(CP_CONNECT_FAILED, cpdll_OpenConnection());
  EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state);
  EXPECT_EQ(1, trace.count("Unable to connect to TCP socket, errno=111 - retry count exceeded.")) << trace.dump();
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_RegisterAttrGroup("G", 1, 1));
  // The failed open left its tables and socket object; this open releases them.
  cpdll_setPort(agent_.port());
  EXPECT_EQ(CP_OK, cpdll_OpenConnection());
  EXPECT_TRUE(agent_.accept());
}

// The timed open keeps the open's attempts and waits (2 and then 4 units of 100 ms
// here) but ends at its limit, leaving nothing behind; a negative limit is the open.
TEST_F(Connection, TimedOpenEndsAtItsLimitAndLeavesNothing) {
  ScopedEnv unit("CP_SLEEP_UNIT_MS", "100");
  cpdll_setPort(AgentListener::unusedPort());
  struct Case {
    int limitMs;
    int retrying;  // "retrying...." lines before the last one
  } cases[] = {{0, 0}, {250, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limitMs);
    TraceCapture trace(0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CP_TIMED_OUT, cpdll_OpenConnectionTimed(c.limitMs));
    auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(tookMs.count(), c.limitMs);
    EXPECT_LT(tookMs.count(), c.limitMs + 150);
    EXPECT_EQ(c.retrying, trace.count("Unable to connect to TCP socket for port " +
                                      std::to_string(cpContext.agentPort) + ", errno=111 - retrying...."))
        << trace.dump();
    EXPECT_TRUE(trace.hasFragment("errno=111 - time limit reached.")) << trace.dump();
    EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state);
    EXPECT_TRUE(!cpContext.agent && !cpContext.registry && !cpContext.pending);
  }
  ScopedEnv fast("CP_SLEEP_UNIT_MS", "1");
  EXPECT_EQ(CP_CONNECT_FAILED, cpdll_OpenConnectionTimed(-1));
  EXPECT_NE(nullptr, cpContext.agent);  // as the plain open leaves it, for the next open to release
  cpdll_setPort(agent_.port());
  EXPECT_EQ(CP_OK, cpdll_OpenConnectionTimed(0));
  EXPECT_TRUE(agent_.accept());
  EXPECT_EQ(OPEN_SOCKET_STATE, cpContext.state);
}

// With CP_AGENT_USER set only a listener of that user is the agent, by uid or by
// name; any other is closed at once and the open fails as if nothing listened.
TEST_F(Connection, AgentUserAcceptsOnlyAListenerOfThatUser) {
  cpdll_setPort(agent_.port());
  std::string me = std::to_string(getuid()), other = std::to_string(getuid() + 1);
  const passwd* entry = getpwuid(getuid());
  ASSERT_NE(nullptr, entry);
  for (const std::string& user : {me, std::string(entry->pw_name), other, std::string("no such user here")}) {
    SCOPED_TRACE(user);
    ScopedEnv agentUser("CP_AGENT_USER", user.c_str());
    TraceCapture trace(0);
    int result = cpdll_OpenConnectionTimed(0);
    if (user == other) {
      EXPECT_EQ(CP_TIMED_OUT, result);
      EXPECT_TRUE(trace.hasFragment("belongs to uid " + me + ", not to the agent's uid " + other)) << trace.dump();
    } else if (user[0] == 'n') {
      EXPECT_EQ(CP_CONNECT_FAILED, result);
      EXPECT_TRUE(trace.has("CP_AGENT_USER names no user: no such user here")) << trace.dump();
    } else {
      EXPECT_EQ(CP_OK, result) << trace.dump();
    }
    if (result == CP_OK) {
      EXPECT_TRUE(agent_.accept());
    }
    cpdll_CloseConnection();
  }
}

TEST_F(Connection, OpenWhileRegisteredEndsTheEarlierConnection) {
  openRegistered({{"Procs", 7}});
  CPREQUEST* request = requestFor("<dataRequest id=\"17\"><attrGroup name=\"Procs\"/></dataRequest>\n");
  ASSERT_EQ(DATA_REQUEST, request->requestType);
  cpdll_FreeRequest(request);
  ASSERT_TRUE(isPending("17"));

  ASSERT_EQ(CP_OK, cpdll_OpenConnection());
  EXPECT_EQ("", agent_.readAll());  // the earlier connection was closed
  ASSERT_TRUE(agent_.accept());
  EXPECT_EQ(OPEN_SOCKET_STATE, cpContext.state);
  EXPECT_FALSE(isPending("17"));
  EXPECT_EQ(0, cpContext.registry->entryCount());
  ASSERT_EQ(CP_OK, cpdll_RegistrationComplete());
  EXPECT_EQ("<vexaRegister ver=\"5\"><attrGroupList></attrGroupList></vexaRegister>\n", agent_.readMessage());
}

TEST_F(Connection, CloseEndsTheConnectionInEveryStateAndTwiceInARow) {
  openConnected();
  EXPECT_EQ(CP_OK, cpdll_CloseConnection());
  EXPECT_EQ(CLOSED_SOCKET_STATE, cpContext.state);
  EXPECT_EQ(nullptr, cpContext.agent);
  EXPECT_EQ(nullptr, cpContext.registry);
  EXPECT_EQ(nullptr, cpContext.pending);
  EXPECT_EQ("", agent_.readAll());
  EXPECT_EQ(CP_OK, cpdll_CloseConnection());
  EXPECT_EQ(agent_.port(), cpContext.agentPort);  // the port outlives the close
}

struct InitialSizeCase {
  const char* name;
  const char* value;  // null: unset
  int before;
  int expected;
};

const InitialSizeCase kInitialSizes[] = {
    {"BelowTheMinimumBecomes256", "100", 4096, 256},
    {"LargeValueIsTaken", "65536", 4096, 65536},
    {"NotANumberBecomes256", "many", 4096, 256},
    {"UnsetKeepsThePreviousOpensValue", nullptr, 9000, 9000},
    {"UnsetBeforeTheFirstOpenIs4096", nullptr, 4096, 4096},
};

class InitialBufferSize : public ApiTest, public ::testing::WithParamInterface<InitialSizeCase> {};

TEST_P(InitialBufferSize, IsReadAtEveryOpenAndSizesNewGroups) {
  const InitialSizeCase& c = GetParam();
  cpContext.initialBufferSize = c.before;
  ScopedEnv env("CDP_VEXA_INITIAL_SIZE", c.value);
  openConnected();
  EXPECT_EQ(c.expected, cpContext.initialBufferSize);
  ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup("G", 1, 1));
  const AGPTR* group = static_cast<const AGPTR*>(cpContext.registry->get("G"));
  ASSERT_NE(nullptr, group);
  EXPECT_EQ(c.expected, group->responseBuffer->capacity());
  EXPECT_EQ(RESPONSE_GROWTH_PERCENT, group->responseBuffer->growthPercent());
}

INSTANTIATE_TEST_SUITE_P(Values, InitialBufferSize, ::testing::ValuesIn(kInitialSizes),
                         [](const ::testing::TestParamInfo<InitialSizeCase>& info) { return info.param.name; });

TEST_F(Connection, InitialSizeIsReadAlsoWhenTheConnectFails) {
  ScopedEnv env("CDP_VEXA_INITIAL_SIZE", "1000");
  cpdll_setPort(AgentListener::unusedPort());
  EXPECT_EQ(CP_CONNECT_FAILED, cpdll_OpenConnection());
  EXPECT_EQ(1000, cpContext.initialBufferSize);
}

TEST_F(Connection, MultithreadedPropertySetsTheFlagWhateverItsValueAndKeepsIt) {
  std::string port = "CP_PORT=" + std::to_string(agent_.port());
  const char* properties[] = {port.c_str(), "CP_MULTITHREADED=0"};
  TraceCapture trace(0);
  ASSERT_EQ(CP_OK, cp_OpenConnection(properties, 2));
  EXPECT_TRUE(trace.has("Custom provider is multiThreaded.")) << trace.dump();
  EXPECT_TRUE(cpContext.threaded);
  cpdll_CloseConnection();
  ASSERT_EQ(CP_OK, cpdll_OpenConnection());
  EXPECT_TRUE(cpContext.threaded);
}

TEST_F(Connection, OperationsReportEntryAndExitWithTheirResultUnderTheEventBit) {
  TraceCapture trace(TRC_EVENTS);
  cpdll_CloseConnection();
  std::vector<CapturedLine> lines = trace.lines();
  ASSERT_EQ(2u, lines.size()) << trace.dump();
  EXPECT_EQ("cp_CloseConnection", lines[0].function);
  EXPECT_EQ("> entry", lines[0].text);
  EXPECT_EQ("< exit rc=0", lines[1].text);

  trace.clear();
  EXPECT_EQ(CP_NO_PORT, cpdll_OpenConnection());
  EXPECT_TRUE(trace.has("< exit rc=-1")) << trace.dump();
}

TEST_F(Connection, NoTraceAtLevelZeroButTheUngatedLines) {
  TraceCapture trace(0);
  openConnected();
  cpdll_RegisterAttrGroup("G", 1, 1);
  cpdll_RegistrationComplete();
  cpdll_CloseConnection();
  EXPECT_TRUE(trace.lines().empty()) << trace.dump();
}

// The shared library shows a provider the interface functions and nothing else.
TEST(SharedLibrary, ExportsExactlyTheInterfaceFunctions) {
  std::string command = std::string("nm -D --defined-only ") + CPCLIENT_SHARED_LIBRARY;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  std::set<std::string> exported;
  char line[512];
  while (fgets(line, sizeof line, pipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string name = text.substr(text.rfind(' ') + 1);
    if (name != "_init" && name != "_fini" && name != "_edata" && name != "_end" && name != "__bss_start")
      exported.insert(name);
  }
  ASSERT_EQ(0, pclose(pipe));
  // The interface's eighteen functions and the extensions, nothing else.
  const std::set<std::string> interface = {
      "vexadllHello", "cpdll_setPort", "cpdll_GetConfigurationProperty", "cpdll_GetSubnodeConfigurationProperty",
      "cpdll_OpenConnection", "cpdll_CloseConnection", "cpdll_RegisterAttrGroup", "cpdll_RegistrationComplete",
      "cpdll_WaitForRequest", "cpdll_FreeRequest", "cpdll_SetAttributeValues", "cpdll_SendData", "cpdll_SendError",
      "cpdll_SendEventData", "cpdll_SendSubnodeEventData", "cpdll_SendEventError", "cpdll_SendSubnodeEventError",
      "cpdll_SendTaskRC",
      // the extensions
      "cpdll_SetAttributeValuesUtf8", "cpdll_WaitForRequestTimed", "cpdll_SendTaskOutput", "cpdll_ResultText",
      "cpdll_OpenConnectionTimed"};
  EXPECT_EQ(interface, exported);
}

}  // namespace
