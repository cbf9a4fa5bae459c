// The README's provider, a separate C program on the shared library, against a loopback agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/AgentListener.h"

extern char** environ;

namespace {

TEST(MinimalProvider, RegistersAnswersAndExitsOnShutdown) {
  AgentListener agent;
  std::string port = "CP_PORT=" + std::to_string(agent.port());
  char* argv[] = {const_cast<char*>(CPCLIENT_MINIMAL_PROVIDER), nullptr};
  char* envp[] = {const_cast<char*>(port.c_str()), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(0, posix_spawn(&pid, CPCLIENT_MINIMAL_PROVIDER, nullptr, nullptr, argv, envp));

  ASSERT_TRUE(agent.accept(10000));
  EXPECT_EQ(
      "<vexaRegister ver=\"5\"><attrGroupList><attrGroup name=\"Procs\" ver=\"1\"/></attrGroupList></vexaRegister>\n",
      agent.readMessage());
  ASSERT_TRUE(agent.send("<dataRequest id=\"42\"><attrGroup name=\"Procs\"/></dataRequest>\n"));
  EXPECT_EQ(
      "<dataResponse id=\"42\"><attrGroup name=\"Procs\"><in><al><a v=\"init\"/><a v=\"1\"/></al></in>"
      "</attrGroup></dataResponse>\n",
      agent.readMessage());
  ASSERT_TRUE(agent.send("<taskRequest id=\"43\"><task command=\"x\"/></taskRequest>\n"));
  const std::string taskResponse = "<taskResponse id=\"43\" rc=\"0\"/>";
  EXPECT_EQ(taskResponse, agent.readBytes(taskResponse.size()));
  ASSERT_TRUE(agent.send("<shutdown/>\n"));
  agent.finishSending();  // as the agent does after its shutdown

  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 500 && (ended = waitpid(pid, &status, WNOHANG)) == 0; i++) usleep(10000);
  if (ended != pid || !WIFEXITED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the provider did not exit after the shutdown";
  }
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
