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

// Four bytes at a time, then the rest: the decoder's stored blocks, its
// tables and long match pieces come through here. Each word is loaded
// before it is stored, so a forward copy is right for any destination below
// the source, and a backward one for any destination above it.
static inline void CopyWord(unsigned char* d, const unsigned char* s) {
  unsigned int word;
  __builtin_memcpy(&word, s, 4);
  __builtin_memcpy(d, &word, 4);
}

static void CopyForward(unsigned char* d, const unsigned char* s, size_t count) {
#if defined(__i386__) || defined(__x86_64__)
  // The processor's string moves, words and then bytes, forward: the
  // direction flag is clear on every call, as the calling conventions
  // require.
  size_t words = count >> 2, rest = count & 3;
  __asm__ volatile("rep movsl" : "+D"(d), "+S"(s), "+c"(words) : : "memory");
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(rest) : : "memory");
#else
  for (; count >= 4; count -= 4, d += 4, s += 4) CopyWord(d, s);
  while (count--) *d++ = *s++;
#endif
}

void* memcpy(void* destination, const void* source, size_t count) {
  CopyForward((unsigned char*)destination, (const unsigned char*)source, count);
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  unsigned char* d = (unsigned char*)destination;
  const unsigned char* s = (const unsigned char*)source;
  if (d < s) {
    CopyForward(d, s, count);
  } else {
    d += count;
    s += count;
    for (; count >= 4; count -= 4) {
      d -= 4;
      s -= 4;
      CopyWord(d, s);
    }
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
