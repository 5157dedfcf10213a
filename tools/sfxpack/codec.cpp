#include "codec.h"

#include <libdeflate.h>
#include <stdlib.h>
#include <string.h>
#include <zopfli/deflate.h>
#include <zopfli/zopfli.h>

#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "archive/extract.h"
#include "archive/stream.h"
#include "decoder_host.h"
#include "platform.h"
#include "format/archive_format.h"
#include "inflate/inflate.h"

namespace {

// The stub's decoder works on process-wide state: one decoding at a time.
std::mutex stub_decoder_lock;

// Runs the stub's decoder over the n scrambled bytes that in reads from its
// position 0, handing its output to out. False when n is beyond what the
// stub's signed entry sizes hold.
bool RunStubDecoder(decoder_host::Handle& in, decoder_host::Handle& out, uint32_t n) {
  if (n > 0x7FFFFFFFu) return false;
  std::lock_guard<std::mutex> hold(stub_decoder_lock);
  ArchiveHandle = in.Win32();
  OutputHandle = out.Win32();
  SeekArchive(0, FILE_BEGIN);
  EntryRemaining = int32_t(n);
  InflateEntry();
  ArchiveHandle = OutputHandle = INVALID_HANDLE_VALUE;
  return true;
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

ByteQueue::ByteQueue(size_t capacity)
    : ring_(new uint8_t[capacity ? capacity : 1]), capacity_(capacity ? capacity : 1) {}

bool ByteQueue::Write(const uint8_t* p, size_t n) {
  std::unique_lock<std::mutex> hold(m_);
  while (n > 0) {
    changed_.wait(hold, [&] { return broken_ || count_ < capacity_; });
    if (broken_) return false;
    const size_t tail = (head_ + count_) % capacity_;
    size_t k = capacity_ - count_;
    if (k > capacity_ - tail) k = capacity_ - tail;  // up to the ring's end
    if (k > n) k = n;
    memcpy(ring_.get() + tail, p, k);
    count_ += k, p += k, n -= k;
    changed_.notify_all();
  }
  return true;
}

int64_t ByteQueue::Read(uint8_t* p, size_t n) {
  std::unique_lock<std::mutex> hold(m_);
  size_t done = 0;
  while (done < n) {
    changed_.wait(hold, [&] { return broken_ || ended_ || count_ > 0; });
    if (broken_) return -1;
    if (count_ == 0) break;  // ended
    size_t k = count_ < n - done ? count_ : n - done;
    if (k > capacity_ - head_) k = capacity_ - head_;
    memcpy(p + done, ring_.get() + head_, k);
    head_ = (head_ + k) % capacity_;
    count_ -= k, done += k;
    changed_.notify_all();
  }
  return int64_t(done);
}

void ByteQueue::EndWriting() {
  std::lock_guard<std::mutex> hold(m_);
  ended_ = true;
  changed_.notify_all();
}

void ByteQueue::Break() {
  std::lock_guard<std::mutex> hold(m_);
  broken_ = true;
  changed_.notify_all();
}

struct StubDecoding::Shared {
  ByteQueue out{StubQueueBytes};
  std::atomic<bool> stop{false};
  bool ran = false;
};

StubDecoding::StubDecoding(decoder_host::ReadAt read, uint32_t n) : s_(new Shared) {
  Shared& s = *s_;
  decoder_ = std::thread([&s, read, n] {
    decoder_host::Handle in, out;
    in.read = [&s, &read](uint64_t at, uint8_t* p, size_t k) -> int64_t {
      return s.stop ? -1 : read(at, p, k);
    };
    out.sink = [&s](const uint8_t* p, size_t k) { return s.out.Write(p, k); };
    s.ran = RunStubDecoder(in, out, n);
    s.out.EndWriting();
  });
}

StubDecoding::~StubDecoding() {
  if (!finished_) Stop(true);
}

void StubDecoding::Stop(bool early) {
  finished_ = true;
  if (early) s_->stop = true;
  // Nothing takes the output any more: the decoder's writes fail at once.
  s_->out.Break();
  if (decoder_.joinable()) decoder_.join();
}

bool StubDecoding::Expect(const uint8_t* p, size_t n) {
  if (finished_ || !same_) return false;
  uint8_t block[65536];
  for (size_t done = 0; same_ && done < n;) {
    const size_t want = n - done < sizeof block ? n - done : sizeof block;
    if (s_->out.Read(block, want) != int64_t(want) || memcmp(block, p + done, want) != 0)
      same_ = false;
    done += want;
  }
  // Its further output is of no use: the decoder ends now.
  if (!same_) Stop(true);
  return same_;
}

bool StubDecoding::Finish() {
  if (finished_) return false;
  if (same_) {
    // The output must end where the expected bytes end.
    uint8_t extra;
    if (s_->out.Read(&extra, 1) != 0) same_ = false;
  }
  Stop(!same_);
  return s_->ran && same_;
}

bool StubAgrees(const decoder_host::ReadAt& read, uint32_t n, const uint8_t* expected,
                size_t expected_size) {
  // Its output is compared as it comes; once it differs the reads fail, so
  // that the decoder ends soon.
  bool same = true;
  uint64_t got = 0;
  decoder_host::Handle in, out;
  in.read = [&](uint64_t pos, uint8_t* p, size_t k) -> int64_t {
    return same ? read(pos, p, k) : -1;
  };
  out.sink = [&](const uint8_t* p, size_t k) {
    same = same && got + k <= expected_size && memcmp(p, expected + got, k) == 0;
    got += k;
    return same;
  };
  return RunStubDecoder(in, out, n) && same && got == expected_size;
}

namespace {

// libdeflate at level into out, within cap bytes: the packed size, 0 when
// it does not fit.
size_t LibdeflateInto(const uint8_t* in, size_t n, int level, size_t cap, Bytes& out) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (!c) throw std::bad_alloc();
  if (out.capacity < cap) {
    out.data.reset();
    out.capacity = 0;
    out.Reserve(cap);
  }
  const size_t packed = libdeflate_deflate_compress(c, in, n, out.data.get(), cap);
  libdeflate_free_compressor(c);
  return packed;
}

// One part's deflate blocks as zopfli gives them, in a buffer it allocates
// with malloc: size bytes, of which the last holds end_bit bits (0: all 8).
struct ZopfliPart {
  unsigned char* data = nullptr;
  size_t size = 0;
  unsigned char end_bit = 0;
  ZopfliPart() = default;
  ZopfliPart(const ZopfliPart&) = delete;
  ~ZopfliPart() { free(data); }
};

void PackZopfliPart(const uint8_t* in, size_t n, size_t part_bytes, size_t part, bool last,
                    ZopfliPart& out) {
  ZopfliOptions o;
  ZopfliInitOptions(&o);
  o.numiterations = ZopfliIterations;
  o.blocksplittingmax = ZopfliBlockSplits;
  const size_t start = part * part_bytes;
  ZopfliDeflatePart(&o, 2, last, in, start, last ? n : start + part_bytes, &out.end_bit,
                    &out.data, &out.size);
}

}  // namespace

// Threads take the next part in turn; the calling thread borrows idle
// processors before each part it takes.
void ZopfliDeflateParts(const uint8_t* in, size_t n, size_t part_bytes, IdleProcessors* idle,
                        Bytes& out) {
  const size_t count = n == 0 ? 1 : (n + part_bytes - 1) / part_bytes;
  std::unique_ptr<ZopfliPart[]> parts(new ZopfliPart[count]);
  std::atomic<size_t> next{0};
  auto pack_parts = [&] {
    for (size_t i; (i = next++) < count;)
      PackZopfliPart(in, n, part_bytes, i, i + 1 == count, parts[i]);
  };
  std::vector<std::thread> helpers;
  for (size_t i; (i = next++) < count;) {
    while (idle && next < count && idle->Borrow()) {
      try {
        helpers.emplace_back([&] {
          pack_parts();
          idle->Give();
        });
      } catch (const std::system_error&) {
        idle->Give();
        break;
      }
    }
    PackZopfliPart(in, n, part_bytes, i, i + 1 == count, parts[i]);
  }
  for (std::thread& t : helpers) t.join();

  size_t total = 0;
  for (size_t i = 0; i < count; i++) {
    if (!parts[i].data) throw std::bad_alloc();
    total += parts[i].size + 5;
  }
  out.size = 0;
  if (out.capacity < total) {
    out.data.reset();
    out.capacity = 0;
    out.Reserve(total);
  }
  uint8_t* at = out.data.get();
  for (size_t i = 0; i < count; i++) {
    memcpy(at, parts[i].data, parts[i].size);
    at += parts[i].size;
    if (i + 1 == count || parts[i].end_bit == 0) continue;
    // BFINAL 0 and BTYPE 00 after the part's last bit; a stored block's
    // header then pads to the byte's end. Three bits fit in this byte or
    // spill into a new one, which the padding then fills.
    if (parts[i].end_bit > 5) *at++ = 0;
    *at++ = 0x00, *at++ = 0x00, *at++ = 0xFF, *at++ = 0xFF;  // LEN 0, NLEN
  }
  out.size = size_t(at - out.data.get());
}

size_t DeflateInto(const uint8_t* in, size_t n, int level, size_t room, Bytes& out,
                   IdleProcessors* idle) {
  out.size = 0;
  if (level <= 0 || n <= 1 || room == 0) return 0;
  // A result of n bytes or more would not be smaller, and the entry is
  // stored instead. libdeflate wants a few bytes of slack past its result,
  // so the room is checked here rather than by the buffer's size.
  const size_t slack = 16;
  const size_t most = n - 1 < room ? n - 1 : room;
  const size_t packed = LibdeflateInto(in, n, level < MaxLibdeflateLevel ? level : MaxLibdeflateLevel,
                                       most + slack, out);
  out.size = packed <= most ? packed : 0;
  if (level > MaxLibdeflateLevel) {
    // The smaller of libdeflate's best and zopfli's; libdeflate's on a tie.
    Bytes z;
    ZopfliDeflateParts(in, n, ZopfliPartBytes, idle, z);
    if (z.size > 0 && z.size <= most && (out.size == 0 || z.size < out.size)) out = std::move(z);
  }
  return out.size;
}
