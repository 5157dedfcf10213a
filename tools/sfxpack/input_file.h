// An input file's bytes while its entry is packed: a small file read into
// memory, a larger one mapped from the system's file cache, so that packing
// it holds no copy of it beside its deflated form. Either way the file must
// keep the size it was planned with; one found to have grown or shrunk is
// refused ("changed size while being packed"), and one cut short while its
// mapping is read ends the program with that message (sys::MappedFile).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>

#include "codec.h"
#include "platform.h"

// Files of at least this size are mapped rather than read.
constexpr uint64_t MapFrom = 1 << 20;

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens path, which should hold size bytes, and takes its bytes (read
  // where the system cannot map it). The problem, if any: it cannot be
  // opened or read, or it holds another number of bytes.
  std::optional<std::string> Load(const std::string& path, uint64_t size);
  // Once the bytes have been used: the problem if the file no longer holds
  // as many bytes. Closes the file; the bytes stay.
  std::optional<std::string> Done();

  const uint8_t* Data() const { return mapped_.Size() ? mapped_.Data() : copy_.data.get(); }
  size_t Size() const { return mapped_.Size() ? size_t(mapped_.Size()) : copy_.size; }
  bool Mapped() const { return mapped_.Size() > 0; }

 private:
  std::string ChangedSize() const;
  std::string path_;
  uint64_t size_ = 0;
  int fd_ = -1;
  Bytes copy_;
  sys::MappedFile mapped_;
};
