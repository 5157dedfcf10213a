// Compression, decompression and CRC-32 of entry data.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// Runs the stub's own decoder, built for the host, over the scrambled deflate
// data at file offset pos of the open file in_fd (n bytes), writing what it
// produces to out_fd from its current position. Nothing touches the file
// system besides those two files. False when a handle cannot be had. Once
// *stop is set, its reads deliver nothing, so that it ends soon.
bool StubInflate(int in_fd, uint64_t pos, uint32_t n, int out_fd,
                 const std::atomic<bool>* stop = nullptr);

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

// The stub's own decoder on a thread of its own, over n bytes of deflate
// data: read by it from in_fd at pos (scrambled, as in an installer), or,
// with in_fd < 0, handed over with Feed. Its output goes through a pipe:
// with compare set the caller takes it with Expect, otherwise a second
// thread counts it and sums its CRC-32. Memory stays bounded either way.
class StubDecoding {
 public:
  StubDecoding(int in_fd, uint64_t pos, uint32_t n, bool compare);
  ~StubDecoding();  // stops the decoder early when it has not finished
  StubDecoding(const StubDecoding&) = delete;
  StubDecoding& operator=(const StubDecoding&) = delete;

  // Hands over raw (unscrambled) deflate data; false once the decoder has
  // ended and takes no more.
  bool Feed(const uint8_t* raw, size_t n);
  // Whether the decoder's next output is exactly p[0..n).
  bool Expect(const uint8_t* p, size_t n);
  // Waits for the decoder's end. With compare: true when its output was
  // exactly what Expect was given. Otherwise true, with *size and *crc
  // what it produced. False when it could not be run.
  bool Finish(uint64_t* size = nullptr, uint32_t* crc = nullptr);

 private:
  // Waits for the threads; early: makes the decoder's reads fail first.
  void Stop(bool early);
  int in_read_ = -1, in_write_ = -1, out_read_ = -1, out_write_ = -1;
  bool compare_;
  bool same_ = true;
  bool ran_ = false;
  bool finished_ = false;
  uint64_t size_ = 0;
  uint32_t crc_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::thread decoder_, counter_;
};

// Deflate data up to this size is decoded by the stub's decoder on the
// calling thread (StubAgrees), which saves a thread for each small entry.
constexpr uint32_t SmallStubInput = 16384;

// Whether the stub's decoder gives exactly expected (expected_size bytes)
// for the scrambled data at pos in in_fd. Its output is compared as it
// comes, through a pipe and a thread, or for at most SmallStubInput bytes of
// data, in memory.
bool StubAgrees(int in_fd, uint64_t pos, uint32_t n, const uint8_t* expected,
                size_t expected_size);

// Whether the stub's decoder gives exactly expected for the raw (unscrambled)
// deflate data in[0..n). Works in memory only.
bool StubAgreesOnRaw(const uint8_t* in, size_t n, const uint8_t* expected, size_t expected_size);

// Decodes raw deflate data into out, producing at most limit bytes, with
// libdeflate and then the stub's own decoder, in memory. False when the data
// is not a complete, valid deflate stream, would decode to more than limit
// bytes, or the stub's decoder gives anything else.
bool InflateRaw(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit);

// Deflates data at level (1..12) into packed and returns MethodDeflated, or
// returns MethodStored, with packed a copy of data, when deflate would not
// make it smaller or level is 0.
uint16_t PackEntryData(const std::vector<uint8_t>& data, int level, std::vector<uint8_t>& packed);

// Deflates n bytes at level into a buffer of at most room bytes. Returns the
// packed size, or 0 when the deflated form would not be smaller than the
// input or would not fit in room.
size_t DeflateInto(const uint8_t* in, size_t n, int level, size_t room, Bytes& out);
