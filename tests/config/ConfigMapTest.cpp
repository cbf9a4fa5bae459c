#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "config/ConfigData.h"
#include "config/ConfigFixture.h"
#include "config/SubnodeNames.h"
#include "host/Trace.h"
#include "util/HashTable.h"

namespace {

class ConfigMapTest : public FreshConfig {
 protected:
  ConfigMapTest() : FreshConfig({"CMT_", "SNC_"}) {}
};

Lines sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_F(ConfigMapTest, LookupsReadTheLiveEnvironmentUntilTheFirstStore) {
  ConfigMap map;
  ScopedEnv set("CMT_ENV", "from-env");
  EXPECT_EQ(textOf(map.get("CMT_ENV")), "from-env");
  EXPECT_EQ(map.get("CMT_UNSET"), nullptr);
  setenv("CMT_ENV", "changed", 1);
  EXPECT_EQ(textOf(map.get("CMT_ENV")), "changed");
  map.setConfigurationProperty("CMT_OTHER", "1");
  EXPECT_EQ(map.get("CMT_ENV"), nullptr);
  map.removeConfigurationProperty("CMT_OTHER");
  EXPECT_EQ(map.get("CMT_ENV"), nullptr);  // an empty map still answers alone
}

TEST_F(ConfigMapTest, EmptyValueIsAValueAndCopiesAreIndependent) {
  globalConfigMap.setConfigurationProperty("CMT_EMPTY", "");
  EXPECT_EQ(textOf(globalConfigMap.get("CMT_EMPTY")), "");
  EXPECT_EQ(take(getConfigurationProperty("CMT_EMPTY")), "");
  globalConfigMap.setConfigurationProperty("CMT_TWICE", "first");
  globalConfigMap.setConfigurationProperty("CMT_TWICE", "second");
  char* copy = getConfigurationProperty("CMT_TWICE");
  ASSERT_NE(copy, nullptr);
  copy[0] = 'Z';
  free(copy);
  EXPECT_EQ(textOf(getConfigurationPropertyInternal("CMT_TWICE")), "second");
  TraceCapture cap(0);
  globalConfigMap.trace();
  EXPECT_EQ(sorted(cap.texts()), (Lines{"CMT_EMPTY=", "CMT_TWICE=second"}));
}

TEST_F(ConfigMapTest, EveryTracedHitFollowsTheLinesOfItsCompanionLookup) {
  ConfigMap envMap;
  ScopedEnv set("CMT_ENV", "e");
  ConfigMap map;
  map.setConfigurationProperty("CMT_PLAIN", "1");
  map.setEnvProperty("CMT_HIDDEN", "2", true, true);
  const std::string inMap = " in the configuration property map";
  struct Case {
    ConfigMap* map;
    const char* name;
    Lines lines;
  } const kCases[] = {
      {&envMap,
       "CMT_ENV",
       {"CMT_ENV_ZRW_TRACE not found in the environment", "found property CMT_ENV=e in the environment"}},
      {&map, "CMT_PLAIN", {"CMT_PLAIN_ZRW_TRACE not found" + inMap, "found property CMT_PLAIN=1" + inMap}},
      {&map,
       "CMT_HIDDEN",
       {"CMT_HIDDEN_ZRW_TRACE_ZRW_TRACE not found" + inMap, "found property CMT_HIDDEN_ZRW_TRACE=xxx" + inMap,
        "found property CMT_HIDDEN=xxx" + inMap}},
      {&map, "CMT_MISSING", {"CMT_MISSING not found" + inMap}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TraceCapture cap(TRC_DETAIL);
    c.map->get(c.name);
    EXPECT_EQ(cap.texts(), c.lines);
  }
}

TEST_F(ConfigMapTest, HiddenPropertyLandsInMapAndEnvironmentAndTracesMasked) {
  ConfigMap map;
  TraceCapture cap(0);  // the store messages are printed whatever the level
  map.setEnvProperty("CMT_SECRET", "s3cret", true, true);
  EXPECT_EQ(cap.texts(), (Lines{"Setting config value for property: CMT_SECRET",
                                "Setting config value for property: CMT_SECRET_ZRW_TRACE"}));
  EXPECT_EQ(textOf(map.get("CMT_SECRET")), "s3cret");
  EXPECT_EQ(textOf(map.get("CMT_SECRET_ZRW_TRACE")), "xxx");
  EXPECT_EQ(textOf(getenv("CMT_SECRET")), "s3cret");
  EXPECT_EQ(textOf(getenv("CMT_SECRET_ZRW_TRACE")), "xxx");
  map.setConfigurationProperty("CMT_A", "1");
  cap.clear();
  map.trace();
  EXPECT_EQ(sorted(cap.texts()), (Lines{"CMT_A=1", "CMT_SECRET=xxx", "CMT_SECRET_ZRW_TRACE=xxx"}));
}

TEST_F(ConfigMapTest, NullValueChangesNothingButMayStillHide) {
  ConfigMap map;
  ScopedEnv set("CMT_KEEP", "old");
  TraceCapture cap(0);
  map.setEnvProperty("CMT_KEEP", nullptr, true, false);
  EXPECT_EQ(cap.texts(), Lines{"Eventually remove CMT_KEEP, but for now leave it alone"});
  EXPECT_FALSE(map.hasLocalMap());
  EXPECT_EQ(textOf(getenv("CMT_KEEP")), "old");
  map.trace();  // prints nothing without a map
  EXPECT_EQ(cap.texts().size(), 1u);
  cap.clear();
  map.setEnvProperty("CMT_KEEP", nullptr, true, true);
  EXPECT_EQ(cap.texts(), (Lines{"Eventually remove CMT_KEEP, but for now leave it alone",
                                "Setting config value for property: CMT_KEEP_ZRW_TRACE"}));
  EXPECT_EQ(map.get("CMT_KEEP"), nullptr);
  EXPECT_EQ(textOf(map.get("CMT_KEEP_ZRW_TRACE")), "xxx");
}

TEST_F(ConfigMapTest, NameThatIsNoVariableNameIsNotMirrored) {
  ConfigMap map;
  map.setEnvProperty("CMT_A=B", "c", true, false);
  EXPECT_EQ(textOf(map.get("CMT_A=B")), "c");
  EXPECT_EQ(getenv("CMT_A"), nullptr);  // would have become CMT_A="B=c"
}

// Every way of reading a hidden value, with every trace bit on: the value is
// answered but never written to the trace.
TEST_F(ConfigMapTest, HiddenValueNeverAppearsInTraceOutput) {
  {
    TraceCapture quiet(0);
    globalConfigMap.setConfigurationProperty(PRODUCT_CODE_PROPERTY, "SNC");
    Subnodes(globalConfigMap).addSection("disk", "c");
    globalConfigMap.setEnvProperty("CMT_SECRET", "s3cret", true, true);
    Subnodes(globalConfigMap).setSubnodeProperty("disk", 1, "PASSWORD", "s3cret", true);
    Subnodes(globalConfigMap).setSubnodeProperty("disk", 1, "IDLABEL", "s3cret", true);  // a hidden key, too
  }
  TraceCapture cap(TRC_DETAIL | TRC_ERROR | TRC_EVENTS);
  EXPECT_EQ(textOf(cp_GetConfigurationProperty("CMT_SECRET")), "s3cret");
  EXPECT_EQ(take(getConfigurationProperty("CMT_SECRET")), "s3cret");
  EXPECT_EQ(textOf(cp_GetSubnodeConfigurationProperty("PASSWORD", "disk", "s3cret")), "s3cret");
  EXPECT_EQ(take(getSubnodeConfigurationProperty("PASSWORD", "disk", "s3cret")), "s3cret");
  EXPECT_EQ(take(getSubnodeConfigurationVariable("SNC", "disk", "PASSWORD", "1")), "s3cret");
  EXPECT_EQ(take(getSubnodeKey("SNC", "disk", 1)), "s3cret");
  freeSubnodeInstanceEnv(getSubnodeInstanceEnv("s3cret", "disk"));
  globalConfigMap.trace();
  EXPECT_TRUE(cap.has("found property CMT_SECRET=xxx in the configuration property map"));
  EXPECT_TRUE(cap.has("found variable PASSWORD from property SNC_disk_PASSWORD_1=xxx"));
  EXPECT_TRUE(cap.has("Found subnode key xxx for type disk, index = 1"));
  for (const CapturedLine& line : cap.lines()) {
    // Lines that echo the key the caller passed in may show it.
    if (line.text.find("subnode key s3cret") != std::string::npos || line.text.find(":s3cret:") != std::string::npos)
      continue;
    EXPECT_EQ(line.line.find("s3cret"), std::string::npos) << line.line;
  }
}

TEST_F(ConfigMapTest, AgentVariablesAreStoredOnlyWhenTheHostKnowsThem) {
  ScopedEnv agent("CMT_AGENT", "42");
  ScopedEnv envOnly("CMT_ENVONLY", "e");
  TraceCapture cap(TRC_ERROR);
  loadAgentEnvironmentVariable("CMT_NOPE");
  EXPECT_EQ(cap.texts(), Lines{"Could not find any value for the variable CMT_NOPE"});
  EXPECT_EQ(take(getConfigurationProperty("CMT_ENVONLY")), "e");  // still no map
  loadAgentEnvironmentVariable("CMT_AGENT");
  EXPECT_EQ(take(getConfigurationProperty("CMT_AGENT")), "42");
  cap.clear();
  EXPECT_EQ(getConfigurationProperty("CMT_ENVONLY"), nullptr);  // the map now answers alone
  EXPECT_EQ(cap.texts(), Lines{"Configuration property CMT_ENVONLY not found"});
}

TEST_F(ConfigMapTest, ExportedLookupAnswersFromTheEnvironmentWithoutStoring) {
  ScopedEnv set("CMT_CP", "val");
  ScopedEnv secret("CMT_ENVSECRET", "s3cret");
  ScopedEnv companion("CMT_ENVSECRET_ZRW_TRACE", "xxx");
  TraceCapture cap(TRC_EVENTS | TRC_DETAIL);
  EXPECT_EQ(cp_GetConfigurationProperty("CMT_CP"), getenv("CMT_CP"));  // borrowed, not copied
  EXPECT_EQ(cp_GetConfigurationProperty("CMT_UNSET"), nullptr);
  Lines events;
  for (const CapturedLine& line : cap.lines())
    if (line.function == "cp_GetConfigurationProperty") events.push_back(line.text);
  EXPECT_EQ(events, (Lines{"> entry", "< exit \"val\"", "> entry", "< exit null"}));
  EXPECT_EQ(textOf(cp_GetConfigurationProperty("CMT_ENVSECRET")), "s3cret");
  EXPECT_TRUE(cap.has("found property CMT_ENVSECRET=xxx in the environment"));
  for (const CapturedLine& line : cap.lines()) EXPECT_EQ(line.line.find("s3cret"), std::string::npos) << line.line;
  EXPECT_FALSE(globalConfigMap.hasLocalMap());
}

TEST_F(ConfigMapTest, NullArgumentsFindNothing) {
  EXPECT_EQ(globalConfigMap.get(nullptr), nullptr);
  EXPECT_EQ(getConfigurationProperty(nullptr), nullptr);
  EXPECT_EQ(cp_GetConfigurationProperty(nullptr), nullptr);
  EXPECT_EQ(cp_GetSubnodeConfigurationProperty(nullptr, nullptr, nullptr), nullptr);
  globalConfigMap.setEnvProperty(nullptr, "v", true, true);
  EXPECT_FALSE(globalConfigMap.hasLocalMap());
}

// Threads use the locking entry points at once, stores among them; every answer
// must be exact and every store printed exactly once.
TEST_F(ConfigMapTest, LockingEntryPointsServeSeveralThreadsAtOnce) {
  constexpr int THREADS = 8;
  constexpr int ROUNDS = 200;
  TraceCapture cap(0);
  globalConfigMap.setConfigurationProperty(PRODUCT_CODE_PROPERTY, "SNC");
  Subnodes(globalConfigMap).addSection("disk", "c:");
  Subnodes(globalConfigMap).addSection("disk", "d");
  Subnodes(globalConfigMap).setSubnodeProperty("disk", 1, "LIMIT", "7", false);
  Subnodes(globalConfigMap).setSubnodeProperty("disk", 0, "LIMIT", "5", false);
  Lines names;
  for (int t = 0; t < THREADS; t++) {
    names.push_back("CMT_THREAD_" + std::to_string(t));
    setenv(names.back().c_str(), ("v" + std::to_string(t)).c_str(), 1);
  }
  std::atomic<int> wrong{0};
  auto expect = [&wrong](char* got, const char* want) {
    if (take(got) != want) wrong++;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++) {
    threads.emplace_back([&, t] {
      std::string want = "v" + std::to_string(t);
      for (int round = 0; round < ROUNDS; round++) {
        loadAgentEnvironmentVariable(names[t].c_str());
        expect(getConfigurationProperty(names[t].c_str()), want.c_str());
        expect(getSubnodeKey("SNC", "disk", 1), "c");
        expect(getSubnodeIndex("SNC", "d", "disk"), "2");
        expect(getSubnodeConfigurationProperty("LIMIT", "disk", "d"), "5");
        expect(getSubnodeConfigurationVariable("SNC", "disk", "LIMIT", "1"), "7");
        int count = 0;
        char** keys = getSubnodeKeys("disk", &count);
        if (count != 2 || take(keys[0]) != "c" || take(keys[1]) != "d") wrong++;
        free(keys);
        HashTable* env = getSubnodeInstanceEnv("c", "disk");
        if (!env || textOf(static_cast<const char*>(env->get("LIMIT"))) != "7") wrong++;
        freeSubnodeInstanceEnv(env);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  for (const std::string& name : names)
    EXPECT_EQ(cap.count("Setting config value for property: " + name), ROUNDS) << name;
}

}  // namespace
