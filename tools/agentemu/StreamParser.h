// Cuts the provider's byte stream into messages with one expat parser.
//
// The provider's stream is a sequence of XML documents with no common root, and
// the task response ends without a line feed, so messages cannot be framed by
// lines. The parser is fed a synthetic "<stream>" tag first: every top-level
// element of the provider then is a child of that root, and each one is handed
// out whole as soon as its end tag has been read. Only the bytes still needed are
// kept: the tail that expat has not yet consumed, and the first bytes of the
// current message for an error's excerpt; memory does not grow with the number
// of messages. Not thread-safe; one owner.
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
    FRAMING     // a message is not followed by its line feed, or text stands between messages
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

  StreamParser();
  ~StreamParser();
  StreamParser(const StreamParser&) = delete;
  StreamParser& operator=(const StreamParser&) = delete;

  // Parses the next bytes of the stream and appends what they complete to the
  // queue. After a MALFORMED item the bytes are only counted.
  void feed(const char* bytes, std::size_t length);
  // The stream has ended: reports a message left incomplete (MALFORMED) and a
  // last message that lacks its line feed (FRAMING).
  void finish();

  // Hands out and clears the items queued so far.
  std::vector<StreamItem> take();

  bool failed() const { return failed_; }
  std::size_t bytesSeen() const { return keptFrom_ + kept_.size(); }
  // The stream's bytes held now: the unconsumed tail and the current message's head.
  std::size_t bytesKept() const { return kept_.size() + head_.size(); }

 private:
  static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** attributes);
  static void XMLCALL onEnd(void* self, const XML_Char* name);
  static void XMLCALL onText(void* self, const XML_Char* text, int length);

  void checkLineFeed(bool atEnd);
  void reportExpatError(const char* context);
  std::size_t streamOffset(XML_Index parserIndex) const;
  void dropConsumed();

  XML_Parser parser_;
  std::string kept_;                    // the stream from byte keptFrom_ on
  std::size_t keptFrom_ = 0;            // at most the end of expat's last parse event and lineFeedAt_
  std::string head_;                    // the stream from messageStart_ on, up to an excerpt's length
  std::vector<Element> open_;           // open elements of the current message, outermost first
  std::vector<std::size_t> startEnds_;  // for each open element: stream offset just past its start tag
  std::size_t droppedOpen_ = 0;         // open elements beyond MAX_DEPTH, not in open_
  bool droppedAny_ = false;             // the current message lost elements to MAX_DEPTH
  std::size_t messageStart_ = 0;
  bool lineFeedDue_ = false;  // the last message must be followed by '\n' at lineFeedAt_
  std::size_t lineFeedAt_ = 0;
  bool textReported_ = false;  // text between the last message and the next one was reported
  bool failed_ = false;
  std::vector<StreamItem> items_;
};

#endif
