// Linux and other POSIX systems: names are bytes, taken as UTF-8.
#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace sys {

namespace {

Kind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return Kind::Regular;
  if (S_ISDIR(mode)) return Kind::Folder;
  if (S_ISCHR(mode)) return Kind::CharDevice;
  if (S_ISBLK(mode)) return Kind::BlockDevice;
  if (S_ISFIFO(mode)) return Kind::Fifo;
  if (S_ISSOCK(mode)) return Kind::Socket;
  return Kind::Other;
}

void Fill(const struct stat& s, Status* st) {
  st->kind = KindOf(s.st_mode);
  st->link = S_ISLNK(s.st_mode);
  st->size = uint64_t(s.st_size);
  st->mtime = int64_t(s.st_mtime);
  st->id.volume = uint64_t(s.st_dev);
  st->id.index = uint64_t(s.st_ino);
}

mode_t DefaultMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Fixed storage: a signal handler may not allocate.
char interrupt_path[4096];

void RemoveAndRaise(int sig) {
  if (interrupt_path[0]) unlink(interrupt_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr int InterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

void InstallInterruptHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // A signal ignored when the program started (nohup, a shell's background
  // job) stays ignored, as it does for other tools.
  for (int sig : InterruptSignals) {
    struct sigaction was {};
    if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
    signal(sig, RemoveAndRaise);
  }
}

// Blocks the signals above for its lifetime, so that the handler never sees
// the recorded name half written.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : InterruptSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &was_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &was_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t was_;
};

// Where the fault handler finds the mapping a bad address belongs to:
// fixed slots, filled and emptied with atomic stores (begin last when
// filled, first when emptied), as the handler may run at any moment.
struct FaultSlot {
  std::atomic<bool> taken{false};
  std::atomic<uintptr_t> begin{0}, end{0};
  std::atomic<const char*> message{nullptr};
  std::atomic<size_t> length{0};
};
// Mappings alive at once that a fault is told in; one more works all the
// same, but a fault in it ends the program as SIGBUS does by default.
FaultSlot fault_slots[256];
bool fault_on_terminal = false;  // a progress line may be on stderr

void WriteError(const char* p, size_t n) {
  while (n > 0) {
    const ssize_t k = write(2, p, n);
    if (k <= 0) return;
    p += k, n -= size_t(k);
  }
}

// A page of a mapped file that is no longer there. Only what a signal
// handler may call: unlink, write, _exit.
void OnMappingFault(int sig, siginfo_t* info, void*) {
  if (interrupt_path[0]) unlink(interrupt_path);
  const uintptr_t at = uintptr_t(info->si_addr);
  for (FaultSlot& slot : fault_slots) {
    const uintptr_t begin = slot.begin.load();
    if (begin == 0 || at < begin || at >= slot.end.load()) continue;
    if (fault_on_terminal) WriteError("\r\033[K", 4);
    static const char prefix[] = "sfxpack: error: ";
    WriteError(prefix, sizeof prefix - 1);
    WriteError(slot.message.load(), slot.length.load());
    WriteError("\n", 1);
    _exit(1);
  }
  // Not in a mapping: the access, tried again on return, gets the default
  // action.
  signal(sig, SIG_DFL);
}

void InstallFaultHandler() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  fault_on_terminal = isatty(2) == 1;
  struct sigaction action {};
  action.sa_sigaction = OnMappingFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

// What a MappedFile keeps: its message and the slot that shows it.
struct MappingNote {
  std::string message;
  FaultSlot* slot = nullptr;
};

}  // namespace

bool MappedFile::Map(int fd, uint64_t size, const std::string& when_cut_short) {
  Unmap();
  if (size == 0) return true;
  if (size > SIZE_MAX) {
    errno = EFBIG;
    return false;
  }
  InstallFaultHandler();
  std::unique_ptr<MappingNote> note(new MappingNote{when_cut_short, nullptr});
  void* p = mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return false;
  for (FaultSlot& slot : fault_slots) {
    if (slot.taken.exchange(true)) continue;
    slot.message = note->message.c_str();
    slot.length = note->message.size();
    slot.end = uintptr_t(p) + size_t(size);
    slot.begin = uintptr_t(p);
    note->slot = &slot;
    break;
  }
  data_ = static_cast<const uint8_t*>(p);
  size_ = size;
  note_ = note.release();
  return true;
}

void MappedFile::Unmap() {
  if (!data_) return;
  MappingNote* note = static_cast<MappingNote*>(note_);
  if (note->slot) {
    note->slot->begin = 0;
    note->slot->taken = false;
  }
  munmap(const_cast<uint8_t*>(data_), size_t(size_));
  delete note;
  data_ = nullptr, size_ = 0, note_ = nullptr;
}

std::vector<std::string> StartUp(int argc, char** argv) { return {argv, argv + argc}; }

std::string PathFromUser(const std::string& path) { return path; }

std::string ShownPath(const std::string& path) { return path; }

std::string ErrorText() { return strerror(errno); }
bool ErrorIsMissing() { return errno == ENOENT; }
bool ErrorIsExists() { return errno == EEXIST; }

bool Stat(const std::string& path, Status* st) {
  struct stat s {};
  if (stat(path.c_str(), &s) != 0) return false;
  Fill(s, st);
  return true;
}

bool LinkStat(const std::string& path, Status* st) {
  struct stat s {};
  if (lstat(path.c_str(), &s) != 0) return false;
  Fill(s, st);
  return true;
}

bool StatOpen(int fd, Status* st) {
  struct stat s {};
  if (fstat(fd, &s) != 0) return false;
  Fill(s, st);
  return true;
}

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return false;
  names->clear();
  errno = 0;
  while (const dirent* d = readdir(dir)) {
    if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) names->push_back(d->d_name);
  }
  const int failure = errno;
  closedir(dir);
  errno = failure;
  return failure == 0;
}

bool RealPath(const std::string& path, std::string* real) {
  char buffer[PATH_MAX];
  if (!realpath(path.c_str(), buffer)) return false;
  *real = buffer;
  return true;
}

bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool Remove(const std::string& path) { return unlink(path.c_str()) == 0; }

bool Rename(const std::string& from, const std::string& to, bool replace) {
  if (replace) return rename(from.c_str(), to.c_str()) == 0;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without that kind of rename: check, then rename.
  struct stat s {};
  if (lstat(to.c_str(), &s) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

int OpenRead(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int CreateUnique(const std::string& prefix, std::string* path) {
  InstallInterruptHandlers();
  std::string templ = prefix + "XXXXXX";
  // Held off until the name is recorded: a signal in between would leave
  // the new file behind.
  SignalsHeld held;
  const int fd = mkostemp(&templ[0], O_CLOEXEC);
  if (fd < 0) return fd;
  *path = templ;
  if (templ.size() < sizeof interrupt_path) memcpy(interrupt_path, templ.c_str(), templ.size() + 1);
  return fd;
}

void ForgetTemporary() {
  SignalsHeld held;
  interrupt_path[0] = 0;
}

bool Finish(int fd, bool sync, const std::string& replacing) {
  struct stat old {};
  const bool keep =
      !replacing.empty() && lstat(replacing.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  const mode_t mode = keep ? old.st_mode & 0777 : DefaultMode();
  return fchmod(fd, mode) == 0 && (!sync || fsync(fd) == 0);
}

bool SetTime(int fd, int64_t t) {
  const struct timespec times[2] = {{time_t(t), 0}, {time_t(t), 0}};
  return futimens(fd, times) == 0;
}

bool Close(int fd) { return close(fd) == 0; }

int64_t ReadSome(int fd, uint8_t* p, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t k = read(fd, p + got, n - got);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return -1;
    if (k == 0) break;
    got += size_t(k);
  }
  return int64_t(got);
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k, n -= size_t(k);
  }
  return true;
}

int64_t PreadFull(int fd, uint8_t* p, size_t n, uint64_t pos) {
  size_t done = 0;
  while (done < n) {
    const ssize_t k = pread(fd, p + done, n - done, off_t(pos + done));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return -1;
    if (k == 0) break;
    done += size_t(k);
  }
  return int64_t(done);
}

bool PwriteAll(int fd, const uint8_t* p, size_t n, uint64_t pos) {
  while (n > 0) {
    const ssize_t k = pwrite(fd, p, n, off_t(pos));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k, n -= size_t(k), pos += uint64_t(k);
  }
  return true;
}

bool StderrIsConsole() {
  static const int answer = isatty(2);
  return answer == 1;
}

std::string InstalledStubFolder() { return "../share/sfxpack/"; }

std::string OwnPath() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, size_t(n)) : std::string();
}

struct tm LocalTime(int64_t t) {
  const time_t tt = time_t(t);
  struct tm tm {};
  localtime_r(&tt, &tm);
  return tm;
}

struct tm LibraryLocalTime(int64_t t) { return LocalTime(t); }

struct tm UtcTime(int64_t t) {
  const time_t tt = time_t(t);
  struct tm tm {};
  gmtime_r(&tt, &tm);
  return tm;
}

int64_t FromLocalTime(struct tm tm) { return int64_t(mktime(&tm)); }
int64_t FromUtcTime(struct tm tm) { return int64_t(timegm(&tm)); }

}  // namespace sys
