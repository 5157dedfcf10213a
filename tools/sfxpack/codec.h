// Compression, decompression and CRC-32 of entry data.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "decoder_host.h"

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0);

// A byte buffer that is not zero-filled when made, so that only the pages
// really written take memory.
struct Bytes {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
  size_t capacity = 0;
  void Reserve(size_t n);  // exactly n, contents kept up to size
};

// The most output raw deflate data of n bytes can give: a two-bit code for
// each 258-byte copy, plus the first block's header.
uint64_t MostInflatedFrom(uint64_t n);

// Decodes raw deflate data (no zlib or gzip wrapper) into out with
// libdeflate, producing at most limit bytes. The buffer grows with the output
// really produced, never beyond what n input bytes can decode to. False,
// with *why set, when the data is not one complete, valid deflate stream or
// would decode to more than limit bytes.
bool InflateBounded(const uint8_t* in, size_t n, size_t limit, Bytes& out, std::string* why);

// Raw deflate decoding with zlib a piece at a time, in bounded memory
// whatever the size of the data.
class StreamInflater {
 public:
  enum class State { More, Ended, Damaged, Stopped };
  // Receives each block of output; false stops.
  using Put = std::function<bool(const uint8_t* p, size_t n)>;
  static constexpr size_t OutputBlock = 256 * 1024;

  // block: the most output put is given at a time.
  explicit StreamInflater(size_t block = OutputBlock);
  ~StreamInflater();
  StreamInflater(const StreamInflater&) = delete;
  StreamInflater& operator=(const StreamInflater&) = delete;

  // Decodes in[0..n): More when the stream wants more input, Ended at its
  // end (later bytes are ignored), Damaged, or Stopped when put said so.
  State Feed(const uint8_t* in, size_t n, const Put& put);

 private:
  struct Zlib;
  std::unique_ptr<Zlib> z_;
  std::unique_ptr<uint8_t[]> out_;
  size_t block_;
  bool ended_ = false;
};

// A bounded byte queue between two threads: Write waits for room and Read
// for bytes, so that it never holds more than its capacity.
class ByteQueue {
 public:
  explicit ByteQueue(size_t capacity);
  // Copies p[0..n) in, waiting for room as needed; false once broken.
  bool Write(const uint8_t* p, size_t n);
  // Waits for n bytes or the writer's end: how many were read, fewer than n
  // only at the end; -1 once broken.
  int64_t Read(uint8_t* p, size_t n);
  // No more bytes will come: reads take what is left, then end.
  void EndWriting();
  // Either side is gone: every later or waiting call fails at once.
  void Break();

 private:
  std::mutex m_;
  std::condition_variable changed_;
  std::unique_ptr<uint8_t[]> ring_;
  const size_t capacity_;
  size_t head_ = 0, count_ = 0;
  bool ended_ = false, broken_ = false;
};

// Bytes in the queue between StubDecoding's threads.
constexpr size_t StubQueueBytes = 256 * 1024;

// The stub's own decoder on a thread of its own, over n bytes of deflate
// data that it reads itself through read (scrambled, as in an installer,
// position 0 being the data's first byte; called on the decoder's thread).
// The caller takes its output with Expect. The output passes between the
// threads through a queue of StubQueueBytes, so that memory stays bounded
// whatever the entry's size. The stub's decoder runs one entry at a time in
// the process: until this one has finished, the calling thread must not run
// it otherwise (StubAgrees), or both wait.
class StubDecoding {
 public:
  StubDecoding(decoder_host::ReadAt read, uint32_t n);
  ~StubDecoding();  // stops the decoder early when it has not finished
  StubDecoding(const StubDecoding&) = delete;
  StubDecoding& operator=(const StubDecoding&) = delete;

  // Whether the decoder's next output is exactly p[0..n). Once it is not,
  // the decoder is stopped and Finish gives false.
  bool Expect(const uint8_t* p, size_t n);
  // Waits for the decoder's end: true when it could be run and its output
  // was exactly what Expect was given.
  bool Finish();

 private:
  struct Shared;  // what both threads touch
  // Waits for the decoder; early: makes its reads fail first.
  void Stop(bool early);
  std::unique_ptr<Shared> s_;
  bool same_ = true;
  bool finished_ = false;
  std::thread decoder_;
};

// Entries with deflate data up to this size are kept whole by the callers
// and checked with StubAgrees on the calling thread, which saves a thread for
// each small entry.
constexpr uint32_t SmallStubInput = 16384;

// Whether the stub's decoder gives exactly expected (expected_size bytes)
// for the n bytes of scrambled data that read gives from its position 0, on
// the calling thread. Its output is compared as it comes and never held.
bool StubAgrees(const decoder_host::ReadAt& read, uint32_t n, const uint8_t* expected,
                size_t expected_size);

// libdeflate's levels run from 1 to this one, its smallest output.
constexpr int MaxLibdeflateLevel = 12;
// The level above libdeflate's: the smaller of its best and zopfli's output.
constexpr int ZopfliLevel = MaxLibdeflateLevel + 1;
// zopfli's settings at ZopfliLevel. On 3.2 MB of Wine DLLs and texts
// (libdeflate's level 12: 1,037,554 bytes), with 1 MB blocks split at most
// 15 times as zopfli does by default, it gains nothing over level 12 whatever
// its passes; the splits are what count: 40 at most gave 1,034,116 bytes
// with 1 pass, 1,030,716 with 5 and 1,030,634 with 10; no limit gave
// 1,028,253 with 1 pass and 1,024,203 with 10, at three times 40's time.
constexpr int ZopfliIterations = 5;
constexpr int ZopfliBlockSplits = 40;
// zopfli packs its input in parts of this many bytes, each on its own with
// the bytes before it as history.
constexpr size_t ZopfliPartBytes = 1000000;

// Processors that the packer's workers leave idle, lent to the parts of a
// large file at ZopfliLevel: at its end one large file may be all that is
// left to pack.
class IdleProcessors {
 public:
  explicit IdleProcessors(int idle) : idle_(idle) {}
  bool Borrow() {
    int n = idle_.load();
    while (n > 0)
      if (idle_.compare_exchange_weak(n, n - 1)) return true;
    return false;
  }
  void Give() { idle_.fetch_add(1); }

 private:
  std::atomic<int> idle_;
};

// zopfli's raw deflate of n bytes, in parts of part_bytes (ZopfliPartBytes,
// or smaller in tests) packed side by side: by the calling thread and by any
// processors it can borrow from idle. Each part starts on a byte boundary:
// one that ends inside a byte is followed by an empty stored block, whose
// header is padded to the byte's end. So a part's bits never depend on where
// the one before it ended, nor the result on how many threads ran.
void ZopfliDeflateParts(const uint8_t* in, size_t n, size_t part_bytes, IdleProcessors* idle,
                        Bytes& out);

// Deflates n bytes at level (1 to ZopfliLevel) into a buffer of at most room
// bytes. Returns the packed size, or 0 when the deflated form would not be
// smaller than the input or would not fit in room. At ZopfliLevel the parts
// of a large file are packed by the calling thread and any processors it
// can borrow from idle; the bytes do not depend on how many it got.
size_t DeflateInto(const uint8_t* in, size_t n, int level, size_t room, Bytes& out,
                   IdleProcessors* idle = nullptr);
