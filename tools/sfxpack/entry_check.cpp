#include "entry_check.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "format/archive_format.h"

namespace {

// The most output kept whole for a small entry's check by the stub.
constexpr uint32_t SmallStubOutput = 1 << 20;
// Deflated entries whose data and output are both at most this size, and
// that the stub's decoder does not check, are decoded whole: libdeflate
// decodes faster than zlib streams.
constexpr uint32_t WholeLimit = 8 << 20;

const char StubDiffers[] = "the stub's own decoder does not give the same bytes";

// Its output buffer no larger than the entry needs: installers often hold
// many small files.
std::unique_ptr<StreamInflater> InflaterFor(uint32_t size) {
  return std::unique_ptr<StreamInflater>(
      new StreamInflater(size_t(std::min<uint64_t>(StreamInflater::OutputBlock, uint64_t(size) + 1))));
}

}  // namespace

std::string DataCutShort() { return "its data runs past the end of the file"; }

EntryChecker::EntryChecker(const EntryClaim& claim, decoder_host::ReadAt stub_read,
                           StreamInflater::Put plain)
    : claim_(claim),
      stub_read_(std::move(stub_read)),
      plain_(std::move(plain)),
      deflated_(claim.method == MethodDeflated) {
  const bool by_stub = deflated_ && stub_read_;
  // Small entries are kept whole for the stub's decoder on this thread,
  // which saves a thread each; others meet it as it runs beside.
  keep_ = by_stub && claim.packed_size <= SmallStubInput && claim.size <= SmallStubOutput;
  whole_ = deflated_ && !by_stub && claim.packed_size <= WholeLimit && claim.size <= WholeLimit;
  if (by_stub && !keep_) stub_.reset(new StubDecoding(stub_read_, claim.packed_size));
  if (whole_) {
    packed_.Reserve(claim.packed_size);
  } else if (deflated_) {
    inflater_ = InflaterFor(claim.size);
  }
}

EntryChecker::~EntryChecker() = default;

bool EntryChecker::Take(const uint8_t* p, size_t n) {
  // Output beyond the claimed size ends the check at once, so that the work
  // follows the claim and the data, whichever is smaller.
  if (deflated_ && produced_ + n > claim_.size) return !(too_long_ = true);
  produced_ += n;
  crc_ = Crc32(p, n, crc_);
  // Once the stub's decoder differs, zlib goes on: its own verdict on the
  // data, when it has one, comes first.
  if (stub_ && !stub_differs_ && !stub_->Expect(p, n))
    stub_differs_ = true;
  if (keep_) kept_plain_.insert(kept_plain_.end(), p, p + n);
  if (plain_ && !plain_(p, n)) return !(plain_stopped_ = true);
  return true;
}

bool EntryChecker::Feed(const uint8_t* p, size_t n) {
  if (!wants_more_ || fed_ >= claim_.packed_size) return false;
  n = size_t(std::min<uint64_t>(n, claim_.packed_size - fed_));
  fed_ += n;
  if (!deflated_) return wants_more_ = Take(p, n);
  if (whole_) {
    memcpy(packed_.data.get() + packed_.size, p, n);
    packed_.size += n;
    return true;
  }
  if (state_ == StreamInflater::State::More)
    state_ = inflater_->Feed(p, n, [this](const uint8_t* q, size_t k) { return Take(q, k); });
  wants_more_ = state_ == StreamInflater::State::More;
  return wants_more_;
}

EntryProblem EntryChecker::Finish() {
  EntryProblem problem = Verdict();
  // A decoder still running stops with the checker, early.
  if (problem) stub_.reset();
  return problem;
}

EntryProblem EntryChecker::Verdict() {
  if (wants_more_ && fed_ < claim_.packed_size) return DataCutShort();
  const StreamInflater::Put take = [this](const uint8_t* p, size_t n) { return Take(p, n); };
  if (whole_) {
    Bytes plain;
    std::string ignored;
    if (InflateBounded(packed_.data.get(), packed_.size, claim_.size, plain, &ignored)) {
      state_ = StreamInflater::State::Ended;
      Take(plain.data.get(), plain.size);
    } else {
      // Streamed again, for the same reason as any other entry would give.
      inflater_ = InflaterFor(claim_.size);
      state_ = inflater_->Feed(packed_.data.get(), packed_.size, take);
    }
  }
  if (plain_stopped_) return std::string("its decoded data could not be taken");
  if (too_long_)
    return "its deflate data decodes to more than " + std::to_string(claim_.size) + " bytes";
  if (deflated_ && state_ != StreamInflater::State::Ended)
    return std::string(state_ == StreamInflater::State::More
                           ? "its deflate data ends before its last block"
                           : "its deflate data is damaged");
  if (produced_ != claim_.size)
    return "it holds " + std::to_string(produced_) + " bytes, its header says " +
           std::to_string(claim_.size);
  if (crc_ != claim_.crc) {
    char text[80];
    snprintf(text, sizeof text, "its CRC-32 is %08X, its header says %08X", crc_, claim_.crc);
    return std::string(text);
  }
  if (stub_differs_) return std::string(StubDiffers);
  if ((stub_ && !stub_->Finish()) ||
      (keep_ && !StubAgrees(stub_read_, claim_.packed_size, kept_plain_.data(), kept_plain_.size())))
    return std::string(StubDiffers);
  return std::nullopt;
}
