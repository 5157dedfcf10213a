// Writing a finished file safely: through a temporary file in the same
// folder, renamed over the target only when complete, and removed on any
// error and when the program is interrupted. The temporary file is named
// ".NAME.sfxpack-partial-XXXXXX"; one that a killed run left and that is more
// than a day old goes when a later run writes the same output.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// Refuses a target that exists and is not a regular file (a folder, a
// device, a FIFO, a socket, or a link to one of them), and a target that is
// the same file (device and inode, or volume and file index) as one of inputs. A link to a regular
// file, or a dangling link, is allowed: the rename replaces the link itself
// and leaves the file it pointed to alone.
void CheckOutputTarget(const std::string& path, const std::vector<std::string>& inputs);

class OutputFile {
 public:
  // Creates the temporary file beside path (mode 0600 until committed),
  // removing stale ones of earlier runs for path.
  explicit OutputFile(const std::string& path);
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const uint8_t* p, size_t n);
  // Writes n bytes XORed with the archive key, leaving p as it was.
  void WriteScrambled(const uint8_t* p, size_t n);
  uint64_t Written() const { return written_; }
  // The temporary file being written, for messages.
  const std::string& Temporary() const { return temp_; }
  // Writes out what is buffered and returns a reader of the file written so
  // far (as written, scrambled parts included), safe on any thread. It
  // serves until the next write.
  std::function<int64_t(uint64_t pos, uint8_t* p, size_t n)> ReadBack();
  // Flushes, lets before_rename (when given) read and change the file,
  // gives it the mode of the regular file it replaces (0666 less the umask
  // for a new file, or in place of a link) and renames it over the target.
  void Commit(const std::function<void(int fd)>& before_rename = nullptr);

 private:
  void Flush();
  std::string path_, temp_;
  int fd_ = -1;
  uint64_t written_ = 0;
  std::vector<uint8_t> buffer_;
};

// The folder part of a path ("." when it has none).
std::string FolderOf(const std::string& path);
