// Data responses and error responses: the rows gathered for a request id, then one send.
#include "api/DataResponse.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "api/RowFormat.h"
#include "host/Trace.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

namespace {

constexpr const char* RESPONSE_MARK = "<dataResponse";
constexpr size_t RESPONSE_MARK_LENGTH = 13;

// <dataResponse id="ID"><attrGroup name="NAME">
void appendHead(StringBuffer& buffer, const char* id, const char* groupName) {
  buffer.append("<dataResponse id=\"");
  buffer.append(id);
  buffer.append("\"><attrGroup name=\"");
  buffer.append(groupName);
  buffer.append("\">");
}

// Whether the buffer holds a response under construction. A response starts the
// buffer, so the mark is looked for there first.
bool hasResponse(const StringBuffer& buffer) {
  if (buffer.data() && static_cast<size_t>(buffer.length()) >= RESPONSE_MARK_LENGTH &&
      memcmp(buffer.data(), RESPONSE_MARK, RESPONSE_MARK_LENGTH) == 0)
    return true;
  return buffer.find(RESPONSE_MARK) >= 0;
}

// The checks every data answer starts with: the state, the pending id and the
// group buffer's storage (noMemoryLine goes to the standard output when it has
// none). Returns CP_OK with *group set, or the result to return.
int beginAnswer(TraceScope& trc, const char* id, const char* noMemoryLine, AGPTR** group) {
  if (!inState(trc, __LINE__, REG_COMPLETE_STATE)) return CP_ILLEGAL_STATE;
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

// Writes message, then drops the group's response and ends id whatever the write
// did: CP_OK or CP_WRITE_FAILED.
int sendAndEnd(StringBuffer& message, AGPTR* group, const char* id) {
  int result = writeMessage(message);
  group->responseBuffer->setLength(0);
  pendingRemove(id);
  return result;
}

// One row as a caller gives it: UTF-8 values, with their lengths or null, or
// UTF-16 values (wide not null).
struct RowValues {
  char** values;
  const size_t* lengths;
  char16_t** wide;
  int count;
};

// cp_SetAttributeValues for either form of row.
int setAttributeValues(const RowValues& row, const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SetAttributeValues");
  CountedCall use(cpContext.users);
  AGPTR* group = nullptr;
  int result = beginAnswer(trc, id, "QrT cp_SetAttributeValues no memory in string buffer1\n", &group);
  if (result != CP_OK) return trc.exit(result);
  int count = row.count < 0 || (!row.values && !row.wide) ? 0 : row.count;

  StringBuffer& buffer = *group->responseBuffer;
  if (!hasResponse(buffer)) appendHead(buffer, id, group->name);
  int64_t need = 0;
  bool reserved = row.wide ? reserveAndAppendUtf16Row(buffer, row.wide, count, &need)
                           : reserveAndAppendRow(buffer, row.values, row.lengths, count, &need);
  if (!reserved) {
    printf("QrT cp_SetAttributeValues Out of Memory attempting to obtain %lld bytes1\n", static_cast<long long>(need));
    return trc.exit(CP_NO_MEMORY);
  }
  if (!buffer.data()) {
    printf("QrT cp_SetAttributeValues no memory in string buffer1\n");
    return trc.exit(CP_NO_MEMORY);
  }
  return trc.exit(CP_OK);
}

}  // namespace

int cp_SetAttributeValuesWithLengths(char** values, const size_t* lengths, int count, const char* id) {
  return setAttributeValues(RowValues{values, lengths, nullptr, count}, id);
}

int cp_SetAttributeValues(char** values, int count, const char* id) {
  return cp_SetAttributeValuesWithLengths(values, nullptr, count, id);
}

int setUtf16AttributeValues(char16_t** values, int count, const char* id) {
  return setAttributeValues(RowValues{nullptr, nullptr, values, count}, id);
}

int cp_SendData(const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SendData");
  CountedCall use(cpContext.users);
  AGPTR* group = nullptr;
  int result = beginAnswer(trc, id, "QrT cp_SendData no memory in string buffer\n", &group);
  if (result != CP_OK) return trc.exit(result);

  // <dataResponse id="ID"><attrGroup name="NAME"> rows </attrGroup></dataResponse>\n
  StringBuffer& buffer = *group->responseBuffer;
  if (!hasResponse(buffer)) appendHead(buffer, id, group->name);
  buffer.append("</attrGroup></dataResponse>\n");
  if (!buffer.data()) {
    printf("QrT cp_SendData no memory in string buffer\n");
    return trc.exit(CP_NO_MEMORY);
  }
  return trc.exit(sendAndEnd(buffer, group, id));
}

int cp_SendError(int rc, const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SendError");
  CountedCall use(cpContext.users);
  AGPTR* group = nullptr;
  int result = beginAnswer(trc, id, "QrT cp_SendError no memory in string buffer\n", &group);
  if (result != CP_OK) return trc.exit(result);

  // <dataResponse id="ID"><attrGroup name="NAME"><error rc="RC"/></attrGroup></dataResponse>\n
  StringBuffer message(MESSAGE_CAPACITY);
  appendHead(message, id, group->name);
  message.append("<error rc=\"");
  message.appendInt(rc);
  message.append("\"/></attrGroup></dataResponse>\n");
  if (!message.data()) {
    printf("QrT cp_SendError no memory in string buffer\n");
    return trc.exit(CP_NO_MEMORY);
  }
  return trc.exit(sendAndEnd(message, group, id));
}
