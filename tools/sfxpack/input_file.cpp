#include "input_file.h"

#include "console.h"
#include "gather.h"

InputFile::~InputFile() {
  if (fd_ >= 0) sys::Close(fd_);
}

std::string InputFile::ChangedSize() const {
  return QuotePath(path_) + " changed size while being packed";
}

std::optional<std::string> InputFile::Load(const std::string& path, uint64_t size) {
  path_ = path;
  size_ = size;
  fd_ = sys::OpenRead(path);
  if (fd_ < 0) return SystemError("cannot open", path);
  if (size >= MapFrom) {
    sys::Status st;
    if (!sys::StatOpen(fd_, &st)) return SystemError("cannot read", path);
    if (st.size != size) return ChangedSize();
    if (mapped_.Map(fd_, size, ChangedSize())) return std::nullopt;
    // A file system that maps no files: read as a small file is.
  }
  copy_.size = 0;
  copy_.Reserve(size_t(size) + 1);
  // One byte more than expected shows a file that has grown.
  const int64_t n = sys::ReadSome(fd_, copy_.data.get(), copy_.capacity);
  if (n < 0) return SystemError("cannot read", path);
  copy_.size = size_t(n);
  if (copy_.size != size) return ChangedSize();
  return std::nullopt;
}

std::optional<std::string> InputFile::Done() {
  if (fd_ < 0) return std::nullopt;
  sys::Status st;
  std::optional<std::string> problem;
  if (!sys::StatOpen(fd_, &st))
    problem = SystemError("cannot read", path_);
  else if (st.size != size_)
    problem = ChangedSize();
  sys::Close(fd_);
  fd_ = -1;
  return problem;
}
