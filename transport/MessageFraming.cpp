// Message framing at ">\n" over arbitrary read boundaries.
#include "transport/MessageFraming.h"

#include <cstring>
#include <new>

#include "util/StringBuffer.h"

namespace {
constexpr const char* TERMINATOR = ">\n";
constexpr int TERMINATOR_LENGTH = 2;
}  // namespace

LeftoverOutcome takeLeftover(StringBuffer*& leftover, StringBuffer& message) {
  if (!leftover) return LeftoverOutcome::NONE;
  int end = leftover->find(TERMINATOR);
  if (end < 0) {
    message.append(leftover->data());
    delete leftover;
    leftover = nullptr;
    return LeftoverOutcome::INCOMPLETE;
  }
  message.appendN(leftover->data(), end + 1);  // through the '>', without the line feed
  if (leftover->length() > end + TERMINATOR_LENGTH) {
    StringBuffer* rest = new (std::nothrow) StringBuffer(leftover->data() + end + TERMINATOR_LENGTH);
    delete leftover;
    leftover = rest;
  } else {
    delete leftover;
    leftover = nullptr;
  }
  return LeftoverOutcome::COMPLETE;
}

ChunkOutcome takeChunk(const char* chunk, int length, StringBuffer& message, StringBuffer*& leftover) {
  int textLength = static_cast<int>(strnlen(chunk, static_cast<size_t>(length)));
  int lineFeed = -1;
  const char* data = message.data();
  if (textLength > 0 && chunk[0] == '\n' && data && message.length() > 0 && data[message.length() - 1] == '>') {
    lineFeed = 0;  // the '>' came at the end of the previous read
  } else {
    const char* hit = static_cast<const char*>(memmem(chunk, static_cast<size_t>(textLength), TERMINATOR, TERMINATOR_LENGTH));
    if (!hit) {
      message.appendN(chunk, textLength);
      return ChunkOutcome::INCOMPLETE;
    }
    lineFeed = static_cast<int>(hit - chunk) + 1;
    message.appendN(chunk, lineFeed);  // through the '>'
  }
  if (length <= lineFeed + 1) return ChunkOutcome::COMPLETE;
  if (textLength > lineFeed + 1) leftover = new (std::nothrow) StringBuffer(chunk + lineFeed + 1, textLength - lineFeed - 1);
  return ChunkOutcome::COMPLETE_WITH_LEFTOVER;
}
