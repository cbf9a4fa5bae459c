// The agent's data request parsed by other means: expat, libxml2's SAX interface, pugixml in place.
#ifndef CPCLIENT_BENCH_PEERPARSERS_H
#define CPCLIENT_BENCH_PEERPARSERS_H

#include <expat.h>

#include <cstddef>
#include <pugixml.hpp>

// Each parse returns a positive count on success and 0 after a parse error; the
// SAX callbacks count elements and attributes, as a handler would look at them.

// One expat parser, reset for every document (its cheapest way to parse many).
class ExpatParser {
 public:
  ExpatParser();
  ~ExpatParser();
  ExpatParser(const ExpatParser&) = delete;
  ExpatParser& operator=(const ExpatParser&) = delete;
  int parse(const char* text, size_t length);

 private:
  XML_Parser parser_;
  int elements_;
  int attributes_;
};

// libxml2's SAX2 interface over a document in memory (a parser context per document).
int parseWithLibxml2Sax(const char* text, size_t length);

// pugixml's in-place parse with its default options into one reused document;
// text must be writable.
class PugixmlParser {
 public:
  int parse(char* text, size_t length);

 private:
  pugi::xml_document document_;
};

#endif  // CPCLIENT_BENCH_PEERPARSERS_H
