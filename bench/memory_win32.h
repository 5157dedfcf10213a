// Memory-backed archive and output file for the benchmark.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace memfile {
// Points reads at `data` (already scrambled) and writes at `out`.
void Use(const uint8_t* data, size_t n, uint8_t* out, size_t capacity);
extern size_t outputSize;
extern size_t writeCalls;
extern bool writeSizesWindowed;
}  // namespace memfile
