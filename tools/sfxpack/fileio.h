// Whole-buffer reads and writes on file descriptors, retried when a signal
// interrupts them.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Reads n bytes; false at an error or the end, with *got the bytes read.
bool ReadFull(int fd, uint8_t* p, size_t n, size_t* got);
// Writes n bytes; false at an error.
bool WriteAll(int fd, const uint8_t* p, size_t n);
// Reads up to n bytes at pos: how many the file holds there, or -1 at an
// error.
ssize_t PreadFull(int fd, uint8_t* p, size_t n, uint64_t pos);
