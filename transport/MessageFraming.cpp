// Message framing at ">\n" over arbitrary read boundaries.
#include "transport/MessageFraming.h"

#include <cstring>
#include <new>

#include "util/StringBuffer.h"

namespace {
constexpr const char* TERMINATOR = ">\n";
constexpr int TERMINATOR_LENGTH = 2;

// A new buffer holding length bytes of text, or null when it cannot be allocated.
StringBuffer* keep(const char* text, int length) {
  StringBuffer* kept = new (std::nothrow) StringBuffer(text, length);
  if (kept && !kept->data()) {
    delete kept;
    kept = nullptr;
  }
  return kept;
}
}  // namespace

MessageFramer::~MessageFramer() { delete leftover; }

Frame MessageFramer::next(StringBuffer& message) {
  if (!leftover) return Frame::INCOMPLETE;
  int end = leftover->find(TERMINATOR);
  if (end < 0) {
    message.append(leftover->data());
    delete leftover;
    leftover = nullptr;
    return Frame::INCOMPLETE;
  }
  message.appendN(leftover->data(), end + 1);  // through the '>', without the line feed
  StringBuffer* rest = nullptr;
  int restLength = leftover->length() - end - TERMINATOR_LENGTH;
  if (restLength > 0) rest = keep(leftover->data() + end + TERMINATOR_LENGTH, restLength);
  delete leftover;
  leftover = rest;
  return restLength > 0 && !rest ? Frame::LOST : Frame::COMPLETE;
}

Frame MessageFramer::feed(const char* chunk, int length, StringBuffer& message) {
  int textLength = static_cast<int>(strnlen(chunk, static_cast<size_t>(length)));
  int lineFeed = -1;
  const char* data = message.data();
  if (textLength > 0 && chunk[0] == '\n' && data && message.length() > 0 && data[message.length() - 1] == '>') {
    lineFeed = 0;  // the '>' came at the end of the previous read
  } else {
    const char* hit =
        static_cast<const char*>(memmem(chunk, static_cast<size_t>(textLength), TERMINATOR, TERMINATOR_LENGTH));
    if (!hit) {
      message.appendN(chunk, textLength);
      return Frame::INCOMPLETE;
    }
    lineFeed = static_cast<int>(hit - chunk) + 1;
    message.appendN(chunk, lineFeed);  // through the '>'
  }
  if (length <= lineFeed + 1) return Frame::COMPLETE;
  if (textLength > lineFeed + 1) {
    leftover = keep(chunk + lineFeed + 1, textLength - lineFeed - 1);
    if (!leftover) return Frame::LOST;
  }
  return Frame::COMPLETE_WITH_LEFTOVER;
}
