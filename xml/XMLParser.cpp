// In-place XML parser: one bounded pass over the document, reporting to an XMLHandler.
#include "xml/XMLParser.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

// Constructed after the configuration map (priority 201) and destroyed before it.
HashTable emptyAttributeTable __attribute__((init_priority(202)));

namespace {

// Every search below looks only at [from, end), end being the document's terminator.

// The bytes looked at one by one before a search hands the rest to memchr: in a
// message most searches end that close (the '<' after a tag, the '=' after a
// name, a value's closing quote), sooner than a call to memchr would.
constexpr ptrdiff_t NEAR_BYTES = 16;

char* findChar(char* from, const char* end, char c) {
  ptrdiff_t length = end - from;
  ptrdiff_t nearLength = length < NEAR_BYTES ? length : NEAR_BYTES;
  for (ptrdiff_t i = 0; i < nearLength; i++)
    if (from[i] == c) return from + i;
  if (length <= NEAR_BYTES) return nullptr;
  return static_cast<char*>(memchr(from + NEAR_BYTES, c, static_cast<size_t>(length - NEAR_BYTES)));
}

// First occurrence of the NUL-terminated pattern in [from, end), or null.
char* findBytes(char* from, const char* end, const char* pattern) {
  size_t length = strlen(pattern);
  for (char* p = findChar(from, end, pattern[0]); p; p = findChar(p + 1, end, pattern[0])) {
    if (static_cast<size_t>(end - p) < length) return nullptr;
    if (memcmp(p, pattern, length) == 0) return p;
  }
  return nullptr;
}

bool startsWith(const char* from, const char* end, const char* prefix) {
  size_t length = strlen(prefix);
  return static_cast<size_t>(end - from) >= length && memcmp(from, prefix, length) == 0;
}

// First blank, '/' or '>' in [from, end), or null.
char* findNameEnd(char* from, const char* end) {
  for (char* p = from; p < end; p++)
    if (*p == ' ' || *p == '/' || *p == '>') return p;
  return nullptr;
}

// First blank or '>' in [from, end), or null: lets an end tag's name begin with '/'.
char* findEndTagNameEnd(char* from, const char* end) {
  for (char* p = from; p < end; p++)
    if (*p == ' ' || *p == '>') return p;
  return nullptr;
}

// The byte that the reference named name (length bytes, NUL-terminated) stands
// for; false when it names none.
bool referencedByte(const char* name, size_t length, char* byte) {
  if (strcmp(name, "lt") == 0) {
    *byte = '<';
  } else if (strcmp(name, "gt") == 0) {
    *byte = '>';
  } else if (strcmp(name, "amp") == 0) {
    *byte = '&';
  } else if (strcmp(name, "quot") == 0) {
    *byte = '"';
  } else if (strcmp(name, "apos") == 0) {
    *byte = '\'';
  } else if (length >= 2 && name[0] == '#') {
    // Read as "%x" and atoi read them (no digits: 0); the low 8 bits make the byte.
    unsigned long code =
        name[1] == 'x' ? strtoul(name + 2, nullptr, 16) : static_cast<unsigned long>(strtol(name + 1, nullptr, 10));
    *byte = static_cast<char>(code & 0xFF);
  } else {
    return false;
  }
  return true;
}

// Reports message to handler (when there is one) and returns false, so that every
// error is one return.
bool fail(XMLHandler* handler, const char* message) {
  if (handler) handler->fatalError(message);
  return false;
}

// fail with a message made of format and one or two texts (reportError).
bool fail(XMLHandler* handler, const char* format, const char* a, const char* b = nullptr) {
  if (handler && b) handler->reportError(format, a, b);
  if (handler && !b) handler->reportError(format, a);
  return false;
}

// Moves cur past the first close at or after from; false, after reporting unfinished,
// when there is none.
bool skipPast(XMLHandler* handler, char*& cur, char* from, const char* end, const char* close, const char* unfinished) {
  char* found = findBytes(from, end, close);
  if (!found) return fail(handler, unfinished);
  cur = found + strlen(close);
  return true;
}

// decodeEntities for a text whose terminator the caller knows: end, with *end == 0.
bool decodeEntitiesUpTo(XMLHandler* handler, char* text, char* const end) {
  // One pass: decoded bytes go to out, which never overtakes in, so a byte made by
  // a replacement is never read again. The rest is moved up once, at the end.
  char* out = text;
  char* in = text;
  for (;;) {
    char* amp = findChar(in, end, '&');
    char* semicolon = amp ? findChar(amp + 1, end, ';') : nullptr;
    if (!semicolon) break;  // no ';' is left, so every '&' left stays as it is
    size_t run = static_cast<size_t>(amp - in);
    memmove(out, in, run);
    out += run;
    *semicolon = 0;
    size_t nameLength = static_cast<size_t>(semicolon - amp - 1);
    char replacement;
    if (nameLength == 0 || !referencedByte(amp + 1, nameLength, &replacement)) {
      // Decoded up to the failing reference, whose ';' is now a NUL; the rest follows.
      memmove(out, amp, static_cast<size_t>(end - amp) + 1);
      if (nameLength == 0) return fail(handler, "Entity name cannot be empty");
      return fail(handler, "Unrecognized entity: %s", out + 1);
    }
    *out++ = replacement;
    in = semicolon + 1;
  }
  if (out != in) memmove(out, in, static_cast<size_t>(end - in) + 1);  // the terminator too
  return true;
}

}  // namespace

XMLParser::XMLParser(XMLHandler* handler)
    : handler(handler), elementStack(), attributes(), initialBuckets(attributes.bucketCount()), outOfMemory(false) {}

XMLParser::~XMLParser() {}

void XMLParser::prepare() {
  static const char* const NAMES[KEPT_ATTRIBUTES] = {"0", "1", "2", "3", "4", "5", "6", "7"};
  for (const char* name : NAMES) attributes.put(name, nullptr);
  attributes.clear();  // the entries stay as spare ones for the next puts
  for (int i = 0; i < KEPT_DEPTH; i++) elementStack.add(nullptr);
  elementStack.clear();
}

bool XMLParser::grewBeyondPrepared() const {
  return attributes.bucketCount() > initialBuckets || elementStack.capacity() > KEPT_DEPTH;
}

bool XMLParser::parse(char* text) {
  outOfMemory = false;
  if (!text) return false;
  bool ok = parseDocument(text, text + strlen(text));
  elementStack.clear();
  return ok;
}

bool XMLParser::parseDocument(char* cur, char* const end) {
  while (cur < end) {
    char* open = findChar(cur, end, '<');
    if (!open) {
      // Text after the last tag is not reported, but must not follow an open element.
      if (elementStack.count() == 0) return true;
      return fail(handler, "Missing end tag for element: %s", static_cast<const char*>(elementStack.last()));
    }
    if (open > cur && handler) {
      *open = 0;
      if (!decodeEntitiesUpTo(handler, cur, open)) return false;
      handler->characters(cur);
    }
    cur = open + 1;  // just past '<'
    if (!parseMarkup(cur, end)) return false;
  }
  return true;
}

bool XMLParser::parseMarkup(char*& cur, char* const end) {
  if (startsWith(cur, end, "!--")) return skipPast(handler, cur, cur + 3, end, "-->", "Unfinished comment found");
  if (startsWith(cur, end, "?")) return skipPast(handler, cur, cur + 1, end, "?>", "Unfinished declaration found");

  char* name = cur;
  char* nameEnd = findNameEnd(cur, end);
  if (!nameEnd) return fail(handler, "Cannot find end of tag");
  if (nameEnd == name) {
    nameEnd = findEndTagNameEnd(cur, end);
    if (!nameEnd) nameEnd = end;  // handled as a name ended by a blank
  }
  if (nameEnd < end && *nameEnd == '/') {
    if (!startsWith(nameEnd, end, "/>")) return fail(handler, "Incorrect end of tag");
    *nameEnd = 0;
    cur = nameEnd + 2;
    return openElement(name, &emptyAttributeTable, true);
  }
  if (nameEnd < end && *nameEnd == '>') {
    *nameEnd = 0;
    cur = nameEnd + 1;
    return *name == '/' ? closeElement(name + 1) : openElement(name, &emptyAttributeTable, false);
  }

  // The name ends at a blank, or at the end of the text (whose byte is already NUL).
  *nameEnd = 0;
  if (*name == '/') return fail(handler, "Element ending tags cannot have attributes");
  cur = nameEnd < end ? nameEnd + 1 : end;
  bool ok = parseAttributes(name, cur, end);
  if (attributes.entryCount() > 0) attributes.clear();
  return ok;
}

bool XMLParser::openElement(char* name, HashTable* table, bool empty) {
  if (handler) handler->startElement(name, table);
  if (empty) {
    if (handler) handler->endElement(name);
    return true;
  }
  int before = elementStack.count();
  elementStack.add(name);
  if (elementStack.count() > before) return true;
  outOfMemory = true;
  return fail(handler, "Out of memory");
}

bool XMLParser::closeElement(const char* closing) {
  if (elementStack.count() == 0) return fail(handler, "Unbalanced end tag found:", closing);
  const char* innermost = static_cast<const char*>(elementStack.pop());
  if (strcmp(closing, innermost) != 0) return fail(handler, "Mismatched end tag found: %s != %s", closing, innermost);
  if (handler) handler->endElement(closing);
  return true;
}

bool XMLParser::parseAttributes(char* name, char*& cur, char* const end) {
  for (;;) {
    while (cur < end && *cur == ' ') cur++;
    if (cur >= end) return fail(handler, "Cannot find end of tag or start of attribute");
    if (*cur == '>') {
      cur++;
      return openElement(name, &attributes, false);
    }
    if (*cur == '/') {
      if (!startsWith(cur, end, "/>")) return fail(handler, "Incorrect end of tag found");
      cur += 2;
      return openElement(name, &attributes, true);
    }

    // An attribute: the name runs up to the next '=', blanks included.
    char* equals = findChar(cur, end, '=');
    if (!equals) return fail(handler, "Cannot find start of attribute value");
    *equals = 0;
    if (!startsWith(equals + 1, end, "\"")) return fail(handler, "Attribute value does not start with quote");
    char* value = equals + 2;
    char* closeQuote = findChar(value, end, '"');
    if (!closeQuote) return fail(handler, "Cannot find end of attribute value");
    *closeQuote = 0;
    if (!decodeEntitiesUpTo(handler, value, closeQuote)) return false;
    if (!attributes.put(cur, value)) {
      outOfMemory = true;
      return fail(handler, "Out of memory");
    }
    cur = closeQuote + 1;  // no blank is needed before the next name
  }
}

bool decodeEntities(XMLHandler* handler, char* text) {
  if (!text) return true;
  return decodeEntitiesUpTo(handler, text, text + strlen(text));
}
