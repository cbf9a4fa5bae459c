// Default callbacks of XMLHandler and the formatting of its error messages.
#include "xml/XMLHandler.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Messages up to this size are formatted without touching the heap.
constexpr size_t SHORT_MESSAGE_SIZE = 256;

const char* shown(const char* text) { return text ? text : "(null)"; }

// Formats format with a and b (a format with fewer conversions ignores the rest).
void formatAndReport(XMLHandler& handler, const char* format, const char* a, const char* b) {
  char shortText[SHORT_MESSAGE_SIZE];
  int length = snprintf(shortText, sizeof shortText, format, a, b);
  if (length < 0) {
    handler.fatalError(format);
    return;
  }
  if (static_cast<size_t>(length) < sizeof shortText) {
    handler.fatalError(shortText);
    return;
  }
  char* whole = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (!whole) {
    handler.fatalError(shortText);  // cut short rather than lost
    return;
  }
  snprintf(whole, static_cast<size_t>(length) + 1, format, a, b);
  handler.fatalError(whole);
  free(whole);
}

}  // namespace

XMLHandler::~XMLHandler() {}

void XMLHandler::startElement(const char*, HashTable*) {}

void XMLHandler::endElement(const char*) {}

void XMLHandler::characters(const char*) {}

void XMLHandler::fatalError(const char*) {}

void XMLHandler::reportError(const char* format, const char* a) { formatAndReport(*this, format, shown(a), ""); }

void XMLHandler::reportError(const char* format, const char* a, const char* b) {
  formatAndReport(*this, format, shown(a), shown(b));
}
