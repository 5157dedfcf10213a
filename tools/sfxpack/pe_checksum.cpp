#include "pe_checksum.h"

#include "archive_bytes.h"
#include "console.h"
#include "pe_image.h"
#include "platform.h"

namespace {

std::string IoError(const char* what, const std::string& name) {
  return std::string(what) + " '" + name + "': " + sys::ErrorText();
}

}  // namespace

uint64_t PeChecksumFieldAt(const std::vector<uint8_t>& head) {
  PeHeaders h;
  if (ReadPeHeaders(head, &h)) return 0;
  return h.checksum_at;
}

void PeChecksum::Add(const uint8_t* p, size_t n) {
  const uint64_t start = length_;
  size_t i = 0;
  // A piece may start in the middle of a word: its first byte is a high byte.
  if ((length_ & 1) && n > 0) sum_ += uint64_t(p[i++]) << 8;
  for (; i + 1 < n; i += 2) sum_ += p[i] | uint32_t(p[i + 1]) << 8;
  if (i < n) sum_ += p[i];
  length_ += n;
  // Take the field's bytes back out of the sum.
  if (field_at_ == 0) return;
  for (uint64_t at = field_at_; at < field_at_ + 4; ++at)
    if (at >= start && at < length_) sum_ -= uint64_t(p[at - start]) << (8 * (at & 1));
}

uint32_t PeChecksum::Value() const {
  uint64_t s = sum_;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return uint32_t(s + length_);
}

std::vector<uint8_t> StubWithChecksum(const std::vector<uint8_t>& stub, uint32_t value) {
  const uint64_t at = PeChecksumFieldAt(stub);
  if (at == 0) return stub;
  std::vector<uint8_t> with = stub;
  for (int k = 0; k < 4; ++k) with[at + k] = uint8_t(value >> (8 * k));
  return StubProblem(with).empty() ? with : stub;
}

void StampPeChecksum(int fd, const std::string& name, const std::vector<uint8_t>& stub) {
  const uint64_t at = PeChecksumFieldAt(stub);
  if (at == 0) return;
  PeChecksum sum(at);
  std::vector<uint8_t> buffer(1 << 20);
  for (uint64_t offset = 0;;) {
    const int64_t n = sys::PreadFull(fd, buffer.data(), buffer.size(), offset);
    if (n < 0) Refuse(IoError("cannot read back", name));
    if (n == 0) break;
    sum.Add(buffer.data(), size_t(n));
    offset += uint64_t(n);
  }
  const std::vector<uint8_t> head = StubWithChecksum(stub, sum.Value());
  if (!sys::PwriteAll(fd, head.data() + at, 4, at)) Refuse(IoError("cannot write", name));
}
