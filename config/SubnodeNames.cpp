// Subnode sections, keys, indexes, per-subnode variables and instance environments.
#include "config/SubnodeNames.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "host/Trace.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

CP_TRACE_UNIT("1.0");

namespace {

const char* const COUNT_NAME = "COUNT";
const char* const DEFAULT_NAME = "DEFAULT";
const size_t DEFAULT_NAME_LENGTH = 7;
const int NO_COUNT = -1;  // getHighestSubnodeIndex: the type has no count

char* copyText(const char* text) { return text ? strdup(text) : nullptr; }

const char* orNull(const char* text) { return text ? text : "<null>"; }

// Appends PC "_" TYPE "_", the start of every property name of a subnode type.
void appendTypePrefix(StringBuffer& name, const char* productCode, const char* type) {
  name.append(productCode);
  name.appendChar('_');
  name.append(type);
  name.appendChar('_');
}

// PC "_" TYPE "_" KIND "_" N, N in decimal; a new text, null when memory runs out.
char* newIndexedName(const char* productCode, const char* type, const char* kind, int index) {
  StringBuffer name;
  appendTypePrefix(name, productCode, type);
  name.append(kind);
  name.appendChar('_');
  name.appendInt(index);
  return copyText(name.data());
}

// Appends "_N" for a subnode index of 1 or more, else "_DEFAULT".
void appendIndexSuffix(StringBuffer& name, int index) {
  name.appendChar('_');
  if (index >= 1)
    name.appendInt(index);
  else
    name.append(DEFAULT_NAME);
}

bool isKeyCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

bool endsWith(const char* text, const char* suffix) {
  size_t length = strlen(text);
  size_t suffixLength = strlen(suffix);
  return length > suffixLength && memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
}

// What removeSubnodeProperties collects: the names under the type's prefix that end
// with the index suffix or with that suffix's companion. names has room for every property.
struct DoomedNames {
  const char* suffix;
  const char* companionSuffix;
  const char** names;
  int count;
};

bool collectDoomedName(const char* name, const char*, void* context) {
  DoomedNames& doomed = *static_cast<DoomedNames*>(context);
  if (endsWith(name, doomed.suffix) || endsWith(name, doomed.companionSuffix)) doomed.names[doomed.count++] = name;
  return true;
}

// Puts copies of name and value into env, releasing the copies of an earlier entry
// for name. False when memory runs out (env is then unchanged).
bool putCopies(HashTable* env, const char* name, const char* value) {
  char* nameCopy = copyText(name);
  char* valueCopy = copyText(value);
  if (nameCopy && valueCopy) {
    char* oldName = nullptr;
    free(env->remove(nameCopy, &oldName));
    free(oldName);
    if (env->put(nameCopy, valueCopy)) return true;
  }
  free(nameCopy);
  free(valueCopy);
  return false;
}

// One pass of getSubnodeInstanceEnv over the properties under the type's prefix.
struct InstanceEnvPass {
  HashTable* env;
  size_t prefixLength;
  const char* index;  // the subnode's index text, or null
  bool defaults;      // false: the subnode's own values; true: the defaults it lacks
  int instanceCount;
  int defaultCount;
  bool complete;  // false once memory has run out
};

// Takes name=value into the table when the last component of name (after its last inner
// '_') is the subnode's index (instance pass), or for a variable the table lacks, matches
// "DEFAULT" over its own length up to 7 (defaults pass). The variable ends at that '_'.
bool takeInstanceVariable(const char* name, const char* value, void* context) {
  InstanceEnvPass& pass = *static_cast<InstanceEnvPass*>(context);
  char* cut = copyText(name);
  if (!cut) return pass.complete = false;
  char* underscore = nullptr;  // the last '_' that is not the final character
  for (size_t i = strlen(cut) - 1; !underscore && i-- > 0;)
    if (cut[i] == '_') underscore = cut + i;
  if (underscore) {
    *underscore = '\0';
    const char* component = underscore + 1;
    // Just past the prefix; when the cut is the prefix's own '_', this is the component.
    const char* var = cut + pass.prefixLength;
    size_t componentLength = strlen(component);
    if (componentLength > DEFAULT_NAME_LENGTH) componentLength = DEFAULT_NAME_LENGTH;
    if (!pass.defaults && pass.index && strcmp(component, pass.index) == 0) {
      pass.complete = putCopies(pass.env, var, value);
      pass.instanceCount++;
    } else if (pass.defaults && strncmp(component, DEFAULT_NAME, componentLength) == 0 && !pass.env->contains(var)) {
      pass.complete = putCopies(pass.env, var, value);
      pass.defaultCount++;
    }
  }
  free(cut);
  return pass.complete;
}

}  // namespace

char* sanitizeSubnodeId(const char* id) {
  if (!id) return nullptr;
  char* key = static_cast<char*>(malloc(strlen(id) + 1));
  if (!key) return nullptr;
  char* out = key;
  for (const char* p = id; *p; p++)
    if (isKeyCharacter(*p)) *out++ = *p;
  *out = '\0';
  return key;
}

char* makeIdLabelName(const char* productCode, const char* type, int index) {
  return newIndexedName(productCode, type, "IDLABEL", index);
}

char* makeSectionIdName(const char* productCode, const char* type, int index) {
  return newIndexedName(productCode, type, "SECTIONID", index);
}

// Trace output names these methods ConfigMap::NAME: trace filters and readers look
// for those names.

int Subnodes::addSection(const char* section, const char* id) {
  CP_TRACE_ENTRY(trc, "ConfigMap::addSection");
  if (!section) return trc.exit(NOT_SUBNODE_SECTION);
  int n = getHighestSubnodeIndex(section);
  if (!id || !*id) {
    if (n == NO_COUNT) {
      CP_TRACE(trc, TRC_DETAIL, "Section %s does not appear to be a subnode section", section);
      return trc.exit(NOT_SUBNODE_SECTION);
    }
    CP_TRACE(trc, TRC_DETAIL, "Defaults section %s found", section);
    return trc.exit(DEFAULTS_SECTION);
  }
  if (n == NO_COUNT) {
    n = 1;
    CP_TRACE(trc, TRC_DETAIL, "Adding section %s ID %s with number 1 (new subnode type)", section, id);
  } else if (n == INT_MAX) {
    // A count read from a property can stand at the top already; one more would wrap.
    CP_TRACE(trc, TRC_ERROR, "Section %s has no number left for ID %s", section, id);
    return trc.exit(INVALID_SUBNODE_ID);
  } else {
    n = n + 1;
    CP_TRACE(trc, TRC_DETAIL, "Adding section %s ID %s with number %d (new subnode)", section, id, n);
  }
  if (n >= 1) {  // not so for a count stored as a negative number other than -1
    const char* pc = map.productCode();
    char* key = sanitizeSubnodeId(id);
    char* labelName = makeIdLabelName(pc, section, n);
    char* sectionIdName = makeSectionIdName(pc, section, n);
    if (!key || !labelName || !sectionIdName) {
      CP_TRACE(trc, TRC_ERROR, "No memory to add section %s ID %s", section, id);
      n = INVALID_SUBNODE_ID;
    } else if (*key) {
      map.setEnvProperty(labelName, key, true, false);
      if (strcmp(key, id) != 0) map.setEnvProperty(sectionIdName, id, true, false);
    } else {
      CP_TRACE_ALWAYS(trc, "Invalid subnode id %s, ignoring", id);
      n = INVALID_SUBNODE_ID;
    }
    free(key);
    free(labelName);
    free(sectionIdName);
  }
  if (n >= 1) setHighestSubnodeIndex(section, n);
  return trc.exit(n);
}

void Subnodes::removeSection(const char* section, const char* id) {
  CP_TRACE_ENTRY(trc, "ConfigMap::removeSection");
  const char* pc = map.productCode();
  char* index = getSubnodeIndex(pc, id, section);
  if (!index) return;
  int n = atoi(index);
  char* labelName = makeIdLabelName(pc, section, n);
  char* sectionIdName = makeSectionIdName(pc, section, n);
  map.removeConfigurationProperty(labelName);
  map.removeConfigurationProperty(sectionIdName);
  free(labelName);
  free(sectionIdName);
  free(index);
}

int Subnodes::getHighestSubnodeIndex(const char* type) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getHighestSubnodeIndex");
  if (!type) return trc.exit(NO_COUNT);
  StringBuffer name;
  appendTypePrefix(name, map.productCode(), type);
  name.append(COUNT_NAME);
  const char* value = name.data() ? map.get(name.data()) : nullptr;
  return trc.exit(value ? atoi(value) : NO_COUNT);
}

void Subnodes::setHighestSubnodeIndex(const char* section, int n) {
  CP_TRACE_ENTRY(trc, "ConfigMap::setHighestSubnodeIndex");
  if (!section) return;
  CP_TRACE(trc, TRC_DETAIL, "Found repeatable section %s number %d", section, n);
  StringBuffer name;
  appendTypePrefix(name, map.productCode(), section);
  name.append(COUNT_NAME);
  StringBuffer number;
  number.appendInt(n);
  if (name.data() && number.data())
    map.setEnvProperty(name.data(), number.data(), true, false);
  else
    CP_TRACE(trc, TRC_ERROR, "No memory to store the count of section %s", section);
}

char* Subnodes::getSubnodeIndex(const char* productCode, const char* subnodeKey, const char* type) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getSubnodeIndex");
  char* label = sanitizeSubnodeId(subnodeKey);
  int n = getHighestSubnodeIndex(type);
  char* result = nullptr;
  // i counts up to n and never past it: n may be INT_MAX.
  for (int i = 0; label && i < n;) {
    i++;
    const char* key = getSubnodeKey(productCode, type, i);
    if (key && strcmp(key, label) == 0) {
      StringBuffer number;
      number.appendInt(i);
      result = copyText(number.data());
      break;
    }
  }
  if (n != NO_COUNT)
    CP_TRACE(trc, TRC_DETAIL, "Returning index = %s for subnode key %s", orNull(result), orNull(label));
  free(label);
  trc.exit(result);
  return result;
}

const char* Subnodes::getSubnodeKey(const char* productCode, const char* type, int index, const char** traceText) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getSubnodeKey");
  if (traceText) *traceText = nullptr;
  if (!productCode) productCode = "";
  CP_TRACE(trc, TRC_DETAIL, "Lookup of pc=%s subnodeTYpe=%s index=%d", productCode, orNull(type), index);
  if (!type) return trc.exit(nullptr);
  char* labelName = makeIdLabelName(productCode, type, index);
  const char* key = labelName ? map.get(labelName) : nullptr;
  if (key && !*key) key = nullptr;
  const char* shown = key && (traceText || trc.on(TRC_EVENTS)) ? map.shownValue(labelName, key) : nullptr;
  free(labelName);
  if (traceText) *traceText = shown;
  trc.exit(shown);
  return key;
}

const char* Subnodes::getSubnodeSectionId(const char* type, int index) {
  if (!type) return nullptr;
  const char* pc = map.productCode();
  char* sectionIdName = makeSectionIdName(pc, type, index);
  const char* id = sectionIdName ? map.get(sectionIdName) : nullptr;
  free(sectionIdName);
  if (id) return id;
  char* labelName = makeIdLabelName(pc, type, index);
  id = labelName ? map.get(labelName) : nullptr;
  free(labelName);
  return id;
}

void Subnodes::setSubnodeProperty(const char* type, int index, const char* var, const char* value, bool hideInTrace) {
  CP_TRACE_ENTRY(trc, "ConfigMap::setSubnodeProperty");
  if (!type || !var) return;
  StringBuffer name;
  appendTypePrefix(name, map.productCode(), type);
  name.append(var);
  appendIndexSuffix(name, index);
  if (name.data())
    map.setEnvProperty(name.data(), value, true, hideInTrace);
  else
    CP_TRACE(trc, TRC_ERROR, "No memory to store variable %s of section %s", var, type);
}

void Subnodes::removeSubnodeProperties(const char* type, int index) {
  CP_TRACE_ENTRY(trc, "ConfigMap::removeSubnodeProperties");
  if (!type || map.propertyCount() == 0) return;
  StringBuffer prefix;
  appendTypePrefix(prefix, map.productCode(), type);
  StringBuffer suffix;
  appendIndexSuffix(suffix, index);
  StringBuffer companionSuffix(suffix.data());
  companionSuffix.append(TRACE_COMPANION_SUFFIX);
  // Collected first, removed afterwards: the walk must not see the table change.
  DoomedNames doomed = {suffix.data(), companionSuffix.data(),
                        static_cast<const char**>(malloc(sizeof(char*) * static_cast<size_t>(map.propertyCount()))), 0};
  if (!prefix.data() || !suffix.data() || !companionSuffix.data() || !doomed.names) {
    free(doomed.names);
    CP_TRACE(trc, TRC_ERROR, "No memory to remove the variables of section %s index %d", type, index);
    return;
  }
  // A name equal to the prefix ends in '_', so it never ends with either suffix.
  map.forEachProperty(prefix.data(), collectDoomedName, &doomed);
  // Each pointer is the stored name of a distinct entry, valid until its own removal.
  for (int i = 0; i < doomed.count; i++) map.removeConfigurationProperty(doomed.names[i]);
  free(doomed.names);
}

const char* Subnodes::getSubnodeConfigurationVariableInternal(const char* prefix, const char* type, const char* var,
                                                              const char* index, const char** traceText) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getSubnodeConfigurationVariableInternal");
  if (traceText) *traceText = nullptr;
  if (!type || !var) return trc.exit(nullptr);
  StringBuffer instanceName;
  appendTypePrefix(instanceName, prefix, type);
  instanceName.append(var);
  instanceName.appendChar('_');
  StringBuffer defaultName(instanceName);
  instanceName.append(index);
  defaultName.append(DEFAULT_NAME);
  if (!instanceName.data() || !defaultName.data()) {
    CP_TRACE(trc, TRC_ERROR, "No memory to look up variable %s", var);
    return trc.exit(nullptr);
  }
  // The subnode's own value, else the type's default (both only when not empty), else var itself.
  const char* matched = nullptr;
  const char* value = nullptr;
  const char* const names[] = {instanceName.data(), defaultName.data(), var};
  for (const char* name : names) {
    matched = name;
    value = map.get(matched);
    if (value && *value) break;
  }
  if (value)
    CP_TRACE(trc, TRC_DETAIL, "found variable %s from property %s=%s", var, matched, map.traceValue(matched, value));
  else
    CP_TRACE(trc, TRC_DETAIL, "did not find variable %s", var);
  const char* shown = value && (traceText || trc.on(TRC_EVENTS)) ? map.shownValue(matched, value) : nullptr;
  if (traceText) *traceText = shown;
  trc.exit(shown);
  return value;
}

char* getSubnodeKey(const char* productCode, const char* subnodeType, int index) {
  CP_TRACE_ENTRY(trc, "getSubnodeKey");
  CP_TRACE(trc, TRC_DETAIL, "Lookup of pc=%s subnodeTYpe=%s index=%d", orNull(productCode), orNull(subnodeType), index);
  globalConfigMap.lock();
  const char* shown = nullptr;
  char* copy = copyText(Subnodes(globalConfigMap).getSubnodeKey(productCode, subnodeType, index, &shown));
  // Traced under the mutex: the text shown may belong to the map.
  if (copy) {
    CP_TRACE(trc, TRC_DETAIL, "Found subnode key %s for type %s, index = %d", shown, subnodeType, index);
    trc.exit(shown);
  }
  globalConfigMap.unlock();
  if (!copy) {
    CP_TRACE(trc, TRC_ERROR, "subnode key for subnode type %s not found", orNull(subnodeType));
    trc.exit(nullptr);
  }
  return copy;
}

char* getSubnodeIndex(const char* productCode, const char* subnodeKey, const char* subnodeType) {
  CP_TRACE_ENTRY(trc, "getSubnodeIndex");
  globalConfigMap.lock();
  char* index = Subnodes(globalConfigMap).getSubnodeIndex(productCode, subnodeKey, subnodeType);
  globalConfigMap.unlock();
  trc.exit(index);
  return index;
}

char** getSubnodeKeys(const char* subnodeType, int* count) {
  CP_TRACE_ENTRY(trc, "getSubnodeKeys");
  int ignoredCount = 0;
  if (!count) count = &ignoredCount;
  Subnodes subnodes(globalConfigMap);
  globalConfigMap.lock();
  *count = 0;
  int n = subnodes.getHighestSubnodeIndex(subnodeType);
  // One slot at least: no subnodes still give a real allocation.
  char** keys = static_cast<char**>(calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(char*)));
  const char* pc = keys && n > 0 ? globalConfigMap.productCode() : nullptr;
  // j counts up to n and never past it: n may be INT_MAX.
  for (int j = 0; keys && j < n;) {
    j++;
    const char* key = subnodes.getSubnodeKey(pc, subnodeType, j);
    if (!key) continue;
    keys[*count] = copyText(key);
    if (!keys[*count]) {
      for (int i = 0; i < *count; i++) free(keys[i]);
      free(keys);
      keys = nullptr;
      *count = 0;
      break;
    }
    (*count)++;
  }
  if (keys && n <= 0) CP_TRACE(trc, TRC_DETAIL, "Found no subnode instances of type %s", orNull(subnodeType));
  if (keys && n > 0) CP_TRACE(trc, TRC_DETAIL, "Found %d subnode instances of type %s", *count, subnodeType);
  globalConfigMap.unlock();
  if (!keys) CP_TRACE(trc, TRC_ERROR, "No memory for the subnode keys of type %s", orNull(subnodeType));
  trc.exit(*count);
  return keys;
}

char* getSubnodeConfigurationVariable(const char* prefix, const char* subnodeType, const char* variable,
                                      const char* index) {
  CP_TRACE_ENTRY(trc, "getSubnodeConfigurationVariable");
  globalConfigMap.lock();
  const char* shown = nullptr;
  char* copy = copyText(
      Subnodes(globalConfigMap).getSubnodeConfigurationVariableInternal(prefix, subnodeType, variable, index, &shown));
  trc.exit(copy ? shown : nullptr);  // under the mutex: shown may belong to the map
  globalConfigMap.unlock();
  return copy;
}

// The lookup shared by the locked and the unlocked subnode property entry points.
static const char* findSubnodeProperty(const char* variable, const char* subnodeType, const char* subnodeKey,
                                       const char** traceText) {
  Subnodes subnodes(globalConfigMap);
  const char* pc = globalConfigMap.productCode();
  char* index = subnodes.getSubnodeIndex(pc, subnodeKey, subnodeType);
  const char* value = subnodes.getSubnodeConfigurationVariableInternal(pc, subnodeType, variable, index, traceText);
  free(index);
  return value;
}

const char* getSubnodeConfigurationPropertyInternal(const char* variable, const char* subnodeType,
                                                    const char* subnodeKey, const char** traceText) {
  CP_TRACE_ENTRY(trc, "getSubnodeConfigurationPropertyInternal");
  const char* shown = nullptr;
  const char* value = findSubnodeProperty(variable, subnodeType, subnodeKey, &shown);
  if (traceText) *traceText = shown;
  trc.exit(shown);
  return value;
}

const char* cp_GetSubnodeConfigurationProperty(const char* name, const char* subnodeType, const char* subnodeKey) {
  CP_TRACE_ENTRY(trc, "cp_GetSubnodeConfigurationProperty");
  const char* shown = nullptr;
  const char* value = getSubnodeConfigurationPropertyInternal(name, subnodeType, subnodeKey, &shown);
  trc.exit(shown);
  return value;
}

char* getSubnodeConfigurationProperty(const char* variable, const char* subnodeType, const char* subnodeKey) {
  CP_TRACE_ENTRY(trc, "getSubnodeConfigurationProperty");
  globalConfigMap.lock();
  const char* shown = nullptr;
  char* copy = copyText(findSubnodeProperty(variable, subnodeType, subnodeKey, &shown));
  trc.exit(copy ? shown : nullptr);  // under the mutex: shown may belong to the map
  globalConfigMap.unlock();
  return copy;
}

HashTable* getSubnodeInstanceEnv(const char* subnodeKey, const char* subnodeType) {
  CP_TRACE_ENTRY(trc, "getSubnodeInstanceEnv");
  globalConfigMap.lock();
  const char* pc = globalConfigMap.productCode();
  StringBuffer prefix;
  appendTypePrefix(prefix, pc, subnodeType);
  char* index = Subnodes(globalConfigMap).getSubnodeIndex(pc, subnodeKey, subnodeType);
  HashTable* env = prefix.data() ? new (std::nothrow) HashTable() : nullptr;
  InstanceEnvPass pass = {env, static_cast<size_t>(prefix.length()), index, false, 0, 0, true};
  // A null type has no entries, like a type that was never added.
  if (env && subnodeType) {
    globalConfigMap.forEachProperty(prefix.data(), takeInstanceVariable, &pass);
    pass.defaults = true;
    if (pass.complete) globalConfigMap.forEachProperty(prefix.data(), takeInstanceVariable, &pass);
  }
  free(index);
  if (!pass.complete) {
    freeSubnodeInstanceEnv(env);
    env = nullptr;
    pass.instanceCount = pass.defaultCount = 0;
  }
  CP_TRACE(trc, TRC_DETAIL, "Found %d+%d variables for subnode %s:%s:%s", pass.instanceCount, pass.defaultCount, pc,
           orNull(subnodeKey), orNull(subnodeType));
  globalConfigMap.unlock();
  if (!env) CP_TRACE(trc, TRC_ERROR, "No memory for the instance environment of subnode %s", orNull(subnodeKey));
  trc.exit(env != nullptr);
  return env;
}

void freeSubnodeInstanceEnv(HashTable* env) {
  CP_TRACE_ENTRY(trc, "freeSubnodeInstanceEnv");
  if (!env) return;
  env->forEach(freeKeyAndValue, nullptr);
  delete env;
}
