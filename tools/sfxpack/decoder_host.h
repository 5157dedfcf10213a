// sfxpack's own ReadFile, WriteFile and SetFilePointer, the only platform
// calls the stub's decoder makes, over handles whose bytes come from and go
// to callbacks: no file system and nothing tied to one platform, so that the
// decoder runs the same inside sfxpack on every host.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>

namespace decoder_host {

// Reads up to n bytes at pos into p: how many it read (0 at the end), or -1
// at an error, which makes that ReadFile fail.
using ReadAt = std::function<int64_t(uint64_t pos, uint8_t* p, size_t n)>;
// Takes n bytes of output; false makes that WriteFile fail.
using Sink = std::function<bool(const uint8_t* p, size_t n)>;

// What a handle given to the decoder stands for: ReadFile reads through read
// at pos, SetFilePointer moves pos, WriteFile hands its bytes to sink. A
// missing callback makes its call fail.
struct Handle {
  ReadAt read;
  Sink sink;
  uint64_t pos = 0;
  // The value to store in ArchiveHandle or OutputHandle.
  void* Win32() { return this; }
};

}  // namespace decoder_host
