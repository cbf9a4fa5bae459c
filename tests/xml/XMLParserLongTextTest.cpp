// Long texts full of references: decoding takes one pass, whatever the count.
#include <gtest/gtest.h>

#include <string>

#include "support/Document.h"
#include "xml/XMLParser.h"

namespace {

// Eight megabytes: moving the rest of the text behind every reference would copy
// terabytes here, and never end within the test's time.
constexpr size_t LONG_TEXT_LENGTH = 8u << 20;

std::string repeated(const std::string& unit, size_t length) {
  std::string text;
  text.reserve(length + unit.size());
  while (text.size() + unit.size() <= length) text += unit;
  return text;
}

struct ValueHandler : XMLHandler {
  void startElement(const char*, HashTable* attributes) override {
    if (const char* v = static_cast<const char*>(attributes->get("v"))) value = v;
  }
  void fatalError(const char* message) override { error = message; }
  std::string value;
  std::string error;
};

TEST(XMLParser, TextMadeOfReferencesDecodesWhole) {
  std::string text = repeated("&amp;", LONG_TEXT_LENGTH);
  Document doc(text);
  ASSERT_TRUE(decodeEntities(nullptr, doc.text));
  EXPECT_EQ(std::string(text.size() / 5, '&'), doc.text);
}

TEST(XMLParser, AmpersandsWithoutSemicolonStayWhole) {
  std::string text = repeated("&", LONG_TEXT_LENGTH);
  Document doc(text);
  ASSERT_TRUE(decodeEntities(nullptr, doc.text));
  EXPECT_EQ(text, doc.text);
}

TEST(XMLParser, ReferencesBetweenPlainRunsKeepTheRuns) {
  std::string text = repeated("ab&lt;c&#x41;&#10;d&amp;lt;", LONG_TEXT_LENGTH);
  Document doc(text);
  ASSERT_TRUE(decodeEntities(nullptr, doc.text));
  EXPECT_EQ(repeated("ab<cA\nd&lt;", text.size() / 27 * 11), doc.text);
}

TEST(XMLParser, ErrorAfterManyReferencesLeavesTheRestBehindTheDecodedPart) {
  std::string text = repeated("&gt;", LONG_TEXT_LENGTH) + "&bad;tail";
  Document doc(text);
  ValueHandler handler;
  EXPECT_FALSE(decodeEntities(&handler, doc.text));
  EXPECT_EQ("Unrecognized entity: bad", handler.error);
  size_t decoded = (text.size() - 9) / 4;
  EXPECT_EQ(std::string(decoded, '>') + "&bad", doc.text);
  EXPECT_EQ("tail", std::string(doc.text + decoded + 5));
}

TEST(XMLParser, AttributeValueOfManyReferencesParses) {
  std::string value = repeated("&quot;", LONG_TEXT_LENGTH);
  Document doc("<a v=\"" + value + "\"/>");
  ValueHandler handler;
  EXPECT_TRUE(XMLParser(&handler).parse(doc.text));
  EXPECT_EQ(std::string(value.size() / 6, '"'), handler.value);
  EXPECT_EQ("", handler.error);
}

}  // namespace
