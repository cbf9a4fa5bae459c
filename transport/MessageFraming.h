// Cutting the agent's byte stream into messages at ">\n", free of any socket.
//
// A message is the text up to and including the first '>' that is followed by a
// line feed; the line feed is not part of it. The stream is NUL-terminated text:
// bytes of one read behind a NUL are dropped. Bytes behind a message's line feed
// are kept in a left-over buffer and served before the socket is read again.
#ifndef CPCLIENT_TRANSPORT_MESSAGEFRAMING_H
#define CPCLIENT_TRANSPORT_MESSAGEFRAMING_H

class StringBuffer;

// What serving the left-over bytes gave.
enum class LeftoverOutcome {
  NONE,        // there was no left-over
  COMPLETE,    // a whole message was taken from it; do not read the socket
  INCOMPLETE,  // its bytes start the message; read the socket for the rest
  LOST,        // a whole message was taken, but the bytes behind it could not be kept
};

// Moves left-over bytes into message. On COMPLETE, leftover keeps what follows the
// message, or becomes null when nothing does; on INCOMPLETE and LOST it becomes null.
// leftover is owned by the caller and is allocated with new (std::nothrow).
LeftoverOutcome takeLeftover(StringBuffer*& leftover, StringBuffer& message);

// What one read's chunk gave.
enum class ChunkOutcome {
  INCOMPLETE,              // no terminator yet; the whole chunk text was appended
  COMPLETE,                // the message ends in this chunk and nothing follows it
  COMPLETE_WITH_LEFTOVER,  // the message ends here and bytes follow the line feed
  LOST,                    // the message ends here, but the bytes behind it could not be kept
};

// Appends the text of one read (chunk[0..length), NUL-terminated at length) to
// message, up to the end of the message. A '>' that ended the previous read (the
// last byte of message) and a line feed that starts this one end the message too.
// On COMPLETE_WITH_LEFTOVER, leftover (null before the call) holds the rest, or
// stays null when the rest is only NUL bytes; LOST when it cannot be allocated.
ChunkOutcome takeChunk(const char* chunk, int length, StringBuffer& message, StringBuffer*& leftover);

#endif  // CPCLIENT_TRANSPORT_MESSAGEFRAMING_H
