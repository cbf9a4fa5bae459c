// Configuration map: the library's one store of configuration properties, its mirror
// in the process environment, and the hiding of chosen values from trace output.
//
// Until the first property is stored the map has no table and every lookup reads
// the live process environment (getenv, at each call). From the first store on, the
// table answers every lookup and the environment is no longer consulted.
//
// Trace companion: for a property NAME, the property NAME_ZRW_TRACE. When it exists,
// trace output shows its value (normally "xxx") wherever NAME's value would appear:
// lookup lines and exit events alike.
//
// Ownership: every stored name and value is a private C-heap copy owned by the map.
// Values handed out are either borrowed (valid until the property is replaced or
// removed, or the map destroyed; or owned by the environment) or new C-heap copies
// that the caller releases with free(), as each function says.
//
// Thread safety: ConfigMap methods take no lock. The entry points below that say
// "locks" take the map's mutex once for all their work and copy their results while
// holding it; they never call one another (the mutex is not recursive). The
// unlocked lookups are sound only while no other thread stores into the map.
#ifndef CPCLIENT_CONFIG_CONFIGDATA_H
#define CPCLIENT_CONFIG_CONFIGDATA_H

#include <pthread.h>

class HashTable;

// Suffix that names a property's trace companion.
constexpr const char* TRACE_COMPANION_SUFFIX = "_ZRW_TRACE";
// Value of a companion set by hiding: what trace output shows instead of the value.
constexpr const char* HIDDEN_VALUE = "xxx";
// Name of the property whose value is the product code.
constexpr const char* PRODUCT_CODE_PROPERTY = "ZRW_PRODUCT_CODE";

class ConfigMap {
 public:
  // No table yet; the mutex is ready (default attributes, not recursive).
  ConfigMap();
  ConfigMap(const ConfigMap&) = delete;
  ConfigMap& operator=(const ConfigMap&) = delete;
  // Destroys the mutex, then releases every stored name and value and the table.
  ~ConfigMap();

  void lock();
  void unlock();

  // --- Store and lookup ---

  // Creates the table if there is none; on a failed allocation there stays none.
  void initializeLocalMap();
  bool hasLocalMap() const { return localMap != nullptr; }
  // The value for name, borrowed, or null (also for a null name): from the
  // environment while there is no table, else from the table only. Table lookups,
  // and environment lookups too, print their hit or miss line under TRC_DETAIL.
  const char* get(const char* name);
  // For trace output only: the value of name's trace companion if it exists, else
  // value. The companion lookup goes through get and is traced like any lookup.
  const char* traceValue(const char* name, const char* value);
  // The same answer as traceValue, found without tracing; exit events use it.
  // Null for a null value; HIDDEN_VALUE when the companion's name cannot be built.
  const char* shownValue(const char* name, const char* value) const;
  // Stores copies of name and value, replacing an earlier entry; creates the table
  // first. Stores nothing when memory runs out (error line under TRC_ERROR).
  void setConfigurationProperty(const char* name, const char* value);
  // Removes name from the table and releases its copies; nothing else is touched.
  void removeConfigurationProperty(const char* name);
  // Stores name=value in the table (when alsoSetProperty) and in the process
  // environment through SVC1_PutEnv, which keeps its heap string for good. A null
  // value stores and removes nothing. hideInTrace then sets the companion to "xxx"
  // (table and environment). A name that is empty or holds '=' is not mirrored into
  // the environment, where it would set a different variable.
  void setEnvProperty(const char* name, const char* value, bool alsoSetProperty, bool hideInTrace);
  // Sets name's trace companion to "xxx", in the table and in the environment.
  void setTraceMask(const char* name);
  // Prints one "NAME=value" line per stored property, values as traceValue shows
  // them, whatever the trace level. Prints nothing while there is no table.
  void trace();
  // The product code (the value of ZRW_PRODUCT_CODE, looked up with get at each
  // call), or "" when it is unset.
  const char* productCode();
  // The number of stored properties; 0 while there is no table.
  int propertyCount() const;
  // Calls visit(name, value, context) for each stored property whose name begins with
  // prefix, in iteration order, until visit returns false; for none while there is no
  // table. Names and values are borrowed: visit must not store into or remove from the map.
  using PropertyVisitor = bool (*)(const char* name, const char* value, void* context);
  void forEachProperty(const char* prefix, PropertyVisitor visit, void* context) const;

 private:
  friend void resetConfigurationForTest();

  // get without tracing.
  const char* lookup(const char* name) const;
  // Releases every stored name and value and the table; lookups then read the environment.
  void releaseLocalMap();

  HashTable* localMap;  // name -> value; null until the first store
  pthread_mutex_t mutex;
  const char* productCodeName;
};

// The library's one configuration map.
extern ConfigMap globalConfigMap;

// --- Entry points on globalConfigMap ---

// Locks. A new copy of the value, which the caller frees, or null (error line under
// TRC_ERROR).
char* getConfigurationProperty(const char* name);
// No lock, no copy: the borrowed value or null.
const char* getConfigurationPropertyInternal(const char* name);
// Locks. Copies the variable's value from the host environment into the map and the
// environment; a variable the host does not know stores nothing (TRC_ERROR line).
void loadAgentEnvironmentVariable(const char* name);

// What the exported lookup returns: the borrowed value or null, no lock taken. Any
// connection state.
const char* cp_GetConfigurationProperty(const char* name);

// Internal, for tests only: under the mutex, releases every stored property and the
// table, so that lookups read the environment again as at load.
void resetConfigurationForTest();

#endif  // CPCLIENT_CONFIG_CONFIGDATA_H
