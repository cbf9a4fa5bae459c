// Cuts the provider's byte stream into messages with one expat parser.
#include "StreamParser.h"

#include <algorithm>
#include <cstring>

namespace {

const char ROOT_OPEN[] = "<stream>";
const char ROOT_CLOSE[] = "</stream>";
const std::size_t ROOT_OPEN_LENGTH = sizeof ROOT_OPEN - 1;
const std::size_t EXCERPT_LENGTH = 60;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

const std::string* Element::attribute(const char* key) const {
  for (const auto& attribute : attributes)
    if (attribute.first == key) return &attribute.second;
  return nullptr;
}

const Element* Element::child(const char* childName) const {
  for (const auto& element : children)
    if (element.name == childName) return &element;
  return nullptr;
}

StreamParser::StreamParser() : parser_(XML_ParserCreate("UTF-8")) {
  XML_SetUserData(parser_, this);
  XML_SetElementHandler(parser_, onStart, onEnd);
  XML_SetCharacterDataHandler(parser_, onText);
#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 6)
  // Deferral would hold back a message whose last bytes arrive in a small read.
  XML_SetReparseDeferralEnabled(parser_, XML_FALSE);
#endif
  XML_Parse(parser_, ROOT_OPEN, static_cast<int>(ROOT_OPEN_LENGTH), XML_FALSE);
}

StreamParser::~StreamParser() { XML_ParserFree(parser_); }

std::size_t StreamParser::streamOffset(XML_Index parserIndex) const {
  if (parserIndex < static_cast<XML_Index>(ROOT_OPEN_LENGTH)) return 0;
  std::size_t offset = static_cast<std::size_t>(parserIndex) - ROOT_OPEN_LENGTH;
  return offset > bytesSeen() ? bytesSeen() : offset;
}

void StreamParser::feed(const char* bytes, std::size_t length) {
  if (failed_) {
    keptFrom_ += length;  // only counted
    return;
  }
  kept_.append(bytes, length);
  if (head_.size() < EXCERPT_LENGTH) head_.append(bytes, std::min(length, EXCERPT_LENGTH - head_.size()));
  if (length == 0) return;
  if (XML_Parse(parser_, bytes, static_cast<int>(length), XML_FALSE) == XML_STATUS_ERROR) {
    reportExpatError(nullptr);
    return;
  }
  checkLineFeed(false);
  dropConsumed();
}

void StreamParser::dropConsumed() {
  // Outside a callback expat's index stands just past its last parse event: no
  // later event, and so no later message, starts before it.
  std::size_t keepFrom = streamOffset(XML_GetCurrentByteIndex(parser_));
  if (lineFeedDue_ && lineFeedAt_ < keepFrom) keepFrom = lineFeedAt_;
  if (keepFrom <= keptFrom_) return;
  kept_.erase(0, keepFrom - keptFrom_);
  keptFrom_ = keepFrom;
}

void StreamParser::finish() {
  if (failed_) return;
  checkLineFeed(false);
  // The closing root tag ends the document; it fails exactly when a message is incomplete.
  if (XML_Parse(parser_, ROOT_CLOSE, sizeof ROOT_CLOSE - 1, XML_TRUE) == XML_STATUS_ERROR) {
    reportExpatError("the stream ended inside a message");
    return;
  }
  checkLineFeed(true);
}

std::vector<StreamItem> StreamParser::take() {
  std::vector<StreamItem> items;
  items.swap(items_);
  return items;
}

void StreamParser::checkLineFeed(bool atEnd) {
  if (!lineFeedDue_) return;
  if (lineFeedAt_ < bytesSeen()) {
    lineFeedDue_ = false;
    if (kept_[lineFeedAt_ - keptFrom_] == '\n') return;
  } else if (!atEnd) {
    return;
  }
  lineFeedDue_ = false;
  StreamItem item{StreamItem::FRAMING,
                  {},
                  "the message that ends at byte " + std::to_string(lineFeedAt_) + " is not followed by a line feed",
                  lineFeedAt_};
  items_.push_back(std::move(item));
}

void StreamParser::reportExpatError(const char* context) {
  failed_ = true;
  std::size_t offset = streamOffset(XML_GetCurrentByteIndex(parser_));
  std::string text = context ? std::string(context) + ": " : std::string();
  text += XML_ErrorString(XML_GetErrorCode(parser_));
  text += " at byte " + std::to_string(offset);
  // head_ holds the bytes from messageStart_ on, up to the excerpt's length.
  if (!head_.empty()) {
    text += ", in the message that starts at byte " + std::to_string(messageStart_) + ": " + head_;
    if (bytesSeen() - messageStart_ > EXCERPT_LENGTH) text += "...";
  }
  // From here on the bytes are only counted.
  keptFrom_ += kept_.size();
  kept_.clear();
  kept_.shrink_to_fit();
  items_.push_back(StreamItem{StreamItem::MALFORMED, {}, text, offset});
}

void XMLCALL StreamParser::onStart(void* self, const XML_Char* name, const XML_Char** attributes) {
  auto* parser = static_cast<StreamParser*>(self);
  XML_Index index = XML_GetCurrentByteIndex(parser->parser_);
  if (index < static_cast<XML_Index>(ROOT_OPEN_LENGTH)) return;  // the synthetic root
  if (parser->open_.empty()) {
    parser->checkLineFeed(false);
    parser->messageStart_ = parser->streamOffset(index);
    parser->head_ = parser->kept_.substr(parser->messageStart_ - parser->keptFrom_, EXCERPT_LENGTH);
    parser->textReported_ = false;
    parser->droppedAny_ = false;
  }
  if (parser->open_.size() >= MAX_DEPTH) {
    parser->droppedOpen_++;
    parser->droppedAny_ = true;
    return;
  }
  Element element;
  element.name = name;
  for (int i = 0; attributes[i]; i += 2) element.attributes.emplace_back(attributes[i], attributes[i + 1]);
  parser->open_.push_back(std::move(element));
  parser->startEnds_.push_back(parser->streamOffset(index + XML_GetCurrentByteCount(parser->parser_)));
}

void XMLCALL StreamParser::onEnd(void* self, const XML_Char*) {
  auto* parser = static_cast<StreamParser*>(self);
  if (parser->droppedOpen_ > 0) {
    parser->droppedOpen_--;
    return;
  }
  if (parser->open_.empty()) return;  // the synthetic root, closed by finish()
  Element element = std::move(parser->open_.back());
  std::size_t end = parser->startEnds_.back();
  parser->open_.pop_back();
  parser->startEnds_.pop_back();
  if (!parser->open_.empty()) {
    parser->open_.back().children.push_back(std::move(element));
    return;
  }
  // An empty-element tag has a byte count of 0 here; its end is that of its start tag.
  int count = XML_GetCurrentByteCount(parser->parser_);
  if (count > 0) end = parser->streamOffset(XML_GetCurrentByteIndex(parser->parser_) + count);
  // Every message ends with a line feed except the task response.
  parser->lineFeedDue_ = element.name != "taskResponse";
  parser->lineFeedAt_ = end;
  std::string problem;
  if (parser->droppedAny_)
    problem = "the message that starts at byte " + std::to_string(parser->messageStart_) +
              " nests elements more than " + std::to_string(MAX_DEPTH) + " levels deep; the deeper ones were dropped";
  parser->items_.push_back(StreamItem{StreamItem::MESSAGE, std::move(element), problem, parser->messageStart_});
}

void XMLCALL StreamParser::onText(void* self, const XML_Char* text, int length) {
  auto* parser = static_cast<StreamParser*>(self);
  if (!parser->open_.empty()) return;  // text inside a message carries nothing in this protocol
  parser->checkLineFeed(false);
  if (parser->textReported_) return;
  for (int i = 0; i < length; i++) {
    if (isBlank(text[i])) continue;
    parser->textReported_ = true;
    std::size_t offset = parser->streamOffset(XML_GetCurrentByteIndex(parser->parser_));
    parser->items_.push_back(StreamItem{StreamItem::FRAMING,
                                        {},
                                        "text between messages at byte " + std::to_string(offset) + ": " +
                                            std::string(text, static_cast<std::size_t>(length)),
                                        offset});
    return;
  }
}
