#include "codec.h"

#include <libdeflate.h>

#include <new>

#include "format/archive_format.h"

uint32_t Crc32(const uint8_t* data, size_t n) { return libdeflate_crc32(0, data, n); }

bool InflateRaw(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (!d) throw std::bad_alloc();
  // One spare byte so that a pointer exists even for an empty result.
  out.assign(limit + 1, 0);
  size_t produced = 0;
  const libdeflate_result r =
      libdeflate_deflate_decompress_ex(d, in, n, out.data(), limit, nullptr, &produced);
  libdeflate_free_decompressor(d);
  if (r != LIBDEFLATE_SUCCESS) {
    out.clear();
    return false;
  }
  out.resize(produced);
  return true;
}

uint16_t PackEntryData(const std::vector<uint8_t>& data, int level, std::vector<uint8_t>& packed) {
  if (level > 0 && data.size() > 1) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    if (!c) throw std::bad_alloc();
    // Room for one byte less than the input: a result that does not fit
    // would not be smaller, and the entry is stored instead.
    packed.resize(data.size() - 1);
    const size_t n = libdeflate_deflate_compress(c, data.data(), data.size(), packed.data(),
                                                 packed.size());
    libdeflate_free_compressor(c);
    if (n > 0) {
      packed.resize(n);
      return MethodDeflated;
    }
  }
  packed = data;
  return MethodStored;
}
