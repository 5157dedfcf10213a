#include "outfile.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive_bytes.h"
#include "console.h"
#include "fileio.h"

namespace {

char temp_path_for_signals[4096];

void RemoveTempOnSignal(int sig) {
  if (temp_path_for_signals[0]) unlink(temp_path_for_signals);
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + Quote(path) + ": " + strerror(errno);
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SetTemporaryForSignals(const std::string& path) {
  temp_path_for_signals[0] = 0;
  if (path.empty() || path.size() >= sizeof temp_path_for_signals) return;
  memcpy(temp_path_for_signals, path.c_str(), path.size() + 1);
  static bool installed = false;
  if (!installed) {
    installed = true;
    signal(SIGINT, RemoveTempOnSignal);
    signal(SIGTERM, RemoveTempOnSignal);
    signal(SIGHUP, RemoveTempOnSignal);
  }
}

void CheckOutputTarget(const std::string& path, const std::vector<std::string>& inputs) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;  // nothing there yet, or a dangling link
    Refuse(SystemError("cannot check the output", path));
  }
  struct stat link {};
  const bool is_link = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  if (!S_ISREG(st.st_mode))
    Refuse("the output " + Quote(path) + (is_link ? " leads to " : " is ") + KindOf(st.st_mode) +
           "; only a regular file is replaced");
  for (const std::string& input : inputs) {
    struct stat in {};
    if (!input.empty() && stat(input.c_str(), &in) == 0 && in.st_dev == st.st_dev &&
        in.st_ino == st.st_ino)
      Refuse("the output " + Quote(path) + " is the same file as the input " + Quote(input));
  }
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
  const size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // Room for the dot and the suffix within a file name's 255 bytes.
  if (base.size() > 200) base.resize(200);
  std::string templ = FolderOf(path) + "/." + base + ".XXXXXX";
  fd_ = mkostemp(&templ[0], O_CLOEXEC);
  if (fd_ < 0) Refuse(SystemError("cannot create a file in", FolderOf(path)));
  temp_ = templ;
  SetTemporaryForSignals(temp_);
  buffer_.reserve(1 << 20);
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    SetTemporaryForSignals("");
  }
}

void OutputFile::Flush() {
  if (!WriteAll(fd_, buffer_.data(), buffer_.size())) Refuse(SystemError("cannot write", temp_));
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

void OutputFile::Commit(const std::function<void(int fd)>& before_rename) {
  Flush();
  if (before_rename) before_rename(fd_);
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd_, 0666 & ~mask) != 0 || fsync(fd_) != 0)
    Refuse(SystemError("cannot write", temp_));
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) Refuse(SystemError("cannot write", temp_));
  if (rename(temp_.c_str(), path_.c_str()) != 0)
    Refuse(SystemError("cannot rename the finished file to", path_));
  temp_.clear();
  SetTemporaryForSignals("");
}
