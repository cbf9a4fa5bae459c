// HashTable: hash values, bucket sizing and doubling, chain order, key ownership, and the cursor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/HashTable.h"

namespace {

std::vector<std::string> keysInOrder(const HashTable& table) {
  std::vector<std::string> keys;
  for (HashTableIterator it = table.iterator(); it.hasNext();) {
    it.next();
    keys.push_back(it.key());
  }
  return keys;
}

TEST(HashTable, HashesFrom5381TimesThirtyThreeOverSignedBytes) {
  struct Case {
    const char* key;
    uint32_t hash;
  } const kCases[] = {
      {"", 5381u}, {"a", 177670u}, {"ab", 5863208u}, {"\xE9", 177550u}, {"the quick brown fox jumps", 3651893127u}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(c.hash, HashTable::hashString(c.key));
  }
}

TEST(HashTable, BucketCountIsSmallestPowerOfTwoFrom32) {
  struct Case {
    int requested, buckets, threshold;
  } const kCases[] = {{-5, 32, 24}, {0, 32, 24}, {1, 32, 24}, {32, 32, 24}, {33, 64, 48}, {64, 64, 48}, {100, 128, 96}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.requested);
    HashTable table(c.requested);
    EXPECT_EQ(c.buckets, table.bucketCount());
    EXPECT_EQ(c.threshold, table.threshold());
  }
}

TEST(HashTable, IteratesChainsInOrderOfMaskedHashAndHasNextDoesNotMove) {
  HashTable table;
  EXPECT_FALSE(table.iterator().hasNext());
  table.put("a", nullptr);  // chain 6 of 64
  table.put("", nullptr);   // chain 5 of 64
  HashTableIterator it = table.iterator();
  EXPECT_TRUE(it.hasNext());
  EXPECT_TRUE(it.hasNext());
  it.next();
  EXPECT_STREQ("", it.key());
  it.next();
  EXPECT_STREQ("a", it.key());
  EXPECT_FALSE(it.hasNext());
  it.next();
  EXPECT_FALSE(it.hasNext());
}

TEST(HashTable, FortyNinthKeyDoublesAndClearKeepsTheDoubledBuckets) {
  HashTable table;
  std::vector<std::string> keys;
  for (int i = 0; i < 49; i++) keys.push_back("key" + std::to_string(i));
  for (int i = 0; i < 48; i++) table.put(keys[i].c_str(), &keys[i]);
  EXPECT_EQ(64, table.bucketCount());
  table.put(keys[48].c_str(), &keys[48]);
  EXPECT_EQ(128, table.bucketCount());
  EXPECT_EQ(96, table.threshold());
  EXPECT_EQ(49, table.entryCount());
  for (std::string& key : keys) EXPECT_EQ(&key, table.get(key.c_str())) << key;
  EXPECT_EQ(49u, keysInOrder(table).size());
  table.clear();
  EXPECT_EQ(0, table.entryCount());
  EXPECT_EQ(128, table.bucketCount());
  EXPECT_FALSE(table.iterator().hasNext());
}

TEST(HashTable, PutSaysWhetherTheValueIsStored) {
  HashTable table;
  int first = 1, second = 2;
  EXPECT_TRUE(table.put("k", &first));
  EXPECT_TRUE(table.put("k", &second));  // a replacement is stored too
  EXPECT_EQ(&second, table.get("k"));
  EXPECT_FALSE(table.put(nullptr, &first));
  EXPECT_EQ(1, table.entryCount());
}

// clear must find every entry wherever it went, in tables of any bucket count and
// after doublings that move entries to buckets the table had not used before.
TEST(HashTable, ClearReachesEveryEntryAfterDoublingsAtEverySize) {
  for (int size : {32, 64, 256}) {
    for (int count : {1, 5, 25, 49, 200, 1000}) {
      SCOPED_TRACE("size " + std::to_string(size) + ", " + std::to_string(count) + " entries");
      HashTable table(size);
      std::vector<std::string> keys;
      for (int i = 0; i < count; i++) keys.push_back("k" + std::to_string(i * 7919));
      for (std::string& key : keys) ASSERT_TRUE(table.put(key.c_str(), &key));
      table.clear();
      EXPECT_EQ(0, table.entryCount());
      EXPECT_FALSE(table.iterator().hasNext());
      for (std::string& key : keys) EXPECT_FALSE(table.contains(key.c_str()));
      ASSERT_TRUE(table.put(keys[0].c_str(), &keys[0]));
      EXPECT_EQ(std::vector<std::string>{keys[0]}, keysInOrder(table));
    }
  }
}

// Removed and cleared entries are reused by later puts: nothing of an earlier
// entry may show through, whether the spares run out or not.
TEST(HashTable, ReusedEntriesCarryNothingOfTheirEarlierKeys) {
  HashTable table;
  std::vector<std::string> early, late;
  for (int i = 0; i < 40; i++) early.push_back("early" + std::to_string(i));
  for (int i = 0; i < 45; i++) late.push_back("late" + std::to_string(i));
  for (std::string& key : early) table.put(key.c_str(), &key);
  for (int i = 0; i < 10; i++) EXPECT_EQ(&early[i], table.remove(early[i].c_str(), nullptr));
  table.clear();
  for (std::string& key : late) table.put(key.c_str(), &key);
  EXPECT_EQ(45, table.entryCount());
  for (std::string& key : early) EXPECT_FALSE(table.contains(key.c_str())) << key;
  for (std::string& key : late) EXPECT_EQ(&key, table.get(key.c_str())) << key;
  std::vector<std::string> seen = keysInOrder(table);
  std::sort(seen.begin(), seen.end());
  std::vector<std::string> expected = late;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, seen);
}

TEST(HashTable, NewestEntryLeadsItsChainAndDoublingReversesIt) {
  HashTable table(32);
  table.put("ab", nullptr);  // "ab" and "jy" share chain 8 of 32 and chain 40 of 64
  table.put("jy", nullptr);
  EXPECT_EQ((std::vector<std::string>{"jy", "ab"}), keysInOrder(table));
  std::vector<std::string> fillers;
  for (int i = 0; i < 23; i++) fillers.push_back("filler" + std::to_string(i));
  for (const std::string& f : fillers) table.put(f.c_str(), nullptr);
  ASSERT_EQ(64, table.bucketCount());
  std::vector<std::string> after = keysInOrder(table);
  EXPECT_LT(std::find(after.begin(), after.end(), "ab"), std::find(after.begin(), after.end(), "jy"));
}

TEST(HashTable, PutOfExistingKeyReplacesValueAndKeepsFirstKeyPointer) {
  char first[] = "name", second[] = "name";
  int one = 1, two = 2;
  HashTable table;
  table.put(first, &one);
  table.put(second, &two);
  EXPECT_EQ(1, table.entryCount());
  const char* stored = nullptr;
  EXPECT_EQ(&two, table.get("name", &stored));
  EXPECT_EQ(first, stored);
  EXPECT_EQ(&two, table.get("name", nullptr));  // storedKey is optional
  char* removedKey = nullptr;
  EXPECT_EQ(&two, table.remove(second, &removedKey));
  EXPECT_EQ(first, removedKey);
  EXPECT_EQ(0, table.entryCount());
  EXPECT_FALSE(table.contains("name"));
}

TEST(HashTable, MissesNullValuesAndNullKeysLookAlikeExceptToContains) {
  HashTable table;
  int value = 0;
  table.put("empty", nullptr);
  table.put("Key", &value);
  table.put(nullptr, &value);  // ignored
  EXPECT_EQ(2, table.entryCount());
  EXPECT_EQ(nullptr, table.get("empty"));
  EXPECT_TRUE(table.contains("empty"));
  EXPECT_FALSE(table.contains("key"));
  EXPECT_EQ(nullptr, table.get(nullptr));
  char* removedKey = reinterpret_cast<char*>(&value);
  EXPECT_EQ(nullptr, table.remove("absent", &removedKey));
  EXPECT_EQ(nullptr, removedKey);
  const char* storedKey = "stale";
  EXPECT_EQ(nullptr, table.get("absent", &storedKey));
  EXPECT_EQ(nullptr, storedKey);
  EXPECT_EQ(2, table.entryCount());
}

TEST(HashTable, FreeKeyAndValueReleasesHeapEntries) {
  HashTable table;
  table.put(strdup("k1"), strdup("v1"));
  table.put(strdup("k2"), nullptr);
  table.forEach(freeKeyAndValue, nullptr);  // anything left leaks, which the sanitizer build reports
}

}  // namespace
