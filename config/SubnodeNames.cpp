// Subnode sections, keys, indexes, per-subnode variables and instance environments.
#include "config/SubnodeNames.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
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

char* copyText(const char* text) { return text ? strdup(text) : nullptr; }

const char* orNull(const char* text) { return text ? text : "<null>"; }

char* newFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* newFormatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length < 0) return nullptr;
  char* text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (!text) return nullptr;
  va_start(args, format);
  vsnprintf(text, static_cast<size_t>(length) + 1, format, args);
  va_end(args);
  return text;
}

// Appends PC "_" TYPE "_", the start of every property name of a subnode type.
void appendTypePrefix(StringBuffer& name, const char* productCode, const char* type) {
  name.append(productCode);
  name.appendChar('_');
  name.append(type);
  name.appendChar('_');
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

bool endsWith(const char* text, size_t length, const char* suffix, size_t suffixLength) {
  return length > suffixLength && memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
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
  return newFormatted("%s_%s_IDLABEL_%d", productCode, type, index);
}

char* makeSectionIdName(const char* productCode, const char* type, int index) {
  return newFormatted("%s_%s_SECTIONID_%d", productCode, type, index);
}

int ConfigMap::addSection(const char* section, const char* id) {
  CP_TRACE_ENTRY(trc, "ConfigMap::addSection");
  if (!section) return trc.exit(__LINE__, -1);
  int n = getHighestSubnodeIndex(section);
  bool hasId = id && *id;
  if (n == -1 && !hasId) {
    CP_TRACE(trc, TRC_DETAIL, "Section %s does not appear to be a subnode section", section);
    return trc.exit(__LINE__, -1);
  }
  if (n == -1) {
    n = 1;
    CP_TRACE(trc, TRC_DETAIL, "Adding section %s ID %s with number 1 (new subnode type)", section, id);
  } else if (!hasId) {
    CP_TRACE(trc, TRC_DETAIL, "Defaults section %s found", section);
    return trc.exit(__LINE__, 0);
  } else if (n == INT_MAX) {
    // A count read from a property can stand at the top already; one more would wrap.
    CP_TRACE(trc, TRC_ERROR, "Section %s has no number left for ID %s", section, id);
    return trc.exit(__LINE__, -3);
  } else {
    n = n + 1;
    CP_TRACE(trc, TRC_DETAIL, "Adding section %s ID %s with number %d (new subnode)", section, id, n);
  }
  if (n >= 1) {
    const char* pc = productCode();
    char* key = sanitizeSubnodeId(id);
    char* labelName = makeIdLabelName(pc, section, n);
    char* sectionIdName = makeSectionIdName(pc, section, n);
    if (!key || !labelName || !sectionIdName) {
      CP_TRACE(trc, TRC_ERROR, "No memory to add section %s ID %s", section, id);
      n = -3;
    } else if (*key) {
      setEnvProperty(labelName, key, true, false);
      if (strcmp(key, id) != 0) setEnvProperty(sectionIdName, id, true, false);
    } else {
      CP_TRACE_ALWAYS(trc, "Invalid subnode id %s, ignoring", id);
      n = -3;
    }
    free(key);
    free(labelName);
    free(sectionIdName);
  }
  if (n >= 1) setHighestSubnodeIndex(section, n);
  return trc.exit(__LINE__, n);
}

void ConfigMap::removeSection(const char* section, const char* id) {
  CP_TRACE_ENTRY(trc, "ConfigMap::removeSection");
  const char* pc = productCode();
  char* index = getSubnodeIndex(pc, id, section);
  if (!index) return;
  int n = atoi(index);
  char* labelName = makeIdLabelName(pc, section, n);
  char* sectionIdName = makeSectionIdName(pc, section, n);
  removeConfigurationProperty(labelName);
  removeConfigurationProperty(sectionIdName);
  free(labelName);
  free(sectionIdName);
  free(index);
}

int ConfigMap::getHighestSubnodeIndex(const char* type) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getHighestSubnodeIndex");
  if (!type) return trc.exit(__LINE__, -1);
  StringBuffer name;
  appendTypePrefix(name, productCode(), type);
  name.append(COUNT_NAME);
  const char* value = name.data() ? get(name.data()) : nullptr;
  return trc.exit(__LINE__, value ? atoi(value) : -1);
}

void ConfigMap::setHighestSubnodeIndex(const char* section, int n) {
  CP_TRACE_ENTRY(trc, "ConfigMap::setHighestSubnodeIndex");
  if (!section) return;
  CP_TRACE(trc, TRC_DETAIL, "Found repeatable section %s number %d", section, n);
  StringBuffer name;
  appendTypePrefix(name, productCode(), section);
  name.append(COUNT_NAME);
  StringBuffer number;
  number.appendInt(n);
  if (name.data() && number.data())
    setEnvProperty(name.data(), number.data(), true, false);
  else
    CP_TRACE(trc, TRC_ERROR, "No memory to store the count of section %s", section);
}

char* ConfigMap::getSubnodeIndex(const char* productCode, const char* subnodeKey, const char* type) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getSubnodeIndex");
  char* label = sanitizeSubnodeId(subnodeKey);
  int n = getHighestSubnodeIndex(type);
  if (n == -1) {
    free(label);
    trc.exit(__LINE__, nullptr);
    return nullptr;
  }
  char* result = nullptr;
  // i counts up to n and never past it: n may be INT_MAX.
  for (int i = 0; label && i < n;) {
    i++;
    const char* key = getSubnodeKey(productCode, type, i);
    if (key && strcmp(key, label) == 0) {
      result = newFormatted("%d", i);
      break;
    }
  }
  CP_TRACE(trc, TRC_DETAIL, "Returning index = %s for subnode key %s", orNull(result), orNull(label));
  free(label);
  trc.exit(__LINE__, result);
  return result;
}

const char* ConfigMap::getSubnodeKey(const char* productCode, const char* type, int index, const char** traceText) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getSubnodeKey");
  if (traceText) *traceText = nullptr;
  if (!productCode) productCode = "";
  CP_TRACE(trc, TRC_DETAIL, "Lookup of pc=%s subnodeTYpe=%s index=%d", productCode, orNull(type), index);
  if (!type) return trc.exit(__LINE__, nullptr);
  char* labelName = makeIdLabelName(productCode, type, index);
  const char* key = labelName ? get(labelName) : nullptr;
  if (key && !*key) key = nullptr;
  const char* shown = key && (traceText || trc.on(TRC_EVENTS)) ? shownValue(labelName, key) : nullptr;
  free(labelName);
  if (traceText) *traceText = shown;
  trc.exit(__LINE__, shown);
  return key;
}

const char* ConfigMap::getSubnodeSectionId(const char* type, int index) {
  if (!type) return nullptr;
  const char* pc = productCode();
  char* sectionIdName = makeSectionIdName(pc, type, index);
  const char* id = sectionIdName ? get(sectionIdName) : nullptr;
  free(sectionIdName);
  if (id) return id;
  char* labelName = makeIdLabelName(pc, type, index);
  id = labelName ? get(labelName) : nullptr;
  free(labelName);
  return id;
}

void ConfigMap::setSubnodeProperty(const char* type, int index, const char* var, const char* value, bool hideInTrace) {
  CP_TRACE_ENTRY(trc, "ConfigMap::setSubnodeProperty");
  if (!type || !var) return;
  StringBuffer name;
  appendTypePrefix(name, productCode(), type);
  name.append(var);
  appendIndexSuffix(name, index);
  if (name.data())
    setEnvProperty(name.data(), value, true, hideInTrace);
  else
    CP_TRACE(trc, TRC_ERROR, "No memory to store variable %s of section %s", var, type);
}

void ConfigMap::removeSubnodeProperties(const char* type, int index) {
  CP_TRACE_ENTRY(trc, "ConfigMap::removeSubnodeProperties");
  if (!localMap || !type || localMap->entryCount() == 0) return;
  StringBuffer prefix;
  appendTypePrefix(prefix, productCode(), type);
  StringBuffer suffix;
  appendIndexSuffix(suffix, index);
  StringBuffer companionSuffix(suffix.data());
  companionSuffix.append(TRACE_COMPANION_SUFFIX);
  // Collected first, removed afterwards: the walk must not see the table change.
  const char** doomed = static_cast<const char**>(malloc(sizeof(char*) * static_cast<size_t>(localMap->entryCount())));
  if (!prefix.data() || !suffix.data() || !companionSuffix.data() || !doomed) {
    free(doomed);
    CP_TRACE(trc, TRC_ERROR, "No memory to remove the variables of section %s index %d", type, index);
    return;
  }
  size_t prefixLength = static_cast<size_t>(prefix.length());
  size_t suffixLength = static_cast<size_t>(suffix.length());
  size_t companionLength = static_cast<size_t>(companionSuffix.length());
  int doomedCount = 0;
  HashTableIterator it = localMap->iterator();
  while (it.hasNext() && doomedCount < localMap->entryCount()) {
    it.next();
    const char* name = it.key();
    size_t length = strlen(name);
    if (length <= prefixLength || memcmp(name, prefix.data(), prefixLength) != 0) continue;
    if (endsWith(name, length, suffix.data(), suffixLength) ||
        endsWith(name, length, companionSuffix.data(), companionLength))
      doomed[doomedCount++] = name;
  }
  // Each pointer is the stored name of a distinct entry, valid until its own removal.
  for (int i = 0; i < doomedCount; i++) removeConfigurationProperty(doomed[i]);
  free(doomed);
}

const char* ConfigMap::getSubnodeConfigurationVariableInternal(const char* prefix, const char* type, const char* var,
                                                               const char* index, const char** traceText) {
  CP_TRACE_ENTRY(trc, "ConfigMap::getSubnodeConfigurationVariableInternal");
  if (traceText) *traceText = nullptr;
  if (!type || !var) return trc.exit(__LINE__, nullptr);
  StringBuffer instanceName;
  instanceName.append(prefix);
  instanceName.appendChar('_');
  instanceName.append(type);
  instanceName.appendChar('_');
  instanceName.append(var);
  instanceName.appendChar('_');
  StringBuffer defaultName(instanceName);
  instanceName.append(index);
  defaultName.append(DEFAULT_NAME);
  if (!instanceName.data() || !defaultName.data()) {
    CP_TRACE(trc, TRC_ERROR, "No memory to look up variable %s", var);
    return trc.exit(__LINE__, nullptr);
  }
  const char* matched = instanceName.data();
  const char* value = get(matched);
  if (!value || !*value) {
    matched = defaultName.data();
    value = get(matched);
  }
  if (!value || !*value) {
    matched = var;
    value = get(matched);
  }
  if (value)
    CP_TRACE(trc, TRC_DETAIL, "found variable %s from property %s=%s", var, matched, traceValue(matched, value));
  else
    CP_TRACE(trc, TRC_DETAIL, "did not find variable %s", var);
  const char* shown = value && (traceText || trc.on(TRC_EVENTS)) ? shownValue(matched, value) : nullptr;
  if (traceText) *traceText = shown;
  trc.exit(__LINE__, shown);
  return value;
}

char* getSubnodeKey(const char* productCode, const char* subnodeType, int index) {
  CP_TRACE_ENTRY(trc, "getSubnodeKey");
  CP_TRACE(trc, TRC_DETAIL, "Lookup of pc=%s subnodeTYpe=%s index=%d", orNull(productCode), orNull(subnodeType), index);
  globalConfigMap.lock();
  const char* shown = nullptr;
  char* copy = copyText(globalConfigMap.getSubnodeKey(productCode, subnodeType, index, &shown));
  // Traced under the mutex: the text shown may belong to the map.
  if (copy) {
    CP_TRACE(trc, TRC_DETAIL, "Found subnode key %s for type %s, index = %d", shown, subnodeType, index);
    trc.exit(__LINE__, shown);
  }
  globalConfigMap.unlock();
  if (!copy) {
    CP_TRACE(trc, TRC_ERROR, "subnode key for subnode type %s not found", orNull(subnodeType));
    trc.exit(__LINE__, nullptr);
  }
  return copy;
}

char* getSubnodeIndex(const char* productCode, const char* subnodeKey, const char* subnodeType) {
  CP_TRACE_ENTRY(trc, "getSubnodeIndex");
  globalConfigMap.lock();
  char* index = globalConfigMap.getSubnodeIndex(productCode, subnodeKey, subnodeType);
  globalConfigMap.unlock();
  trc.exit(__LINE__, index);
  return index;
}

char** getSubnodeKeys(const char* subnodeType, int* count) {
  CP_TRACE_ENTRY(trc, "getSubnodeKeys");
  int ignoredCount = 0;
  if (!count) count = &ignoredCount;
  globalConfigMap.lock();
  *count = 0;
  int n = globalConfigMap.getHighestSubnodeIndex(subnodeType);
  char** keys;
  if (n <= 0) {
    keys = static_cast<char**>(malloc(sizeof(char*)));  // empty, but a real allocation
    if (keys) CP_TRACE(trc, TRC_DETAIL, "Found no subnode instances of type %s", orNull(subnodeType));
  } else {
    keys = static_cast<char**>(calloc(static_cast<size_t>(n), sizeof(char*)));
    const char* pc = keys ? globalConfigMap.productCode() : nullptr;
    // j counts up to n and never past it: n may be INT_MAX.
    for (int j = 0; keys && j < n;) {
      j++;
      const char* key = globalConfigMap.getSubnodeKey(pc, subnodeType, j);
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
    if (keys) CP_TRACE(trc, TRC_DETAIL, "Found %d subnode instances of type %s", *count, subnodeType);
  }
  globalConfigMap.unlock();
  if (!keys) CP_TRACE(trc, TRC_ERROR, "No memory for the subnode keys of type %s", orNull(subnodeType));
  trc.exit(__LINE__, *count);
  return keys;
}

char* getSubnodeConfigurationVariable(const char* prefix, const char* subnodeType, const char* variable,
                                      const char* index) {
  CP_TRACE_ENTRY(trc, "getSubnodeConfigurationVariable");
  globalConfigMap.lock();
  const char* shown = nullptr;
  char* copy =
      copyText(globalConfigMap.getSubnodeConfigurationVariableInternal(prefix, subnodeType, variable, index, &shown));
  trc.exit(__LINE__, copy ? shown : nullptr);  // under the mutex: shown may belong to the map
  globalConfigMap.unlock();
  return copy;
}

// The lookup shared by the locked and the unlocked subnode property entry points.
static const char* findSubnodeProperty(const char* variable, const char* subnodeType, const char* subnodeKey,
                                       const char** traceText) {
  const char* pc = globalConfigMap.productCode();
  char* index = globalConfigMap.getSubnodeIndex(pc, subnodeKey, subnodeType);
  const char* value =
      globalConfigMap.getSubnodeConfigurationVariableInternal(pc, subnodeType, variable, index, traceText);
  free(index);
  return value;
}

const char* getSubnodeConfigurationPropertyInternal(const char* variable, const char* subnodeType,
                                                    const char* subnodeKey, const char** traceText) {
  CP_TRACE_ENTRY(trc, "getSubnodeConfigurationPropertyInternal");
  const char* shown = nullptr;
  const char* value = findSubnodeProperty(variable, subnodeType, subnodeKey, &shown);
  if (traceText) *traceText = shown;
  trc.exit(__LINE__, shown);
  return value;
}

const char* cp_GetSubnodeConfigurationProperty(const char* name, const char* subnodeType, const char* subnodeKey) {
  CP_TRACE_ENTRY(trc, "cp_GetSubnodeConfigurationProperty");
  const char* shown = nullptr;
  const char* value = getSubnodeConfigurationPropertyInternal(name, subnodeType, subnodeKey, &shown);
  trc.exit(__LINE__, shown);
  return value;
}

char* getSubnodeConfigurationProperty(const char* variable, const char* subnodeType, const char* subnodeKey) {
  CP_TRACE_ENTRY(trc, "getSubnodeConfigurationProperty");
  globalConfigMap.lock();
  const char* shown = nullptr;
  char* copy = copyText(findSubnodeProperty(variable, subnodeType, subnodeKey, &shown));
  trc.exit(__LINE__, copy ? shown : nullptr);  // under the mutex: shown may belong to the map
  globalConfigMap.unlock();
  return copy;
}

HashTable* getSubnodeInstanceEnv(const char* subnodeKey, const char* subnodeType) {
  CP_TRACE_ENTRY(trc, "getSubnodeInstanceEnv");
  ConfigMap& map = globalConfigMap;
  map.lock();
  const char* pc = map.productCode();
  StringBuffer prefix;
  appendTypePrefix(prefix, pc, subnodeType);
  char* index = map.getSubnodeIndex(pc, subnodeKey, subnodeType);
  HashTable* env = prefix.data() ? new (std::nothrow) HashTable() : nullptr;
  int instanceCount = 0;
  int defaultCount = 0;
  bool complete = true;
  // A null type has no entries, like a type that was never added.
  if (env && subnodeType && map.hasLocalMap()) {
    size_t prefixLength = static_cast<size_t>(prefix.length());
    // Pass 0 takes the subnode's own values, pass 1 the defaults it lacks.
    for (int pass = 0; pass < 2 && complete; pass++) {
      HashTableIterator it = map.localMap->iterator();
      while (complete && it.hasNext()) {
        it.next();
        const char* name = it.key();
        if (strncmp(name, prefix.data(), prefixLength) != 0) continue;
        char* cut = copyText(name);
        if (!cut) {
          complete = false;
          break;
        }
        // The last '_' that is not the final character ends the variable name.
        size_t length = strlen(cut);
        char* underscore = nullptr;
        for (size_t i = length - 1; i-- > 0;)
          if (cut[i] == '_') {
            underscore = cut + i;
            break;
          }
        if (underscore) {
          *underscore = '\0';
          const char* component = underscore + 1;
          // Just past the prefix; when the cut is the prefix's own '_', this is the component.
          const char* var = cut + prefixLength;
          const char* value = static_cast<const char*>(it.value());
          if (pass == 0) {
            if (index && strcmp(component, index) == 0) {
              complete = putCopies(env, var, value);
              instanceCount++;
            }
          } else {
            size_t componentLength = strlen(component);
            if (componentLength > DEFAULT_NAME_LENGTH) componentLength = DEFAULT_NAME_LENGTH;
            if (strncmp(component, DEFAULT_NAME, componentLength) == 0 && !env->contains(var)) {
              complete = putCopies(env, var, value);
              defaultCount++;
            }
          }
        }
        free(cut);
      }
    }
  }
  free(index);
  if (!complete) {
    freeSubnodeInstanceEnv(env);
    env = nullptr;
    instanceCount = 0;
    defaultCount = 0;
  }
  CP_TRACE(trc, TRC_DETAIL, "Found %d+%d variables for subnode %s:%s:%s", instanceCount, defaultCount, pc,
           orNull(subnodeKey), orNull(subnodeType));
  map.unlock();
  if (!env) CP_TRACE(trc, TRC_ERROR, "No memory for the instance environment of subnode %s", orNull(subnodeKey));
  trc.exit(__LINE__, env != nullptr);
  return env;
}

void freeSubnodeInstanceEnv(HashTable* env) {
  CP_TRACE_ENTRY(trc, "freeSubnodeInstanceEnv");
  if (!env) return;
  env->forEach(freeKeyAndValue, nullptr);
  delete env;
}
