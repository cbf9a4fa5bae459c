// Growable array of untyped pointers.
#include "util/PointerList.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int GROWTH_SLOTS = 10;
}

PointerList::PointerList() : count_(0), capacity_(0), items_(nullptr) {}

PointerList::PointerList(const PointerList& other) : count_(0), capacity_(0), items_(nullptr) {
  if (other.capacity_ == 0) return;
  items_ = static_cast<void**>(malloc(sizeof(void*) * static_cast<size_t>(other.capacity_)));
  if (!items_) return;
  memcpy(items_, other.items_, sizeof(void*) * static_cast<size_t>(other.capacity_));
  count_ = other.count_;
  capacity_ = other.capacity_;
}

PointerList::~PointerList() { free(items_); }

bool PointerList::growIfFull() {
  if (count_ < capacity_) return true;
  if (capacity_ > INT_MAX - GROWTH_SLOTS) return false;
  int newCapacity = capacity_ + GROWTH_SLOTS;
  void** bigger = static_cast<void**>(realloc(items_, sizeof(void*) * static_cast<size_t>(newCapacity)));
  if (!bigger) return false;
  for (int i = capacity_; i < newCapacity; i++) bigger[i] = nullptr;
  items_ = bigger;
  capacity_ = newCapacity;
  return true;
}

void PointerList::add(void* item) {
  if (!growIfFull()) return;
  items_[count_++] = item;
}

void PointerList::insertAt(int index, void* item) {
  if (index >= count_) {
    add(item);
    return;
  }
  if (index < 0 || !growIfFull()) return;
  for (int i = count_; i > index; i--) items_[i] = items_[i - 1];
  items_[index] = item;
  count_++;
}

void* PointerList::removeAt(int index) {
  if (index < 0 || index >= count_) return nullptr;
  void* item = items_[index];
  for (int i = index; i < count_ - 1; i++) items_[i] = items_[i + 1];
  items_[--count_] = nullptr;
  return item;
}

int PointerList::indexOf(void* key, int (*compare)(void* item, void* key)) const {
  for (int i = 0; i < count_; i++) {
    if (compare ? compare(items_[i], key) == 0 : items_[i] == key) return i;
  }
  return -1;
}

void* PointerList::last() const { return count_ > 0 ? items_[count_ - 1] : nullptr; }

void* PointerList::pop() {
  if (count_ == 0) return nullptr;
  void* item = items_[--count_];
  items_[count_] = nullptr;
  return item;
}

void PointerList::clear() {
  for (int i = 0; i < capacity_; i++) items_[i] = nullptr;
  count_ = 0;
}

bool PointerListIterator::hasNext() const { return position_ < list_->count(); }

void* PointerListIterator::next() { return list_->at(position_++); }
