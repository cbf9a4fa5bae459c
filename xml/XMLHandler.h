// Callback interface through which XMLParser reports a document's elements, text and first error.
//
// Every text handed to a callback points into the document being parsed: it stays
// readable until the caller releases the document, but a handler copies what it
// keeps. An attribute table is valid only during the startElement call that
// receives it. The base class does nothing in any callback.
//
// Not thread-safe; one handler serves one parse on one thread.
#ifndef CPCLIENT_XML_XMLHANDLER_H
#define CPCLIENT_XML_XMLHANDLER_H

class HashTable;

class XMLHandler {
 public:
  virtual ~XMLHandler();

  // An element opens; attributes maps names to values (never null: a tag without
  // attributes gets emptyAttributeTable). An empty-element tag is followed at once
  // by endElement with the same name.
  virtual void startElement(const char* name, HashTable* attributes);
  virtual void endElement(const char* name);
  // One run of text between two tags, references decoded, blanks kept.
  virtual void characters(const char* text);
  // The parse stops after this; message is the finished error text.
  virtual void fatalError(const char* message);

  // Substitutes a (and b) into the printf-style format and passes the result to
  // fatalError, then releases it. The whole message is passed however long it is;
  // only when memory for a long one cannot be had is it cut short.
  void reportError(const char* format, const char* a);
  void reportError(const char* format, const char* a, const char* b);
};

#endif  // CPCLIENT_XML_XMLHANDLER_H
