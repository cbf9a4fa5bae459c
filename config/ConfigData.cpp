// Configuration map: store, lookup, environment mirror, trace hiding and locking.
#include "config/ConfigData.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "host/Services.h"
#include "host/Trace.h"
#include "util/HashTable.h"
#include "util/StringBuffer.h"

#if defined(__SANITIZE_ADDRESS__)
#define CP_LEAK_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CP_LEAK_CHECKER 1
#endif
#endif
#ifdef CP_LEAK_CHECKER
#include <sanitizer/lsan_interface.h>
#endif

CP_TRACE_UNIT("1.0");

// Constructed before emptyAttributeTable (priority 202), so it is destroyed after it.
ConfigMap globalConfigMap __attribute__((init_priority(201)));

namespace {

const char* const MAP_PLACE = "configuration property map";
const char* const ENVIRONMENT_PLACE = "environment";

char* copyText(const char* text) { return text ? strdup(text) : nullptr; }

const char* orNull(const char* text) { return text ? text : "<null>"; }

// A name that putenv would read as a different variable, or as none.
bool isMirrorableName(const char* name) { return *name != '\0' && !strchr(name, '='); }

}  // namespace

ConfigMap::ConfigMap() : localMap(nullptr), productCodeName(PRODUCT_CODE_PROPERTY) {
  CP_TRACE_ENTRY(trc, "ConfigMap::ConfigMap");
  pthread_mutex_init(&mutex, nullptr);
}

ConfigMap::~ConfigMap() {
  CP_TRACE_ENTRY(trc, "ConfigMap::~ConfigMap");
  pthread_mutex_destroy(&mutex);
  releaseLocalMap();
}

void ConfigMap::releaseLocalMap() {
  if (!localMap) return;
  localMap->forEach(freeKeyAndValue, nullptr);
  delete localMap;
  localMap = nullptr;
}

void ConfigMap::lock() {
  CP_TRACE_ENTRY(trc, "ConfigMap::lock");
  pthread_mutex_lock(&mutex);
}

void ConfigMap::unlock() {
  CP_TRACE_ENTRY(trc, "ConfigMap::unlock");
  pthread_mutex_unlock(&mutex);
}

void ConfigMap::initializeLocalMap() {
  CP_TRACE_ENTRY(trc, "ConfigMap::initializeLocalMap");
  if (!localMap) localMap = new (std::nothrow) HashTable();
}

const char* ConfigMap::lookup(const char* name) const {
  if (!name) return nullptr;
  if (localMap) return static_cast<const char*>(localMap->get(name));
  return getenv(name);
}

const char* ConfigMap::get(const char* name) {
  CP_TRACE_ENTRY(trc, "ConfigMap::get");
  const char* value = lookup(name);
  if (name) {
    const char* place = localMap ? MAP_PLACE : ENVIRONMENT_PLACE;
    if (value)
      CP_TRACE(trc, TRC_DETAIL, "found property %s=%s in the %s", name, traceValue(name, value), place);
    else
      CP_TRACE(trc, TRC_DETAIL, "%s not found in the %s", name, place);
  }
  if (trc.on(TRC_EVENTS)) trc.exit(shownValue(name, value));
  return value;
}

const char* ConfigMap::traceValue(const char* name, const char* value) {
  StringBuffer companionName(name);
  companionName.append(TRACE_COMPANION_SUFFIX);
  if (!companionName.data()) return HIDDEN_VALUE;  // cannot tell whether it is hidden
  const char* companion = get(companionName.data());
  return companion ? companion : value;
}

const char* ConfigMap::shownValue(const char* name, const char* value) const {
  if (!value) return nullptr;
  StringBuffer companionName(name);
  companionName.append(TRACE_COMPANION_SUFFIX);
  if (!companionName.data()) return HIDDEN_VALUE;
  const char* companion = lookup(companionName.data());
  return companion ? companion : value;
}

void ConfigMap::setConfigurationProperty(const char* name, const char* value) {
  CP_TRACE_ENTRY(trc, "ConfigMap::setConfigurationProperty");
  if (!name || !value) return;
  initializeLocalMap();
  if (!localMap) {
    CP_TRACE(trc, TRC_ERROR, "No memory for the configuration property map; %s not stored", name);
    return;
  }
  char* nameCopy = copyText(name);
  char* valueCopy = copyText(value);
  if (!nameCopy || !valueCopy) {
    free(nameCopy);
    free(valueCopy);
    CP_TRACE(trc, TRC_ERROR, "No memory to store property %s", name);
    return;
  }
  removeConfigurationProperty(nameCopy);  // name itself may be the stored name it frees
  if (!localMap->put(nameCopy, valueCopy)) {
    CP_TRACE(trc, TRC_ERROR, "No memory to store property %s", nameCopy);
    free(nameCopy);
    free(valueCopy);
  }
}

void ConfigMap::removeConfigurationProperty(const char* name) {
  if (!localMap || !name) return;
  char* storedName = nullptr;
  free(localMap->remove(name, &storedName));
  free(storedName);
}

void ConfigMap::setEnvProperty(const char* name, const char* value, bool alsoSetProperty, bool hideInTrace) {
  CP_TRACE_ENTRY(trc, "ConfigMap::setEnvProperty");
  if (!name) return;
  if (!value) {
    CP_TRACE_ALWAYS(trc, "Eventually remove %s, but for now leave it alone", name);
  } else {
    CP_TRACE_ALWAYS(trc, "Setting config value for property: %s\n", name);
    bool mirrorable = isMirrorableName(name);
    // "NAME=value" for putenv, built first: value may be the stored value the store replaces.
    StringBuffer text(name);
    text.appendChar('=');
    text.append(value);
    char* assignment = mirrorable ? copyText(text.data()) : nullptr;
    if (alsoSetProperty) setConfigurationProperty(name, value);
    if (!mirrorable) {
      CP_TRACE(trc, TRC_ERROR, "Property %s is not a valid environment variable name; not put into the environment",
               name);
    } else if (!assignment) {
      CP_TRACE(trc, TRC_ERROR, "No memory to put %s into the environment", name);
    } else if (SVC1_PutEnv(assignment) != 0) {
      free(assignment);  // the environment did not take it
      CP_TRACE(trc, TRC_ERROR, "Could not put %s into the environment", name);
    } else {
#ifdef CP_LEAK_CHECKER
      __lsan_ignore_object(assignment);  // the environment owns it for good
#endif
    }
  }
  if (hideInTrace) setTraceMask(name);
}

void ConfigMap::setTraceMask(const char* name) {
  StringBuffer companionName(name);
  companionName.append(TRACE_COMPANION_SUFFIX);
  if (companionName.data()) setEnvProperty(companionName.data(), HIDDEN_VALUE, true, false);
}

void ConfigMap::trace() {
  CP_TRACE_ENTRY(trc, "ConfigMap::trace");
  if (!localMap) return;
  HashTableIterator it = localMap->iterator();
  while (it.hasNext()) {
    it.next();
    CP_TRACE_ALWAYS(trc, "%s=%s", it.key(), traceValue(it.key(), static_cast<const char*>(it.value())));
  }
}

const char* ConfigMap::productCode() {
  const char* code = get(productCodeName);
  return code ? code : "";
}

int ConfigMap::propertyCount() const { return localMap ? localMap->entryCount() : 0; }

void ConfigMap::forEachProperty(const char* prefix, PropertyVisitor visit, void* context) const {
  if (!localMap) return;
  size_t prefixLength = strlen(prefix);
  HashTableIterator it = localMap->iterator();
  while (it.hasNext()) {
    it.next();
    if (strncmp(it.key(), prefix, prefixLength) == 0 && !visit(it.key(), static_cast<const char*>(it.value()), context))
      return;
  }
}

char* getConfigurationProperty(const char* name) {
  CP_TRACE_ENTRY(trc, "getConfigurationProperty");
  globalConfigMap.lock();
  const char* value = globalConfigMap.get(name);
  char* copy = copyText(value);
  // The exit goes out under the mutex: the text it shows may belong to the map.
  if (copy && trc.on(TRC_EVENTS)) trc.exit(globalConfigMap.shownValue(name, value));
  globalConfigMap.unlock();
  if (!copy) {
    CP_TRACE(trc, TRC_ERROR, "Configuration property %s not found", orNull(name));
    trc.exit(nullptr);
  }
  return copy;
}

const char* getConfigurationPropertyInternal(const char* name) { return globalConfigMap.get(name); }

void loadAgentEnvironmentVariable(const char* name) {
  CP_TRACE_ENTRY(trc, "loadAgentEnvironmentVariable");
  // The read is under the mutex too, so that it never overlaps another thread's
  // store into the environment.
  globalConfigMap.lock();
  const char* value = SVC1_GetEnv(name, nullptr);
  if (value) globalConfigMap.setEnvProperty(name, value, true, false);
  globalConfigMap.unlock();
  if (!value) CP_TRACE(trc, TRC_ERROR, "Could not find any value for the variable %s\n", orNull(name));
}

const char* cp_GetConfigurationProperty(const char* name) {
  CP_TRACE_ENTRY(trc, "cp_GetConfigurationProperty");
  const char* value = getConfigurationPropertyInternal(name);
  if (trc.on(TRC_EVENTS)) trc.exit(globalConfigMap.shownValue(name, value));
  return value;
}

void resetConfigurationForTest() {
  globalConfigMap.lock();
  globalConfigMap.releaseLocalMap();
  globalConfigMap.unlock();
}
