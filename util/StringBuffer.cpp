// Growable NUL-terminated byte buffer.
#include "util/StringBuffer.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr int DEFAULT_CAPACITY = 31;
constexpr int CHAR_GROWTH = 32;
constexpr int INT_TEXT_SIZE = 12;  // "-2147483648" and its terminator
// The largest capacity whose block size (capacity + 1) still fits in an int.
constexpr int64_t MAX_CAPACITY = INT_MAX - 1;

int boundedLength(const char* text, int maxLength) {
  if (!text || maxLength <= 0) return 0;
  return static_cast<int>(strnlen(text, static_cast<size_t>(maxLength)));
}

int textLength(const char* text) {
  size_t n = strlen(text);
  return n > static_cast<size_t>(MAX_CAPACITY) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

StringBuffer::StringBuffer() : data_(nullptr), length_(0), capacity_(0), growthPercent_(0), ownsData_(true) {
  allocate(DEFAULT_CAPACITY);
}

StringBuffer::StringBuffer(int capacity)
    : data_(nullptr), length_(0), capacity_(0), growthPercent_(0), ownsData_(true) {
  allocate(capacity < 0 ? 0 : capacity);
}

StringBuffer::StringBuffer(const char* text)
    : data_(nullptr), length_(0), capacity_(0), growthPercent_(0), ownsData_(true) {
  int n = text ? textLength(text) : 0;
  allocate(n);
  if (data_ && n > 0) {
    memcpy(data_, text, static_cast<size_t>(n));
    data_[n] = 0;
    length_ = n;
  }
}

StringBuffer::StringBuffer(const char* text, int maxLength)
    : data_(nullptr), length_(0), capacity_(0), growthPercent_(0), ownsData_(true) {
  int n = boundedLength(text, maxLength);
  allocate(n);
  if (data_ && n > 0) {
    memcpy(data_, text, static_cast<size_t>(n));
    data_[n] = 0;
    length_ = n;
  }
}

StringBuffer::StringBuffer(const StringBuffer& other)
    : data_(nullptr), length_(0), capacity_(0), growthPercent_(0), ownsData_(true) {
  allocate(other.capacity_);
  if (data_ && other.data_) {
    memcpy(data_, other.data_, static_cast<size_t>(other.length_) + 1);
    length_ = other.length_;
  }
}

StringBuffer::StringBuffer(Storage storage)
    : data_(storage.bytes), length_(0), capacity_(storage.capacity), growthPercent_(0), ownsData_(false) {
  if (!storage.bytes || storage.capacity < 0) {
    ownsData_ = true;
    allocate(storage.capacity < 0 ? 0 : storage.capacity);
    return;
  }
  data_[0] = 0;
}

StringBuffer::~StringBuffer() {
  if (ownsData_) free(data_);
}

StringBuffer& StringBuffer::operator=(const StringBuffer& other) {
  if (this == &other) return *this;
  if (capacity_ < other.capacity_) grow(other.capacity_ - capacity_);
  if (data_) {
    int n = other.data_ ? other.length_ : 0;
    if (n > 0) memcpy(data_, other.data_, static_cast<size_t>(n));
    data_[n] = 0;
    length_ = n;
  }
  return *this;
}

void StringBuffer::swap(StringBuffer& other) {
  std::swap(data_, other.data_);
  std::swap(length_, other.length_);
  std::swap(capacity_, other.capacity_);
  std::swap(growthPercent_, other.growthPercent_);
  std::swap(ownsData_, other.ownsData_);
}

void StringBuffer::allocate(int capacity) {
  capacity_ = capacity;
  data_ = static_cast<char*>(malloc(static_cast<size_t>(capacity) + 1));
  if (data_) data_[0] = 0;
}

// A failed reallocation frees the old block: the buffer enters the out-of-memory
// state instead of leaking. A buffer already in that state stays there, so stale
// lengths never index a fresh block.
void StringBuffer::reallocate(int newCapacity) {
  int oldCapacity = capacity_;
  capacity_ = newCapacity;
  if (!data_) return;
  if (!ownsData_) {
    // Off the caller's storage, keeping every byte of it as realloc would.
    char* block = static_cast<char*>(malloc(static_cast<size_t>(newCapacity) + 1));
    if (block) memcpy(block, data_, static_cast<size_t>(oldCapacity < newCapacity ? oldCapacity : newCapacity) + 1);
    data_ = block;
    ownsData_ = true;
    return;
  }
  char* bigger = static_cast<char*>(realloc(data_, static_cast<size_t>(newCapacity) + 1));
  if (!bigger) {
    dropStorage();
    return;
  }
  data_ = bigger;
}

void StringBuffer::dropStorage() {
  if (ownsData_) free(data_);
  data_ = nullptr;
  ownsData_ = true;
}

void StringBuffer::grow(int extra) {
  if (extra < 0) return;  // the block never shrinks below the text it holds
  int64_t wanted = static_cast<int64_t>(capacity_) + extra;
  if (wanted > MAX_CAPACITY) {
    dropStorage();
    return;
  }
  reallocate(static_cast<int>(wanted));
}

void StringBuffer::reserve(int size) {
  if (capacity_ >= size) return;
  int64_t wanted = static_cast<int64_t>(size) + (static_cast<int64_t>(size) * growthPercent_ + 50) / 100;
  if (wanted > MAX_CAPACITY) {
    dropStorage();
    return;
  }
  reallocate(static_cast<int>(wanted));
}

void StringBuffer::setGrowthPercent(int percent) { growthPercent_ = percent < 0 ? 0 : percent; }

// As appendN with n = strlen(text), copied with memcpy since the length is exact.
// A text too long to count in an int grows the buffer past its largest capacity,
// so it puts the buffer into the out-of-memory state before anything is copied.
void StringBuffer::append(const char* text) {
  if (text) appendCounted(text, textLength(text));
}

void StringBuffer::appendCounted(const char* text, int n) {
  if (static_cast<int64_t>(length_) + n >= capacity_) grow(n);
  if (!data_) return;
  memcpy(data_ + length_, text, static_cast<size_t>(n));
  length_ += n;
  data_[length_] = 0;
}

void StringBuffer::appendN(const char* text, int n) {
  if (!text || n < 0) return;
  if (static_cast<int64_t>(length_) + n >= capacity_) grow(n);
  if (!data_) return;
  strncpy(data_ + length_, text, static_cast<size_t>(n));
  length_ += n;
  data_[length_] = 0;
}

void StringBuffer::appendChar(char c) {
  if (length_ == capacity_) grow(CHAR_GROWTH);
  if (!data_) return;
  data_[length_++] = c;
  data_[length_] = 0;
}

void StringBuffer::appendInt(int value) {
  char text[INT_TEXT_SIZE];
  snprintf(text, sizeof text, "%d", value);
  append(text);
}

void StringBuffer::assign(const char* text) {
  if (!text) {
    assign(text, 0);
    return;
  }
  assign(text, textLength(text));
}

void StringBuffer::assign(const char* text, int maxLength) {
  int n = boundedLength(text, maxLength);
  if (capacity_ < n) grow(n - capacity_);
  if (!data_) return;
  if (n > 0) memmove(data_, text, static_cast<size_t>(n));
  data_[n] = 0;
  length_ = n;
}

void StringBuffer::setLength(int n) {
  if (n < 0) n = 0;
  if (capacity_ < n) grow(n - capacity_);
  if (!data_) return;
  length_ = n;
  data_[n] = 0;
}

void StringBuffer::toUpper() {
  if (!data_) return;
  for (int i = 0; i < length_; i++) {
    unsigned char c = static_cast<unsigned char>(data_[i]);
    if (islower(c)) data_[i] = static_cast<char>(toupper(c));
  }
}

int StringBuffer::find(const char* pattern, int from) const {
  if (!data_ || !pattern || from < 0 || from >= length_) return -1;
  const char* hit = strstr(data_ + from, pattern);
  return hit ? static_cast<int>(hit - data_) : -1;
}

int StringBuffer::findChar(char c, int from) const {
  if (!data_ || from < 0 || from >= length_) return -1;
  const char* hit = strchr(data_ + from, c);
  return hit ? static_cast<int>(hit - data_) : -1;
}

int StringBuffer::findFirstOf(const char* set, int from) const {
  if (!data_ || !set || from < 0 || from >= length_) return -1;
  int span = static_cast<int>(strcspn(data_ + from, set));
  return span < length_ - from ? from + span : -1;
}

int StringBuffer::findFirstNotOf(const char* set, int from) const {
  if (!data_ || !set || from < 0 || from >= length_) return -1;
  int span = static_cast<int>(strspn(data_ + from, set));
  return span < length_ - from ? from + span : -1;
}

StringBuffer StringBuffer::substring(int pos) const {
  if (!data_ || pos < 0 || pos >= length_) return StringBuffer();
  return StringBuffer(data_ + pos);
}

StringBuffer StringBuffer::substring(int pos, int count) const {
  if (!data_ || pos < 0 || pos >= length_) return StringBuffer();
  return StringBuffer(data_ + pos, count);
}
