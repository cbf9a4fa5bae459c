// Deadlines, snapshot groups, declared columns and statistics of cpclient.hpp, against the loopback agent and agentemu.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "cpclient.hpp"
#include "support/AgentListener.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SlowProvider, AHandlerPastItsDeadlineIsAnsweredAtOnceAndItsGroupGoesOnWithoutItsLateRows) {
  setenv("CP_SLEEP_UNIT_MS", "1", 1);
  auto release = std::make_shared<std::atomic<bool>>(false);  // the late handlers may outlive the test
  auto toldLate = std::make_shared<std::atomic<bool>>(false);
  auto hold = [release] {
    for (auto until = Clock::now() + 10s; !*release && Clock::now() < until;) std::this_thread::sleep_for(1ms);
  };
  cpclient::Provider provider;
  cpclient::GroupOptions options;
  options.deadline = 150ms;
  options.deadlineRc = 9;
  provider.group(
      "G", 1,
      [hold, toldLate](const cpclient::Request& request, cpclient::Rows& rows) {
        if (request.id() == "slow") hold();
        *toldLate = rows.add(request.id()) == cpclient::Errc::timedOut;
      },
      options);
  provider.task([hold](const cpclient::Request&, cpclient::TaskOutput& out) { return hold(), out.add("late"), 0; });
  AgentListener agent;
  cpclient::RunOptions run;
  run.port = agent.port();
  run.stopPoll = 20ms;
  run.workers = 1;  // both handlers hang: the next request needs an extra worker
  run.taskDeadline = 100ms;
  run.handlerErrorRc = 5;
  std::thread runner([&] { (void)provider.run(run); });
  ASSERT_TRUE(agent.accept());
  ASSERT_NE("", agent.readMessage());
  const struct Case {
    const char* name;
    std::string request, answer;
    std::chrono::milliseconds deadline;
  } kCases[] = {
      {"data", "<dataRequest id=\"slow\"><attrGroup name=\"G\"/></dataRequest>\n",
       "<dataResponse id=\"slow\"><attrGroup name=\"G\"><error rc=\"9\"/></attrGroup></dataResponse>\n", 150ms},
      {"task", "<taskRequest id=\"t\"><task command=\"c\" user=\"u\"/></taskRequest>\n",
       "<taskResponse id=\"t\" rc=\"5\"/>", 100ms}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto sent = Clock::now();
    ASSERT_TRUE(agent.send(c.request));
    EXPECT_EQ(c.answer, agent.readBytes(c.answer.size()));
    const std::chrono::duration<double, std::milli> late = Clock::now() - sent - c.deadline;
    std::printf("[ deadline ] %s answered %.2f ms past its deadline\n", c.name, late.count());
    EXPECT_GE(late.count(), 0);
    EXPECT_LT(late, 80ms);
  }
  ASSERT_TRUE(agent.send("<dataRequest id=\"next\"><attrGroup name=\"G\"/></dataRequest>\n"));
  EXPECT_EQ(
      "<dataResponse id=\"next\"><attrGroup name=\"G\"><in><al><a "
      "v=\"next\"/></al></in></attrGroup></dataResponse>\n",
      agent.readMessage());  // the task answer's line feed comes first
  cpclient::Stats stats = provider.stats();
  for (auto until = Clock::now() + 5s; stats.groups[0].answers + stats.tasks.answers < 3 && Clock::now() < until;)
    stats = provider.stats();           // counted just after the library took the answer
  EXPECT_EQ(1u, stats.groups[0].hung);  // still sleeping
  EXPECT_EQ(1u, stats.tasks.hung);
  EXPECT_EQ(1u, stats.groups[0].deadlineMisses);
  EXPECT_EQ(1u, stats.groups[0].errors);
  EXPECT_EQ(2u, stats.groups[0].answers);
  *release = true;
  for (auto until = Clock::now() + 5s; (stats.groups[0].hung || stats.tasks.hung) && Clock::now() < until;)
    stats = provider.stats();
  EXPECT_EQ(0u, stats.groups[0].hung + stats.tasks.hung);
  EXPECT_TRUE(*toldLate);
  EXPECT_EQ("", agent.readAll(300));  // the late rows and answers never reached the wire
  provider.stop();
  runner.join();
  unsetenv("CP_SLEEP_UNIT_MS");
}

// CPCLIENT_AGENTEMU, else agentemu next to this test's folder, or "" when it is not built.
std::string agentemu() {
  if (const char* given = getenv("CPCLIENT_AGENTEMU")) return given;
  char exe[4096] = "";
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string path = std::string(exe, length > 0 ? length : 0);
  path = path.substr(0, path.rfind('/')) + "/../agentemu";
  return access(path.c_str(), X_OK) == 0 ? path : "";
}

TEST(SlowProvider, ASnapshotGroupAndRefusedRowsAreCountedAsAgentemuCountsThem) {
  const std::string emu = agentemu();
  if (emu.empty()) GTEST_SKIP() << "agentemu is not built";
  std::atomic<int> collected{0};
  cpclient::Provider provider;
  cpclient::GroupOptions procs;
  procs.columns = {"pid", "name"};
  procs.snapshotEvery = 60s;
  provider.snapshotGroup(
      "Procs", 1,
      [&] {
        return collected++, cpclient::SnapshotRows{{"1", "init"}, {"2", "sh"}};
      },
      procs);
  cpclient::GroupOptions disk;
  disk.columns = {"dev", "free"};
  provider.group(
      "Disk", 1,
      [](const cpclient::Request& request, cpclient::Rows& rows) {
        if (request.id() == "bad") rows.add("sda", 10, "extra");
        rows.addNamed({{"free", 10}, {"dev", "sda"}});
      },
      disk);
  char script[] = "/tmp/cpslow.XXXXXX";
  const int fd = mkstemp(script);
  const std::string steps =
      "data Procs id=p1\nexpect rows 2\ndata Procs id=p2 filter=name=sh\nexpect rows 1\nexpect cell 1 pid 2\n"
      "data Procs id=p3 filter=user=root\nexpect rows 2\ndata Disk id=d1\nexpect cell 1 dev sda\n"
      "expect cell 1 free 10\ndata Disk id=bad\nexpect error 1\nshutdown\n";
  ASSERT_EQ(ssize_t(steps.size()), write(fd, steps.data(), steps.size()));
  close(fd);
  FILE* out = popen((emu + " " + provider.agentemuColumns() + " --script " + script + " 2>&1").c_str(), "r");
  ASSERT_NE(nullptr, out);
  char line[512];
  ASSERT_NE(nullptr, std::fgets(line, sizeof line, out));  // "agentemu: listening on 127.0.0.1:PORT"
  cpclient::RunOptions options;
  options.port = std::atoi(std::strrchr(line, ':') + 1);
  options.workers = 2;
  EXPECT_EQ(cpclient::RunEnd::agentShutdown, provider.run(options).end);
  std::string output;
  while (std::fgets(line, sizeof line, out)) output += line;
  EXPECT_EQ(0, WEXITSTATUS(pclose(out))) << output;
  unlink(script);
  std::smatch sent, errors;
  ASSERT_TRUE(std::regex_search(output, sent, std::regex("sent .*data (\\d+)"))) << output;
  ASSERT_TRUE(std::regex_search(output, errors, std::regex("answers +data \\d+ .*, error (\\d+)"))) << output;
  const cpclient::Stats stats = provider.stats();
  EXPECT_EQ(std::stoul(sent[1]), stats.groups[0].requests + stats.groups[1].requests);
  EXPECT_EQ(std::stoul(errors[1]), stats.groups[0].errors + stats.groups[1].errors);
  EXPECT_EQ(1u, stats.groups[1].errors);
  EXPECT_EQ(1, collected.load());  // once before the registration, never per request
  EXPECT_TRUE(stats.groups[0].snapshotAge.has_value());
}

}  // namespace
