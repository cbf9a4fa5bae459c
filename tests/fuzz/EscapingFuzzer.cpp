// Fuzz target: escaping and decoding, and the outbound messages built from
// fuzz-chosen values.
//
// Input: a text (the bytes before the first NUL). First, substituteEntries of the
// text must give exactly the escaped form of a reference table (or null when the
// text needs none), and decodeEntities of that must give back the text.
// Then the text is cut at each tab into values (the one byte 0x7F stands for a null
// value), and the library builds from them a data response, an error response, an
// event, an event error and a task response with outputs. Each must be byte for
// byte the documented layout, and XMLParser must accept it and give back every
// value. Ids, group names and subnodes are written unescaped, so they come from
// fixed lists, never from the input.
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "api/Connection.h"
#include "api/DataResponse.h"
#include "api/EventsAndTasks.h"
#include "api/RowFormat.h"
#include "cpclient.h"
#include "tests/support/ReferenceEscape.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"
#include "xml/XMLParser.h"

namespace {

constexpr size_t MAX_INPUT_LENGTH = size_t{8} * 1024;  // six times that fits into one socket buffer
constexpr size_t MAX_VALUES = 64;
constexpr char VALUE_SEPARATOR = '\t';
constexpr const char* NULL_VALUE = "\x7f";
constexpr const char* DATA_ID = "17";
constexpr const char* TASK_ID = "t-9";
const char* const SUBNODES[] = {nullptr, "disk1", "host:disk_2.a", ""};

using fuzz::check;

void checkRoundTrip(const std::string& text) {
  char* escaped = nullptr;
  substituteEntries(text.c_str(), &escaped);
  std::string expected = referenceEscape(text);
  if (expected == text) {
    check(escaped == nullptr);
  } else {
    check(escaped != nullptr && expected == escaped);
  }
  std::string written = escaped ? escaped : text;
  free(escaped);
  char* decoded = static_cast<char*>(malloc(written.size() + 1));
  check(decoded != nullptr);
  memcpy(decoded, written.c_str(), written.size() + 1);
  XMLHandler silent;
  check(decodeEntities(&silent, decoded));
  check(text == decoded);
  free(decoded);
}

// The attributes whose values the messages carry.
const char* const WATCHED_ATTRIBUTES[] = {"v", "value", "inst", "name"};

// Records every element start with its watched attributes, and whether an error came.
class CollectingHandler : public XMLHandler {
 public:
  struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
  };
  void startElement(const char* name, HashTable* attributes) override {
    Element e;
    e.name = name;
    for (const char* watched : WATCHED_ATTRIBUTES)
      if (const char* value = static_cast<const char*>(attributes->get(watched))) e.attributes[watched] = value;
    elements.push_back(e);
  }
  void fatalError(const char*) override { failed = true; }

  // The values of attribute of every element named name, in document order; an
  // element without the attribute gives a null entry.
  std::vector<const std::string*> valuesOf(const char* name, const char* attribute) const {
    std::vector<const std::string*> values;
    for (const Element& e : elements) {
      if (e.name != name) continue;
      auto found = e.attributes.find(attribute);
      values.push_back(found == e.attributes.end() ? nullptr : &found->second);
    }
    return values;
  }

  std::vector<Element> elements;
  bool failed = false;
};

// Parses the message as the agent would get it; it must be accepted.
void parseAccepted(const std::string& message, CollectingHandler& handler) {
  char* text = static_cast<char*>(malloc(message.size() + 1));
  check(text != nullptr);
  memcpy(text, message.c_str(), message.size() + 1);
  XMLParser parser(&handler);
  check(parser.parse(text));
  check(!handler.failed);
  free(text);
}

// A value as the parser gives it back: a null value is written as "".
bool sameValues(const std::vector<const std::string*>& parsed, const std::vector<char*>& values, size_t from,
                size_t count) {
  if (parsed.size() != count) return false;
  for (size_t i = 0; i < count; i++) {
    const char* v = values[from + i];
    if (!parsed[i] || *parsed[i] != (v ? v : "")) return false;
  }
  return true;
}

std::string escapedValue(const char* value) { return value ? referenceEscape(value) : ""; }

std::string rowOf(const std::vector<char*>& values, size_t from, size_t count) {
  std::string row = "<in><al>";
  for (size_t i = from; i < from + count; i++) row += "<a v=\"" + escapedValue(values[i]) + "\"/>";
  return row + "</al></in>";
}

std::string eventHead(const char* subnode, const char* group) {
  std::string head = "<pureEvent";
  if (subnode) head += std::string(" subnode=\"") + subnode + "\"";
  return head + "><attrGroup name=\"" + group + "\">";
}

uint32_t hashOf(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

struct Inputs {
  std::vector<std::string> texts;  // owns the bytes that values points into
  std::vector<char*> values;
  const fuzz::GroupSpec* group = nullptr;
  const char* subnode = nullptr;
  int rc = 0;
  size_t rowWidth = 1;
};

// Fills *in from text; its values point into its own texts, so it is filled in place.
void inputsFrom(const std::string& text, Inputs* in) {
  size_t start = 0;
  for (;;) {
    size_t tab = text.find(VALUE_SEPARATOR, start);
    in->texts.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos || in->texts.size() == MAX_VALUES) break;
    start = tab + 1;
  }
  for (std::string& t : in->texts) in->values.push_back(t == NULL_VALUE ? nullptr : &t[0]);
  uint32_t h = hashOf(text);
  in->group = &fuzz::GROUPS[h % fuzz::GROUP_COUNT];
  in->subnode = SUBNODES[(h >> 8) % (sizeof SUBNODES / sizeof SUBNODES[0])];
  in->rc = static_cast<int>(h);
  in->rowWidth = 1 + (h >> 16) % 4;
}

void checkDataResponse(const Inputs& in, fuzz::AgentPair& agent) {
  AGPTR* group = fuzz::registeredGroup(in.group->name);
  check(pendingPut(strdup(DATA_ID), group));
  std::string expected =
      std::string("<dataResponse id=\"") + DATA_ID + "\"><attrGroup name=\"" + in.group->name + "\">";
  size_t rows = 0;
  for (size_t from = 0; from < in.values.size(); from += in.rowWidth, rows++) {
    size_t count = std::min(in.rowWidth, in.values.size() - from);
    std::vector<char*> row(in.values.begin() + static_cast<long>(from),
                           in.values.begin() + static_cast<long>(from + count));
    check(cp_SetAttributeValues(row.data(), static_cast<int>(count), DATA_ID) == CP_OK);
    expected += rowOf(in.values, from, count);
  }
  expected += "</attrGroup></dataResponse>\n";
  check(cp_SendData(DATA_ID) == CP_OK);
  std::string sent = agent.drain();
  check(sent == expected);
  check(!pendingGet(DATA_ID));

  CollectingHandler parsed;
  parseAccepted(sent, parsed);
  check(sameValues(parsed.valuesOf("a", "v"), in.values, 0, in.values.size()));
  check(parsed.valuesOf("in", "x").size() == rows);
}

void checkErrorResponse(const Inputs& in, fuzz::AgentPair& agent) {
  AGPTR* group = fuzz::registeredGroup(in.group->name);
  check(pendingPut(strdup(DATA_ID), group));
  check(cp_SetAttributeValues(const_cast<char**>(in.values.data()), static_cast<int>(in.values.size()), DATA_ID) ==
        CP_OK);  // dropped by the error
  check(cp_SendError(in.rc, DATA_ID) == CP_OK);
  std::string sent = agent.drain();
  check(sent == std::string("<dataResponse id=\"") + DATA_ID + "\"><attrGroup name=\"" + in.group->name +
                    "\"><error rc=\"" + std::to_string(in.rc) + "\"/></attrGroup></dataResponse>\n");
  check(group->responseBuffer->length() == 0);
  CollectingHandler parsed;
  parseAccepted(sent, parsed);
}

void checkEvents(const Inputs& in, fuzz::AgentPair& agent) {
  int count = static_cast<int>(in.values.size());
  check(cp_SendEventData(const_cast<char**>(in.values.data()), count, in.group->groupId, in.subnode) == CP_OK);
  std::string sent = agent.drain();
  check(sent ==
        eventHead(in.subnode, in.group->name) + rowOf(in.values, 0, in.values.size()) + "</attrGroup></pureEvent>\n");
  CollectingHandler parsed;
  parseAccepted(sent, parsed);
  check(sameValues(parsed.valuesOf("a", "v"), in.values, 0, in.values.size()));

  check(cp_SendEventError(in.rc, in.group->groupId, in.subnode) == CP_OK);
  sent = agent.drain();
  check(sent == eventHead(in.subnode, in.group->name) + "<error rc=\"" + std::to_string(in.rc) +
                    "\"/></attrGroup></pureEvent>\n");
  CollectingHandler parsedError;
  parseAccepted(sent, parsedError);
}

void checkTaskResponse(const Inputs& in, fuzz::AgentPair& agent) {
  // The instances are the values backwards, for the first half of the outputs.
  std::vector<char*> insts(in.values.rbegin(), in.values.rend());
  size_t instCount = in.values.size() / 2;
  char* key = strdup(TASK_ID);
  check(pendingPut(key, key));
  int count = static_cast<int>(in.values.size());
  check(cp_SendTaskRC(in.rc, TASK_ID, insts.data(), static_cast<int>(instCount), const_cast<char**>(in.values.data()),
                      count) == CP_OK);
  check(!pendingGet(TASK_ID));
  std::string expected = std::string("<taskResponse id=\"") + TASK_ID + "\" rc=\"" + std::to_string(in.rc) + "\">";
  for (size_t i = 0; i < in.values.size(); i++) {
    expected += "<output value=\"" + escapedValue(in.values[i]) + "\"";
    if (i < instCount && insts[i]) expected += " inst=\"" + escapedValue(insts[i]) + "\"";
    expected += "/>";
  }
  expected += "</taskResponse>";
  std::string sent = agent.drain();
  check(sent == expected);

  CollectingHandler parsed;
  parseAccepted(sent, parsed);
  check(sameValues(parsed.valuesOf("output", "value"), in.values, 0, in.values.size()));
  std::vector<const std::string*> parsedInsts = parsed.valuesOf("output", "inst");
  for (size_t i = 0; i < in.values.size(); i++) {
    bool hasInst = i < instCount && insts[i];
    check(hasInst ? parsedInsts[i] && *parsedInsts[i] == insts[i] : parsedInsts[i] == nullptr);
  }
}

bool setUp() {
  fuzz::silenceTrace();
  // The registration message, built once: its group names are fixed.
  CollectingHandler parsed;
  parseAccepted(fuzz::enterRegisteredState(), parsed);
  check(parsed.valuesOf("attrGroup", "name").size() == static_cast<size_t>(fuzz::GROUP_COUNT));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool ready = setUp();
  (void)ready;
  if (size > MAX_INPUT_LENGTH) return 0;
  const char* data = reinterpret_cast<const char*>(bytes);
  std::string text(data, strnlen(data, size));
  checkRoundTrip(text);

  Inputs in;
  inputsFrom(text, &in);
  fuzz::AgentPair agent(SOCK_STREAM);
  check(agent.ok());
  agent.installAsAgent();
  checkDataResponse(in, agent);
  checkErrorResponse(in, agent);
  checkEvents(in, agent);
  checkTaskResponse(in, agent);
  check(cpContext.pending->entryCount() == 0);
  return 0;
}
