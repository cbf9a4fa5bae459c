// The UTF-16 form of a data-response row: converted to UTF-8 as it is written.
#include "api/Utf16Row.h"

#include <cstdlib>

#include "api/DataResponse.h"
#include "util/Utf16.h"

namespace {

constexpr int MAX_DIRECT_VALUES = 64;
constexpr size_t ID_BLOCK_BYTES = 256;

// The conversion for rows wider than MAX_DIRECT_VALUES or with a longer id: a
// copy per value. A value whose copy cannot be allocated is passed on as null
// (written as an empty value); an id or an array that cannot be allocated gives
// CP_NO_MEMORY.
int convertEachValue(char16_t** values, int count, char16_t* id) {
  char** converted = static_cast<char**>(calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(char*)));
  char* convertedId = utf16ToUtf8Copy(id);
  int result = CP_NO_MEMORY;
  if (converted && (convertedId || !id)) {
    for (int i = 0; i < count; i++) converted[i] = utf16ToUtf8Copy(values[i]);
    result = cp_SetAttributeValues(converted, count, convertedId);
    for (int i = 0; i < count; i++) free(converted[i]);
  }
  free(converted);
  free(convertedId);
  return result;
}

}  // namespace

// A row of up to MAX_DIRECT_VALUES values with an id whose UTF-8 form fits
// ID_BLOCK_BYTES is written straight into the group's buffer, each value
// converted and escaped in one pass, without allocating; any other row takes a
// copy per value.
int cp_SetAttributeValuesUtf16(char16_t** values, int count, char16_t* id) {
  if (count < 0 || !values) count = 0;
  if (count <= MAX_DIRECT_VALUES) {
    char convertedId[ID_BLOCK_BYTES];
    if (!id) return setUtf16AttributeValues(values, count, nullptr);
    if (utf16ToUtf8Bounded(id, convertedId, sizeof convertedId))
      return setUtf16AttributeValues(values, count, convertedId);
  }
  return convertEachValue(values, count, id);
}
