// The check of one entry's data as it passes, a block at a time: decoded
// with zlib (or libdeflate when small), compared with what the stub's own
// decoder makes of it, and held to the size and CRC-32 its header claims.
// Every reader of entries (test, extract, unwrap, and create --from-zip on
// what it has copied) checks through it, so that one fault gets one message
// wherever it is found.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec.h"
#include "decoder_host.h"

// What a header claims about an entry's data.
struct EntryClaim {
  uint16_t method = 0;
  uint32_t packed_size = 0;
  uint32_t size = 0;
  uint32_t crc = 0;
};

// A problem with an entry's data, or none.
using EntryProblem = std::optional<std::string>;

// The message for data that a file holds fewer bytes of than its header
// claims.
std::string DataCutShort();

class EntryChecker {
 public:
  // stub_read, when given, lets the stub's own decoder read the entry's
  // scrambled data itself (position 0 being its first byte), on a thread
  // of its own for all but small entries; its output must be the same,
  // byte for byte. plain, when given, receives the decoded data as it is
  // checked; false from it stops the check (the caller knows why).
  EntryChecker(const EntryClaim& claim, decoder_host::ReadAt stub_read,
               StreamInflater::Put plain = nullptr);
  ~EntryChecker();
  EntryChecker(const EntryChecker&) = delete;
  EntryChecker& operator=(const EntryChecker&) = delete;

  // The next block of the stored data, descrambled. False once further data
  // can change nothing: a fault is found, or the deflate stream has ended
  // (later bytes are not looked at, as the stub does not).
  bool Feed(const uint8_t* p, size_t n);
  // The verdict on the data fed, which is all there is. Memory and work stay
  // bounded by the data really fed, never by the sizes claimed.
  EntryProblem Finish();

 private:
  bool Take(const uint8_t* p, size_t n);
  EntryProblem Verdict();

  const EntryClaim claim_;
  const decoder_host::ReadAt stub_read_;
  const StreamInflater::Put plain_;
  const bool deflated_;
  bool whole_ = false;  // decoded whole with libdeflate at Finish
  bool keep_ = false;   // checked by the stub's decoder on this thread at Finish
  std::unique_ptr<StreamInflater> inflater_;
  std::unique_ptr<StubDecoding> stub_;
  StreamInflater::State state_ = StreamInflater::State::More;
  Bytes packed_;  // the data, when decoded whole
  std::vector<uint8_t> kept_plain_;
  uint64_t fed_ = 0, produced_ = 0;
  uint32_t crc_ = 0;
  bool wants_more_ = true;
  bool too_long_ = false, stub_differs_ = false, plain_stopped_ = false;
};
