// Data responses, error responses and escaping, byte for byte over a loopback agent.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "api/ApiFixture.h"
#include "api/DataResponse.h"
#include "api/RowFormat.h"
#include "host/Trace.h"
#include "support/StdoutCapture.h"
#include "support/TraceCapture.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

namespace {

using Row = std::vector<const char*>;

class DataResponse : public ApiTest {
 protected:
  void SetUp() override {
    ApiTest::SetUp();
    openRegistered({{"Procs", 7}, {"Disks", 9}});
  }
  // Makes id pending for group through a real data request.
  void request(const char* id, const char* group = "Procs") {
    std::string message =
        std::string("<dataRequest id=\"") + id + "\"><attrGroup name=\"" + group + "\"/></dataRequest>\n";
    CPREQUEST* r = requestFor(message);
    ASSERT_EQ(DATA_REQUEST, r->requestType);
    cpdll_FreeRequest(r);
  }
  static int addRow(Row row, const char* id) {
    return cp_SetAttributeValues(const_cast<char**>(row.data()), static_cast<int>(row.size()), id);
  }
};

struct ResponseCase {
  const char* name;
  std::vector<Row> rows;
  const char* expected;
};

const std::string kQuotes(40, '"');
std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}
const std::string kQuotesEscaped = "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"" +
                                   repeat("&quot;", 40) + "\"/></al></in></attrGroup></dataResponse>\n";

const ResponseCase kResponses[] = {
    {"NoRowsSendsAnEmptyAttrGroup",
     {},
     "<dataResponse id=\"17\"><attrGroup name=\"Procs\"></attrGroup></dataResponse>\n"},
    {"TwoRowsOfTwoValues",
     {{"init", "1"}, {"sh & co", "42"}},
     "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"init\"/><a v=\"1\"/></al></in>"
     "<in><al><a v=\"sh &amp; co\"/><a v=\"42\"/></al></in></attrGroup></dataResponse>\n"},
    {"NullValueIsEmpty",
     {{nullptr, "x"}},
     "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"\"/><a "
     "v=\"x\"/></al></in></attrGroup></dataResponse>\n"},
    {"RowOfNoValues",
     {{}},
     "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al></al></in></attrGroup></dataResponse>\n"},
    {"RowsMayDifferInLength",
     {{"a"}, {"b", "c", "d"}},
     "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"a\"/></al></in>"
     "<in><al><a v=\"b\"/><a v=\"c\"/><a v=\"d\"/></al></in></attrGroup></dataResponse>\n"},
    {"SixSpecialCharactersAreEscaped",
     {{"a<b & \"c\"", "it's", "\n", "x>y"}},
     "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"a&lt;b &amp; &quot;c&quot;\"/>"
     "<a v=\"it&apos;s\"/><a v=\"&#10;\"/><a v=\"x&gt;y\"/></al></in></attrGroup></dataResponse>\n"},
    {"OtherBytesAreUnchanged",
     {{"\xc3\xa9\xff\x80", "tab\there\rcr", "&amp;"}},
     "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"\xc3\xa9\xff\x80\"/>"
     "<a v=\"tab\there\rcr\"/><a v=\"&amp;amp;\"/></al></in></attrGroup></dataResponse>\n"},
    {"ValueOfOnlyDoubleQuotes", {{kQuotes.c_str()}}, kQuotesEscaped.c_str()},
};

class DataResponseBytes : public DataResponse, public ::testing::WithParamInterface<ResponseCase> {};

TEST_P(DataResponseBytes, AreSentByteForByte) {
  const ResponseCase& c = GetParam();
  request("17");
  for (const Row& row : c.rows) ASSERT_EQ(CP_OK, addRow(row, "17"));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  EXPECT_EQ(c.expected, agent_.readMessage());
  EXPECT_FALSE(isPending("17"));
}

// The UTF-8 extension writes the same bytes as the rows above.
TEST_P(DataResponseBytes, AreTheSameThroughTheUtf8Extension) {
  const ResponseCase& c = GetParam();
  request("17");
  for (const Row& row : c.rows)
    ASSERT_EQ(CP_OK, cpdll_SetAttributeValuesUtf8(row.data(), static_cast<int>(row.size()), "17"));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  EXPECT_EQ(c.expected, agent_.readMessage());
}

INSTANTIATE_TEST_SUITE_P(Rows, DataResponseBytes, ::testing::ValuesIn(kResponses),
                         [](const ::testing::TestParamInfo<ResponseCase>& info) { return info.param.name; });

TEST_F(DataResponse, ErrorResponseCarriesTheCodeAndDropsTheRows) {
  request("17");
  ASSERT_EQ(CP_OK, addRow({"a", "b"}, "17"));
  ASSERT_EQ(CP_OK, addRow({"c"}, "17"));
  ASSERT_EQ(CP_OK, cpdll_SendError(-3, "17"));
  EXPECT_EQ("<dataResponse id=\"17\"><attrGroup name=\"Procs\"><error rc=\"-3\"/></attrGroup></dataResponse>\n",
            agent_.readMessage());
  TraceCapture trace(TRC_ERROR);
  EXPECT_EQ(CP_ID_NOT_PENDING, addRow({"late"}, "17"));
  EXPECT_TRUE(trace.has("Did not find id 17")) << trace.dump();
  // The next response of the group starts clean.
  request("18");
  ASSERT_EQ(CP_OK, cpdll_SendData("18"));
  EXPECT_EQ("<dataResponse id=\"18\"><attrGroup name=\"Procs\"></attrGroup></dataResponse>\n", agent_.readMessage());
}

TEST_F(DataResponse, AnsweredIdIsNoLongerPending) {
  request("17");
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  agent_.readMessage();
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SendData("17"));
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SendError(1, "17"));
  EXPECT_EQ(CP_ID_NOT_PENDING, addRow({"x"}, "17"));
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SendData(nullptr));
  EXPECT_EQ("", agent_.readAll(100));
}

TEST_F(DataResponse, RowsOfTwoIdsOfOneGroupMergeUnderTheFirst) {
  request("17");
  request("18");
  ASSERT_EQ(CP_OK, addRow({"a"}, "17"));
  ASSERT_EQ(CP_OK, addRow({"b"}, "18"));
  ASSERT_EQ(CP_OK, cpdll_SendData("18"));
  EXPECT_EQ(
      "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"a\"/></al></in>"
      "<in><al><a v=\"b\"/></al></in></attrGroup></dataResponse>\n",
      agent_.readMessage());
  EXPECT_TRUE(isPending("17"));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  EXPECT_EQ("<dataResponse id=\"17\"><attrGroup name=\"Procs\"></attrGroup></dataResponse>\n", agent_.readMessage());
}

TEST_F(DataResponse, GroupsBuildTheirResponsesIndependently) {
  request("1", "Procs");
  request("2", "Disks");
  ASSERT_EQ(CP_OK, addRow({"p"}, "1"));
  ASSERT_EQ(CP_OK, addRow({"d"}, "2"));
  ASSERT_EQ(CP_OK, cpdll_SendData("2"));
  ASSERT_EQ(CP_OK, cpdll_SendData("1"));
  EXPECT_EQ(
      "<dataResponse id=\"2\"><attrGroup name=\"Disks\"><in><al><a v=\"d\"/></al></in></attrGroup></dataResponse>\n",
      agent_.readMessage());
  EXPECT_EQ(
      "<dataResponse id=\"1\"><attrGroup name=\"Procs\"><in><al><a v=\"p\"/></al></in></attrGroup></dataResponse>\n",
      agent_.readMessage());
}

TEST_F(DataResponse, IdPendingForATaskIsNeverTakenForAGroup) {
  cpdll_FreeRequest(requestFor("<taskRequest id=\"t\"><task command=\"c\"/></taskRequest>\n"));
  TraceCapture trace(TRC_ERROR);
  EXPECT_EQ(CP_ID_NOT_PENDING, addRow({"x"}, "t"));
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SendData("t"));
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SendError(1, "t"));
  EXPECT_EQ(3, trace.count("Did not find id t")) << trace.dump();
  EXPECT_TRUE(isPending("t"));
  EXPECT_EQ("", agent_.readAll(100));
}

TEST_F(DataResponse, WrongStateIsRefusedWithItsLine) {
  request("17");
  cpdll_CloseConnection();
  openConnected();
  TraceCapture trace(TRC_ERROR);
  EXPECT_EQ(CP_ILLEGAL_STATE, addRow({"x"}, "17"));
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_SendData("17"));
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_SendError(1, "17"));
  EXPECT_EQ(3, trace.count("Called with illegal state.  Expected 2 (REG_COMPLETE_STATE), got 1.")) << trace.dump();
}

TEST_F(DataResponse, FailedWriteEndsTheIdAllTheSame) {
  request("17");
  request("18", "Disks");
  ASSERT_EQ(CP_OK, addRow({"x"}, "17"));
  TraceCapture quiet(0);
  agent_.resetClient();
  int first = CP_OK;
  for (int i = 0; i < 50 && first == CP_OK; i++) {  // the reset may take a moment to arrive
    usleep(5000);
    first = cpdll_SendEventError(1, 7);
  }
  ASSERT_EQ(CP_WRITE_FAILED, first);
  EXPECT_EQ(CP_WRITE_FAILED, cpdll_SendData("17"));
  EXPECT_FALSE(isPending("17"));
  EXPECT_EQ(CP_WRITE_FAILED, cpdll_SendError(2, "18"));
  EXPECT_FALSE(isPending("18"));
}

TEST_F(DataResponse, NegativeCountOrNullArrayAddsAnEmptyRow) {
  request("17");
  ASSERT_EQ(CP_OK, cp_SetAttributeValues(nullptr, 3, "17"));
  const char* value = "v";
  ASSERT_EQ(CP_OK, cp_SetAttributeValues(const_cast<char**>(&value), -2, "17"));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  EXPECT_EQ(
      "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al></al></in><in><al></al></in>"
      "</attrGroup></dataResponse>\n",
      agent_.readMessage());
}

TEST_F(DataResponse, RowWhoseBoundDoesNotFitIsRefusedAndTheResponseSurvives) {
  request("17");
  ASSERT_EQ(CP_OK, addRow({"first"}, "17"));
  // 2,200 references to one 1 MB value: a bound above 2^31 without the memory.
  std::string big(1 << 20, 'x');
  std::vector<char*> huge(2200, const_cast<char*>(big.c_str()));
  StdoutCapture out;
  EXPECT_EQ(CP_NO_MEMORY, cp_SetAttributeValues(huge.data(), static_cast<int>(huge.size()), "17"));
  std::string console = out.text();
  EXPECT_EQ(0u, console.find("QrT cp_SetAttributeValues Out of Memory attempting to obtain ")) << console;
  EXPECT_NE(std::string::npos, console.find(" bytes1\n"));
  EXPECT_TRUE(isPending("17"));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  EXPECT_EQ(
      "<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a "
      "v=\"first\"/></al></in></attrGroup></dataResponse>\n",
      agent_.readMessage());
}

TEST_F(DataResponse, ResponseBufferGrowsToTheBoundAndIsReused) {
  request("17");
  StringBuffer* buffer = static_cast<AGPTR*>(cpContext.registry->get("Procs"))->responseBuffer;
  std::string value(3000, 'v');
  ASSERT_EQ(CP_OK, addRow({value.c_str(), value.c_str()}, "17"));
  // head (46) + 640 + 2 * (3000 + 18), doubled by the growth percent of 100
  EXPECT_EQ(2 * (46 + 640 + 2 * 3018), buffer->capacity());
  int capacity = buffer->capacity();
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  agent_.readMessage();
  EXPECT_EQ(0, buffer->length());
  request("18");
  ASSERT_EQ(CP_OK, addRow({value.c_str(), value.c_str()}, "18"));
  EXPECT_EQ(capacity, buffer->capacity());
}

struct Utf16Case {
  const char* name;
  std::u16string value;
  const char* escaped;
};

const Utf16Case kUtf16[] = {
    {"Ascii", u"plain", "plain"},
    {"TwoAndThreeByteCharacters", u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac"},
    {"SurrogatePairBecomesFourBytes", u"\U0001F600", "\xf0\x9f\x98\x80"},
    {"LoneHighSurrogateBecomesReplacement", std::u16string(1, char16_t(0xD800)) + u"x", "\xef\xbf\xbdx"},
    {"LoneLowSurrogateBecomesReplacement", std::u16string(1, char16_t(0xDC00)), "\xef\xbf\xbd"},
    {"EscapingAppliesAfterConversion", u"<\u00e9>", "&lt;\xc3\xa9&gt;"},
};

class Utf16Row : public DataResponse, public ::testing::WithParamInterface<Utf16Case> {};

TEST_P(Utf16Row, IsConvertedToUtf8BeforeEscaping) {
  const Utf16Case& c = GetParam();
  request("17");
  std::u16string value = c.value;
  std::u16string id = u"17";
  char16_t* values[] = {&value[0], nullptr};
  ASSERT_EQ(CP_OK, cpdll_SetAttributeValues(values, 2, &id[0]));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  EXPECT_EQ(std::string("<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al><a v=\"") + c.escaped +
                "\"/><a v=\"\"/></al></in></attrGroup></dataResponse>\n",
            agent_.readMessage());
}

INSTANTIATE_TEST_SUITE_P(Values, Utf16Row, ::testing::ValuesIn(kUtf16),
                         [](const ::testing::TestParamInfo<Utf16Case>& info) { return info.param.name; });

TEST_F(DataResponse, Utf8ExtensionGivesTheResultsOfTheUtf16Row) {
  const char* row[] = {"v"};
  std::u16string value = u"v", unknown = u"99";
  char16_t* values[] = {&value[0]};
  EXPECT_EQ(cpdll_SetAttributeValues(values, 1, &unknown[0]), cpdll_SetAttributeValuesUtf8(row, 1, "99"));
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SetAttributeValuesUtf8(row, 1, "99"));
  cpdll_CloseConnection();
  EXPECT_EQ(CP_ILLEGAL_STATE, cpdll_SetAttributeValuesUtf8(row, 1, "17"));
}

TEST_F(DataResponse, Utf16RowWithNoValuesOrAnUnknownId) {
  request("17");
  std::u16string id = u"17";
  std::u16string other = u"99";
  EXPECT_EQ(CP_OK, cpdll_SetAttributeValues(nullptr, 0, &id[0]));
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SetAttributeValues(nullptr, 0, &other[0]));
  EXPECT_EQ(CP_ID_NOT_PENDING, cpdll_SetAttributeValues(nullptr, 0, nullptr));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  EXPECT_EQ("<dataResponse id=\"17\"><attrGroup name=\"Procs\"><in><al></al></in></attrGroup></dataResponse>\n",
            agent_.readMessage());
}

// Rows on both sides of the limits of the one-block conversion (64 values, 4 KiB
// of UTF-8 with the id): every one must give the bytes of its UTF-8 form escaped.
struct WideUtf16Case {
  const char* name;
  int count;
  size_t units;   // per value
  char16_t unit;  // the value's units, with "<&" at its end
};

const WideUtf16Case kWideUtf16[] = {
    {"SixtyFourValues", 64, 10, u'v'},
    {"SixtyFiveValues", 65, 10, u'v'},
    {"AsciiValueUnderTheBlock", 1, 4000, u'v'},
    {"AsciiValueOverTheBlock", 1, 4095, u'v'},
    {"TwoByteUnitsFillingTheBlockExactly", 1, 2045, u'\u00e9'},  // "17" NUL, 4090 bytes, "<&" NUL
    {"TwoByteUnitsOneOverTheBlock", 1, 2046, u'\u00e9'},
    {"ThreeByteUnitsUnderTheBlock", 1, 1363, u'\u20ac'},
    {"ThreeByteUnitsOverTheBlock", 1, 1364, u'\u20ac'},
    {"TwoByteUnitsAcrossManyValues", 60, 30, u'\u00e9'},
};

std::string utf8Of(char16_t unit) {
  if (unit < 0x80) return std::string(1, static_cast<char>(unit));
  if (unit < 0x800) return {static_cast<char>(0xC0 | (unit >> 6)), static_cast<char>(0x80 | (unit & 0x3F))};
  return {static_cast<char>(0xE0 | (unit >> 12)), static_cast<char>(0x80 | ((unit >> 6) & 0x3F)),
          static_cast<char>(0x80 | (unit & 0x3F))};
}

class WideUtf16Row : public DataResponse, public ::testing::WithParamInterface<WideUtf16Case> {};

TEST_P(WideUtf16Row, GivesTheEscapedUtf8OfEveryValue) {
  const WideUtf16Case& c = GetParam();
  request("17");
  std::u16string value = std::u16string(c.units, c.unit) + u"<&";
  std::string utf8;
  for (size_t k = 0; k < c.units; k++) utf8 += utf8Of(c.unit);
  std::u16string id = u"17";
  std::vector<char16_t*> values(static_cast<size_t>(c.count), &value[0]);
  ASSERT_EQ(CP_OK, cpdll_SetAttributeValues(values.data(), c.count, &id[0]));
  ASSERT_EQ(CP_OK, cpdll_SendData("17"));
  std::string row = "<in><al>";
  for (int i = 0; i < c.count; i++) row += "<a v=\"" + utf8 + "&lt;&amp;\"/>";
  row += "</al></in>";
  EXPECT_EQ("<dataResponse id=\"17\"><attrGroup name=\"Procs\">" + row + "</attrGroup></dataResponse>\n",
            agent_.readMessage());
}

INSTANTIATE_TEST_SUITE_P(Rows, WideUtf16Row, ::testing::ValuesIn(kWideUtf16),
                         [](const ::testing::TestParamInfo<WideUtf16Case>& info) { return info.param.name; });

struct EscapeCase {
  const char* text;
  const char* escaped;  // null: no copy is made
};

TEST(SubstituteEntries, CopiesOnlyWhenSomethingNeedsEscaping) {
  const EscapeCase cases[] = {
      {"", nullptr},       {"plain text", nullptr}, {"\t\r\xe9", nullptr},
      {"&", "&amp;"},      {"<>", "&lt;&gt;"},      {"\"'", "&quot;&apos;"},
      {"a\nb", "a&#10;b"}, {"end&", "end&amp;"},    {"&&&", "&amp;&amp;&amp;"},
  };
  for (const EscapeCase& c : cases) {
    SCOPED_TRACE(c.text);
    char* escaped = reinterpret_cast<char*>(1);
    substituteEntries(c.text, &escaped);
    if (c.escaped) {
      ASSERT_NE(nullptr, escaped);
      EXPECT_STREQ(c.escaped, escaped);
    } else {
      EXPECT_EQ(nullptr, escaped);
    }
    free(escaped);
  }
}

}  // namespace
