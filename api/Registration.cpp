// Attribute-group registration and the vexaRegister message.
#include "api/Registration.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "host/Trace.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

namespace {

constexpr int REGISTRATION_VERSION = 5;

// Makes the context's index of group numbers from the registry, which is fixed from
// now on: each number once, ascending, with its first group in registry order.
// Without memory for it there is no index, and lookups walk the registry.
void indexGroupNumbers(ConnectionContext& c) {
  free(c.groupNumbers);
  c.groupNumbers = nullptr;
  c.groupNumberCount = 0;
  int count = c.registry->entryCount();
  GroupNumber* numbers = count > 0 ? static_cast<GroupNumber*>(malloc(sizeof(GroupNumber) * count)) : nullptr;
  if (!numbers) return;
  int position = 0;
  HashTableIterator it = c.registry->iterator();
  while (it.hasNext() && position < count) {
    it.next();
    const AGPTR* group = static_cast<const AGPTR*>(it.value());
    numbers[position] = GroupNumber{group->groupId, position, group->name};
    position++;
  }
  std::sort(numbers, numbers + position, [](const GroupNumber& a, const GroupNumber& b) {
    return a.groupId != b.groupId ? a.groupId < b.groupId : a.position < b.position;
  });
  int kept = 0;
  for (int i = 0; i < position; i++)
    if (kept == 0 || numbers[kept - 1].groupId != numbers[i].groupId) numbers[kept++] = numbers[i];
  c.groupNumbers = numbers;
  c.groupNumberCount = kept;
}

// The first group in registry order with groupId through the index, or null.
const char* indexedGroupName(const ConnectionContext& c, int groupId) {
  const GroupNumber* begin = c.groupNumbers;
  const GroupNumber* end = begin + c.groupNumberCount;
  const GroupNumber* found =
      std::lower_bound(begin, end, groupId, [](const GroupNumber& entry, int id) { return entry.groupId < id; });
  return found != end && found->groupId == groupId ? found->name : nullptr;
}

}  // namespace

void freeGroup(AGPTR* group) {
  free(group->name);
  delete group->responseBuffer;
  free(group);
}

int cp_RegisterAttrGroup(const char* name, int version, int groupId) {
  CP_TRACE_ENTRY(trc, "cp_RegisterAttrGroup");
  ConnectionContext& c = cpContext;
  if (!inState(trc, __LINE__, OPEN_SOCKET_STATE)) return trc.exit(CP_ILLEGAL_STATE);
  AGPTR* group = static_cast<AGPTR*>(calloc(1, sizeof(AGPTR)));
  if (!group) {
    CP_TRACE(trc, TRC_ERROR, "malloc failed for creating AGPTR.");
    return trc.exit(CP_ILLEGAL_STATE);
  }
  group->name = name ? strdup(name) : nullptr;
  if (!group->name) {
    CP_TRACE(trc, TRC_ERROR, "strdup failed for agPtr->name.");
    free(group);
    return trc.exit(CP_ILLEGAL_STATE);
  }
  group->version = version;
  group->groupId = groupId;
  group->responseBuffer = new (std::nothrow) StringBuffer(c.initialBufferSize);
  if (group->responseBuffer) group->responseBuffer->setGrowthPercent(c.growthPercent);
  // A name registered again: the new record takes the earlier one's entry, key and
  // place in the registry's order, and the earlier record goes.
  void* earlier = nullptr;
  if (!group->responseBuffer || !c.registry->replace(group->name, group, &earlier)) {
    CP_TRACE(trc, TRC_ERROR, "malloc failed for creating AGPTR.");
    freeGroup(group);
    return trc.exit(CP_ILLEGAL_STATE);
  }
  if (earlier) freeGroup(static_cast<AGPTR*>(earlier));
  return trc.exit(CP_OK);
}

int cp_RegistrationComplete() {
  CP_TRACE_ENTRY(trc, "cp_RegistrationComplete");
  ConnectionContext& c = cpContext;
  if (!inState(trc, __LINE__, OPEN_SOCKET_STATE)) return trc.exit(CP_ILLEGAL_STATE);
  // <vexaRegister ver="5"[ threaded="1"]><attrGroupList>
  //   <attrGroup name="NAME" ver="V"/>... (registry order, names unescaped)
  // </attrGroupList></vexaRegister>\n
  StringBuffer message(MESSAGE_CAPACITY);
  message.append("<vexaRegister ver=\"");
  message.appendInt(REGISTRATION_VERSION);
  message.append("\"");
  if (c.threaded) message.append(" threaded=\"1\"");
  message.append("><attrGroupList>");
  HashTableIterator it = c.registry->iterator();
  while (it.hasNext()) {
    it.next();
    const AGPTR* group = static_cast<const AGPTR*>(it.value());
    message.append("<attrGroup name=\"");
    message.append(group->name);
    message.append("\" ver=\"");
    message.appendInt(group->version);
    message.append("\"/>");
  }
  message.append("</attrGroupList></vexaRegister>\n");

  int result = writeMessage(message);
  indexGroupNumbers(c);  // before the state: a call that sees the state sees the index
  c.state = REG_COMPLETE_STATE;
  return trc.exit(result);
}

const char* getAttrGroup(int groupId) {
  CP_TRACE_ENTRY(trc, "getAttrGroup");
  if (!cpContext.registry) return trc.exit(static_cast<const char*>(nullptr));
  if (cpContext.groupNumbers) return trc.exit(indexedGroupName(cpContext, groupId));
  HashTableIterator it = cpContext.registry->iterator();
  while (it.hasNext()) {
    it.next();
    const AGPTR* group = static_cast<const AGPTR*>(it.value());
    if (group->groupId == groupId) return trc.exit(static_cast<const char*>(group->name));
  }
  return trc.exit(static_cast<const char*>(nullptr));
}
