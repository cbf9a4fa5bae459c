// Cuts the provider's byte stream into messages with one expat parser.
#include "StreamParser.h"

#include <algorithm>
#include <cstring>

namespace {

const char ROOT_OPEN[] = "<stream>";
const char ROOT_CLOSE[] = "</stream>";
const std::size_t ROOT_OPEN_LENGTH = sizeof ROOT_OPEN - 1;
const std::size_t EXCERPT_LENGTH = 60;
// The most bytes handed to expat in one call, which takes an int.
const std::size_t MAX_CALL = std::size_t{1} << 30;
// expat scans a token it holds unfinished from its start at every call. Once that
// token is this long, new bytes reach expat only when they are as many as its bytes
// or hold a '>', which every token that can end a message needs: time stays linear.
const std::size_t DEFER_FROM = std::size_t{4} << 10;
// A message longer than this is read into its Elements only once complete, from its bytes.
const std::size_t BUILD_MOST = std::size_t{64} << 10;
// Kept bytes whose storage is this large and four times what they need give it back.
const std::size_t SHRINK_ABOVE = std::size_t{1} << 20;

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

void StreamParser::Build::start(const XML_Char* name, const XML_Char** attributes) {
  if (open.size() >= MAX_DEPTH) {
    droppedOpen++;
    droppedAny = true;
    return;
  }
  Element element;
  element.name = name;
  for (int i = 0; attributes[i]; i += 2) element.attributes.emplace_back(attributes[i], attributes[i + 1]);
  open.push_back(std::move(element));
}

void StreamParser::Build::end() {
  if (droppedOpen > 0) {
    droppedOpen--;
    return;
  }
  Element element = std::move(open.back());
  open.pop_back();
  if (open.empty()) {
    message = std::move(element);
  } else {
    open.back().children.push_back(std::move(element));
  }
}

void XMLCALL StreamParser::onBuildStart(void* self, const XML_Char* name, const XML_Char** attributes) {
  static_cast<Build*>(self)->start(name, attributes);
}

void XMLCALL StreamParser::onBuildEnd(void* self, const XML_Char*) { static_cast<Build*>(self)->end(); }

StreamParser::StreamParser(std::size_t maxMessage) : maxMessage_(maxMessage), parser_(XML_ParserCreate("UTF-8")) {
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
  // The message is counted before expat sees a byte of it: no piece takes it past the limit.
  while (length > 0 && !failed_) {
    std::size_t used = messageBytes();
    if (used >= maxMessage_) {  // the message goes on past the limit
      reportTooLong();
      break;
    }
    std::size_t piece = std::min(length, maxMessage_ - used);
    parse(bytes, piece);
    bytes += piece;
    length -= piece;
  }
  if (failed_) keptFrom_ += length;  // only counted
}

void StreamParser::parse(const char* bytes, std::size_t length) {
  kept_.append(bytes, length);
  if (head_.size() < EXCERPT_LENGTH) head_.append(bytes, std::min(length, EXCERPT_LENGTH - head_.size()));
  std::size_t held = fedTo_ - pendingFrom();
  if (held >= DEFER_FROM && bytesSeen() - fedTo_ < held && !std::memchr(bytes, '>', length)) return;
  flush();
}

void StreamParser::flush() {
  while (!failed_ && fedTo_ < bytesSeen()) {
    std::size_t piece = std::min(bytesSeen() - fedTo_, MAX_CALL);
    const char* bytes = kept_.data() + (fedTo_ - keptFrom_);
    fedTo_ += piece;
    if (XML_Parse(parser_, bytes, static_cast<int>(piece), XML_FALSE) == XML_STATUS_ERROR) reportExpatError(nullptr);
  }
  if (failed_) return;
  checkLineFeed(false);
  dropConsumed();
}

void StreamParser::dropConsumed() {
  // Outside a callback expat's index stands just past its last parse event: no
  // later event, and so no later message, starts before it. An open message is
  // kept whole: a long one is read into its elements from its bytes.
  std::size_t keepFrom = pendingFrom();
  if (depth_ > 0) keepFrom = std::min(keepFrom, messageStart_);
  if (lineFeedDue_) keepFrom = std::min(keepFrom, lineFeedAt_);
  if (keepFrom <= keptFrom_) return;
  kept_.erase(0, keepFrom - keptFrom_);
  keptFrom_ = keepFrom;
  if (kept_.capacity() > SHRINK_ABOVE && kept_.size() < kept_.capacity() / 4) kept_.shrink_to_fit();
}

void StreamParser::finish() {
  flush();
  if (failed_) return;
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
  std::size_t offset = streamOffset(XML_GetCurrentByteIndex(parser_));
  std::string text = context ? std::string(context) + ": " : std::string();
  text += XML_ErrorString(XML_GetErrorCode(parser_));
  text += " at byte " + std::to_string(offset);
  // head_ holds the bytes from messageStart_ on, up to the excerpt's length.
  if (!head_.empty()) {
    text += ", in the message that starts at byte " + std::to_string(messageStart_) + ": " + head_;
    if (bytesSeen() - messageStart_ > EXCERPT_LENGTH) text += "...";
  }
  stop();
  items_.push_back(StreamItem{StreamItem::MALFORMED, {}, text, offset});
}

void StreamParser::reportTooLong() {
  // Before its start tag is complete, a message starts with the token that expat holds.
  std::size_t start = depth_ > 0 ? messageStart_ : pendingFrom();
  std::string text = "the message that starts at byte " + std::to_string(start) + " is longer than " +
                     std::to_string(maxMessage_) +
                     " bytes (--max-message): " + kept_.substr(start - keptFrom_, EXCERPT_LENGTH) + "...";
  stop();
  items_.push_back(StreamItem{StreamItem::TOO_LONG, {}, text, start + maxMessage_});
}

void StreamParser::stop() {
  failed_ = true;
  keptFrom_ = bytesSeen();  // from here on the bytes are only counted
  std::string().swap(kept_);
  std::string().swap(head_);
  build_ = Build();
  XML_ParserFree(parser_);
  parser_ = nullptr;
}

void StreamParser::buildFromKept(std::size_t end) {
  build_ = Build();
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (!parser) return;
  XML_SetUserData(parser, &build_);
  XML_SetElementHandler(parser, onBuildStart, onBuildEnd);
  const char* bytes = kept_.data() + (messageStart_ - keptFrom_);
  std::size_t length = end - messageStart_;
  for (std::size_t at = 0; at < length; at += MAX_CALL) {
    std::size_t piece = std::min(length - at, MAX_CALL);
    if (XML_Parse(parser, bytes + at, static_cast<int>(piece), at + piece == length) != XML_STATUS_OK) break;
  }
  XML_ParserFree(parser);
}

void StreamParser::takeMessage(std::size_t end) {
  if (!building_) buildFromKept(end);
  std::string problem;
  if (build_.droppedAny)
    problem = "the message that starts at byte " + std::to_string(messageStart_) + " nests elements more than " +
              std::to_string(MAX_DEPTH) + " levels deep; the deeper ones were dropped";
  StreamItem item{StreamItem::MESSAGE, std::move(build_.message), problem, messageStart_};
  build_ = Build();
  // Every message ends with a line feed except the task response.
  lineFeedDue_ = item.message.name != "taskResponse";
  lineFeedAt_ = end;
  items_.push_back(std::move(item));
}

void XMLCALL StreamParser::onStart(void* self, const XML_Char* name, const XML_Char** attributes) {
  auto* parser = static_cast<StreamParser*>(self);
  XML_Index index = XML_GetCurrentByteIndex(parser->parser_);
  if (index < static_cast<XML_Index>(ROOT_OPEN_LENGTH)) return;  // the synthetic root
  if (parser->depth_++ == 0) {
    parser->checkLineFeed(false);
    parser->messageStart_ = parser->streamOffset(index);
    parser->startTagEnd_ = parser->streamOffset(index + XML_GetCurrentByteCount(parser->parser_));
    parser->head_ = parser->kept_.substr(parser->messageStart_ - parser->keptFrom_, EXCERPT_LENGTH);
    parser->textReported_ = false;
    parser->building_ = true;
  }
  // A long message stops building here: its many elements would take several times its bytes.
  if (parser->building_ && parser->streamOffset(index) - parser->messageStart_ > BUILD_MOST) {
    parser->building_ = false;
    parser->build_ = Build();
  }
  if (parser->building_) parser->build_.start(name, attributes);
}

void XMLCALL StreamParser::onEnd(void* self, const XML_Char*) {
  auto* parser = static_cast<StreamParser*>(self);
  if (parser->depth_ == 0) return;  // the synthetic root, closed by finish()
  if (parser->building_) parser->build_.end();
  if (--parser->depth_ > 0) return;
  // An empty-element tag has a byte count of 0 here; its end is that of its start tag.
  std::size_t end = parser->startTagEnd_;
  int count = XML_GetCurrentByteCount(parser->parser_);
  if (count > 0) end = parser->streamOffset(XML_GetCurrentByteIndex(parser->parser_) + count);
  parser->takeMessage(end);
}

void XMLCALL StreamParser::onText(void* self, const XML_Char* text, int length) {
  auto* parser = static_cast<StreamParser*>(self);
  if (parser->depth_ > 0) return;  // text inside a message carries nothing in this protocol
  parser->checkLineFeed(false);
  if (parser->textReported_) return;
  for (int i = 0; i < length; i++) {
    if (isBlank(text[i])) continue;
    parser->textReported_ = true;
    std::size_t offset = parser->streamOffset(XML_GetCurrentByteIndex(parser->parser_));
    // Quoted up to an excerpt's length: the text may be as long as a read.
    std::string shown(text, std::min(static_cast<std::size_t>(length), EXCERPT_LENGTH));
    if (static_cast<std::size_t>(length) > EXCERPT_LENGTH) shown += "...";
    parser->items_.push_back(StreamItem{
        StreamItem::FRAMING, {}, "text between messages at byte " + std::to_string(offset) + ": " + shown, offset});
    return;
  }
}
