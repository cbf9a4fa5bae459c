// Cutting the agent's byte stream into messages at ">\n", free of any socket.
//
// A message is the text up to and including the first '>' that is followed by a
// line feed; the line feed is not part of it. The stream is NUL-terminated text:
// bytes of one read behind a NUL are dropped. Bytes behind a message's line feed
// are kept as left-over bytes and served before the socket is read again.
#ifndef CPCLIENT_TRANSPORT_MESSAGEFRAMING_H
#define CPCLIENT_TRANSPORT_MESSAGEFRAMING_H

class StringBuffer;

// What a step of the framing gave.
enum class Frame {
  INCOMPLETE,              // the message goes on: read the socket and feed what it gives
  COMPLETE,                // message holds a whole message
  COMPLETE_WITH_LEFTOVER,  // feed only: a whole message, and bytes followed its line feed in this read
  LOST,                    // a whole message was taken, but the bytes behind it could not be kept
};

// Builds messages in the caller's buffer, keeping the bytes that follow one; the
// message being built lives there, so that a long one is never copied. After LOST
// the stream cannot be resumed. Not thread-safe; one reader uses it.
class MessageFramer {
 public:
  MessageFramer() : leftover(nullptr), leftoverStart(0) {}
  MessageFramer(const MessageFramer&) = delete;
  MessageFramer& operator=(const MessageFramer&) = delete;
  // Releases the left-over bytes.
  ~MessageFramer();

  bool hasLeftover() const { return leftover != nullptr; }
  // Starts message (empty) with the left-over bytes: COMPLETE when they hold a whole
  // message (the rest stays left over, where it is: nothing is copied or allocated
  // for it), INCOMPLETE when they start it or there are none.
  Frame next(StringBuffer& message);
  // Appends the text of one read (chunk[0..length), NUL-terminated at length) to
  // message, up to the end of the message. A '>' that ended the previous read (the
  // last byte of message) and a line feed that starts this one end the message too.
  // COMPLETE_WITH_LEFTOVER keeps the bytes behind the line feed (none when they are
  // only NULs); LOST when they cannot be kept. Call only when nothing is left over.
  Frame feed(const char* chunk, int length, StringBuffer& message);
  // Keeps the start of a message that a receive gave up on (text[0..length), no NUL
  // in it), so that the next call to next serves it first and the message is
  // completed by the reads after it. Call only when nothing is left over. False
  // when it cannot be kept for want of memory.
  bool keepPartial(const char* text, int length);

 private:
  void releaseLeftover();

  StringBuffer* leftover;  // allocated with new (std::nothrow); null when there is none
  int leftoverStart;       // where the bytes not yet served begin in leftover (< its length)
};

#endif  // CPCLIENT_TRANSPORT_MESSAGEFRAMING_H
