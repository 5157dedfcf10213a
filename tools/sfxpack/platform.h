// What differs between the systems sfxpack runs on: files, folders, names,
// the console, interruption and local time. Paths are UTF-8 with '/' between
// their parts on every system; files are small integer descriptors.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

namespace sys {

// Called first by main: the arguments as UTF-8, with path separators as
// the rest of the program expects them, and the console set up for UTF-8.
std::vector<std::string> StartUp(int argc, char** argv);

// A path given by the user, with the system's own separators turned into '/'.
std::string PathFromUser(const std::string& path);

// A path as messages show it: with the system's own separators.
std::string ShownPath(const std::string& path);

enum class Kind { Regular, Folder, CharDevice, BlockDevice, Fifo, Socket, Other };

// Same file when both parts are equal: device and inode, or volume and
// file index.
struct FileId {
  uint64_t volume = 0, index = 0;
  bool operator==(const FileId& o) const { return volume == o.volume && index == o.index; }
  bool operator<(const FileId& o) const {
    return volume != o.volume ? volume < o.volume : index < o.index;
  }
};

struct Status {
  Kind kind = Kind::Other;
  bool link = false;  // LinkStat only: a symbolic link (or reparse point) itself
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since 1970, UTC
  FileId id;
};

// The last failure of a call below: its text, and what kind it was.
std::string ErrorText();
bool ErrorIsMissing();  // no such file or folder
bool ErrorIsExists();   // the name is taken

bool Stat(const std::string& path, Status* st);      // follows links
bool LinkStat(const std::string& path, Status* st);  // a link itself
bool StatOpen(int fd, Status* st);

// The names in a folder, "." and ".." left out.
bool ListFolder(const std::string& path, std::vector<std::string>* names);
// The path with every link resolved and made absolute.
bool RealPath(const std::string& path, std::string* real);
bool MakeFolder(const std::string& path);
bool Remove(const std::string& path);
// Renames a finished file over to: replacing what is there when replace is
// set, otherwise failing with ErrorIsExists() when the name is taken.
bool Rename(const std::string& from, const std::string& to, bool replace);

int OpenRead(const std::string& path);  // -1 when it cannot be opened
// Creates a new file only this user can read, named prefix plus a few
// characters that make it unique; -1 when none can be made. From the moment
// it exists it is the one temporary file that Ctrl+C, a closed console or a
// termination signal removes before the program ends, until
// ForgetTemporary().
int CreateUnique(const std::string& prefix, std::string* path);
void ForgetTemporary();
// Gives a finished file the permissions of the regular file at replacing
// (not a link's), or, without one, those a new file gets by default; with
// sync set writes it through to the disk.
bool Finish(int fd, bool sync, const std::string& replacing = "");
// Sets a file's modification (and access) time, seconds since 1970 UTC.
bool SetTime(int fd, int64_t t);
bool Close(int fd);

// Whole-buffer reads and writes, retried when interrupted.
// Reads up to n bytes, less only at the end; -1 at an error.
int64_t ReadSome(int fd, uint8_t* p, size_t n);
bool WriteAll(int fd, const uint8_t* p, size_t n);
// Reads up to n bytes at pos: how many the file holds there, or -1 at an
// error.
int64_t PreadFull(int fd, uint8_t* p, size_t n, uint64_t pos);
bool PwriteAll(int fd, const uint8_t* p, size_t n, uint64_t pos);

// The first bytes of an open file mapped read-only into memory, until
// Unmap or the end of the object: they are read from the system's file
// cache as they are used, not copied. A file cut short while mapped cannot
// give the pages it lost: reading one of them (POSIX: SIGBUS) removes the
// temporary file as Ctrl+C does, prints "sfxpack: error: " and the message
// given to Map on stderr and ends the program with exit code 1. On Windows a
// mapped file cannot be cut short.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() { Unmap(); }
  MappedFile(MappedFile&& o) noexcept { *this = static_cast<MappedFile&&>(o); }
  MappedFile& operator=(MappedFile&& o) noexcept {
    if (this != &o) {
      Unmap();
      data_ = o.data_, size_ = o.size_, note_ = o.note_;
      o.data_ = nullptr, o.size_ = 0, o.note_ = nullptr;
    }
    return *this;
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the first size bytes of fd (size 0 maps nothing and succeeds).
  // False, with ErrorText() telling why, when the system cannot.
  bool Map(int fd, uint64_t size, const std::string& when_cut_short);
  void Unmap();
  const uint8_t* Data() const { return data_; }
  uint64_t Size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  void* note_ = nullptr;  // what the system's part keeps about the mapping
};

bool StderrIsConsole();
// Where the installed layout keeps the stub, relative to the program's own
// folder ("../share/sfxpack/"); "" where it is kept beside the program.
std::string InstalledStubFolder();
// The running program's own file; "" when the system does not tell.
std::string OwnPath();

// Calendar time of t in the local time zone or in UTC, and back.
struct tm LocalTime(int64_t t);
struct tm UtcTime(int64_t t);
// Local time as the C library's mktime takes it, which libzip uses for the
// times it reads; the same as LocalTime where the C library follows the
// system's time zone.
struct tm LibraryLocalTime(int64_t t);
int64_t FromLocalTime(struct tm tm);  // -1 when it cannot be represented
int64_t FromUtcTime(struct tm tm);

}  // namespace sys
