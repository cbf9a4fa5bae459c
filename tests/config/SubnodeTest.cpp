#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "config/ConfigData.h"
#include "config/ConfigFixture.h"
#include "config/SubnodeNames.h"
#include "host/Trace.h"
#include "util/HashTable.h"

namespace {

// The product code is SNT, stored in the map only; type disk as in the examples.
class SubnodeTest : public FreshConfig {
 protected:
  SubnodeTest() : FreshConfig({"SNT_", "SNE_", "SNU_"}) {}
  void SetUp() override {
    FreshConfig::SetUp();
    map.setConfigurationProperty(PRODUCT_CODE_PROPERTY, "SNT");
  }
  std::string value(const char* name) { return textOf(map.get(name)); }
  Lines keys(const char* type) {
    int count = -1;
    char** keys = getSubnodeKeys(type, &count);
    if (!keys) return {"<null array>"};
    Lines out;
    for (int i = 0; i < count; i++) out.push_back(take(keys[i]));
    free(keys);
    return out;
  }
  ConfigMap& map = globalConfigMap;
  Subnodes subnodes{globalConfigMap};
};

TEST_F(SubnodeTest, SectionsAreNumberedWithKeyIdAndCount) {
  TraceCapture cap(TRC_DETAIL);
  EXPECT_EQ(subnodes.addSection("disk", "c:"), 1);
  EXPECT_EQ(subnodes.addSection("disk", "d"), 2);
  const char* const kStored[][2] = {{"SNT_disk_IDLABEL_1", "c"},
                                    {"SNT_disk_SECTIONID_1", "c:"},
                                    {"SNT_disk_IDLABEL_2", "d"},
                                    {"SNT_disk_SECTIONID_2", "<null>"},
                                    {"SNT_disk_COUNT", "2"}};
  for (const auto& stored : kStored) {
    EXPECT_EQ(value(stored[0]), stored[1]) << stored[0];
    EXPECT_EQ(textOf(getenv(stored[0])), stored[1]) << stored[0];
  }
  EXPECT_TRUE(cap.has("Adding section disk ID c: with number 1 (new subnode type)"));
  EXPECT_TRUE(cap.has("Adding section disk ID d with number 2 (new subnode)"));
  EXPECT_TRUE(cap.has("Found repeatable section disk number 2"));
  map.setConfigurationProperty(PRODUCT_CODE_PROPERTY, "SNU");  // read at each use
  EXPECT_EQ(subnodes.addSection("disk", "q"), 1);
  EXPECT_EQ(value("SNU_disk_IDLABEL_1"), "q");
}

TEST_F(SubnodeTest, SectionsWithoutAUsableIdStoreNothing) {
  struct Case {
    bool typeKnown;
    const char* id;
    int result;
    const char* line;
  } const kCases[] = {
      {false, nullptr, -1, "Section disk does not appear to be a subnode section"},
      {false, "", -1, "Section disk does not appear to be a subnode section"},
      {true, nullptr, 0, "Defaults section disk found"},
      {true, "", 0, "Defaults section disk found"},
      {false, "   ", -3, "Invalid subnode id    , ignoring"},  // printed whatever the level
      {true, ":/", -3, "Invalid subnode id :/, ignoring"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(textOf(c.id));
    resetConfigurationForTest();
    map.setConfigurationProperty(PRODUCT_CODE_PROPERTY, "SNT");
    if (c.typeKnown) map.setConfigurationProperty("SNT_disk_COUNT", "1");
    TraceCapture cap(c.result == -3 ? 0 : TRC_DETAIL);
    EXPECT_EQ(subnodes.addSection("disk", c.id), c.result);
    EXPECT_TRUE(cap.has(c.line)) << cap.dump();
    EXPECT_EQ(value("SNT_disk_COUNT"), c.typeKnown ? "1" : "<null>");
    EXPECT_EQ(value("SNT_disk_IDLABEL_1"), "<null>");
  }
}

TEST_F(SubnodeTest, KeysAreSanitisedIdsAndNamesFollowTheFormats) {
  const char* const kCases[][2] = {
      {"c:", "c"}, {"A-z_0.9", "A-z_0.9"}, {"a b\tc/d", "abcd"}, {"\xc3\xa9t\xe9", "t"}, {"   ", ""}, {"", ""}};
  for (const auto& c : kCases) EXPECT_EQ(take(sanitizeSubnodeId(c[0])), c[1]) << c[0];
  EXPECT_EQ(sanitizeSubnodeId(nullptr), nullptr);
  EXPECT_EQ(take(makeIdLabelName("PC", "disk", 3)), "PC_disk_IDLABEL_3");
  EXPECT_EQ(take(makeSectionIdName("PC", "disk", 12)), "PC_disk_SECTIONID_12");
}

TEST_F(SubnodeTest, IndexIsFoundBySanitisedKeyAtItsFirstNumber) {
  subnodes.addSection("disk", "c:");
  subnodes.addSection("disk", "d");
  subnodes.addSection("disk", "d");
  TraceCapture cap(TRC_DETAIL);
  const char* const kCases[][2] = {{"c:", "1"}, {"c", "1"}, {"d", "2"}, {"zz", "<null>"}, {nullptr, "<null>"}};
  for (const auto& c : kCases) EXPECT_EQ(take(getSubnodeIndex("SNT", c[0], "disk")), c[1]) << textOf(c[0]);
  EXPECT_EQ(take(getSubnodeIndex("SNT", "c", "tape")), "<null>");
  EXPECT_TRUE(cap.has("Returning index = 1 for subnode key c"));
  EXPECT_TRUE(cap.has("Returning index = <null> for subnode key zz"));
}

TEST_F(SubnodeTest, RemovedSectionLeavesNoGapAndItsNumberIsNotReused) {
  subnodes.addSection("disk", "c:");
  subnodes.addSection("disk", "d");
  subnodes.removeSection("disk", "c:");
  EXPECT_EQ(keys("disk"), Lines{"d"});
  EXPECT_EQ(value("SNT_disk_SECTIONID_1"), "<null>");
  EXPECT_EQ(textOf(getenv("SNT_disk_IDLABEL_1")), "c");  // removals touch the map only
  EXPECT_EQ(subnodes.addSection("disk", "e"), 3);
  EXPECT_EQ(keys("disk"), (Lines{"d", "e"}));
}

TEST_F(SubnodeTest, KeyLookupsTraceAndTakeNoEmptyKey) {
  TraceCapture cap(TRC_DETAIL | TRC_ERROR);
  EXPECT_EQ(keys("tape"), Lines{});  // a non-null empty array
  EXPECT_TRUE(cap.has("Found no subnode instances of type tape"));
  subnodes.addSection("disk", "c");
  char** list = getSubnodeKeys("disk", nullptr);  // a null count is allowed
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(take(list[0]), "c");
  free(list);
  EXPECT_TRUE(cap.has("Found 1 subnode instances of type disk"));
  cap.clear();
  EXPECT_EQ(take(getSubnodeKey("SNT", "disk", 1)), "c");
  EXPECT_EQ(cap.count("Lookup of pc=SNT subnodeTYpe=disk index=1"), 2);
  EXPECT_TRUE(cap.has("Found subnode key c for type disk, index = 1"));
  EXPECT_EQ(take(getSubnodeKey("SNT", "disk", 9)), "<null>");
  EXPECT_TRUE(cap.has("subnode key for subnode type disk not found"));
  map.setConfigurationProperty("SNT_disk_IDLABEL_1", "");
  EXPECT_EQ(take(getSubnodeKey("SNT", "disk", 1)), "<null>");
  EXPECT_EQ(keys("disk"), Lines{});
}

TEST_F(SubnodeTest, RemovingSubnodePropertiesMatchesTheWholeSuffix) {
  subnodes.addSection("disk", "c:");
  subnodes.setSubnodeProperty("disk", 1, "LIMIT", "1", true);
  subnodes.setSubnodeProperty("disk", 11, "LIMIT", "11", false);
  subnodes.setSubnodeProperty("disk", 2, "LIMIT", "2", false);
  subnodes.setSubnodeProperty("disk", 0, "LIMIT", "d", false);
  EXPECT_EQ(value("SNT_disk_LIMIT_DEFAULT"), "d");
  EXPECT_EQ(value("SNT_disk_LIMIT_1_ZRW_TRACE"), "xxx");
  subnodes.removeSubnodeProperties("disk", 1);
  for (const char* gone :
       {"SNT_disk_LIMIT_1", "SNT_disk_LIMIT_1_ZRW_TRACE", "SNT_disk_IDLABEL_1", "SNT_disk_SECTIONID_1"})
    EXPECT_EQ(value(gone), "<null>") << gone;
  for (const char* kept : {"SNT_disk_LIMIT_11", "SNT_disk_LIMIT_2", "SNT_disk_LIMIT_DEFAULT", "SNT_disk_COUNT"})
    EXPECT_NE(value(kept), "<null>") << kept;
  EXPECT_EQ(textOf(getenv("SNT_disk_LIMIT_1")), "1");
}

// Subnode c at index 1 and d at index 2; LIMIT 7 for c and 5 by default.
class SubnodeVariableTest : public SubnodeTest {
 protected:
  void SetUp() override {
    SubnodeTest::SetUp();
    TraceCapture quiet(0);
    subnodes.addSection("disk", "c:");
    subnodes.addSection("disk", "d");
    subnodes.setSubnodeProperty("disk", 1, "LIMIT", "7", false);
    subnodes.setSubnodeProperty("disk", 0, "LIMIT", "5", false);
  }
};

TEST_F(SubnodeVariableTest, ValueFallsBackToTheDefaultThenThePlainVariable) {
  struct Case {
    const char* key;
    const char* own;    // SNT_disk_LIMIT_1, null to remove
    const char* deflt;  // SNT_disk_LIMIT_DEFAULT, null to remove
    const char* plain;  // LIMIT, null for none
    const char* result;
    const char* line;
  } const kCases[] = {
      {"c", "7", "5", nullptr, "7", "found variable LIMIT from property SNT_disk_LIMIT_1=7"},
      {"c:", "7", "5", nullptr, "7", "found variable LIMIT from property SNT_disk_LIMIT_1=7"},
      {"d", "7", "5", nullptr, "5", "found variable LIMIT from property SNT_disk_LIMIT_DEFAULT=5"},
      {"never-added", "7", "5", nullptr, "5", "found variable LIMIT from property SNT_disk_LIMIT_DEFAULT=5"},
      {"c", "", "5", nullptr, "5", "found variable LIMIT from property SNT_disk_LIMIT_DEFAULT=5"},
      {"c", nullptr, nullptr, "", "", "found variable LIMIT from property LIMIT="},
      {"c", nullptr, nullptr, nullptr, "<null>", "did not find variable LIMIT"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.key) + " " + textOf(c.own) + " " + textOf(c.deflt) + " " + textOf(c.plain));
    const char* const settings[][2] = {
        {"SNT_disk_LIMIT_1", c.own}, {"SNT_disk_LIMIT_DEFAULT", c.deflt}, {"LIMIT", c.plain}};
    for (const auto& setting : settings) {
      map.removeConfigurationProperty(setting[0]);
      if (setting[1]) map.setConfigurationProperty(setting[0], setting[1]);
    }
    TraceCapture cap(TRC_DETAIL);
    EXPECT_EQ(take(getSubnodeConfigurationProperty("LIMIT", "disk", c.key)), c.result);
    EXPECT_EQ(textOf(getSubnodeConfigurationPropertyInternal("LIMIT", "disk", c.key)), c.result);
    EXPECT_EQ(textOf(cp_GetSubnodeConfigurationProperty("LIMIT", "disk", c.key)), c.result);
    EXPECT_EQ(cap.count(c.line), 3) << cap.dump();
  }
  map.setConfigurationProperty("SNT_disk_LIMIT_", "u");  // a null index counts as empty
  EXPECT_EQ(take(getSubnodeConfigurationVariable("SNT", "disk", "LIMIT", nullptr)), "u");
}

Lines entriesOf(HashTable* env) {
  Lines out;
  HashTableIterator it = env->iterator();
  while (it.hasNext()) {
    it.next();
    out.push_back(std::string(it.key()) + "=" + static_cast<const char*>(it.value()));
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(SubnodeVariableTest, InstanceEnvironmentPrefersOwnValuesOverDefaults) {
  subnodes.setSubnodeProperty("disk", 1, "LIMIT", "7", true);  // its companion takes no part
  subnodes.setSubnodeProperty("disk", 0, "MODE", "fast", false);
  const char* const kExtra[][2] = {
      {"SNT_diskette_LIMIT_1", "99"}, {"SNT_disk_1", "one"},    {"SNT_disk_X_12", "x"},     {"SNT_disk_A_DEF", "a"},
      {"SNT_disk_B_DEFAULTS", "b"},   {"SNT_disk_C_DEFT", "c"}, {"SNT__LIMIT_DEFAULT", "z"}};
  for (const auto& extra : kExtra) map.setConfigurationProperty(extra[0], extra[1]);
  TraceCapture cap(TRC_DETAIL);
  HashTable* env = getSubnodeInstanceEnv("c", "disk");
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(entriesOf(env), (Lines{"1=one", "A=a", "B=b", "IDLABEL=c", "LIMIT=7", "MODE=fast", "SECTIONID=c:"}));
  EXPECT_TRUE(cap.has("Found 4+3 variables for subnode SNT:c:disk")) << cap.dump();
  freeSubnodeInstanceEnv(env);

  env = getSubnodeInstanceEnv("never-added", "disk");
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(entriesOf(env), (Lines{"A=a", "B=b", "LIMIT=5", "MODE=fast"}));
  EXPECT_TRUE(cap.has("Found 0+4 variables for subnode SNT:never-added:disk"));
  freeSubnodeInstanceEnv(env);

  env = getSubnodeInstanceEnv("c", nullptr);  // finds nothing, not the defaults of the type ""
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(entriesOf(env), Lines{});
  EXPECT_TRUE(cap.has("Found 0+0 variables for subnode SNT:c:<null>")) << cap.dump();
  freeSubnodeInstanceEnv(env);
  freeSubnodeInstanceEnv(nullptr);
}

TEST_F(SubnodeTest, InstanceEnvironmentWithoutAMapIsEmpty) {
  resetConfigurationForTest();
  TraceCapture cap(TRC_DETAIL);
  HashTable* env = getSubnodeInstanceEnv("c", "disk");
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(env->entryCount(), 0);
  EXPECT_TRUE(cap.has("Found 0+0 variables for subnode :c:disk"));
  freeSubnodeInstanceEnv(env);
}

TEST_F(SubnodeTest, ExportedSubnodeLookupAnswersFromTheEnvironmentAlone) {
  resetConfigurationForTest();
  ScopedEnv pc(PRODUCT_CODE_PROPERTY, "SNE");
  for (const char* assignment : {"SNE_disk_COUNT=2", "SNE_disk_IDLABEL_1=c", "SNE_disk_IDLABEL_2=d",
                                 "SNE_disk_LIMIT_1=7", "SNE_disk_LIMIT_DEFAULT=5"})
    putenv(const_cast<char*>(assignment));  // string literals live as long as the process
  EXPECT_EQ(textOf(cp_GetSubnodeConfigurationProperty("LIMIT", "disk", "c")), "7");
  EXPECT_EQ(textOf(cp_GetSubnodeConfigurationProperty("LIMIT", "disk", "d")), "5");
  EXPECT_EQ(cp_GetSubnodeConfigurationProperty("LIMIT", "disk", "c"), getenv("SNE_disk_LIMIT_1"));
  EXPECT_FALSE(globalConfigMap.hasLocalMap());
}

}  // namespace
