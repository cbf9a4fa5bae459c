// Growable NUL-terminated byte buffer used to build every outbound message.
//
// Lengths and positions count bytes. Appending operations accept a null text and
// do nothing. A failed reallocation frees the old block and leaves data() null
// (the out-of-memory state): later appends and assigns then do nothing, and a
// builder tests data() once before it sends. A buffer in that state is only
// destroyed. The buffer never shrinks its storage. A buffer may start on storage
// of its caller's (a block on the stack, say), which it never frees; its first
// growth moves it to a block of its own.
//
// Not thread-safe; the owner serialises access.
#ifndef CPCLIENT_UTIL_STRINGBUFFER_H
#define CPCLIENT_UTIL_STRINGBUFFER_H

class StringBuffer {
 public:
  // Capacity 31, empty.
  StringBuffer();
  // Empty, with room for capacity characters (negative counts as 0).
  explicit StringBuffer(int capacity);
  // A copy of text; capacity strlen(text), 0 for a null text.
  explicit StringBuffer(const char* text);
  // The first min(strlen(text), maxLength) characters of text; capacity that count.
  StringBuffer(const char* text, int maxLength);
  // Storage of the caller's for a buffer: capacity characters and a terminator.
  struct Storage {
    char* bytes;
    int capacity;
  };
  // Empty, in the caller's storage, which must outlive the buffer and is never
  // freed by it: a text that fits costs no allocation. A growth copies the
  // storage's bytes to a block of the buffer's own.
  explicit StringBuffer(Storage storage);
  // The other's text and capacity; growth percent 0.
  StringBuffer(const StringBuffer& other);
  virtual ~StringBuffer();

  // Copies the other's text and length, growing by the capacity shortfall.
  StringBuffer& operator=(const StringBuffer& other);
  // Exchanges the whole state (storage, length, capacity, growth percent) with
  // other, copying no text: a buffer can be parked and taken back at no cost. The
  // caller's storage of either goes with it and must outlive the other buffer too.
  void swap(StringBuffer& other);

  // The text, writable in place; null in the out-of-memory state.
  char* data() const { return data_; }
  int length() const { return length_; }
  int capacity() const { return capacity_; }
  int growthPercent() const { return growthPercent_; }

  // Grows by strlen(text) when length + n >= capacity, then copies text behind the text.
  void append(const char* text);
  // As append for a string literal, whose length is known without counting.
  template <int size>
  void appendLiteral(const char (&text)[size]) {
    appendCounted(text, size - 1);
  }
  // Appends the first n characters of text; the caller guarantees text has n of them.
  void appendN(const char* text, int n);
  // Grows by 32 when full, then appends c.
  void appendChar(char c);
  // Appends value in decimal ("%d").
  void appendInt(int value);
  // Replaces the text by a copy of text (a null text empties the buffer).
  void assign(const char* text);
  // Replaces the text by the first min(strlen(text), maxLength) characters of text.
  void assign(const char* text, int maxLength);
  // Sets the length to n and writes the terminator at n; grows by the shortfall.
  void setLength(int n);
  // Adds extra characters of capacity and reallocates the block; a negative extra does nothing.
  void grow(int extra);
  // Makes room for size characters plus growthPercent of size (rounded half up);
  // does nothing when the capacity suffices. A size whose room cannot be expressed
  // in an int puts the buffer into the out-of-memory state.
  void reserve(int size);
  // Stores percent, or 0 when it is negative.
  void setGrowthPercent(int percent);
  // Upper-cases the letters a to z in place.
  void toUpper();

  // Searches start at from; a start outside 0..length-1 gives -1 without searching.
  int find(const char* pattern, int from = 0) const;
  int findChar(char c, int from = 0) const;
  int findFirstOf(const char* set, int from) const;
  int findFirstNotOf(const char* set, int from) const;

  // The text from pos on (or at most count characters of it); a pos outside
  // 0..length-1 gives a new empty buffer of capacity 31.
  StringBuffer substring(int pos) const;
  StringBuffer substring(int pos, int count) const;

 private:
  // As append with n = strlen(text), the length counted by the caller.
  void appendCounted(const char* text, int n);
  void allocate(int capacity);
  void reallocate(int newCapacity);
  // Frees the block (unless it is the caller's) and enters the out-of-memory state.
  void dropStorage();

  char* data_;
  int length_;
  int capacity_;
  int growthPercent_;
  bool ownsData_;  // false while data_ is the caller's storage
};

#endif  // CPCLIENT_UTIL_STRINGBUFFER_H
