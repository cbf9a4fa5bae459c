// String-keyed chained hash table with power-of-two buckets.
#include "util/HashTable.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int DEFAULT_SIZE = 64;
constexpr int MIN_BUCKETS = 32;
constexpr int MAX_BUCKETS = 1 << 30;
constexpr double LOAD_FACTOR = 0.75;
constexpr int MAX_SPARE_ENTRIES = 32;
constexpr int MIN_USED_SLOTS = 8;
constexpr int BUCKETS_PER_USED_SLOT = 32;

int thresholdFor(int bucketCount) { return static_cast<int>(bucketCount * LOAD_FACTOR); }

int usedSlotsFor(int bucketCount) { return std::max(MIN_USED_SLOTS, bucketCount / BUCKETS_PER_USED_SLOT); }

// A zero-filled bucket array with room for the used-bucket list behind it, in one block.
// NOLINTBEGIN(bugprone-sizeof-expression): the block is counted in pointer-sized words.
HashEntry** allocateBuckets(int bucketCount) {
  size_t listWords =
      (static_cast<size_t>(usedSlotsFor(bucketCount)) * sizeof(uint32_t) + sizeof(HashEntry*) - 1) / sizeof(HashEntry*);
  return static_cast<HashEntry**>(calloc(static_cast<size_t>(bucketCount) + listWords, sizeof(HashEntry*)));
}
// NOLINTEND(bugprone-sizeof-expression)

uint32_t* usedListOf(HashEntry** buckets, int bucketCount) {
  return buckets ? reinterpret_cast<uint32_t*>(buckets + bucketCount) : nullptr;
}

// strcmp(a, b) == 0 for the short keys the tables hold (request ids, group and
// attribute names), compared in line instead of through a library call.
inline bool sameKey(const char* a, const char* b) {
  while (*a == *b) {
    if (!*a) return true;
    a++;
    b++;
  }
  return false;
}

}  // namespace

uint32_t HashTable::hashString(const char* key) {
  uint32_t h = 5381;
  for (const char* p = key; *p; p++)
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
  return h;
}

HashTable::HashTable() { init(DEFAULT_SIZE); }

HashTable::HashTable(int requestedSize) { init(requestedSize); }

void HashTable::init(int requestedSize) {
  entryCount_ = 0;
  spare_ = nullptr;
  spareCount_ = 0;
  usedCount_ = 0;
  bucketCount_ = MIN_BUCKETS;
  while (bucketCount_ < requestedSize && bucketCount_ < MAX_BUCKETS) bucketCount_ *= 2;
  threshold_ = thresholdFor(bucketCount_);
  buckets_ = allocateBuckets(bucketCount_);
  usedBuckets_ = usedListOf(buckets_, bucketCount_);
}

HashTable::~HashTable() {
  clear();
  free(buckets_);
  while (spare_) {
    HashEntry* next = spare_->next;
    free(spare_);
    spare_ = next;
  }
}

HashEntry* HashTable::newEntry() {
  if (!spare_) return static_cast<HashEntry*>(malloc(sizeof(HashEntry)));
  HashEntry* entry = spare_;
  spare_ = entry->next;
  spareCount_--;
  return entry;
}

void HashTable::releaseEntry(HashEntry* entry) {
  if (spareCount_ >= MAX_SPARE_ENTRIES) {
    free(entry);
    return;
  }
  entry->next = spare_;
  spare_ = entry;
  spareCount_++;
}

HashEntry* HashTable::find(const char* key, uint32_t hash) const {
  for (HashEntry* e = buckets_[hash & static_cast<uint32_t>(bucketCount_ - 1)]; e; e = e->next)
    if (e->hash == hash && sameKey(e->key, key)) return e;
  return nullptr;
}

bool HashTable::put(const char* key, void* value) {
  if (!key || !buckets_) return false;
  uint32_t hash = hashString(key);
  if (HashEntry* existing = find(key, hash)) {
    existing->value = value;  // the first key pointer stays; the caller keeps key
    return true;
  }
  HashEntry* entry = newEntry();
  if (!entry) return false;
  entry->hash = hash;
  entry->key = key;
  entry->value = value;
  uint32_t index = hash & static_cast<uint32_t>(bucketCount_ - 1);
  HashEntry** head = &buckets_[index];
  if (!*head) noteUsedBucket(index);
  entry->next = *head;
  *head = entry;
  entryCount_++;
  if (entryCount_ > threshold_) doubleBuckets();
  return true;
}

bool HashTable::replace(const char* key, void* value, void** earlierValue) {
  *earlierValue = nullptr;
  if (!key || !buckets_) return false;
  if (HashEntry* existing = find(key, hashString(key))) {
    existing->key = key;
    *earlierValue = existing->value;
    existing->value = value;
    return true;
  }
  return put(key, value);
}

// Moves every entry, in old bucket order and each chain from its head, to the head
// of its new chain; the stored hashes are reused. On a failed allocation the table
// keeps its buckets and simply runs with longer chains.
void HashTable::doubleBuckets() {
  if (bucketCount_ >= MAX_BUCKETS) return;
  int newCount = bucketCount_ * 2;
  HashEntry** fresh = allocateBuckets(newCount);
  if (!fresh) return;
  for (int i = 0; i < bucketCount_; i++) {
    HashEntry* e = buckets_[i];
    while (e) {
      HashEntry* next = e->next;
      uint32_t index = e->hash & static_cast<uint32_t>(newCount - 1);
      HashEntry** head = &fresh[index];
      e->next = *head;
      *head = e;
      e = next;
    }
  }
  free(buckets_);
  buckets_ = fresh;
  bucketCount_ = newCount;
  // Every entry came since the last clear, and three quarters of the old bucket
  // count are more than the list holds: clear walks every bucket, at a cost in
  // proportion to the entries.
  usedBuckets_ = usedListOf(fresh, newCount);
  usedCount_ = -1;
  threshold_ = thresholdFor(newCount);
}

void* HashTable::get(const char* key) const {
  if (!key || !buckets_) return nullptr;
  HashEntry* e = find(key, hashString(key));
  return e ? e->value : nullptr;
}

void* HashTable::get(const char* key, const char** storedKey) const {
  if (storedKey) *storedKey = nullptr;
  if (!key || !buckets_) return nullptr;
  HashEntry* e = find(key, hashString(key));
  if (!e) return nullptr;
  if (storedKey) *storedKey = e->key;
  return e->value;
}

bool HashTable::contains(const char* key) const {
  if (!key || !buckets_) return false;
  return find(key, hashString(key)) != nullptr;
}

void* HashTable::remove(const char* key, char** storedKey) {
  if (storedKey) *storedKey = nullptr;
  if (!key || !buckets_) return nullptr;
  uint32_t hash = hashString(key);
  HashEntry** link = &buckets_[hash & static_cast<uint32_t>(bucketCount_ - 1)];
  for (HashEntry* e = *link; e; link = &e->next, e = e->next) {
    if (e->hash != hash || !sameKey(e->key, key)) continue;
    *link = e->next;
    void* value = e->value;
    if (storedKey) *storedKey = const_cast<char*>(e->key);
    releaseEntry(e);
    if (entryCount_ > 0) entryCount_--;
    return value;
  }
  return nullptr;
}

void HashTable::forEach(void (*fn)(const char* key, void* value, void* userData), void* userData) const {
  HashTableIterator it = iterator();
  while (it.hasNext()) {
    it.next();
    fn(it.key(), it.value(), userData);
  }
}

void HashTable::noteUsedBucket(uint32_t index) {
  if (usedCount_ < 0) return;
  if (usedCount_ == usedSlotsFor(bucketCount_)) {
    usedCount_ = -1;
    return;
  }
  usedBuckets_[usedCount_++] = index;
}

void HashTable::releaseChain(uint32_t index) {
  HashEntry* e = buckets_[index];
  while (e) {
    HashEntry* next = e->next;
    releaseEntry(e);
    e = next;
  }
  buckets_[index] = nullptr;
}

// Visits the listed buckets only, so that the parser's attribute table, cleared
// after every tag, costs a few buckets per tag however wide an earlier tag made it.
void HashTable::clear() {
  if (!buckets_) return;
  if (usedCount_ < 0) {
    for (int i = 0; i < bucketCount_; i++) releaseChain(static_cast<uint32_t>(i));
  } else {
    for (int i = 0; i < usedCount_; i++) releaseChain(usedBuckets_[i]);
  }
  usedCount_ = 0;
  entryCount_ = 0;
}

HashTableIterator HashTable::iterator() const { return HashTableIterator(this); }

void freeKeyAndValue(const char* key, void* value, void*) {
  free(const_cast<char*>(key));
  free(value);
}

HashTableIterator::HashTableIterator(const HashTable* table) : table_(table), bucketIndex_(-1), current_(nullptr) {}

bool HashTableIterator::hasNext() const {
  if (!table_->buckets_ || bucketIndex_ >= table_->bucketCount_) return false;
  if (current_ && current_->next) return true;
  for (int i = bucketIndex_ + 1; i < table_->bucketCount_; i++)
    if (table_->buckets_[i]) return true;
  return false;
}

void HashTableIterator::next() {
  if (!table_->buckets_ || bucketIndex_ >= table_->bucketCount_) return;
  if (current_) {
    current_ = current_->next;
    if (current_) return;
  }
  do {
    bucketIndex_++;
  } while (bucketIndex_ < table_->bucketCount_ && !table_->buckets_[bucketIndex_]);
  if (bucketIndex_ < table_->bucketCount_) current_ = table_->buckets_[bucketIndex_];
}

const char* HashTableIterator::key() const { return current_ ? current_->key : nullptr; }

void* HashTableIterator::value() const { return current_ ? current_->value : nullptr; }
