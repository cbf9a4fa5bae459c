// Base services: the zero-initialised lock, sleeping in units, the environment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "host/Services.h"
#include "support/TraceCapture.h"

namespace {

SVC1_Lock staticLock;  // zero at load, never created

TEST(Services, ZeroLockGivesMutualExclusionAndWorksAgainAfterDestroy) {
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
      threads.emplace_back([&counter] {
        for (int i = 0; i < 20000; i++) {
          SVC1_GetLock(&staticLock);
          long seen = counter;
          if (i % 1000 == 0) std::this_thread::yield();  // widen the window for a lost update
          counter = seen + 1;
          SVC1_ReleaseLock(&staticLock);
        }
      });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(80000, counter);
    SVC1_DestroyLock(&staticLock);
    EXPECT_EQ(0, staticLock.state.load());
  }
}

TEST(Services, WaiterSleepsUntilTheHolderReleases) {
  SVC1_Lock lock = {};
  SVC1_GetLock(&lock);
  bool taken = false;
  std::thread waiter([&] {
    SVC1_GetLock(&lock);
    taken = true;
    SVC1_ReleaseLock(&lock);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(2, lock.state.load());  // held with a waiter parked in the kernel
  SVC1_ReleaseLock(&lock);
  waiter.join();
  EXPECT_TRUE(taken);
  EXPECT_EQ(0, lock.state.load());
}

TEST(Services, SleepLastsItsUnits) {
  ScopedEnv unit("CP_SLEEP_UNIT_MS", "20");
  auto started = std::chrono::steady_clock::now();
  SVC1_Sleep(3);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(60));
  SVC1_Sleep(0);
  SVC1_Sleep(-1);
}

TEST(Services, EnvironmentReadsAndPutsTheLiveEnvironment) {
  ScopedEnv env("CP_SERVICES_TEST", "one");
  EXPECT_STREQ("one", SVC1_GetEnv("CP_SERVICES_TEST", nullptr));
  EXPECT_STREQ("fallback", SVC1_GetEnv("CP_SERVICES_UNSET", "fallback"));
  EXPECT_EQ(nullptr, SVC1_GetEnv(nullptr, nullptr));
  static char assignment[] = "CP_SERVICES_TEST=two";  // the environment keeps the string
  EXPECT_EQ(0, SVC1_PutEnv(assignment));
  EXPECT_STREQ("two", getenv("CP_SERVICES_TEST"));
  static char noEquals[] = "CP_SERVICES_TEST";
  EXPECT_EQ(-1, SVC1_PutEnv(noEquals));
  EXPECT_EQ(-1, SVC1_PutEnv(nullptr));
  EXPECT_STREQ("two", getenv("CP_SERVICES_TEST"));
}

}  // namespace
