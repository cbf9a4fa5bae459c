// Small non-validating XML parser that reads one document in place and reports it to an XMLHandler.
//
// Accepted: start, end and empty-element tags; attribute values in double quotes;
// the references lt, gt, amp, quot, apos and &#N; / &#xH; in text and values;
// comments "<!-- -->" and declarations "<? ?>", skipped. Names end at a blank
// (0x20), '/' or '>'; nothing else separates a name from its attributes.
//
// Not thread-safe; one parser serves one thread. emptyAttributeTable may be read
// by any number of parsers at once.
#ifndef CPCLIENT_XML_XMLPARSER_H
#define CPCLIENT_XML_XMLPARSER_H

#include "util/HashTable.h"
#include "util/PointerList.h"
#include "xml/XMLHandler.h"

// The attribute table handed to startElement for every tag without attributes.
// Lives from load to unload; nothing writes it.
extern HashTable emptyAttributeTable;

class XMLParser {
 public:
  // handler receives the callbacks and is not owned; null only checks the syntax
  // (text runs are then skipped undecoded, and no message is reported).
  explicit XMLParser(XMLHandler* handler);
  XMLParser(const XMLParser&) = delete;
  XMLParser& operator=(const XMLParser&) = delete;
  // Releases the attribute table and the element stack; the handler is not touched.
  ~XMLParser();

  // Parses the NUL-terminated text in place: writes NULs into it, shortens text and
  // values where it decodes references, and hands the handler pointers into it, so
  // text must be writable and outlive every callback. Never reads or writes outside
  // text and its terminator. Returns true when the whole text was read; false after
  // the first error, which reached fatalError (callbacks made before it stand), or
  // for a null text. Text after the last tag is ignored, and elements still open
  // when the text ends directly after a tag are accepted. The parser is ready for
  // another parse afterwards.
  bool parse(char* text);
  // True when the last parse stopped because an attribute or an open element could
  // not be stored for want of memory (reported as "Out of memory").
  bool ranOutOfMemory() const { return outOfMemory; }

  // For a parser kept from one document to the next: the handler of the following
  // parses (null: syntax only).
  void setHandler(XMLHandler* next) { handler = next; }
  // Allocates, once, what tags of up to KEPT_ATTRIBUTES attributes nested up to
  // KEPT_DEPTH deep need, so that parsing such documents allocates nothing.
  void prepare();
  // True when a document took more than prepare provided; the parser then holds on
  // to that much more memory (the table and the stack never shrink).
  bool grewBeyondPrepared() const;
  static constexpr int KEPT_ATTRIBUTES = 8;
  static constexpr int KEPT_DEPTH = 10;

 private:
  // Each step below reads from cur, moves cur past what it read, and returns false
  // after reporting the first error. parseDocument reads text runs and markup up to end.
  bool parseDocument(char* cur, char* end);
  // Skips a comment or a declaration, or reads one tag; cur is just past its '<'.
  bool parseMarkup(char*& cur, char* end);
  // Reads the attributes of the tag named name, cur just past the blank that ended the name.
  bool parseAttributes(char* name, char*& cur, char* end);
  // Reports an element's start with table; an empty one ends at once, any other is
  // pushed as open (false, with "Out of memory", when the stack cannot grow).
  bool openElement(char* name, HashTable* table, bool empty);
  // An end tag (closing is its name without the '/') pops the innermost open element,
  // which it must name.
  bool closeElement(const char* closing);

  XMLHandler* handler;
  PointerList elementStack;  // names of the open elements, innermost last; point into the text
  HashTable attributes;      // the tag being read; cleared after every tag
  int initialBuckets;        // the table's bucket count when it was made
  bool outOfMemory;
};

// Replaces the references in the NUL-terminated text in place, shortening it. An
// '&' without a ';' after it stays as it is; a byte produced by a replacement is
// never decoded again. Returns true on success; false after reporting "Entity name
// cannot be empty" or "Unrecognized entity: NAME" to handler (when not null), with
// the text partly decoded. A null text is left alone (true).
bool decodeEntities(XMLHandler* handler, char* text);

#endif  // CPCLIENT_XML_XMLPARSER_H
