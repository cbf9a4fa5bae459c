// In-place XML parser: one bounded pass over the document, reporting to an XMLHandler.
#include "xml/XMLParser.h"

#include <cstdlib>
#include <cstring>

// Constructed after the configuration map (priority 201) and destroyed before it.
HashTable emptyAttributeTable __attribute__((init_priority(202)));

namespace {

// Every search below looks only at [from, end), end being the document's terminator.

char* findChar(char* from, const char* end, char c) {
  if (from >= end) return nullptr;
  return static_cast<char*>(memchr(from, c, static_cast<size_t>(end - from)));
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

void fail(XMLHandler* handler, const char* message) {
  if (handler) handler->fatalError(message);
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
      if (nameLength == 0)
        fail(handler, "Entity name cannot be empty");
      else if (handler)
        handler->reportError("Unrecognized entity: %s", out + 1);
      return false;
    }
    *out++ = replacement;
    in = semicolon + 1;
  }
  if (out != in) memmove(out, in, static_cast<size_t>(end - in) + 1);  // the terminator too
  return true;
}

}  // namespace

XMLParser::XMLParser(XMLHandler* handler) : handler(handler), elementStack(), attributes(), outOfMemory(false) {}

XMLParser::~XMLParser() {}

// Pushes an open element; false (and "Out of memory") when the stack cannot grow.
bool XMLParser::push(char* name) {
  int before = elementStack.count();
  elementStack.add(name);
  if (elementStack.count() > before) return true;
  outOfMemory = true;
  fail(handler, "Out of memory");
  return false;
}

bool XMLParser::parse(char* text) {
  outOfMemory = false;
  if (!text) return false;
  char* const end = text + strlen(text);
  char* cur = text;
  bool ok = true;
  while (ok && cur < end) {
    char* open = findChar(cur, end, '<');
    if (!open) {
      if (elementStack.count() > 0) {
        if (handler)
          handler->reportError("Missing end tag for element: %s", static_cast<const char*>(elementStack.last()));
        ok = false;
      }
      break;
    }
    if (open > cur && handler) {
      *open = 0;
      if (!decodeEntitiesUpTo(handler, cur, open)) {
        ok = false;
        break;
      }
      handler->characters(cur);
    }
    cur = open + 1;  // just past '<'

    if (startsWith(cur, end, "!--")) {
      char* close = findBytes(cur + 3, end, "-->");
      if (!close) {
        fail(handler, "Unfinished comment found");
        ok = false;
        break;
      }
      cur = close + 3;
      continue;
    }
    if (cur < end && *cur == '?') {
      char* close = findBytes(cur + 1, end, "?>");
      if (!close) {
        fail(handler, "Unfinished declaration found");
        ok = false;
        break;
      }
      cur = close + 2;
      continue;
    }

    char* name = cur;
    char* nameEnd = findNameEnd(cur, end);
    if (!nameEnd) {
      fail(handler, "Cannot find end of tag");
      ok = false;
      break;
    }
    if (nameEnd == name) {
      nameEnd = findEndTagNameEnd(cur, end);
      if (!nameEnd) nameEnd = end;  // handled as a name ended by a blank
    }

    if (nameEnd < end && *nameEnd == '/') {
      if (nameEnd + 1 < end && nameEnd[1] == '>') {
        *nameEnd = 0;
        if (handler) {
          handler->startElement(name, &emptyAttributeTable);
          handler->endElement(name);
        }
        cur = nameEnd + 2;
        continue;
      }
      fail(handler, "Incorrect end of tag");
      ok = false;
      break;
    }

    if (nameEnd < end && *nameEnd == '>') {
      *nameEnd = 0;
      cur = nameEnd + 1;
      if (*name == '/') {
        const char* closing = name + 1;
        if (elementStack.count() == 0) {
          if (handler) handler->reportError("Unbalanced end tag found:", closing);
          ok = false;
          break;
        }
        const char* innermost = static_cast<const char*>(elementStack.pop());
        if (strcmp(closing, innermost) != 0) {
          if (handler) handler->reportError("Mismatched end tag found: %s != %s", closing, innermost);
          ok = false;
          break;
        }
        if (handler) handler->endElement(closing);
        continue;
      }
      if (handler) handler->startElement(name, &emptyAttributeTable);
      if (!push(name)) {
        ok = false;
        break;
      }
      continue;
    }

    // The name ends at a blank, or at the end of the text (whose byte is already NUL).
    *nameEnd = 0;
    if (*name == '/') {
      fail(handler, "Element ending tags cannot have attributes");
      ok = false;
      break;
    }
    cur = parseAttributes(name, nameEnd < end ? nameEnd + 1 : end, end);
    if (attributes.entryCount() > 0) attributes.clear();
    if (!cur) ok = false;
  }
  elementStack.clear();
  return ok;
}

char* XMLParser::parseAttributes(char* name, char* cur, char* end) {
  for (;;) {
    while (cur < end && *cur == ' ') cur++;
    if (cur >= end) {
      fail(handler, "Cannot find end of tag or start of attribute");
      return nullptr;
    }
    if (*cur == '>') {
      if (handler) handler->startElement(name, &attributes);
      return push(name) ? cur + 1 : nullptr;
    }
    if (*cur == '/') {
      if (cur + 1 < end && cur[1] == '>') {
        if (handler) {
          handler->startElement(name, &attributes);
          handler->endElement(name);
        }
        return cur + 2;
      }
      fail(handler, "Incorrect end of tag found");
      return nullptr;
    }

    // An attribute: the name runs up to the next '=', blanks included.
    char* equals = findChar(cur, end, '=');
    if (!equals) {
      fail(handler, "Cannot find start of attribute value");
      return nullptr;
    }
    *equals = 0;
    char* attributeName = cur;
    if (equals + 1 >= end || equals[1] != '"') {
      fail(handler, "Attribute value does not start with quote");
      return nullptr;
    }
    char* value = equals + 2;
    char* closeQuote = findChar(value, end, '"');
    if (!closeQuote) {
      fail(handler, "Cannot find end of attribute value");
      return nullptr;
    }
    *closeQuote = 0;
    if (!decodeEntitiesUpTo(handler, value, closeQuote)) return nullptr;
    if (!attributes.put(attributeName, value)) {
      outOfMemory = true;
      fail(handler, "Out of memory");
      return nullptr;
    }
    cur = closeQuote + 1;  // no blank is needed before the next name
  }
}

bool decodeEntities(XMLHandler* handler, char* text) {
  if (!text) return true;
  return decodeEntitiesUpTo(handler, text, text + strlen(text));
}
