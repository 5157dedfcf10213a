#include "codec.h"

#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>  // memfd_create
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <mutex>
#include <thread>
#include <new>

#include "archive/extract.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "hostwin32/hostwin32_control.h"
#include "inflate/inflate.h"
#include "fileio.h"

namespace {

// The stub's decoder works on process-wide state.
std::mutex stub_decoder_lock;

// An anonymous file in memory: no folder, no TMPDIR.
int MemoryFile() { return memfd_create("sfxpack", MFD_CLOEXEC); }

// The host layer logs every call with the handle's path: a short path keeps
// each record small when a large entry takes many calls.
std::string FdPath(int fd) {
  static const bool short_form = access("/dev/fd", F_OK) == 0;
  return (short_form ? "/dev/fd/" : "/proc/self/fd/") + std::to_string(fd);
}

// A pipe with room for a few windows of the stub's output, so that the two
// sides do not take turns a window at a time.
bool MakePipe(int ends[2]) {
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);  // a smaller pipe only costs speed
  return true;
}

// Reads and drops whatever is left until the writers close.
void Drain(int fd) {
  uint8_t block[65536];
  size_t got;
  while (ReadFull(fd, block, sizeof block, &got)) {
  }
}

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

namespace {

// Runs the stub's decoder over n bytes at pos of the handle the open routine
// gives, into the handle it gives as output. The caller holds the lock; the
// layer starts and ends fresh, as its log would otherwise grow with every
// entry.
template <typename Open>
bool RunStubDecoder(uint64_t pos, uint32_t n, Open open) {
  hostwin32::Reset();
  open();
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

// The stub's decoder over n scrambled bytes in memory, its output compared
// with expected as it comes: no file, no thread, no system call.
bool StubAgreesInMemory(const uint8_t* scrambled, uint32_t n, const uint8_t* expected,
                        size_t expected_size) {
  std::lock_guard<std::mutex> hold(stub_decoder_lock);
  bool same = true;
  uint64_t got = 0;
  const bool ran = RunStubDecoder(0, n, [&] {
    ArchiveHandle = hostwin32::OpenMemoryFile(scrambled, n);
    OutputHandle = hostwin32::OpenMemoryFile(nullptr, 0, [&](const void* p, DWORD k) {
      same = same && got + k <= expected_size && memcmp(p, expected + got, k) == 0;
      got += k;
      return true;
    });
  });
  return ran && same && got == expected_size;
}

}  // namespace

bool StubInflate(int in_fd, uint64_t pos, uint32_t n, int out_fd, const std::atomic<bool>* stop) {
  std::lock_guard<std::mutex> hold(stub_decoder_lock);
  return RunStubDecoder(pos, n, [&] {
    if (stop) hostwin32::InjectedFaults().readFileFails = [stop](int) { return stop->load(); };
    ArchiveHandle = CreateFileA(FdPath(in_fd).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    OutputHandle = CreateFileA(FdPath(out_fd).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  });
}

struct StreamInflater::Zlib {
  z_stream s{};
};

StreamInflater::StreamInflater(size_t block)
    : z_(new Zlib), out_(new uint8_t[block ? block : 1]), block_(block ? block : 1) {
  if (inflateInit2(&z_->s, -15) != Z_OK) throw std::bad_alloc();  // raw deflate
}

StreamInflater::~StreamInflater() { inflateEnd(&z_->s); }

StreamInflater::State StreamInflater::Feed(const uint8_t* in, size_t n, const Put& put) {
  z_stream& z = z_->s;
  while (!ended_) {
    const size_t piece = n < (1u << 30) ? n : (1u << 30);
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = uInt(piece);
    while (true) {
      z.next_out = out_.get();
      z.avail_out = uInt(block_);
      const int r = inflate(&z, Z_NO_FLUSH);
      const size_t got = block_ - z.avail_out;
      if (got > 0 && !put(out_.get(), got)) return State::Stopped;
      if (r == Z_STREAM_END) {
        ended_ = true;
        break;
      }
      if (r != Z_OK && r != Z_BUF_ERROR) return State::Damaged;
      // No progress without more input, or all input taken and nothing
      // pending.
      if (r == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out > 0)) break;
    }
    if (ended_) break;
    in += piece, n -= piece;
    if (n == 0) return State::More;
  }
  return State::Ended;
}

StubDecoding::StubDecoding(int in_fd, uint64_t pos, uint32_t n, bool compare) : compare_(compare) {
  int out[2], in[2] = {-1, -1};
  if (!MakePipe(out)) return;
  if (in_fd < 0 && !MakePipe(in)) {
    close(out[0]), close(out[1]);
    return;
  }
  out_read_ = out[0], out_write_ = out[1], in_read_ = in[0], in_write_ = in[1];
  decoder_ = std::thread([this, in_fd, pos, n] {
    ran_ = StubInflate(in_fd >= 0 ? in_fd : in_read_, in_fd >= 0 ? pos : 0, n, out_write_, &stop_);
    ended_ = true;
    close(out_write_);  // the reader sees the end once every write end is closed
    // Input fed after the decoder's end is dropped, so that Feed never waits.
    if (in_read_ >= 0) Drain(in_read_);
  });
  if (!compare_) {
    counter_ = std::thread([this] {
      uint8_t block[65536];
      size_t got = 0;
      bool more = true;
      while (more) {
        more = ReadFull(out_read_, block, sizeof block, &got);
        crc_ = Crc32(block, got, crc_);
        size_ += got;
      }
    });
  }
}

StubDecoding::~StubDecoding() {
  if (!finished_) Stop(true);
  for (int fd : {in_read_, in_write_, out_read_}) {
    if (fd >= 0) close(fd);
  }
}

void StubDecoding::Stop(bool early) {
  finished_ = true;
  if (early) stop_ = true;
  if (in_write_ >= 0) close(in_write_);
  in_write_ = -1;
  if (!decoder_.joinable()) return;
  if (compare_) Drain(out_read_);
  decoder_.join();
  if (counter_.joinable()) counter_.join();
}

bool StubDecoding::Feed(const uint8_t* raw, size_t n) {
  if (in_write_ < 0 || ended_) return false;
  uint8_t block[65536];
  for (size_t done = 0; done < n;) {
    const size_t k = n - done < sizeof block ? n - done : sizeof block;
    for (size_t i = 0; i < k; i++) block[i] = raw[done + i] ^ ScrambleKey;
    if (!WriteAll(in_write_, block, k)) return false;
    done += k;
  }
  return true;
}

bool StubDecoding::Expect(const uint8_t* p, size_t n) {
  if (!compare_ || out_read_ < 0 || finished_) return false;
  uint8_t block[65536];
  for (size_t done = 0; same_ && done < n;) {
    const size_t want = n - done < sizeof block ? n - done : sizeof block;
    size_t got = 0;
    if (!ReadFull(out_read_, block, want, &got) || memcmp(block, p + done, want) != 0)
      same_ = false;
    done += want;
  }
  return same_;
}

bool StubDecoding::Finish(uint64_t* size, uint32_t* crc) {
  if (out_read_ < 0 || finished_) return false;
  if (in_write_ >= 0) close(in_write_);
  in_write_ = -1;
  if (compare_) {
    // The output must end where the expected bytes end.
    uint8_t extra;
    size_t got = 0;
    ReadFull(out_read_, &extra, 1, &got);
    if (got != 0) same_ = false;
  }
  Stop(!same_);
  if (size) *size = size_;
  if (crc) *crc = crc_;
  return ran_ && (!compare_ || same_);
}

bool StubAgrees(int in_fd, uint64_t pos, uint32_t n, const uint8_t* expected,
                size_t expected_size) {
  if (n <= SmallStubInput) {
    // So little data is read whole and decoded in memory, without a thread.
    uint8_t data[SmallStubInput];
    const ssize_t have = PreadFull(in_fd, data, n, pos);
    return have >= 0 && StubAgreesInMemory(data, uint32_t(have), expected, expected_size);
  }
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
  if (n <= SmallStubInput) {
    uint8_t data[SmallStubInput];
    for (size_t i = 0; i < n; i++) data[i] = in[i] ^ ScrambleKey;
    return StubAgreesInMemory(data, uint32_t(n), expected, expected_size);
  }
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
