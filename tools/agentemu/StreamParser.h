// Cuts the provider's byte stream into messages with one expat parser.
//
// The provider's stream is a sequence of XML documents with no common root, and
// the task response ends without a line feed, so messages cannot be framed by
// lines. The parser is fed a synthetic "<stream>" tag first: every top-level
// element of the provider then is a child of that root, and each one is handed
// out whole as soon as its end tag has been read. Only the bytes still needed are
// kept: the tail that expat has not yet consumed, the bytes of the current message,
// and its first bytes for an error's excerpt; memory does not grow with the number
// of messages. A message may be at most maxMessage bytes long: its bytes are counted
// as they arrive, and the first byte beyond ends the parsing. Its Elements, which
// take several times its bytes, are built as it is parsed only while it is short;
// a longer one is read again from its bytes once complete. So a message that never
// ends holds at most about twice the limit: its bytes, and the token that expat
// holds. Not thread-safe; one owner.
#ifndef AGENTEMU_STREAM_PARSER_H
#define AGENTEMU_STREAM_PARSER_H

#include <expat.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// One element of a provider message: its name, its attributes in document order
// (values decoded by expat, UTF-8), and its child elements. Text is not kept.
struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<Element> children;

  // Returns the value of attribute key, or null when the element has none.
  const std::string* attribute(const char* key) const;
  // Returns the first child named childName, or null.
  const Element* child(const char* childName) const;
};

// What feeding produced, in stream order.
struct StreamItem {
  enum Kind {
    MESSAGE,    // a complete top-level element, in message
    MALFORMED,  // the bytes are not well-formed XML; parsing has stopped
    FRAMING,    // a message is not followed by its line feed, or text stands between messages
    TOO_LONG    // the current message goes on past the limit; parsing has stopped
  };
  Kind kind;
  Element message;
  std::string text;        // what is wrong; for a MESSAGE, empty unless elements nested too deep were dropped
  std::size_t offset = 0;  // byte offset in the provider's stream: start of the message, or of the fault
};

class StreamParser {
 public:
  // Elements deeper than this in a message (the message itself is level 1) are
  // dropped, so that no walk of an Element can run out of stack; the message
  // then says so in its text. The protocol's deepest message has five levels.
  static constexpr std::size_t MAX_DEPTH = 32;
  // The longest message taken by default: far above the largest answer a provider
  // builds, low enough that a message that never ends is stopped in bounded memory.
  static constexpr std::size_t DEFAULT_MAX_MESSAGE = std::size_t{64} << 20;

  // maxMessage: the most bytes one message may have, from the '<' of its start tag on
  // (between messages: the most bytes of a token, such as a start tag not yet complete).
  explicit StreamParser(std::size_t maxMessage = DEFAULT_MAX_MESSAGE);
  ~StreamParser();
  StreamParser(const StreamParser&) = delete;
  StreamParser& operator=(const StreamParser&) = delete;

  // Parses the next bytes of the stream and appends what they complete to the
  // queue. After a MALFORMED or TOO_LONG item the bytes are only counted, and what
  // was held for parsing has been freed.
  void feed(const char* bytes, std::size_t length);
  // The stream has ended: reports a message left incomplete (MALFORMED) and a
  // last message that lacks its line feed (FRAMING).
  void finish();

  // Hands out and clears the items queued so far.
  std::vector<StreamItem> take();

  bool failed() const { return failed_; }
  std::size_t bytesSeen() const { return keptFrom_ + kept_.size(); }
  // The stream's bytes held now: the unconsumed tail or the current message, and its head.
  std::size_t bytesKept() const { return kept_.size() + head_.size(); }

 private:
  static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** attributes);
  static void XMLCALL onEnd(void* self, const XML_Char* name);
  static void XMLCALL onText(void* self, const XML_Char* text, int length);
  static void XMLCALL onBuildStart(void* self, const XML_Char* name, const XML_Char** attributes);
  static void XMLCALL onBuildEnd(void* self, const XML_Char* name);

  // The Elements of one message as they are read, outermost open one first.
  struct Build {
    std::vector<Element> open;
    std::size_t droppedOpen = 0;  // open elements beyond MAX_DEPTH, not in open
    bool droppedAny = false;      // elements were dropped
    Element message;              // the message, once its end tag is read
    void start(const XML_Char* name, const XML_Char** attributes);
    void end();
  };

  // Keeps the bytes, and hands them to expat unless they may wait behind a long token.
  void parse(const char* bytes, std::size_t length);
  // Hands expat every kept byte it has not parsed, then drops the bytes no longer needed.
  void flush();
  // The current message, complete at stream offset end, is queued with its Elements.
  void takeMessage(std::size_t end);
  // Reads the current message's kept bytes, up to stream offset end, into build_.
  void buildFromKept(std::size_t end);
  void checkLineFeed(bool atEnd);
  void reportExpatError(const char* context);
  void reportTooLong();
  // Parsing ends for good: expat and the kept bytes are freed.
  void stop();
  std::size_t streamOffset(XML_Index parserIndex) const;
  // Outside a callback: where the tail that expat has not consumed starts.
  std::size_t pendingFrom() const { return streamOffset(XML_GetCurrentByteIndex(parser_)); }
  // The bytes of the current message so far, or of the unconsumed tail between messages.
  std::size_t messageBytes() const { return bytesSeen() - (depth_ > 0 ? messageStart_ : pendingFrom()); }
  void dropConsumed();

  std::size_t maxMessage_;
  XML_Parser parser_;
  std::string kept_;              // the stream from byte keptFrom_ on
  std::size_t keptFrom_ = 0;      // at most the end of expat's last parse event, messageStart_ and lineFeedAt_
  std::size_t fedTo_ = 0;         // the stream's bytes before this one have been handed to expat
  std::string head_;              // the stream from messageStart_ on, up to an excerpt's length
  std::size_t depth_ = 0;         // open elements of the current message; 0 between messages
  std::size_t messageStart_ = 0;  // stream offset of the current (or last) message
  std::size_t startTagEnd_ = 0;   // stream offset just past the current message's start tag
  Build build_;                   // the current message's Elements, while building_
  bool building_ = false;         // false: the message is long; its kept bytes are read at its end
  bool lineFeedDue_ = false;      // the last message must be followed by '\n' at lineFeedAt_
  std::size_t lineFeedAt_ = 0;
  bool textReported_ = false;  // text between the last message and the next one was reported
  bool failed_ = false;
  std::vector<StreamItem> items_;
};

#endif
