// Without a C runtime the compiler may still emit calls to these. This file
// is built with loop-to-library-call conversion off, so the loops below do
// not turn into calls to themselves.
#include <stddef.h>

extern "C" {

void* memset(void* destination, int value, size_t count) {
  unsigned char* d = (unsigned char*)destination;
  while (count--) *d++ = (unsigned char)value;
  return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
  unsigned char* d = (unsigned char*)destination;
  const unsigned char* s = (const unsigned char*)source;
  while (count--) *d++ = *s++;
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  unsigned char* d = (unsigned char*)destination;
  const unsigned char* s = (const unsigned char*)source;
  if (d < s) {
    while (count--) *d++ = *s++;
  } else {
    d += count;
    s += count;
    while (count--) *--d = *--s;
  }
  return destination;
}

int memcmp(const void* a, const void* b, size_t count) {
  const unsigned char* x = (const unsigned char*)a;
  const unsigned char* y = (const unsigned char*)b;
  for (; count; count--, x++, y++) {
    if (*x != *y) return *x < *y ? -1 : 1;
  }
  return 0;
}
}
