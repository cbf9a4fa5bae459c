// PointerList: growth by ten slots, order-keeping insert and remove, stack use, and the cursor.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "util/PointerList.h"

namespace {

int items[12];

PointerList listOf(int n) {
  PointerList list;
  for (int i = 0; i < n; i++) list.add(&items[i]);
  return list;
}

// The items as indexes into items[], walked with the list's own cursor.
std::vector<int> indexesOf(const PointerList& list) {
  std::vector<int> out;
  for (PointerListIterator it = list.iterator(); it.hasNext();)
    out.push_back(static_cast<int>(static_cast<int*>(it.next()) - items));
  return out;
}

TEST(PointerList, ChangesKeepOrderAndGrowByTenWhenFull) {
  struct Case {
    const char* name;
    int initialCount;
    void (*apply)(PointerList&);
    std::vector<int> expected;
    int capacity;
  } const kCases[] = {
      {"eleventh add grows", 10, [](PointerList& l) { l.add(&items[10]); }, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 20},
      {"insertAt count appends", 3, [](PointerList& l) { l.insertAt(3, &items[9]); }, {0, 1, 2, 9}, 10},
      {"insertAt past count appends", 3, [](PointerList& l) { l.insertAt(7, &items[9]); }, {0, 1, 2, 9}, 10},
      {"insertAt -1 does nothing", 3, [](PointerList& l) { l.insertAt(-1, &items[9]); }, {0, 1, 2}, 10},
      {"insertAt 0 shifts all", 3, [](PointerList& l) { l.insertAt(0, &items[9]); }, {9, 0, 1, 2}, 10},
      {"insertAt into full list grows",
       10,
       [](PointerList& l) { l.insertAt(9, &items[11]); },
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 9},
       20},
      {"removeAt middle", 3, [](PointerList& l) { EXPECT_EQ(&items[1], l.removeAt(1)); }, {0, 2}, 10},
      {"removeAt count gives null", 3, [](PointerList& l) { EXPECT_EQ(nullptr, l.removeAt(3)); }, {0, 1, 2}, 10},
      {"removeAt -1 gives null", 3, [](PointerList& l) { EXPECT_EQ(nullptr, l.removeAt(-1)); }, {0, 1, 2}, 10},
      {"pop takes last", 3, [](PointerList& l) { EXPECT_EQ(&items[2], l.pop()); }, {0, 1}, 10},
      {"last leaves it", 3, [](PointerList& l) { EXPECT_EQ(&items[2], l.last()); }, {0, 1, 2}, 10},
      {"empty list gives null",
       0,
       [](PointerList& l) {
         EXPECT_EQ(nullptr, l.pop());
         EXPECT_EQ(nullptr, l.last());
       },
       {},
       0},
      {"clear keeps capacity",
       11,
       [](PointerList& l) {
         l.clear();
         l.add(&items[5]);
       },
       {5},
       20},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    PointerList list = listOf(c.initialCount);
    c.apply(list);
    EXPECT_EQ(c.expected, indexesOf(list));
    EXPECT_EQ(static_cast<int>(c.expected.size()), list.count());
    EXPECT_EQ(c.capacity, list.capacity());
  }
}

TEST(PointerList, IndexOfMatchesByIdentityOrByCompareOfItemWithKey) {
  struct Named {
    const char* name;
  } first{"a"}, second{"b"}, copyOfSecond{"b"};
  PointerList list;
  for (Named* item : {&first, &second}) list.add(item);
  EXPECT_EQ(1, list.indexOf(&second, nullptr));
  EXPECT_EQ(-1, list.indexOf(&copyOfSecond, nullptr));
  auto byName = [](void* item, void* key) { return strcmp(static_cast<Named*>(item)->name, static_cast<char*>(key)); };
  EXPECT_EQ(1, list.indexOf(const_cast<char*>("b"), byName));
  EXPECT_EQ(-1, list.indexOf(const_cast<char*>("c"), byName));
}

TEST(PointerList, CopyHoldsSameItemsInItsOwnArray) {
  PointerList list = listOf(4);
  PointerList copy(list);
  list.pop();
  EXPECT_EQ(10, copy.capacity());
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), indexesOf(copy));
}

}  // namespace
