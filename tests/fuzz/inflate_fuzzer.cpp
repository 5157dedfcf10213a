// InflateEntry over arbitrary entry data, fed through the stream layer from
// a scrambled file as the stub reads it. Where zlib's raw inflate decodes
// the data completely, our output must be the same bytes; whatever the
// data, the output file receives whole windows and at most one shorter
// write, and nothing past the entry is read.
#include <stdint.h>
#include <stdlib.h>
#include <zlib.h>

#include <cstdio>
#include <string>

#include "archive/extract.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "fuzz_support.h"
#include "hostwin32/hostwin32_control.h"
#include "inflate/inflate.h"

static bool ZlibDecodes(const uint8_t* data, size_t size, std::string& output) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) abort();
  z.next_in = (Bytef*)data;
  z.avail_in = (uInt)size;
  char buffer[32768];
  int r;
  do {
    z.next_out = (Bytef*)buffer;
    z.avail_out = sizeof buffer;
    r = inflate(&z, Z_NO_FLUSH);
    output.append(buffer, sizeof buffer - z.avail_out);
  } while (r == Z_OK && (z.avail_out == 0 || z.avail_in > 0));
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

static void Fail(const char* what) {
  std::fprintf(stderr, "inflate_fuzzer: %s\n", what);
  abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x100000) return 0;
  const std::string archive = FuzzScratch() + "/archive.bin";
  const std::string output = FuzzScratch() + "/output.bin";
  // Some bytes before the entry and after it, so that a read outside it
  // would show.
  std::string file(16, '\x11');
  for (size_t i = 0; i < size; i++) file += (char)(data[i] ^ ScrambleKey);
  file += std::string(16, '\x22');
  WriteWhole(archive, file);

  hostwin32::Reset();
  ArchiveHandle = CreateFileA(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ArchiveHandle == INVALID_HANDLE_VALUE) Fail("cannot open the archive file");
  SeekArchive(16, FILE_BEGIN);
  EntryRemaining = (int32_t)size;
  OutputHandle = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (OutputHandle == INVALID_HANDLE_VALUE) Fail("cannot create the output file");
  InflateEntry();
  CloseHandle(OutputHandle);
  OutputHandle = INVALID_HANDLE_VALUE;
  const DWORD end = SetFilePointer(ArchiveHandle, 0, nullptr, FILE_CURRENT);
  CloseHandle(ArchiveHandle);
  ArchiveHandle = INVALID_HANDLE_VALUE;
  if (end > 16 + size) Fail("read past the entry");

  const std::string ours = ReadWhole(output);
  size_t total = 0;
  const auto& writes = hostwin32::Writes();
  for (size_t i = 0; i < writes.size(); i++) {
    const DWORD n = writes[i].second;
    if (n == 0 || n > 32768 || (i + 1 < writes.size() && n != 32768)) Fail("a write that is not a window");
    total += n;
  }
  if (total != ours.size()) Fail("writes and file size differ");
  hostwin32::Reset();

  std::string reference;
  if (ZlibDecodes(data, size, reference) && reference != ours) Fail("output differs from zlib's");
  return 0;
}
