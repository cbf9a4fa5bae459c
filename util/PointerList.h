// Growable array of untyped pointers used as list and stack, with a forward cursor.
//
// The list never copies, owns or frees its items. It grows by 10 slots each time it
// is full and never shrinks. When growth fails the item is not added and the list
// keeps its earlier items.
//
// Not thread-safe; the owner serialises access.
#ifndef CPCLIENT_UTIL_POINTERLIST_H
#define CPCLIENT_UTIL_POINTERLIST_H

class PointerList;

class PointerListIterator {
 public:
  explicit PointerListIterator(const PointerList* list) : list_(list), position_(0) {}
  bool hasNext() const;
  void* next();

 private:
  const PointerList* list_;
  int position_;
};

class PointerList {
 public:
  PointerList();
  // Same count and capacity, a new array holding a copy of every slot.
  PointerList(const PointerList& other);
  PointerList& operator=(const PointerList&) = delete;
  // Frees the array, not the items.
  virtual ~PointerList();

  void add(void* item);
  // index >= count appends; a negative index does nothing.
  void insertAt(int index, void* item);
  // The item at index, moved out; null for an index outside 0..count-1.
  void* removeAt(int index);
  // The first index whose item matches key, or -1; a null compare matches by identity,
  // otherwise an item matches when compare(item, key) returns 0.
  int indexOf(void* key, int (*compare)(void* item, void* key)) const;
  int count() const { return count_; }
  int capacity() const { return capacity_; }
  // items[index]; the caller keeps index within 0..count-1.
  void* at(int index) const { return items_[index]; }
  // The last item, or null when the list is empty.
  void* last() const;
  // Removes and returns the last item, or null when the list is empty.
  void* pop();
  // Count 0 and every slot null; the array stays.
  void clear();
  PointerListIterator iterator() const { return PointerListIterator(this); }

 private:
  bool growIfFull();

  int count_;
  int capacity_;
  void** items_;
};

#endif  // CPCLIENT_UTIL_POINTERLIST_H
