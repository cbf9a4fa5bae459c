// Data responses, error responses, the row format and the escaping of values.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "api/VEXA.h"
#include "host/Trace.h"
#include "transport/ClientSocket.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

namespace {

constexpr const char* RESPONSE_MARK = "<dataResponse";
constexpr int64_t ROW_SLACK = 640;       // room for the row's tags beyond its values
constexpr int64_t VALUE_OVERHEAD = 18;   // <a v=""/> and some escaping, per value
constexpr int ERROR_CAPACITY = 256;
constexpr int MAX_ESCAPE_EXPANSION = 6;  // "&quot;" for '"'
constexpr const char* SPECIAL_CHARACTERS = "&'\"<>\n";

// <dataResponse id="ID"><attrGroup name="NAME">
void appendHead(StringBuffer& buffer, const char* id, const char* groupName) {
  buffer.append("<dataResponse id=\"");
  buffer.append(id);
  buffer.append("\"><attrGroup name=\"");
  buffer.append(groupName);
  buffer.append("\">");
}

const char* replacementOf(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    default: return "&#10;";  // line feed
  }
}

}  // namespace

int64_t rowBound(int64_t length, char** values, int count) {
  int64_t bound = length + ROW_SLACK;
  for (int i = 0; i < count; i++)
    if (values[i]) bound += static_cast<int64_t>(strlen(values[i])) + VALUE_OVERHEAD;
  return bound;
}

void substituteEntries(const char* text, char** escaped) {
  CP_TRACE_ENTRY(trc, "substituteEntries");
  *escaped = nullptr;
  const char* special = strpbrk(text, SPECIAL_CHARACTERS);
  if (!special) return;
  size_t length = strlen(text);
  char* out = length < (SIZE_MAX - 1) / MAX_ESCAPE_EXPANSION
                  ? static_cast<char*>(malloc(length * MAX_ESCAPE_EXPANSION + 1))
                  : nullptr;
  if (!out) {
    CP_TRACE(trc, TRC_ERROR, "malloc failed");
    return;
  }
  char* cursor = out;
  const char* rest = text;
  while (special) {
    size_t run = static_cast<size_t>(special - rest);
    memcpy(cursor, rest, run);
    cursor += run;
    const char* replacement = replacementOf(*special);
    size_t replacementLength = strlen(replacement);
    memcpy(cursor, replacement, replacementLength);
    cursor += replacementLength;
    rest = special + 1;
    special = strpbrk(rest, SPECIAL_CHARACTERS);
  }
  strcpy(cursor, rest);
  *escaped = out;
}

void appendRow(StringBuffer& buffer, char** values, int count) {
  buffer.append("<in><al>");
  for (int i = 0; i < count; i++) {
    buffer.append("<a v=\"");
    if (values[i]) {
      char* escaped = nullptr;
      substituteEntries(values[i], &escaped);
      buffer.append(escaped ? escaped : values[i]);
      free(escaped);
    }
    buffer.append("\"/>");
  }
  buffer.append("</al></in>");
}

namespace {

// The checks every data answer starts with: the state, the pending id and the
// group buffer's storage. Returns 0 with *group set, or the result to return.
int beginAnswer(TraceScope& trc, const char* id, const char* noMemoryLine, AGPTR** group) {
  if (cpContext.state != REG_COMPLETE_STATE) {
    CP_TRACE(trc, TRC_ERROR, "Called with illegal state.  Expected %d (REG_COMPLETE_STATE), got %d.",
             REG_COMPLETE_STATE, cpContext.state);
    return CP_ILLEGAL_STATE;
  }
  *group = pendingGroup(id);
  if (!*group) {
    CP_TRACE(trc, TRC_ERROR, "Did not find id %s", id ? id : "(null)");
    return CP_ID_NOT_PENDING;
  }
  if (!(*group)->responseBuffer->data()) {
    printf("%s", noMemoryLine);
    return CP_NO_MEMORY;
  }
  return CP_OK;
}

}  // namespace

int cp_SetAttributeValues(char** values, int count, const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SetAttributeValues");
  AGPTR* group = nullptr;
  int result = beginAnswer(trc, id, "QrT cp_SetAttributeValues no memory in string buffer1\n", &group);
  if (result != CP_OK) return trc.exit(__LINE__, result);
  if (count < 0 || !values) count = 0;

  StringBuffer& buffer = *group->responseBuffer;
  if (buffer.find(RESPONSE_MARK) < 0) appendHead(buffer, id, group->name);
  // Size the buffer once for the whole row; a bound beyond an int is refused
  // before the buffer is touched.
  int64_t need = rowBound(buffer.length(), values, count);
  if (need <= INT_MAX) buffer.reserve(static_cast<int>(need));
  if (need > INT_MAX || !buffer.data()) {
    printf("QrT cp_SetAttributeValues Out of Memory attempting to obtain %lld bytes1\n", static_cast<long long>(need));
    return trc.exit(__LINE__, CP_NO_MEMORY);
  }
  appendRow(buffer, values, count);
  if (!buffer.data()) {
    printf("QrT cp_SetAttributeValues no memory in string buffer1\n");
    return trc.exit(__LINE__, CP_NO_MEMORY);
  }
  return trc.exit(__LINE__, CP_OK);
}

int cp_SendData(const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SendData");
  AGPTR* group = nullptr;
  int result = beginAnswer(trc, id, "QrT cp_SendData no memory in string buffer\n", &group);
  if (result != CP_OK) return trc.exit(__LINE__, result);

  // <dataResponse id="ID"><attrGroup name="NAME"> rows </attrGroup></dataResponse>\n
  StringBuffer& buffer = *group->responseBuffer;
  if (buffer.find(RESPONSE_MARK) < 0) appendHead(buffer, id, group->name);
  buffer.append("</attrGroup></dataResponse>\n");
  if (!buffer.data()) {
    printf("QrT cp_SendData no memory in string buffer\n");
    return trc.exit(__LINE__, CP_NO_MEMORY);
  }
  result = cpContext.agent->write(buffer) ? CP_OK : CP_WRITE_FAILED;
  buffer.setLength(0);
  pendingRemove(id);
  return trc.exit(__LINE__, result);
}

int cp_SendError(int rc, const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SendError");
  AGPTR* group = nullptr;
  int result = beginAnswer(trc, id, "QrT cp_SendError no memory in string buffer\n", &group);
  if (result != CP_OK) return trc.exit(__LINE__, result);

  // <dataResponse id="ID"><attrGroup name="NAME"><error rc="RC"/></attrGroup></dataResponse>\n
  StringBuffer* message = new (std::nothrow) StringBuffer(ERROR_CAPACITY);
  if (message) {
    appendHead(*message, id, group->name);
    message->append("<error rc=\"");
    message->appendInt(rc);
    message->append("\"/></attrGroup></dataResponse>\n");
  }
  if (!message || !message->data()) {
    delete message;
    printf("QrT cp_SendError no memory in string buffer\n");
    return trc.exit(__LINE__, CP_NO_MEMORY);
  }
  result = cpContext.agent->write(*message) ? CP_OK : CP_WRITE_FAILED;
  delete message;
  group->responseBuffer->setLength(0);
  pendingRemove(id);
  return trc.exit(__LINE__, result);
}
