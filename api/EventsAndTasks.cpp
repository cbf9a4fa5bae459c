// Events, event errors and task responses.
#include "api/EventsAndTasks.h"

#include <cstdio>

#include "api/Registration.h"
#include "api/RowFormat.h"
#include "host/Trace.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

namespace {

// Room of the block on the stack that an event is built in: an event of one row of
// some 60 values of 20 bytes fits, and a larger one moves to the heap.
constexpr int EVENT_STORAGE = 4096;

// The checks of both event forms: the state and the group. Returns CP_OK with
// *name set, or the result to return.
int beginEvent(TraceScope& trc, int groupId, const char** name) {
  if (!inState(trc, __LINE__, REG_COMPLETE_STATE)) return CP_ILLEGAL_STATE;
  *name = getAttrGroup(groupId);
  return *name ? CP_OK : CP_UNKNOWN_GROUP;
}

// <pureEvent[ subnode="SUBNODE"]><attrGroup name="NAME">
void appendEventHead(StringBuffer& buffer, const char* subnode, const char* name) {
  if (subnode) {
    buffer.appendLiteral("<pureEvent subnode=\"");
    buffer.append(subnode);
    buffer.appendLiteral("\"><attrGroup name=\"");
  } else {
    buffer.appendLiteral("<pureEvent><attrGroup name=\"");
  }
  buffer.append(name);
  buffer.appendLiteral("\">");
}

}  // namespace

int cp_SendEventData(char** values, int count, int groupId, const char* subnode) {
  CP_TRACE_ENTRY(trc, "cp_SendEventData");
  CountedCall use(cpContext.users);
  const char* name = nullptr;
  int result = beginEvent(trc, groupId, &name);
  if (result != CP_OK) return trc.exit(result);
  if (count < 0 || !values) count = 0;

  // <pureEvent[ subnode="S"]><attrGroup name="NAME"> row </attrGroup></pureEvent>\n
  char storage[EVENT_STORAGE + 1];
  StringBuffer message(StringBuffer::Storage{storage, EVENT_STORAGE});
  appendEventHead(message, subnode, name);
  int64_t bound = 0;
  bool built = reserveAndAppendRow(message, values, nullptr, count, &bound);
  if (built) message.appendLiteral("</attrGroup></pureEvent>\n");
  if (!built || !message.data()) {
    printf("QrT cp_SendEventData Out of Memory attempting to obtain %lld bytes\n", static_cast<long long>(bound));
    return trc.exit(CP_NO_MEMORY);
  }
  return trc.exit(writeMessage(message));
}

int cp_SendEventError(int rc, int groupId, const char* subnode) {
  CP_TRACE_ENTRY(trc, "cp_SendEventError");
  CountedCall use(cpContext.users);
  const char* name = nullptr;
  int result = beginEvent(trc, groupId, &name);
  if (result != CP_OK) return trc.exit(result);

  // <pureEvent[ subnode="S"]><attrGroup name="NAME"><error rc="RC"/></attrGroup></pureEvent>\n
  char storage[MESSAGE_CAPACITY + 1];
  StringBuffer message(StringBuffer::Storage{storage, MESSAGE_CAPACITY});
  appendEventHead(message, subnode, name);
  message.append("<error rc=\"");
  message.appendInt(rc);
  message.append("\"/></attrGroup></pureEvent>\n");
  return trc.exit(message.data() ? writeMessage(message) : CP_NO_MEMORY);
}

int cp_SendTaskRC(int rc, const char* id) {
  CP_TRACE_ENTRY(trc, "cp_SendTaskRC");
  return trc.exit(cp_SendTaskRC(rc, id, nullptr, 0, nullptr, 0));
}

int cp_SendTaskRC(int rc, const char* id, char** insts, int instCount, char** values, int valueCount) {
  CP_TRACE_ENTRY(trc, "cp_SendTaskRC(outputs)");
  CountedCall use(cpContext.users);
  if (cpContext.state != REG_COMPLETE_STATE || cpContext.closing.load(std::memory_order_seq_cst))
    return trc.exit(CP_ILLEGAL_STATE);
  if (!pendingGet(id)) {
    CP_TRACE(trc, TRC_ERROR, "Did not find id %s", id ? id : "(null)");
    return trc.exit(CP_ID_NOT_PENDING);
  }
  pendingRemove(id);  // from here on the id is no longer pending, whatever happens

  // <taskResponse id="ID" rc="RC"/> or <taskResponse id="ID" rc="RC"> outputs </taskResponse>,
  // with no line feed after it.
  StringBuffer message("<taskResponse id=\"");
  message.append(id);
  message.append("\" rc=\"");
  message.appendInt(rc);
  message.append("\"");
  if (values && valueCount > 0) {
    message.append(">");
    appendTaskOutputs(message, values, valueCount, insts, instCount);
    message.append("</taskResponse>");
  } else {
    message.append("/>");
  }
  return trc.exit(message.data() ? writeMessage(message) : CP_NO_MEMORY);
}

void appendTaskOutputs(StringBuffer& buffer, char** values, int count, char** insts, int instCount) {
  for (int i = 0; i < count; i++) {
    buffer.append("<output value=\"");
    if (values[i]) appendEscaped(buffer, values[i]);
    buffer.append("\"");
    if (insts && i < instCount && insts[i]) {
      buffer.append(" inst=\"");
      appendEscaped(buffer, insts[i]);
      buffer.append("\"");
    }
    buffer.append("/>");
  }
}
