/* The example providers' UTF-8 to UTF-16 copy: an invalid byte and a value beyond
 * U+10FFFF each become U+FFFD, a 4-byte sequence a surrogate pair. */
#include <stdio.h>
#include <string.h>

#include "../../examples/common/utf16.h"

int main(void) {
  /* 'a', 0xFF, U+1F600, F4 90 80 80 (U+110000), 0x80 (a lone continuation byte) */
  static const char TEXT[] = "a\xFF\xF0\x9F\x98\x80\xF4\x90\x80\x80\x80";
  static const char16_t WANT[] = {u'a', 0xFFFD, 0xD83D, 0xDE00, 0xFFFD, 0xFFFD, 0};
  char16_t out[sizeof TEXT];
  size_t n = utf16FromUtf8(TEXT, out, sizeof TEXT);
  if (n != sizeof WANT / sizeof WANT[0] - 1 || memcmp(out, WANT, sizeof WANT) != 0) {
    fprintf(stderr, "utf16FromUtf8 gave %zu units, not the replacements and the pair wanted\n", n);
    return 1;
  }
  return 0;
}
