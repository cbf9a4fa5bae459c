// Subnode naming and lookups on the configuration map: keys, indexes, per-subnode
// variables with their fall-backs, and a subnode's whole set of variables.
//
// A subnode is one occurrence of a repeatable configuration section (its type),
// numbered 1, 2, ... within the type; ConfigMap (ConfigData.h) keeps the numbering
// and the property names. Each entry point here works on globalConfigMap; "locks"
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

// Locks. A copy of the key of subnode index of subnodeType under productCode, or null.
char* getSubnodeKey(const char* productCode, const char* subnodeType, int index);
// Locks. The index of the subnode whose key is subnodeKey, as new decimal text, or null.
char* getSubnodeIndex(const char* productCode, const char* subnodeKey, const char* subnodeType);
// Locks. The keys of every subnode of subnodeType that still has one, packed in
// index order, as a new array of count new texts (no terminating entry): free each
// of the count texts, then the array. No subnodes: an empty array, never null, and
// a count of 0. Null (count 0) only when memory runs out. count may be null.
char** getSubnodeKeys(const char* subnodeType, int* count);

// Locks. A copy of ConfigMap::getSubnodeConfigurationVariableInternal's answer, or null.
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
