// String-keyed chained hash table of untyped pointers, with a cursor.
//
// The table never copies, owns or frees keys and values: callers allocate them and
// free them after removing them or before destroying the table. Keys compare with
// strcmp. The bucket count is a power of two (at least 32) and doubles when the
// entry count passes three quarters of it; the table never shrinks.
//
// Iteration order: buckets in ascending index, each chain from its head (the entry
// added last comes first; a doubling reverses entries that stay in one chain).
//
// Entries that are removed or cleared are kept, up to 32, for the next puts; the
// destructor frees them. clear costs in proportion to what was stored since the
// last clear, however far the table has grown.
//
// A failed allocation is absorbed: a put whose entry cannot be allocated stores
// nothing and returns false, and a doubling whose bucket array cannot be
// allocated keeps the old one.
//
// Not thread-safe; the owner serialises access.
#ifndef CPCLIENT_UTIL_HASHTABLE_H
#define CPCLIENT_UTIL_HASHTABLE_H

#include <cstdint>

struct HashEntry {
  HashEntry* next;
  uint32_t hash;
  const char* key;
  void* value;
};

class HashTable;

// Walk: while (it.hasNext()) { it.next(); use it.key(), it.value(); }. No entry may
// be added or removed while an iterator is in use.
class HashTableIterator {
 public:
  explicit HashTableIterator(const HashTable* table);
  HashTableIterator(const HashTableIterator&) = default;
  HashTableIterator& operator=(const HashTableIterator&) = default;
  virtual ~HashTableIterator() = default;

  bool hasNext() const;
  void next();
  // The current entry's key and value; valid after a next() that followed a true hasNext().
  const char* key() const;
  void* value() const;

 private:
  const HashTable* table_;
  int bucketIndex_;
  HashEntry* current_;
};

class HashTable {
 public:
  // 64 buckets, threshold 48.
  HashTable();
  // The smallest power of two that is at least requestedSize, starting from 32.
  explicit HashTable(int requestedSize);
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;
  // Frees every entry and the bucket array, never the keys or values.
  virtual ~HashTable();

  // Replaces the value of an equal key (keeping the stored key pointer), or adds a
  // new entry that holds the key pointer. True when the value is stored; false for
  // a null key, or when no entry could be allocated (the table is then unchanged).
  bool put(const char* key, void* value);
  // As put, except that an entry of an equal key takes key's pointer as well as
  // value, keeping its place in the iteration order, and *earlierValue receives the
  // value it held (null when key is new), so the caller can free the old key with it.
  bool replace(const char* key, void* value, void** earlierValue);
  // The value stored under key, or null (a stored null value looks the same).
  void* get(const char* key) const;
  // As get; storedKey, when not null, receives the key pointer the entry holds (null on a miss).
  void* get(const char* key, const char** storedKey) const;
  bool contains(const char* key) const;
  // Unlinks the entry for key and returns its value, or null when there is none.
  // storedKey, when not null, receives the key pointer the entry held (null on a miss).
  void* remove(const char* key, char** storedKey);
  // Calls fn(key, value, userData) for every entry in iteration order; fn must not
  // add or remove entries.
  void forEach(void (*fn)(const char* key, void* value, void* userData), void* userData) const;
  // Frees every entry; the bucket count stays.
  void clear();
  HashTableIterator iterator() const;

  int entryCount() const { return entryCount_; }
  int bucketCount() const { return bucketCount_; }
  int threshold() const { return threshold_; }

  // h = h * 33 + c from 5381, over the key's bytes taken as signed char, wrapping.
  static uint32_t hashString(const char* key);

 private:
  friend class HashTableIterator;
  void init(int requestedSize);
  void doubleBuckets();
  HashEntry* find(const char* key, uint32_t hash) const;
  // An entry from the spare ones, or a new one (null when memory is short).
  HashEntry* newEntry();
  // Keeps entry among the spare ones, or frees it when there are enough.
  void releaseEntry(HashEntry* entry);
  // Lists a bucket that has just become non-empty, for clear.
  void noteUsedBucket(uint32_t index);
  // Releases the chain of one bucket and empties it.
  void releaseChain(uint32_t index);

  int entryCount_;
  int bucketCount_;
  int threshold_;
  HashEntry** buckets_;
  HashEntry* spare_;  // linked through next
  int spareCount_;
  // Indexes of the buckets that became non-empty since the last clear (removals
  // leave them listed), so that clear visits only those. The list lives behind the
  // bucket array with room for max(8, bucketCount / 32) indexes; usedCount_ is -1
  // once it has overflowed (or after a doubling), and clear then walks every
  // bucket: no more than 32 visits for each bucket the full list held.
  uint32_t* usedBuckets_;
  int usedCount_;
};

// For forEach: frees key and value with free() when they are not null.
void freeKeyAndValue(const char* key, void* value, void* userData);

#endif  // CPCLIENT_UTIL_HASHTABLE_H
