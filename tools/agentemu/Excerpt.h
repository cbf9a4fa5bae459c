// What an error message or a violation quotes of the text it complains about.
//
// A word of a script, an option's value, or an id, name or value from the provider
// can be megabytes long; a message quotes at most its first EXCERPT_BYTES bytes and
// says how long it is, so that the message stays one short line.
#ifndef AGENTEMU_EXCERPT_H
#define AGENTEMU_EXCERPT_H

#include <cstddef>
#include <string>

const std::size_t EXCERPT_BYTES = 64;

// The length of text's quoted start: EXCERPT_BYTES, less the bytes of a UTF-8
// sequence that would be cut. Only for text longer than EXCERPT_BYTES.
inline std::size_t excerptCut(const std::string& text) {
  std::size_t cut = EXCERPT_BYTES;
  for (int back = 0; back < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; back++) cut--;
  return cut;
}

// text itself when it has at most EXCERPT_BYTES bytes, else its start followed by
// "... (N bytes)", N its whole length.
inline std::string excerpt(const std::string& text) {
  if (text.size() <= EXCERPT_BYTES) return text;
  return text.substr(0, excerptCut(text)) + "... (" + std::to_string(text.size()) + " bytes)";
}

// The same in double quotes: "text", or "start..." (N bytes).
inline std::string quotedExcerpt(const std::string& text) {
  if (text.size() <= EXCERPT_BYTES) return "\"" + text + "\"";
  return "\"" + text.substr(0, excerptCut(text)) + "...\" (" + std::to_string(text.size()) + " bytes)";
}

#endif
