// Compression, decompression and CRC-32 of entry data.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

uint32_t Crc32(const uint8_t* data, size_t n);

// Decodes raw deflate data (no zlib or gzip wrapper) into out, producing at
// most limit bytes, with the stub's own decoder. False when the data is not
// a complete, valid deflate stream, would decode to more than limit bytes,
// or the stub's decoder gives anything else than a reference decoder.
bool InflateRaw(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit);

// Deflates data at level (1..12) into packed and returns MethodDeflated, or
// returns MethodStored, with packed a copy of data, when deflate would not
// make it smaller or level is 0.
uint16_t PackEntryData(const std::vector<uint8_t>& data, int level, std::vector<uint8_t>& packed);
