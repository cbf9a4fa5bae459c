// Message framing at ">\n" over arbitrary read boundaries.
#include "transport/MessageFraming.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "util/StringBuffer.h"

namespace {
constexpr int TERMINATOR_LENGTH = 2;  // ">\n"

// The '>' of the first ">\n" in text[0..length), or null. Looks for the line feed,
// the rarer byte of the two in a message, and then at the byte before it.
const char* findTerminator(const char* text, size_t length) {
  const char* end = text + length;
  const char* from = text + 1;  // a line feed at text[0] has no '>' before it here
  while (from < end) {
    const char* lineFeed = static_cast<const char*>(memchr(from, '\n', static_cast<size_t>(end - from)));
    if (!lineFeed) return nullptr;
    if (lineFeed[-1] == '>') return lineFeed - 1;
    from = lineFeed + 1;
  }
  return nullptr;
}

// A new buffer holding length bytes of text, or null when it cannot be allocated.
StringBuffer* keep(const char* text, int length) {
  StringBuffer* kept = new (std::nothrow) StringBuffer(text, length);
  if (kept && !kept->data()) {
    delete kept;
    kept = nullptr;
  }
  return kept;
}
// Appends n bytes of text to message, growing it by at least its capacity when it
// is full: appendN grows by what it appends, so a message that arrives over many
// reads would be copied once per read by an allocator that cannot grow in place.
void appendGrowing(StringBuffer& message, const char* text, int n) {
  int64_t room = static_cast<int64_t>(message.capacity()) - message.length();
  if (n >= room) {
    int64_t extra = std::max<int64_t>(n + 1, message.capacity());
    if (static_cast<int64_t>(message.capacity()) + extra >= INT_MAX) extra = n + 1;
    message.grow(static_cast<int>(extra));
  }
  message.appendN(text, n);
}

}  // namespace

MessageFramer::~MessageFramer() {
  delete leftover;
  delete partial;
}

Frame MessageFramer::next(StringBuffer& message) {
  if (partialKept) {
    // A kept part holds no terminator (it was fed whole without one): nothing to search.
    message.swap(*partial);
    partialKept = false;
    return Frame::INCOMPLETE;
  }
  if (!leftover) return Frame::INCOMPLETE;
  const char* text = leftover->data() + leftoverStart;
  int length = leftover->length() - leftoverStart;
  const char* greaterThan = findTerminator(text, static_cast<size_t>(length));
  if (!greaterThan) {
    message.appendN(text, length);
    releaseLeftover();
    return Frame::INCOMPLETE;
  }
  int end = static_cast<int>(greaterThan - text);
  message.appendN(text, end + 1);  // through the '>', without the line feed
  leftoverStart += end + TERMINATOR_LENGTH;
  if (leftoverStart >= leftover->length()) releaseLeftover();
  return Frame::COMPLETE;
}

bool MessageFramer::keepPartial(StringBuffer& message) {
  if (message.length() <= 0 || !message.data()) return true;
  if (!partial) partial = new (std::nothrow) StringBuffer(0);
  if (!partial) return false;
  partial->swap(message);
  message.setLength(0);  // the spare storage may still hold an earlier message
  partialKept = true;
  return true;
}

void MessageFramer::releaseLeftover() {
  delete leftover;
  leftover = nullptr;
  leftoverStart = 0;
}

Frame MessageFramer::feed(const char* chunk, int length, StringBuffer& message) {
  int textLength = static_cast<int>(strnlen(chunk, static_cast<size_t>(length)));
  int lineFeed = -1;
  const char* data = message.data();
  if (textLength > 0 && chunk[0] == '\n' && data && message.length() > 0 && data[message.length() - 1] == '>') {
    lineFeed = 0;  // the '>' came at the end of the previous read
  } else {
    const char* hit = findTerminator(chunk, static_cast<size_t>(textLength));
    if (!hit) {
      appendGrowing(message, chunk, textLength);
      return Frame::INCOMPLETE;
    }
    lineFeed = static_cast<int>(hit - chunk) + 1;
    appendGrowing(message, chunk, lineFeed);  // through the '>'
  }
  if (length <= lineFeed + 1) return Frame::COMPLETE;
  if (textLength > lineFeed + 1) {
    leftover = keep(chunk + lineFeed + 1, textLength - lineFeed - 1);
    if (!leftover) return Frame::LOST;
  }
  return Frame::COMPLETE_WITH_LEFTOVER;
}
