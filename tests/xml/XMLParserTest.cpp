#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/Document.h"
#include "xml/XMLParser.h"

namespace {

using namespace std::string_literals;
using Log = std::vector<std::string>;

// "start a" (emptyAttributeTable), "start a {x=1,y=2}" (sorted), "end a", "text [..]", "error ..".
struct RecordingHandler : XMLHandler {
  void startElement(const char* name, HashTable* attributes) override {
    std::string entry = "start "s + name;
    if (attributes != &emptyAttributeTable) {
      std::map<std::string, std::string> sorted;
      for (HashTableIterator it = attributes->iterator(); it.hasNext();) {
        it.next();
        sorted[it.key()] = static_cast<const char*>(it.value());
      }
      std::string joined;
      for (const auto& kv : sorted) joined += (joined.empty() ? "" : ",") + kv.first + "=" + kv.second;
      entry += " {" + joined + "}";
    }
    log.push_back(entry);
  }
  void endElement(const char* name) override { log.push_back("end "s + name); }
  void characters(const char* text) override { log.push_back("text ["s + text + "]"); }
  void fatalError(const char* message) override { log.push_back("error "s + message); }
  Log log;
};

// False comes with exactly one error, reported last; true with none.
void expectErrorOnlyOnFailure(bool ok, const Log& log) {
  int errors = 0;
  for (const std::string& entry : log) errors += entry.rfind("error ", 0) == 0;
  EXPECT_EQ(errors, ok ? 0 : 1);
  if (!ok && errors == 1) {
    EXPECT_EQ(log.back().rfind("error ", 0), 0u);
  }
}

struct ParseCase {
  const char* name;
  const char* input;
  Log log;
  bool ok;
  bool okWithoutHandlerDiffers = false;  // text runs are not decoded without a handler
};

const ParseCase kParseCases[] = {
    {"EmptyElementWithoutAttributes", "<a/>", {"start a", "end a"}, true},
    {"EmptyElementWithTwoAttributes", "<a x=\"1\" y=\"2\"/>", {"start a {x=1,y=2}", "end a"}, true},
    {"BlankBeforeSlashGivesParserTable", "<a />", {"start a {}", "end a"}, true},
    {"NestedEmptyElement", "<a><b/></a>", {"start a", "start b", "end b", "end a"}, true},
    {"OpenElementsAcceptedWhenTextEndsAtTag", "<a x=\"1\"><b>", {"start a {x=1}", "start b"}, true},
    {"TextRunsKeepBlanks",
     "<a> x <b/>  </a>",
     {"start a", "text [ x ]", "start b", "end b", "text [  ]", "end a"},
     true},
    {"TextAfterLastTagIgnored", "<a></a> tail &bogus;", {"start a", "end a"}, true},
    {"LtReferenceInText", "<a>1 &lt; 2</a>", {"start a", "text [1 < 2]", "end a"}, true},
    {"NamedReferencesInValue", "<a v=\"&lt;&gt;&amp;&quot;&apos;\"/>", {"start a {v=<>&\"'}", "end a"}, true},
    {"NumericReferencesInValue", "<a v=\"&#65;&#x42;\"/>", {"start a {v=AB}", "end a"}, true},
    {"UpperCaseXEndsValue", "<a v=\"A&#X42;B\"/>", {"start a {v=A}", "end a"}, true},
    {"AmpersandWithoutSemicolonStays", "<a v=\"x & y\"/>", {"start a {v=x & y}", "end a"}, true},
    {"ValueMayHoldMarkupAndNewlines", "<a v=\"<b>/>\n\"/>", {"start a {v=<b>/>\n}", "end a"}, true},
    {"BlankBeforeEqualsJoinsNameNoBlankNeededAfterValue", "<a x =\"1\"y=\"2\"  >", {"start a {x =1,y=2}"}, true},
    {"RepeatedAttributeKeepsLastValue", "<a x=\"1\" x=\"2\"/>", {"start a {x=2}", "end a"}, true},
    {"AttributesClearedBetweenTags",
     "<a x=\"1\"/><b y=\"2\"/>",
     {"start a {x=1}", "end a", "start b {y=2}", "end b"},
     true},
    {"CommentsAndDeclarationsSkipped", "<?xml v=\"1\"?><!-- <b> --><a><!--x--></a>", {"start a", "end a"}, true},

    {"TextAfterOpenElement", "<a><b>x", {"start a", "start b", "error Missing end tag for element: b"}, false},
    {"MismatchedEndTag", "<a></b>", {"start a", "error Mismatched end tag found: b != a"}, false},
    {"EndTagFirst", "</a>", {"error Unbalanced end tag found:"}, false},
    {"CommentCloseMayNotOverlapOpen", "<!-->", {"error Unfinished comment found"}, false},
    {"DeclarationCloseMayNotOverlapOpen", "<?>", {"error Unfinished declaration found"}, false},
    {"TextEndsInsideTagName", "<abc", {"error Cannot find end of tag"}, false},
    {"LessThanIsLastByte", "x<", {"text [x]", "error Cannot find end of tag"}, false},
    {"SlashAfterNameNotFollowedByGt", "<a/ >", {"error Incorrect end of tag"}, false},
    {"SlashAfterNameIsLastByte", "<a/", {"error Incorrect end of tag"}, false},
    {"EndTagWithAttribute", "<a></a x=\"1\">", {"start a", "error Element ending tags cannot have attributes"}, false},
    {"EndTagRunsToEndOfText", "<a></a", {"start a", "error Element ending tags cannot have attributes"}, false},
    {"TextEndsAfterAttributeValue", "<a x=\"1\"", {"error Cannot find end of tag or start of attribute"}, false},
    {"SlashAfterValueNotFollowedByGt", "<a x=\"1\"/ >", {"error Incorrect end of tag found"}, false},
    {"SlashAfterValueIsLastByte", "<a x=\"1\"/", {"error Incorrect end of tag found"}, false},
    {"AttributeWithoutEquals", "<a x>", {"error Cannot find start of attribute value"}, false},
    {"SingleQuotedValue", "<a x='1'/>", {"error Attribute value does not start with quote"}, false},
    {"BlankAfterEquals", "<a x= \"1\"/>", {"error Attribute value does not start with quote"}, false},
    {"EqualsIsLastByte", "<a x=", {"error Attribute value does not start with quote"}, false},
    {"ValueWithoutClosingQuote", "<a x=\"1/>", {"error Cannot find end of attribute value"}, false},
    {"EmptyEntityNameKeepsEarlierCallbacks",
     "<a><b/><c v=\"&;\"/>",
     {"start a", "start b", "end b", "error Entity name cannot be empty"},
     false},
    {"OneLetterEntityInValue", "<a v=\"&q;\"/>", {"error Unrecognized entity: q"}, false},
    {"BadEntityInLaterAttribute", "<a x=\"1\" y=\"&z;\"/>", {"error Unrecognized entity: z"}, false},
    {"BadEntityInText", "<a>x&nbsp;</a>", {"start a", "error Unrecognized entity: nbsp"}, false, true},
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesExactCallbacksAndResult) {
  const ParseCase& c = GetParam();
  Document doc(c.input), again(c.input);
  RecordingHandler handler;
  EXPECT_EQ(XMLParser(&handler).parse(doc.text), c.ok);
  EXPECT_EQ(handler.log, c.log);
  EXPECT_EQ(XMLParser(nullptr).parse(again.text), c.ok != c.okWithoutHandlerDiffers);
}

INSTANTIATE_TEST_SUITE_P(XMLParser, ParseTest, ::testing::ValuesIn(kParseCases),
                         [](const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(XMLParser, NullTextIsRejected) { EXPECT_FALSE(XMLParser(nullptr).parse(nullptr)); }

TEST(XMLParser, ElementStackIsEmptiedBetweenParses) {
  RecordingHandler handler;
  XMLParser parser(&handler);
  Document first("<a>"), second("</a>");
  EXPECT_TRUE(parser.parse(first.text));
  EXPECT_FALSE(parser.parse(second.text));
  EXPECT_EQ(handler.log, (Log{"start a", "error Unbalanced end tag found:"}));
}

TEST(XMLParser, LongErrorMessageArrivesWhole) {
  std::string name(1000, 'b');
  Document doc("<a></" + name + ">");
  RecordingHandler handler;
  XMLParser(&handler).parse(doc.text);
  EXPECT_EQ(handler.log.back(), "error Mismatched end tag found: " + name + " != a");
}

TEST(XMLParser, EveryPrefixOfARequestStaysInsideItsBuffer) {
  const std::string whole =
      "<?xml version=\"1.0\"?><!-- agent --><dataRequest id=\"17\" subnode=\"s&amp;1\"><attrGroup name=\"G&lt;\"/> "
      "<requestInfo name=\"n\" value=\"&#65;&#x42;\" op=\"EQ\"/></dataRequest>\n";
  for (size_t length = 0; length <= whole.size(); length++) {
    SCOPED_TRACE("prefix length " + std::to_string(length));
    Document doc(whole.substr(0, length)), again(whole.substr(0, length));
    RecordingHandler handler;
    expectErrorOnlyOnFailure(XMLParser(&handler).parse(doc.text), handler.log);
    XMLParser(nullptr).parse(again.text);
  }
}

// Every text of up to four bytes over the characters that drive the scanners.
TEST(XMLParser, EveryShortTextStaysInsideItsBuffer) {
  const std::string alphabet = "<>/=\"&;#x!-? a";
  std::vector<std::string> texts = {""};
  for (size_t from = 0, to = 1, length = 1; length <= 4; length++, from = to, to = texts.size())
    for (size_t i = from; i < to; i++)
      for (char c : alphabet) texts.push_back(texts[i] + c);
  for (const std::string& text : texts) {
    SCOPED_TRACE("text [" + text + "]");
    Document doc(text), decoded(text);
    RecordingHandler parsed, decodedLog;
    expectErrorOnlyOnFailure(XMLParser(&parsed).parse(doc.text), parsed.log);
    expectErrorOnlyOnFailure(decodeEntities(&decodedLog, decoded.text), decodedLog.log);
    if (HasFailure()) return;
  }
}

struct DecodeCase {
  const char* name;
  const char* input;
  std::string output;  // may hold a NUL produced by a reference
  const char* error;   // null: success
};

const DecodeCase kDecodeCases[] = {
    {"NamedReferenceAtEnd", "x&lt;", "x<", nullptr},
    {"AmpersandIsLastByte", "a&", "a&", nullptr},
    {"AmpersandWithoutSemicolon", "&amp", "&amp", nullptr},
    {"ReplacementNotDecodedAgain", "&amp;lt;", "&lt;", nullptr},
    {"HexWithoutDigitsIsZero", "a&#x;b", "a\0b"s, nullptr},
    {"HexWithoutDigitsAtEnd", "&#x;", "\0"s, nullptr},
    {"UpperCaseXReadAsDecimal", "&#X41;z", "\0z"s, nullptr},
    {"DecimalStopsAtNonDigit", "&#66x;", "B", nullptr},
    {"LowByteOfHexDecimalAndNegative", "&#x141;&#321;&#-191;", "AAA", nullptr},
    {"DecodingGoesOnPastNulByte", "&#0;&gt;", "\0>"s, nullptr},
    {"NumberSignAlone", "&#;", "&#", "Unrecognized entity: #"},
    {"NamesAreCaseSensitive", "&LT;", "&LT", "Unrecognized entity: LT"},
    {"NameRunsToNextSemicolon", "a & b;", "a & b", "Unrecognized entity:  b"},
    {"ErrorAfterGoodReference", "&lt;&;x", "<&", "Entity name cannot be empty"},
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, ReplacesInPlace) {
  const DecodeCase& c = GetParam();
  Document doc(c.input), again(c.input);
  RecordingHandler handler;
  EXPECT_EQ(decodeEntities(&handler, doc.text), c.error == nullptr);
  EXPECT_EQ(std::string(doc.text, c.output.size() + 1), c.output + '\0');
  EXPECT_EQ(handler.log, c.error ? Log{"error "s + c.error} : Log{});
  EXPECT_EQ(decodeEntities(nullptr, again.text), c.error == nullptr);
}

INSTANTIATE_TEST_SUITE_P(XMLParser, DecodeTest, ::testing::ValuesIn(kDecodeCases),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

}  // namespace
