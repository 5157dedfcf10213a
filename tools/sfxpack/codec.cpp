#include "codec.h"

#include <libdeflate.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "archive/extract.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "inflate/inflate.h"

namespace {

// Runs the stub's own decoder, built for the host, over the data: the bytes
// go through a scrambled file and the stub's input stream exactly as they do
// in an installer, and the output through the window's writes.
bool StubInflate(const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
  const char* dir = getenv("TMPDIR");
  std::string base = std::string(dir && *dir ? dir : "/tmp") + "/sfxpack-inflate-XXXXXX";
  std::string input = base, output = base;
  int fd = mkstemp(&input[0]);
  if (fd < 0) return false;
  std::vector<uint8_t> scrambled(in, in + n);
  for (uint8_t& b : scrambled) b ^= ScrambleKey;
  bool ok = write(fd, scrambled.data(), scrambled.size()) == (ssize_t)scrambled.size();
  close(fd);
  int outFd = ok ? mkstemp(&output[0]) : -1;
  if (outFd >= 0) close(outFd);
  ok = ok && outFd >= 0;
  if (ok) {
    ArchiveHandle = CreateFileA(input.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    OutputHandle = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ok = ArchiveHandle != INVALID_HANDLE_VALUE && OutputHandle != INVALID_HANDLE_VALUE;
    if (ok) {
      SeekArchive(0, FILE_BEGIN);
      EntryRemaining = (int32_t)n;
      InflateEntry();
    }
    if (ArchiveHandle != INVALID_HANDLE_VALUE) CloseHandle(ArchiveHandle);
    if (OutputHandle != INVALID_HANDLE_VALUE) CloseHandle(OutputHandle);
    ArchiveHandle = OutputHandle = INVALID_HANDLE_VALUE;
  }
  if (ok) {
    std::ifstream decoded(output, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(decoded), std::istreambuf_iterator<char>());
  }
  unlink(input.c_str());
  if (outFd >= 0) unlink(output.c_str());
  return ok;
}

}  // namespace

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
  // libdeflate bounds the work on hostile data; the stub's own decoder then
  // decides, since its output is what an installer's user gets.
  std::vector<uint8_t> stub;
  if (n > 0x7FFFFFFF || !StubInflate(in, n, stub) || stub != out) {
    out.clear();
    return false;
  }
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
