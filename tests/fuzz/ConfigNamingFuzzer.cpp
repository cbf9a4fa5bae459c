// Fuzz target: subnode naming on the configuration map, with arbitrary names and ids.
//
// Input: lines. Each operation is a line whose first byte picks it, followed by
// one line per argument; an argument missing at the end of the input is null.
// At most MAX_OPERATIONS run per input, on a map emptied before each input.
//
//   p PC                    set the product code (null: remove it)
//   a SECTION ID            addSection              r SECTION ID   removeSection
//   s ID                    sanitizeSubnodeId       h TYPE         getHighestSubnodeIndex
//   k TYPE INDEX            getSubnodeKey           i KEY TYPE     getSubnodeIndex
//   l TYPE                  getSubnodeKeys          x TYPE INDEX   removeSubnodeProperties
//   v|V TYPE INDEX VAR VALUE  setSubnodeProperty (V hides it in trace)
//   g VAR TYPE KEY          the three subnode property lookups
//   w PREFIX TYPE VAR INDEX getSubnodeConfigurationVariable
//   e KEY TYPE              getSubnodeInstanceEnv
//   c|C NAME VALUE          setEnvProperty (C hides it)   d NAME  remove it
//   L NAME                  loadAgentEnvironmentVariable  t       trace the map
//
// Checked beyond the sanitizers: sanitising keeps exactly the key characters; a
// section just added is found under its number and by its key; an index found
// for a key names a subnode holding that key; the locked and unlocked lookups
// agree; a stored property reads back.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/ConfigData.h"
#include "config/SubnodeNames.h"
#include "util/HashTable.h"

namespace {

constexpr size_t MAX_INPUT_LENGTH = 4096;
constexpr int MAX_OPERATIONS = 64;
// Key lookups walk every number up to the type's count, and a count is a property
// that the input can set to anything: lookups on a type counted beyond this are
// left out, so that they cannot pass for hangs.
constexpr int MAX_WALKED_COUNT = 256;

// The assignments the library hands to putenv during one input (see putenv below).
std::vector<char*>& environmentStrings() {
  static std::vector<char*>* strings = new std::vector<char*>;
  return *strings;
}

using fuzz::check;

// The subnodes of the map under test.
Subnodes subnodes(globalConfigMap);

bool sameText(const char* a, const char* b) { return a == b || (a && b && strcmp(a, b) == 0); }

bool isKeyCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

std::string referenceKey(const char* id) {
  std::string key;
  for (const char* p = id; *p; p++)
    if (isKeyCharacter(*p)) key += *p;
  return key;
}

// The input's lines as arguments: null once they run out.
class Lines {
 public:
  Lines(const char* data, size_t size) {
    for (size_t start = 0;;) {
      const char* lineFeed =
          start < size ? static_cast<const char*>(memchr(data + start, '\n', size - start)) : nullptr;
      size_t end = lineFeed ? static_cast<size_t>(lineFeed - data) : size;
      lines_.emplace_back(data + start, end - start);  // a NUL inside cuts the C string short
      if (!lineFeed) break;
      start = end + 1;
    }
  }
  bool done() const { return next_ >= lines_.size(); }
  const char* next() { return next_ < lines_.size() ? lines_[next_++].c_str() : nullptr; }
  int nextInt() {
    const char* text = next();
    return text ? static_cast<int>(strtol(text, nullptr, 10)) : 0;
  }

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;
};

const char* productCode() {
  const char* pc = globalConfigMap.get(PRODUCT_CODE_PROPERTY);
  return pc ? pc : "";
}

bool walkable(const char* type) { return subnodes.getHighestSubnodeIndex(type) <= MAX_WALKED_COUNT; }

void addSection(Lines& in) {
  const char* section = in.next();
  const char* id = in.next();
  int before = section ? subnodes.getHighestSubnodeIndex(section) : -1;
  int n = subnodes.addSection(section, id);
  bool hasId = id && *id;
  if (!section || !hasId) {
    check(n == (before == -1 ? -1 : 0));
    return;
  }
  if (before == INT_MAX) {  // no number is left
    check(n == -3);
    return;
  }
  // A count below -1 read from a property gives a number below 1: nothing is stored.
  int expected = before == -1 ? 1 : before + 1;
  std::string key = referenceKey(id);
  check(n == (expected >= 1 && key.empty() ? -3 : expected));
  if (n < 1) return;
  check(subnodes.getHighestSubnodeIndex(section) == n);
  check(sameText(subnodes.getSubnodeKey(productCode(), section, n), key.c_str()));
  if (!walkable(section)) return;
  char* index = getSubnodeIndex(productCode(), id, section);
  check(index && atoi(index) >= 1 && atoi(index) <= n);
  free(index);
}

void sanitize(Lines& in) {
  const char* id = in.next();
  char* key = sanitizeSubnodeId(id);
  check(id ? key && referenceKey(id) == key : !key);
  free(key);
}

void subnodeKey(Lines& in) {
  const char* type = in.next();
  int index = in.nextInt();
  char* key = getSubnodeKey(productCode(), type, index);
  check(sameText(key, subnodes.getSubnodeKey(productCode(), type, index)));
  check(!key || *key);
  free(key);
  subnodes.getSubnodeSectionId(type, index);
}

void subnodeIndex(Lines& in) {
  const char* key = in.next();
  const char* type = in.next();
  if (!walkable(type)) return;
  char* index = getSubnodeIndex(productCode(), key, type);
  if (index) {
    int i = atoi(index);
    check(i >= 1 && i <= subnodes.getHighestSubnodeIndex(type));
    check(key && sameText(subnodes.getSubnodeKey(productCode(), type, i), referenceKey(key).c_str()));
  }
  free(index);
}

void subnodeKeys(Lines& in) {
  const char* type = in.next();
  if (!walkable(type)) return;
  int count = -1;
  char** keys = getSubnodeKeys(type, &count);
  check(keys != nullptr);
  int highest = subnodes.getHighestSubnodeIndex(type);
  check(count >= 0 && count <= (highest > 0 ? highest : 0));
  for (int i = 0; i < count; i++) {
    check(keys[i] && *keys[i]);
    free(keys[i]);
  }
  free(keys);
}

void subnodeProperty(Lines& in, bool hide) {
  const char* type = in.next();
  int index = in.nextInt();
  const char* var = in.next();
  const char* value = in.next();
  subnodes.setSubnodeProperty(type, index, var, value, hide);
}

void propertyLookups(Lines& in) {
  const char* var = in.next();
  const char* type = in.next();
  const char* key = in.next();
  if (!walkable(type)) return;
  char* copy = getSubnodeConfigurationProperty(var, type, key);
  check(sameText(copy, getSubnodeConfigurationPropertyInternal(var, type, key)));
  check(sameText(copy, cp_GetSubnodeConfigurationProperty(var, type, key)));
  free(copy);
}

void variableLookup(Lines& in) {
  const char* prefix = in.next();
  const char* type = in.next();
  const char* var = in.next();
  const char* index = in.next();
  char* copy = getSubnodeConfigurationVariable(prefix, type, var, index);
  check(sameText(copy, subnodes.getSubnodeConfigurationVariableInternal(prefix, type, var, index)));
  free(copy);
}

void instanceEnv(Lines& in) {
  const char* key = in.next();
  const char* type = in.next();
  if (!walkable(type)) return;
  HashTable* env = getSubnodeInstanceEnv(key, type);
  check(env != nullptr);
  // A key that names a subnode brings that subnode's key along as IDLABEL.
  char* index = getSubnodeIndex(productCode(), key, type);
  if (index) check(key && sameText(static_cast<const char*>(env->get("IDLABEL")), referenceKey(key).c_str()));
  free(index);
  freeSubnodeInstanceEnv(env);
}

void storeProperty(Lines& in, bool hide) {
  const char* name = in.next();
  const char* value = in.next();
  globalConfigMap.setEnvProperty(name, value, true, hide);
  if (!name || !value) return;
  check(sameText(globalConfigMap.get(name), value));
  char* copy = getConfigurationProperty(name);
  check(sameText(copy, value));
  free(copy);
  check(sameText(cp_GetConfigurationProperty(name), value));
}

void run(Lines& in) {
  for (int operations = 0; operations < MAX_OPERATIONS && !in.done(); operations++) {
    const char* op = in.next();
    switch (*op) {
      case 'p': {
        const char* pc = in.next();
        if (pc)
          globalConfigMap.setConfigurationProperty(PRODUCT_CODE_PROPERTY, pc);
        else
          globalConfigMap.removeConfigurationProperty(PRODUCT_CODE_PROPERTY);
        break;
      }
      case 'a': addSection(in); break;
      case 'r': {
        const char* section = in.next();
        const char* id = in.next();
        if (walkable(section)) subnodes.removeSection(section, id);
        break;
      }
      case 's': sanitize(in); break;
      case 'h': subnodes.getHighestSubnodeIndex(in.next()); break;
      case 'k': subnodeKey(in); break;
      case 'i': subnodeIndex(in); break;
      case 'l': subnodeKeys(in); break;
      case 'x': {
        const char* type = in.next();
        subnodes.removeSubnodeProperties(type, in.nextInt());
        break;
      }
      case 'v': subnodeProperty(in, false); break;
      case 'V': subnodeProperty(in, true); break;
      case 'g': propertyLookups(in); break;
      case 'w': variableLookup(in); break;
      case 'e': instanceEnv(in); break;
      case 'c': storeProperty(in, false); break;
      case 'C': storeProperty(in, true); break;
      case 'd': globalConfigMap.removeConfigurationProperty(in.next()); break;
      case 'L': loadAgentEnvironmentVariable(in.next()); break;
      case 't': globalConfigMap.trace(); break;
      default: break;  // a line that is no operation is skipped
    }
  }
}

}  // namespace

// Stands in for the C library's putenv. The library hands every stored property to
// the environment for good; in the real environment each input's stores would pile
// up, and replaced ones could never be freed. Here they are kept for the input and
// freed after it, and lookups that read the environment see only the real one.
extern "C" int putenv(char* assignment) noexcept {
  environmentStrings().push_back(assignment);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool ready = (fuzz::silenceTrace(), true);
  (void)ready;
  if (size > MAX_INPUT_LENGTH) return 0;
  resetConfigurationForTest();
  Lines in(reinterpret_cast<const char*>(bytes), size);
  run(in);
  resetConfigurationForTest();
  for (char* assignment : environmentStrings()) free(assignment);
  environmentStrings().clear();
  return 0;
}
