// Subnode naming and lookups on the configuration map: keys, indexes, per-subnode
// variables with their fall-backs, and a subnode's whole set of variables.
//
// A subnode is one occurrence of a repeatable configuration section (its type),
// numbered 1, 2, ... within the type; Subnodes keeps the numbering and the property
// names in a ConfigMap. Each entry point below it works on globalConfigMap; "locks"
// means it holds the map's mutex for all its work, including the copy it returns.
// Texts handed out are new C-heap copies that the caller frees, unless borrowed.
#ifndef CPCLIENT_CONFIG_SUBNODENAMES_H
#define CPCLIENT_CONFIG_SUBNODENAMES_H

#include "config/ConfigData.h"

class HashTable;

// The subnode key of id: id without every byte that is not an ASCII letter or
// digit, '_', '-' or '.'. New text (empty when nothing is left); null for a null id
// or when memory runs out.
char* sanitizeSubnodeId(const char* id);
// "PC_TYPE_IDLABEL_N" and "PC_TYPE_SECTIONID_N"; new texts, null when memory runs out.
char* makeIdLabelName(const char* productCode, const char* type, int index);
char* makeSectionIdName(const char* productCode, const char* type, int index);

// Results of Subnodes::addSection other than a subnode number (1 or more).
constexpr int NOT_SUBNODE_SECTION = -1;  // no id, and the type has no count
constexpr int DEFAULTS_SECTION = 0;      // no id, for a type that has a count
constexpr int INVALID_SUBNODE_ID = -3;   // the id sanitises to nothing, or no number or memory is left

// The subnodes kept in one ConfigMap: numbering, keys, indexes and variables.
//
// Property names (PC = the product code, "" when unset; N = index in decimal):
//   PC_TYPE_COUNT        highest index handed out for TYPE
//   PC_TYPE_IDLABEL_N    key of subnode N (its id, sanitised)
//   PC_TYPE_SECTIONID_N  id of subnode N as passed in, when it differs from the key
//   PC_TYPE_VAR_N        variable VAR of subnode N
//   PC_TYPE_VAR_DEFAULT  default of VAR for TYPE
// The product code is looked up at each use, so a change takes effect at once.
// Every store goes through setEnvProperty (table and environment); removals touch
// the table only. Numbers only grow: nothing lowers or removes a count.
//
// Holds a reference to the map, which must outlive it, and nothing else: make one
// where it is needed. Like the map's methods, it takes no lock.
class Subnodes {
 public:
  explicit Subnodes(ConfigMap& configMap) : map(configMap) {}

  // --- Sections: numbering, keys and indexes ---

  // Adds one section of type section. With an id (non-null, non-empty): numbers it
  // 1 for a new type, else count + 1, stores its key (and id) and the count, and
  // returns the number; INVALID_SUBNODE_ID when the id sanitises to nothing (stores
  // nothing; also when memory runs out, or when the count is INT_MAX and no number
  // is left). Without an id: DEFAULTS_SECTION for a known type, NOT_SUBNODE_SECTION
  // for an unknown one; nothing is stored.
  int addSection(const char* section, const char* id);
  // Forgets the key of the subnode whose key is id's: the number is not reused and
  // the subnode's variables stay.
  void removeSection(const char* section, const char* id);
  // PC_TYPE_COUNT read as a decimal number (atoi), or -1 when it is absent.
  int getHighestSubnodeIndex(const char* type);
  // Stores PC_SECTION_COUNT = n.
  void setHighestSubnodeIndex(const char* section, int n);
  // The index, as new decimal text that the caller frees, of the first subnode of
  // type whose key equals subnodeKey sanitised; null when there is none. Keys are
  // read under productCode, the count under the map's own product code.
  char* getSubnodeIndex(const char* productCode, const char* subnodeKey, const char* type);
  // The key of subnode index of type under productCode, borrowed; null when absent
  // or empty. traceText, when not null, receives what trace output may show of it.
  const char* getSubnodeKey(const char* productCode, const char* type, int index, const char** traceText = nullptr);
  // The id of subnode index as passed in, else its key, else null; borrowed. Untraced.
  const char* getSubnodeSectionId(const char* type, int index);
  // Stores PC_TYPE_VAR_N, or PC_TYPE_VAR_DEFAULT for an index below 1.
  void setSubnodeProperty(const char* type, int index, const char* var, const char* value, bool hideInTrace);
  // Removes from the table every variable of subnode index (or the defaults for an
  // index below 1), with their companions, key and id. The count and the
  // environment stay.
  void removeSubnodeProperties(const char* type, int index);

  // --- Variables ---

  // The value of var for the subnode: prefix_type_var_index (a null index counts
  // as empty), else prefix_type_var_DEFAULT (an empty value counts as absent at
  // both), else var itself (even empty), else null. Borrowed. traceText, when not
  // null, receives what trace output may show of the result.
  const char* getSubnodeConfigurationVariableInternal(const char* prefix, const char* type, const char* var,
                                                      const char* index, const char** traceText = nullptr);

 private:
  ConfigMap& map;
};

// Locks. A copy of the key of subnode index of subnodeType under productCode, or null.
char* getSubnodeKey(const char* productCode, const char* subnodeType, int index);
// Locks. The index of the subnode whose key is subnodeKey, as new decimal text, or null.
char* getSubnodeIndex(const char* productCode, const char* subnodeKey, const char* subnodeType);
// Locks. The keys of every subnode of subnodeType that still has one, packed in
// index order, as a new array of count new texts (no terminating entry): free each
// of the count texts, then the array. No subnodes: an empty array, never null, and
// a count of 0. Null (count 0) only when memory runs out. count may be null.
char** getSubnodeKeys(const char* subnodeType, int* count);

// Locks. A copy of Subnodes::getSubnodeConfigurationVariableInternal's answer, or null.
char* getSubnodeConfigurationVariable(const char* prefix, const char* subnodeType, const char* variable,
                                      const char* index);
// No lock, no copy. The value of variable for the subnode whose key is subnodeKey,
// falling back to the type's default and then to the plain variable; borrowed, or
// null. traceText, when not null, receives what trace output may show of it.
const char* getSubnodeConfigurationPropertyInternal(const char* variable, const char* subnodeType,
                                                    const char* subnodeKey, const char** traceText = nullptr);
// Locks. A copy of getSubnodeConfigurationPropertyInternal's answer, or null.
char* getSubnodeConfigurationProperty(const char* variable, const char* subnodeType, const char* subnodeKey);
// The exported subnode lookup: getSubnodeConfigurationPropertyInternal's borrowed answer, no lock. Any state.
const char* cp_GetSubnodeConfigurationProperty(const char* name, const char* subnodeType, const char* subnodeKey);

// Locks. A new table from variable name to value holding every variable of the
// subnode whose key is subnodeKey, each falling back to the type's default; its key
// is under IDLABEL and its id, when stored, under SECTIONID. An unknown key gives
// just the defaults; no table at all gives an empty one. The caller owns the table
// and every name and value in it, and releases them with freeSubnodeInstanceEnv.
// Null when memory runs out.
HashTable* getSubnodeInstanceEnv(const char* subnodeKey, const char* subnodeType);
// Releases the table and every name and value in it; null is ignored. No lock.
void freeSubnodeInstanceEnv(HashTable* env);

#endif  // CPCLIENT_CONFIG_SUBNODENAMES_H
