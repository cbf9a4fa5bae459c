#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host/Trace.h"
#include "support/TraceCapture.h"
#include "xml/ClientRequestXMLHandler.h"
#include "xml/XMLParser.h"

namespace {

using Texts = std::vector<std::string>;

// Parses xml from a heap block of exactly its size, then scrubs and frees the block,
// so that the handler is read only through its own copies.
bool parseInto(ClientRequestXMLHandler& handler, const std::string& xml) {
  char* text = static_cast<char*>(malloc(xml.size() + 1));
  memcpy(text, xml.c_str(), xml.size() + 1);
  bool ok = XMLParser(&handler).parse(text);
  memset(text, '#', xml.size());
  free(text);
  return ok;
}

std::string str(const char* text) { return text ? text : "(null)"; }

// Every fact of the handler on one line: set flags, then the texts that are not null,
// then each request filter as [name,value,op,logOp].
std::string facts(ClientRequestXMLHandler& h) {
  std::string s;
  const std::pair<bool, const char*> flags[] = {{h.isDataRequest(), "data"},   {h.isTaskRequest(), "task"},
                                                {h.isStartRequest(), "start"}, {h.isStopRequest(), "stop"},
                                                {h.isShutdown(), "shutdown"},  {h.isShuttingDown(), "shuttingDown"}};
  for (const auto& flag : flags)
    if (flag.first) s += std::string(flag.second) + " ";
  const std::pair<const char*, const char*> texts[] = {{"group", h.getAttrGroup()},       {"id", h.getId()},
                                                       {"rsid", h.getRequestStartedID()}, {"subnode", h.getSubnode()},
                                                       {"command", h.getCommand()},       {"user", h.getUser()}};
  for (const auto& text : texts)
    if (text.second) s += std::string(text.first) + "=" + text.second + " ";
  for (RequestInfo* n = h.getRequestInfo(); n; n = n->next)
    s += "[" + str(n->name) + "," + str(n->value) + "," + str(n->op) + "," + str(n->logOp) + "] ";
  return s.empty() ? s : s.substr(0, s.size() - 1);
}

struct Case {
  const char* name;
  const char* xml;
  const char* facts;
  Texts traces;  // every line written under the detail and error bits, in order
};

const Case kCases[] = {
    {"Empty", "", "", {}},
    {"DataRequestWithAttrGroup",
     "<dataRequest id=\"7\"><attrGroup name=\"G\"/></dataRequest>\n",
     "data group=G id=7",
     {"requestStartedID is null"}},
    {"DataRequestWithoutId", "<dataRequest requestStartedID=\"3\"/>", "data rsid=3", {"id is null"}},
    {"TaskRequest",
     "<taskRequest id=\"t\"><task command=\"run &quot;x&quot;\" user=\"bob\"/></taskRequest>",
     "task id=t command=run \"x\" user=bob",
     {"received task request"}},
    {"TaskWithoutUserKeepsUser", "<task command=\"a\" user=\"u\"/><task command=\"b\"/>", "command=b user=u", {}},
    {"TaskRequestWithoutId", "<taskRequest/>", "task", {"received task request", "id is null"}},
    {"StartRequestNamesGroupInAg",
     "<startRequestInfo requestStartedID=\"5\" ag=\"G\"/>",
     "start group=G rsid=5",
     {"request started"}},
    {"StartRequestWithoutId",
     "<startRequestInfo/>",
     "start",
     {"request started", "request started - requestStartedID is null"}},
    {"StopRequestTrueMixedCase",
     "<stopRequestInfo requestStartedID=\"5\" ag=\"G\" shuttingDown=\"TrUe\"/>",
     "stop shuttingDown group=G rsid=5",
     {"request stopped"}},
    {"StopRequestTrueFromReference",
     "<stopRequestInfo shuttingDown=\"&#84;rue\"/>",
     "stop shuttingDown",
     {"request stopped"}},
    {"StopRequestBlankBeforeTrue", "<stopRequestInfo shuttingDown=\" TRUE\"/>", "stop", {"request stopped"}},
    {"StopRequestBlankAfterTrue", "<stopRequestInfo shuttingDown=\"TRUE \"/>", "stop", {"request stopped"}},
    {"StopRequestOtherWord", "<stopRequestInfo shuttingDown=\"TRUEX\"/>", "stop", {"request stopped"}},
    {"StopRequestClearsShuttingDown", "<shutdown/><stopRequestInfo/>", "stop shutdown", {"request stopped"}},
    {"ShutdownSetsBoth", "<shutdown/>", "shutdown shuttingDown", {}},
    {"LaterElementWins",
     "<dataRequest id=\"1\" requestStartedID=\"r\"/><taskRequest id=\"2\"/><attrGroup name=\"A\"/><attrGroup/>",
     "data task id=2 rsid=r",
     {"received task request"}},
    {"LastSubnodeOnAnyElementWins",
     "<x subnode=\"s1\"><attrGroup name=\"G\" subnode=\"s2\"/><y subnode=\"s3\"/></x>",
     "group=G subnode=s3",
     {"unknown element:<x>", "unknown element:<y>"}},
    {"NameInOtherCaseIsUnknown",
     "<DataRequest id=\"1\"/><Shutdown/>",
     "",
     {"unknown element:<DataRequest>", "unknown element:<Shutdown>"}},
    {"RequestInfoInDocumentOrder",
     "<r><requestInfo name=\"a\" value=\"1\" op=\"EQ\" logOp=\"AND\"/><requestInfo name=\"b\" value=\"2\"/>"
     "<requestInfo name=\"c\" value=\"3\" op=\"GT\"/></r>",
     "[a,1,EQ,AND] [b,2,(null),(null)] [c,3,GT,(null)]",
     {"unknown element:<r>", "request filter info", "received requestInfo a, val 1", "request filter info",
      "received requestInfo b, val 2", "request filter info", "received requestInfo c, val 3"}},
    {"RequestInfoWithoutNameOrValue",
     "<requestInfo value=\"v\"/><requestInfo/>",
     "[(null),v,(null),(null)] [(null),(null),(null),(null)]",
     {"request filter info", "request filter info - name is null", "received requestInfo (null), val v",
      "request filter info", "request filter info - name is null", "request filter info - value is null",
      "received requestInfo (null), val (null)"}},
    {"ParseErrorKeepsEarlierFacts",
     "<dataRequest id=\"9\" requestStartedID=\"1\"><attrGroup name=\"G\"/><requestInfo name=\"x\" value=\"&bad;\"/>",
     "data group=G id=9 rsid=1",
     {"Client request parse error found: Unrecognized entity: bad"}},
};

class HandlerTest : public ::testing::TestWithParam<Case> {};

TEST_P(HandlerTest, GathersExactFactsAndTraces) {
  TraceCapture cap(TRC_DETAIL | TRC_ERROR);
  ClientRequestXMLHandler h;
  parseInto(h, GetParam().xml);
  EXPECT_EQ(facts(h), GetParam().facts);
  EXPECT_EQ(cap.texts(), GetParam().traces);
}

INSTANTIATE_TEST_SUITE_P(ClientRequestXMLHandler, HandlerTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(ClientRequestXMLHandler, ParseErrorIsTracedAtEveryLevel) {
  TraceCapture cap(0);
  ClientRequestXMLHandler h;
  EXPECT_FALSE(parseInto(h, "<dataRequest id=\"1\"><attrGroup"));
  EXPECT_EQ(cap.texts(), Texts{"Client request parse error found: Cannot find end of tag"});
}

TEST(ClientRequestXMLHandler, AttrGroupExitEventCarriesTheValue) {
  ClientRequestXMLHandler h;
  parseInto(h, "<attrGroup name=\"Disk\"/>");
  TraceCapture cap(TRC_EVENTS);
  h.getAttrGroup();
  EXPECT_EQ(cap.texts(), (Texts{"> entry", "< exit \"Disk\""})) << cap.dump();
}

TEST(ClientRequestXMLHandler, DestructorReleasesEverything) {  // the leak checker reports what stays
  ClientRequestXMLHandler* h = new (std::nothrow) ClientRequestXMLHandler;
  ASSERT_NE(h, nullptr);
  parseInto(
      *h,
      "<taskRequest id=\"1\" subnode=\"s\"><task command=\"c\" user=\"u\"/></taskRequest><attrGroup name=\"G\"/>"
      "<dataRequest id=\"2\" requestStartedID=\"r\"/><stopRequestInfo requestStartedID=\"r2\" ag=\"H\" subnode=\"t\"/>"
      "<requestInfo name=\"a\" value=\"1\" op=\"EQ\" logOp=\"OR\"/><requestInfo/>");
  delete h;
}

TEST(ClientRequestXMLHandler, EveryPrefixOfARequestIsSafe) {
  const std::string whole =
      "<dataRequest id=\"17\" requestStartedID=\"3\" subnode=\"s&amp;1\"><attrGroup name=\"G&lt;1&gt;\"/>"
      "<requestInfo name=\"n\" value=\"&#65;&#x42;\" op=\"EQ\" logOp=\"AND\"/></dataRequest>\n";
  TraceCapture quiet(0);  // keeps the parse-error lines of the prefixes off the output
  for (size_t length = 0; length < whole.size(); length++) {
    ClientRequestXMLHandler h;
    parseInto(h, whole.substr(0, length));
  }
  ClientRequestXMLHandler h;
  EXPECT_TRUE(parseInto(h, whole));
  EXPECT_EQ(facts(h), "data group=G<1> id=17 rsid=3 subnode=s&1 [n,AB,EQ,AND]");
}

}  // namespace
