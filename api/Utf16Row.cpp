// The UTF-16 form of a data-response row: converted to UTF-8, then added as any other row.
#include <cstdlib>

#include "api/VEXA.h"
#include "util/Utf16.h"

namespace {

constexpr int MAX_STACK_VALUES = 64;
constexpr size_t STACK_SCRATCH_BYTES = 4096;

// The conversion for rows that do not fit the stack block: a copy per value. A
// value whose copy cannot be allocated is passed on as null (written as an empty
// value); an id or an array that cannot be allocated gives CP_NO_MEMORY.
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

// Converts text into the scratch block at *used, giving its place and length;
// false when it does not fit.
bool convertInto(const char16_t* text, char* scratch, size_t* used, char** converted, size_t* length) {
  size_t n = utf16ToUtf8Bounded(text, scratch + *used, STACK_SCRATCH_BYTES - *used);
  if (n == 0) return false;
  *converted = scratch + *used;
  *length = n - 1;
  *used += n;
  return true;
}

}  // namespace

// A row of up to MAX_STACK_VALUES values whose UTF-8 form fits STACK_SCRATCH_BYTES
// bytes is converted in one pass into one block on the stack, without allocating,
// with the lengths the conversion finds; any other row takes a copy per value.
int cp_SetAttributeValuesUtf16(char16_t** values, int count, char16_t* id) {
  if (count < 0 || !values) count = 0;
  if (count <= MAX_STACK_VALUES) {
    char* converted[MAX_STACK_VALUES];
    size_t lengths[MAX_STACK_VALUES];
    char scratch[STACK_SCRATCH_BYTES];
    size_t used = 0;
    char* convertedId = nullptr;
    size_t idLength = 0;
    bool fits = !id || convertInto(id, scratch, &used, &convertedId, &idLength);
    for (int i = 0; i < count && fits; i++) {
      converted[i] = nullptr;
      lengths[i] = 0;
      if (values[i]) fits = convertInto(values[i], scratch, &used, &converted[i], &lengths[i]);
    }
    if (fits) return cp_SetAttributeValuesWithLengths(converted, lengths, count, convertedId);
  }
  return convertEachValue(values, count, id);
}
