// Forced into host builds of the stub's memory routines (memory.cpp): the
// i386 benchmark's build of the decoder and the unit tests. There the
// routines take names of their own, so that the code built with this header
// calls them, as it does in the stub, while everything else in the process
// (zlib, libdeflate, the test framework) keeps the C library's.
#pragma once

#include <stddef.h>

extern "C" {
void* memset(void* destination, int value, size_t count) __asm__("stub_memset");
void* memcpy(void* destination, const void* source, size_t count) __asm__("stub_memcpy");
void* memmove(void* destination, const void* source, size_t count) __asm__("stub_memmove");
int memcmp(const void* a, const void* b, size_t count) __asm__("stub_memcmp");
}
