// The agent's data request parsed by other means.
#include "PeerParsers.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

namespace {

struct SaxCounts {
  int elements;
  int attributes;
};

void countLibxml2Start(void* context, const xmlChar*, const xmlChar*, const xmlChar*, int, const xmlChar**,
                       int attributeCount, int, const xmlChar**) {
  SaxCounts* counts = static_cast<SaxCounts*>(context);
  counts->elements++;
  counts->attributes += attributeCount;
}

void ignoreLibxml2End(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

void ignoreLibxml2Error(void*, xmlErrorPtr) {}

}  // namespace

ExpatParser::ExpatParser() : parser_(XML_ParserCreate(nullptr)), elements_(0), attributes_(0) {}

ExpatParser::~ExpatParser() {
  if (parser_) XML_ParserFree(parser_);
}

int ExpatParser::parse(const char* text, size_t length) {
  if (!parser_ || !XML_ParserReset(parser_, nullptr)) return 0;
  elements_ = 0;
  attributes_ = 0;
  XML_SetUserData(parser_, this);
  XML_SetElementHandler(
      parser_,
      [](void* self, const XML_Char*, const XML_Char** attributes) {
        ExpatParser* p = static_cast<ExpatParser*>(self);
        p->elements_++;
        for (const XML_Char** a = attributes; *a; a += 2) p->attributes_++;
      },
      [](void*, const XML_Char*) {});
  if (XML_Parse(parser_, text, static_cast<int>(length), XML_TRUE) != XML_STATUS_OK) return 0;
  return elements_;
}

int parseWithLibxml2Sax(const char* text, size_t length) {
  xmlSAXHandler handler = {};
  handler.initialized = XML_SAX2_MAGIC;
  handler.startElementNs = countLibxml2Start;
  handler.endElementNs = ignoreLibxml2End;
  handler.serror = ignoreLibxml2Error;
  SaxCounts counts = {0, 0};
  if (xmlSAXUserParseMemory(&handler, &counts, text, static_cast<int>(length)) != 0) return 0;
  return counts.elements;
}

int PugixmlParser::parse(char* text, size_t length) {
  pugi::xml_parse_result result = document_.load_buffer_inplace(text, length, pugi::parse_default, pugi::encoding_utf8);
  if (!result) return 0;
  int elements = 0;
  for (pugi::xml_node node = document_.first_child(); node; node = node.next_sibling()) elements++;
  return elements;
}
