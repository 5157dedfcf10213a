// The checksum field of a PE file's optional header, filled in for the
// whole installer: the file's 16-bit little-endian words summed with
// end-around carry, the field's own bytes counted as zero, plus the file's
// length.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The file offset of the checksum field of a PE file beginning with these
// bytes, or 0 when they hold no PE header reaching that far.
uint64_t PeChecksumFieldAt(const std::vector<uint8_t>& head);

class PeChecksum {
 public:
  explicit PeChecksum(uint64_t field_at) : field_at_(field_at) {}
  // The file's next n bytes, in pieces of any length.
  void Add(const uint8_t* p, size_t n);
  // The checksum of the bytes added so far.
  uint32_t Value() const;

 private:
  uint64_t field_at_;
  uint64_t length_ = 0;
  uint64_t sum_ = 0;  // unfolded; a 2 GiB file cannot overflow it
};

// stub with its checksum field set to value, or the stub as it is when it
// has no such field or when that value would put the archive marker into
// its bytes (the marker must occur first where the archive begins).
std::vector<uint8_t> StubWithChecksum(const std::vector<uint8_t>& stub, uint32_t value);

// Reads the installer open as fd, which begins with stub, computes its
// checksum and writes it into the field. name is for messages.
void StampPeChecksum(int fd, const std::string& name, const std::vector<uint8_t>& stub);
