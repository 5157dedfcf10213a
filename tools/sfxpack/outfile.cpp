#include "outfile.h"

#include <string.h>
#include <time.h>

#include "archive_bytes.h"
#include "console.h"
#include "platform.h"

namespace {

// A temporary output is ".NAME.sfxpack-partial-XXXXXX" beside NAME: a run
// killed outright (SIGKILL, a forced end) leaves it behind, recognisably.
constexpr char PartialMark[] = ".sfxpack-partial-";
constexpr size_t UniqueLength = 6;  // the characters CreateUnique adds
constexpr int64_t StaleAge = 24 * 60 * 60;

// Removes what earlier runs for the same output left in folder more than a
// day ago; younger ones may belong to a run still writing.
void RemoveStalePartials(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  if (!sys::ListFolder(folder, &names)) return;
  const int64_t now = int64_t(time(nullptr));
  for (const std::string& name : names) {
    if (name.size() != prefix.size() + UniqueLength || name.compare(0, prefix.size(), prefix) != 0)
      continue;
    const std::string path = folder + "/" + name;
    sys::Status st;
    if (!sys::LinkStat(path, &st) || st.link || st.kind != sys::Kind::Regular ||
        now - st.mtime < StaleAge)
      continue;
    if (sys::Remove(path))
      Warn("removed " + QuotePath(path) + ", left unfinished by an earlier run");
    else
      Warn("cannot remove " + QuotePath(path) + ", left unfinished by an earlier run: " +
           sys::ErrorText());
  }
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + QuotePath(path) + ": " + sys::ErrorText();
}

const char* KindName(sys::Kind kind) {
  switch (kind) {
    case sys::Kind::Folder: return "a folder";
    case sys::Kind::CharDevice: return "a character device";
    case sys::Kind::BlockDevice: return "a block device";
    case sys::Kind::Fifo: return "a FIFO";
    case sys::Kind::Socket: return "a socket";
    default: return "not a regular file";
  }
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void CheckOutputTarget(const std::string& path, const std::vector<std::string>& inputs) {
  sys::Status st;
  if (!sys::Stat(path, &st)) {
    if (sys::ErrorIsMissing()) return;  // nothing there yet, or a dangling link
    Refuse(SystemError("cannot check the output", path));
  }
  sys::Status link;
  const bool is_link = sys::LinkStat(path, &link) && link.link;
  if (st.kind != sys::Kind::Regular)
    Refuse("the output " + QuotePath(path) + (is_link ? " leads to " : " is ") + KindName(st.kind) +
           "; only a regular file is replaced");
  for (const std::string& input : inputs) {
    sys::Status in;
    if (!input.empty() && sys::Stat(input, &in) && in.id == st.id)
      Refuse("the output " + QuotePath(path) + " is the same file as the input " + QuotePath(input));
  }
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
  const size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // Room for the dot and the suffix within a file name's 255 bytes.
  if (base.size() > 200) base.resize(200);
  const std::string prefix = "." + base + PartialMark;
  RemoveStalePartials(FolderOf(path), prefix);
  fd_ = sys::CreateUnique(FolderOf(path) + "/" + prefix, &temp_);
  if (fd_ < 0) Refuse(SystemError("cannot create a file in", FolderOf(path)));
  buffer_.reserve(1 << 20);
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) sys::Close(fd_);
  if (!temp_.empty()) {
    sys::Remove(temp_);
    sys::ForgetTemporary();
  }
}

void OutputFile::Flush() {
  if (!sys::WriteAll(fd_, buffer_.data(), buffer_.size())) Refuse(SystemError("cannot write", temp_));
  buffer_.clear();
}

void OutputFile::Write(const uint8_t* p, size_t n) {
  written_ += n;
  while (n > 0) {
    const size_t room = buffer_.capacity() - buffer_.size();
    const size_t k = n < room ? n : room;
    buffer_.insert(buffer_.end(), p, p + k);
    p += k, n -= k;
    if (buffer_.size() == buffer_.capacity()) Flush();
  }
}

void OutputFile::WriteScrambled(const uint8_t* p, size_t n) {
  written_ += n;
  while (n > 0) {
    const size_t room = buffer_.capacity() - buffer_.size();
    const size_t k = n < room ? n : room;
    const size_t at = buffer_.size();
    buffer_.insert(buffer_.end(), p, p + k);
    Scramble(buffer_.data() + at, k);
    p += k, n -= k;
    if (buffer_.size() == buffer_.capacity()) Flush();
  }
}

std::function<int64_t(uint64_t pos, uint8_t* p, size_t n)> OutputFile::ReadBack() {
  Flush();
  const int fd = fd_;
  return [fd](uint64_t pos, uint8_t* p, size_t n) { return sys::PreadFull(fd, p, n, pos); };
}

void OutputFile::Commit(const std::function<void(int fd)>& before_rename) {
  Flush();
  if (before_rename) before_rename(fd_);
  if (!sys::Finish(fd_, true, path_)) Refuse(SystemError("cannot write", temp_));
  const int fd = fd_;
  fd_ = -1;
  if (!sys::Close(fd)) Refuse(SystemError("cannot write", temp_));
  if (!sys::Rename(temp_, path_, true))
    Refuse(SystemError("cannot rename the finished file to", path_));
  temp_.clear();
  sys::ForgetTemporary();
}
