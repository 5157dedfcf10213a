// Forced into the i386 benchmark's build of the decoder: the stub's own
// memory routines (src/runtime/memory.cpp) take names of their own, so that
// the decoder calls them, as it does in the stub, while zlib and libdeflate
// in the same process keep the C library's.
#pragma once

#include <stddef.h>

extern "C" {
void* memset(void* destination, int value, size_t count) __asm__("stub_memset");
void* memcpy(void* destination, const void* source, size_t count) __asm__("stub_memcpy");
void* memmove(void* destination, const void* source, size_t count) __asm__("stub_memmove");
int memcmp(const void* a, const void* b, size_t count) __asm__("stub_memcmp");
}
