// The handler base class: callbacks that do nothing, and error texts of any length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Document.h"
#include "xml/XMLHandler.h"
#include "xml/XMLParser.h"

namespace {

struct ErrorLog : XMLHandler {
  void fatalError(const char* message) override { messages.push_back(message); }
  std::vector<std::string> messages;
};

TEST(XMLHandler, BaseClassTakesEveryCallbackWithoutEffect) {
  XMLHandler base;
  Document good("<a x=\"1\">text &amp; more<b/></a>");
  EXPECT_TRUE(XMLParser(&base).parse(good.text));
  Document bad("<a></b>");
  EXPECT_FALSE(XMLParser(&base).parse(bad.text));
}

TEST(XMLHandler, ErrorLongerThanTheShortBufferArrivesWhole) {
  std::string name(1000, 'n');
  ErrorLog log;
  log.reportError("Unrecognized entity: %s", name.c_str());
  ASSERT_EQ(1u, log.messages.size());
  EXPECT_EQ("Unrecognized entity: " + name, log.messages[0]);
}

TEST(XMLHandler, ErrorsAroundTheShortBufferSizeArriveWhole) {
  for (size_t messageLength : {254u, 255u, 256u, 257u}) {
    SCOPED_TRACE(messageLength);
    std::string a(messageLength - 4, 'a');  // and " != "
    ErrorLog log;
    log.reportError("%s != %s", a.c_str(), "");
    ASSERT_EQ(1u, log.messages.size());
    EXPECT_EQ(a + " != ", log.messages[0]);
    EXPECT_EQ(messageLength, log.messages[0].size());
  }
}

TEST(XMLHandler, NullTextsAreShownAsNull) {
  ErrorLog log;
  log.reportError("one %s", nullptr);
  log.reportError("%s and %s", nullptr, "b");
  log.reportError("%s and %s", "a", nullptr);
  EXPECT_EQ((std::vector<std::string>{"one (null)", "(null) and b", "a and (null)"}), log.messages);
}

TEST(XMLHandler, LongEndTagMismatchIsReportedWithBothNames) {
  std::string open(600, 'o');
  std::string close(600, 'c');
  Document doc("<" + open + "></" + close + ">");
  ErrorLog log;
  EXPECT_FALSE(XMLParser(&log).parse(doc.text));
  EXPECT_EQ((std::vector<std::string>{"Mismatched end tag found: " + close + " != " + open}), log.messages);
}

}  // namespace
