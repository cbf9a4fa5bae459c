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
  MessageFramer() : leftover(nullptr), leftoverStart(0), partial(nullptr), partialKept(false) {}
  MessageFramer(const MessageFramer&) = delete;
  MessageFramer& operator=(const MessageFramer&) = delete;
  // Releases the left-over bytes and the kept part of a message.
  ~MessageFramer();

  // True when next has something to serve: bytes behind a message, or the kept part of one.
  bool hasLeftover() const { return leftover != nullptr || partialKept; }
  // Starts message (empty) with what is kept: COMPLETE when the left-over bytes
  // hold a whole message (the rest stays left over, where it is: nothing is copied
  // or allocated for it), INCOMPLETE when they start it, when a kept part is handed
  // back (by exchanging storage with message, whatever its length), or when there
  // is nothing.
  Frame next(StringBuffer& message);
  // Appends the text of one read (chunk[0..length), NUL-terminated at length) to
  // message, up to the end of the message. A '>' that ended the previous read (the
  // last byte of message) and a line feed that starts this one end the message too.
  // COMPLETE_WITH_LEFTOVER keeps the bytes behind the line feed (none when they are
  // only NULs); LOST when they cannot be kept. Call only when nothing is left over.
  Frame feed(const char* chunk, int length, StringBuffer& message);
  // Keeps message, the start of a message that a receive gave up on, so that the
  // next call to next hands it back and the reads after it complete it. Nothing is
  // copied: message and the framer exchange storage, and message is left empty (it
  // may be left without storage, as a buffer out of memory, when the framer had
  // none to give). Call only when nothing is left over. False when the framer's own
  // buffer object cannot be allocated (once per framer); message is then untouched.
  bool keepPartial(StringBuffer& message);

 private:
  void releaseLeftover();

  StringBuffer* leftover;  // allocated with new (std::nothrow); null when there is none
  int leftoverStart;       // where the bytes not yet served begin in leftover (< its length)
  // Holds the kept part of a message while partialKept, else spare storage for the
  // next keep; made at the first keep and reused, so a timed poll that finds
  // nothing new costs the same however much of the message has arrived.
  StringBuffer* partial;
  bool partialKept;
};

#endif  // CPCLIENT_TRANSPORT_MESSAGEFRAMING_H
