// SHA-256 (FIPS 180-4), for naming the stub a build uses by its hash.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

class Sha256 {
 public:
  Sha256();
  void Add(const uint8_t* p, size_t n);
  std::string HexDigest();  // ends the computation

 private:
  void Block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buffer_[64];
  size_t used_ = 0;
  uint64_t length_ = 0;
};

// Lower-case hex digest and size of a file; false when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string* hex, uint64_t* size);
