// String-keyed chained hash table with power-of-two buckets.
#include "util/HashTable.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int DEFAULT_SIZE = 64;
constexpr int MIN_BUCKETS = 32;
constexpr int MAX_BUCKETS = 1 << 30;
constexpr double LOAD_FACTOR = 0.75;
constexpr int MAX_SPARE_ENTRIES = 32;
constexpr int RESIDUES = 64;  // the bits of usedResidues_

int thresholdFor(int bucketCount) { return static_cast<int>(bucketCount * LOAD_FACTOR); }

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
  usedResidues_ = 0;
  bucketCount_ = MIN_BUCKETS;
  while (bucketCount_ < requestedSize && bucketCount_ < MAX_BUCKETS) bucketCount_ *= 2;
  threshold_ = thresholdFor(bucketCount_);
  buckets_ = static_cast<HashEntry**>(calloc(static_cast<size_t>(bucketCount_), sizeof(HashEntry*)));
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
    if (e->hash == hash && strcmp(e->key, key) == 0) return e;
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
  entry->next = *head;
  *head = entry;
  usedResidues_ |= uint64_t{1} << (index % RESIDUES);
  entryCount_++;
  if (entryCount_ > threshold_) doubleBuckets();
  return true;
}

// Moves every entry, in old bucket order and each chain from its head, to the head
// of its new chain; the stored hashes are reused. On a failed allocation the table
// keeps its buckets and simply runs with longer chains.
void HashTable::doubleBuckets() {
  if (bucketCount_ >= MAX_BUCKETS) return;
  int newCount = bucketCount_ * 2;
  HashEntry** fresh = static_cast<HashEntry**>(calloc(static_cast<size_t>(newCount), sizeof(HashEntry*)));
  if (!fresh) return;
  uint64_t residues = 0;
  for (int i = 0; i < bucketCount_; i++) {
    HashEntry* e = buckets_[i];
    while (e) {
      HashEntry* next = e->next;
      uint32_t index = e->hash & static_cast<uint32_t>(newCount - 1);
      HashEntry** head = &fresh[index];
      e->next = *head;
      *head = e;
      residues |= uint64_t{1} << (index % RESIDUES);
      e = next;
    }
  }
  free(buckets_);
  buckets_ = fresh;
  usedResidues_ = residues;
  bucketCount_ = newCount;
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
    if (e->hash != hash || strcmp(e->key, key) != 0) continue;
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

// Visits only the buckets whose index modulo RESIDUES has been used, so that a
// small table with a few entries, the parser's attribute table after a tag, is
// cleared without walking all its buckets.
void HashTable::clear() {
  if (!buckets_) return;
  for (uint64_t residues = usedResidues_; residues; residues &= residues - 1) {
    for (int i = __builtin_ctzll(residues); i < bucketCount_; i += RESIDUES) {
      HashEntry* e = buckets_[i];
      while (e) {
        HashEntry* next = e->next;
        releaseEntry(e);
        e = next;
      }
      buckets_[i] = nullptr;
    }
  }
  usedResidues_ = 0;
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
