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

// A row of UTF-8 values, with their lengths or null.
struct Utf8Row {
  char** values;
  const size_t* lengths;
};

bool writeUtf8Row(StringBuffer& buffer, const void* row, int count, int64_t* need) {
  const Utf8Row& utf8 = *static_cast<const Utf8Row*>(row);
  return reserveAndAppendRow(buffer, utf8.values, utf8.lengths, count, need);
}

}  // namespace

int setAttributeValuesWith(RowWriter write, const void* row, int count, const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SetAttributeValues");
  CountedCall use(cpContext.users);
  AGPTR* group = nullptr;
  int result = beginAnswer(trc, id, "QrT cp_SetAttributeValues no memory in string buffer1\n", &group);
  if (result != CP_OK) return trc.exit(result);

  StringBuffer& buffer = *group->responseBuffer;
  if (!hasResponse(buffer)) appendHead(buffer, id, group->name);
  int64_t need = 0;
  if (!write(buffer, row, count, &need)) {
    printf("QrT cp_SetAttributeValues Out of Memory attempting to obtain %lld bytes1\n", static_cast<long long>(need));
    return trc.exit(CP_NO_MEMORY);
  }
  if (!buffer.data()) {
    printf("QrT cp_SetAttributeValues no memory in string buffer1\n");
    return trc.exit(CP_NO_MEMORY);
  }
  return trc.exit(CP_OK);
}

int cp_SetAttributeValuesWithLengths(char** values, const size_t* lengths, int count, const char* id) {
  Utf8Row row{values, lengths};
  return setAttributeValuesWith(writeUtf8Row, &row, count < 0 || !values ? 0 : count, id);
}

int cp_SetAttributeValues(char** values, int count, const char* id) {
  return cp_SetAttributeValuesWithLengths(values, nullptr, count, id);
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
