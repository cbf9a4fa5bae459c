/* UTF-8 to UTF-16 for the example providers: the library takes every value and
 * id as NUL-terminated UTF-16. C11, header only. */
#ifndef CPCLIENT_EXAMPLES_COMMON_UTF16_H
#define CPCLIENT_EXAMPLES_COMMON_UTF16_H

#include <stddef.h>
#include <uchar.h>

/* Writes the UTF-16 form of the NUL-terminated UTF-8 text to out, which holds
 * capacity units (at least one), and NUL-terminates it; returns the units before
 * the NUL. Sequences of 1 to 4 bytes are decoded (4-byte ones become surrogate
 * pairs); an invalid byte, a truncated sequence or a value beyond U+10FFFF
 * becomes U+FFFD, so any byte string converts. The copy ends before the first
 * character that does not fit whole ahead of the NUL. A text never takes more
 * units than bytes, so strlen(text) + 1 units always hold all of it. */
static inline size_t utf16FromUtf8(const char* text, char16_t* out, size_t capacity) {
  const unsigned char* in = (const unsigned char*)text;
  size_t n = 0;
  while (*in) {
    unsigned long c = *in++;
    int more = c >= 0xF8 ? -1 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : c >= 0x80 ? -1 : 0;
    if (more > 0) c &= 0x3Fu >> more; /* keep the lead byte's payload bits */
    for (; more > 0 && (*in & 0xC0) == 0x80; more--) c = c << 6 | (*in++ & 0x3Fu);
    if (more != 0 || c > 0x10FFFF) c = 0xFFFD;
    if (n + (c >= 0x10000 ? 2 : 1) >= capacity) break; /* no room for it and the NUL */
    if (c >= 0x10000) {
      c -= 0x10000;
      out[n++] = (char16_t)(0xD800 + (c >> 10));
      out[n++] = (char16_t)(0xDC00 + (c & 0x3FF));
    } else {
      out[n++] = (char16_t)c;
    }
  }
  out[n] = 0;
  return n;
}

#endif /* CPCLIENT_EXAMPLES_COMMON_UTF16_H */
