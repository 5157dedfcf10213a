#include "codec.h"

#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>  // memfd_create
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <new>

#include "archive/extract.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "hostwin32/hostwin32_control.h"
#include "inflate/inflate.h"

namespace {

// The stub's decoder works on process-wide state.
std::mutex stub_decoder_lock;

// An anonymous file in memory: no folder, no TMPDIR.
int MemoryFile() { return memfd_create("sfxpack", MFD_CLOEXEC); }

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc) {
  return libdeflate_crc32(crc, data, n);
}

void Bytes::Reserve(size_t n) {
  std::unique_ptr<uint8_t[]> fresh(new uint8_t[n ? n : 1]);
  if (size > 0) memcpy(fresh.get(), data.get(), size < n ? size : n);
  data.swap(fresh);
  capacity = n;
  if (size > n) size = n;
}

uint64_t MostInflatedFrom(uint64_t n) { return n * 1032 + 1024; }

bool InflateBounded(const uint8_t* in, size_t n, size_t limit, Bytes& out, std::string* why) {
  const uint64_t most = MostInflatedFrom(n);
  const size_t cap = most < limit ? size_t(most) : limit;
  // A first guess from typical ratios; each retry doubles, so the work stays
  // within twice one decoding and the buffer within twice the real output.
  size_t room = n < cap / 4 ? n * 4 : cap;
  if (room < 65536) room = cap < 65536 ? cap : 65536;
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (!d) throw std::bad_alloc();
  out.size = 0;
  while (true) {
    if (out.capacity < room) {
      out.data.reset();
      out.capacity = 0;
      out.Reserve(room);
    }
    size_t produced = 0;
    const size_t offer = room < cap ? room : cap;
    const libdeflate_result r = libdeflate_deflate_decompress_ex(
        d, in, n, out.data.get(), offer, nullptr, &produced);
    if (r == LIBDEFLATE_SUCCESS) {
      out.size = produced;
      libdeflate_free_decompressor(d);
      return true;
    }
    if (r != LIBDEFLATE_INSUFFICIENT_SPACE || offer >= cap) {
      libdeflate_free_decompressor(d);
      if (r == LIBDEFLATE_INSUFFICIENT_SPACE)
        *why = "its deflate data decodes to more than " + std::to_string(limit) + " bytes";
      else
        *why = "its deflate data is damaged";
      return false;
    }
    room = room > cap / 2 ? cap : room * 2;
  }
}

bool StubInflate(int in_fd, uint64_t pos, uint32_t n, int out_fd) {
  std::lock_guard<std::mutex> hold(stub_decoder_lock);
  // A fresh state each time: the layer's log of writes would otherwise grow
  // with every entry.
  hostwin32::Reset();
  ArchiveHandle = CreateFileA(FdPath(in_fd).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  OutputHandle = CreateFileA(FdPath(out_fd).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool ok = ArchiveHandle != INVALID_HANDLE_VALUE && OutputHandle != INVALID_HANDLE_VALUE &&
                  pos <= 0x7FFFFFFFu && n <= 0x7FFFFFFFu;
  if (ok) {
    SeekArchive(int32_t(pos), FILE_BEGIN);
    ResetReadAhead();
    EntryRemaining = int32_t(n);
    InflateEntry();
  }
  if (ArchiveHandle != INVALID_HANDLE_VALUE) CloseHandle(ArchiveHandle);
  if (OutputHandle != INVALID_HANDLE_VALUE) CloseHandle(OutputHandle);
  ArchiveHandle = OutputHandle = INVALID_HANDLE_VALUE;
  hostwin32::Reset();
  return ok;
}

bool StubAgrees(int in_fd, uint64_t pos, uint32_t n, const uint8_t* expected,
                size_t expected_size) {
  // The stub's output goes through a pipe and is compared as it comes, so
  // that it is never held in memory beside the expected bytes.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  bool same = true;
  uint64_t got = 0;
  std::thread reader([&] {
    uint8_t block[65536];
    while (true) {
      const ssize_t k = read(ends[0], block, sizeof block);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) break;
      if (got + uint64_t(k) > expected_size || memcmp(block, expected + got, size_t(k)) != 0)
        same = false;
      got += uint64_t(k);
    }
  });
  const bool ran = StubInflate(in_fd, pos, n, ends[1]);
  close(ends[1]);  // the reader sees the end once every write end is closed
  reader.join();
  close(ends[0]);
  return ran && same && got == expected_size;
}

bool StubAgreesOnRaw(const uint8_t* in, size_t n, const uint8_t* expected, size_t expected_size) {
  if (n > 0x7FFFFFFF) return false;
  const int in_fd = MemoryFile();
  if (in_fd < 0) return false;
  bool ok = true;
  uint8_t block[65536];
  for (size_t done = 0; ok && done < n;) {
    const size_t k = n - done < sizeof block ? n - done : sizeof block;
    for (size_t i = 0; i < k; i++) block[i] = in[done + i] ^ ScrambleKey;
    ok = write(in_fd, block, k) == ssize_t(k);
    done += k;
  }
  ok = ok && StubAgrees(in_fd, 0, uint32_t(n), expected, expected_size);
  close(in_fd);
  return ok;
}

bool InflateRaw(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit) {
  out.clear();
  Bytes plain;
  std::string why;
  // libdeflate bounds the work on hostile data; the stub's own decoder then
  // decides, since its output is what an installer's user gets.
  if (!InflateBounded(in, n, limit, plain, &why) ||
      !StubAgreesOnRaw(in, n, plain.data.get(), plain.size))
    return false;
  out.assign(plain.data.get(), plain.data.get() + plain.size);
  return true;
}

size_t DeflateInto(const uint8_t* in, size_t n, int level, size_t room, Bytes& out) {
  if (level <= 0 || n <= 1 || room == 0) return 0;
  // A result of n bytes or more would not be smaller, and the entry is
  // stored instead. libdeflate wants a few bytes of slack past its result,
  // so the room is checked here rather than by the buffer's size.
  const size_t slack = 16;
  const size_t cap = n - 1 < room + slack ? n - 1 : room + slack;
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (!c) throw std::bad_alloc();
  if (out.capacity < cap) {
    out.data.reset();
    out.capacity = 0;
    out.Reserve(cap);
  }
  const size_t packed = libdeflate_deflate_compress(c, in, n, out.data.get(), cap);
  libdeflate_free_compressor(c);
  out.size = packed <= room ? packed : 0;
  return out.size;
}

uint16_t PackEntryData(const std::vector<uint8_t>& data, int level, std::vector<uint8_t>& packed) {
  Bytes out;
  const size_t n = DeflateInto(data.data(), data.size(), level, data.size(), out);
  if (n > 0) {
    packed.assign(out.data.get(), out.data.get() + n);
    return MethodDeflated;
  }
  packed = data;
  return MethodStored;
}
