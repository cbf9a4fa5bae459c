// Test fixture for the interface: a loopback agent and a clean connection context per test.
#ifndef CPCLIENT_TESTS_API_APIFIXTURE_H
#define CPCLIENT_TESTS_API_APIFIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "api/Connection.h"
#include "cpclient.h"
#include "support/AgentListener.h"

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("CP_PORT");
    unsetenv("CDP_VEXA_INITIAL_SIZE");
    setenv("CP_SLEEP_UNIT_MS", "1", 1);
    resetContext();
  }
  void TearDown() override {
    cp_CloseConnection();
    resetContext();
    unsetenv("CP_SLEEP_UNIT_MS");
  }
  // The values that outlive a close, back to their load-time values.
  static void resetContext() {
    cpContext.agentPort = -1;
    cpContext.threaded = false;
    cpContext.initialBufferSize = DEFAULT_INITIAL_BUFFER_SIZE;
  }

  // Opens to agent_ and accepts the connection: state 1.
  void openConnected() {
    cpdll_setPort(agent_.port());
    ASSERT_EQ(CP_OK, cpdll_OpenConnection());
    ASSERT_TRUE(agent_.accept());
  }

  // Opens, registers the groups, completes and reads the registration: state 2.
  void openRegistered(const std::vector<std::pair<std::string, int>>& groups) {
    openConnected();
    for (const auto& g : groups) ASSERT_EQ(CP_OK, cpdll_RegisterAttrGroup(g.first.c_str(), 1, g.second));
    ASSERT_EQ(CP_OK, cpdll_RegistrationComplete());
    ASSERT_NE("", agent_.readMessage());
  }

  // Sends one agent message and waits for the request it yields.
  CPREQUEST* requestFor(const std::string& bytes, int* result = nullptr) {
    EXPECT_TRUE(agent_.send(bytes));
    CPREQUEST* request = nullptr;
    int rc = cpdll_WaitForRequest(&request);
    if (result) *result = rc;
    return request;
  }

  static bool isPending(const char* id) { return pendingGet(id) != nullptr; }

  AgentListener agent_;
};

#endif  // CPCLIENT_TESTS_API_APIFIXTURE_H
