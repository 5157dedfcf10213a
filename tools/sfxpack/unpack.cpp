#include "unpack.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec.h"
#include "console.h"
#include "winnames.h"

namespace {

struct MappedFile {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

MappedFile MapInstaller(const std::string& path) {
  MappedFile m;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Refuse("cannot open '" + path + "': " + strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    Refuse("'" + path + "' is not a regular file");
  }
  m.size = size_t(st.st_size);
  if (m.size > 0) {
    void* p = mmap(nullptr, m.size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      close(fd);
      Refuse("cannot read '" + path + "': " + strerror(errno));
    }
    m.data = static_cast<const uint8_t*>(p);
  }
  close(fd);
  return m;
}

void UnmapInstaller(MappedFile& m) {
  if (m.data) munmap(const_cast<uint8_t*>(m.data), m.size);
  m.data = nullptr;
}

std::string Shown(const FoundEntry& e) { return "'" + Windows1252ToUtf8(e.name) + "'"; }

// Walks the installer, or refuses when the stub would find no archive in it.
InstallerWalk WalkOrRefuse(const MappedFile& m, const std::string& path) {
  InstallerWalk w = WalkInstaller(m.data, m.size);
  if (w.archive_offset < 0)
    Refuse("'" + path + "' holds no archive: the marker is not in it from offset 20 on");
  return w;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Makes the target folder and the folders above it (links followed: the user
// chose this path).
bool MakeTargetFolder(const std::string& folder, std::string* why) {
  for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string path = folder.substr(0, end);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 && mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
      *why = "cannot make the folder '" + path + "': " + strerror(errno);
      return false;
    }
    if (end == std::string::npos) return true;
  }
}

// Makes the folders of an entry below root. A link found on the way is an
// error, so that nothing is written outside root.
bool MakeEntryFolders(const std::string& root, const std::vector<std::string>& folders,
                      std::string* why) {
  std::string path = root;
  for (const std::string& part : folders) {
    path += "/" + part;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      *why = "'" + path + "' exists and is not a folder (links are not followed)";
      return false;
    }
    if (mkdir(path.c_str(), 0777) != 0) {
      *why = "cannot make the folder '" + path + "': " + strerror(errno);
      return false;
    }
  }
  return true;
}

bool WriteEntryFile(const std::string& path, const std::vector<uint8_t>& data, DosStamp stamp,
                    std::string* why) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    *why = "cannot create '" + path + "': " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = "cannot write '" + path + "': " + strerror(errno);
      close(fd);
      return false;
    }
    done += size_t(n);
  }
  // Like the stub, a stamp that is no valid date leaves the file's own time.
  time_t t;
  if (TimeFromDosStamp(stamp, t)) {
    struct timespec times[2] = {{t, 0}, {t, 0}};
    futimens(fd, times);
  }
  if (close(fd) != 0) {
    *why = "cannot write '" + path + "': " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

InstallerWalk WalkInstaller(const uint8_t* data, size_t size) {
  InstallerWalk w;
  w.archive_offset = ScanForMarker(data, size, nullptr);
  if (w.archive_offset < 0) return w;
  uint64_t pos = uint64_t(w.archive_offset);
  char where[64];
  while (true) {
    snprintf(where, sizeof where, "the entry at offset %" PRIu64, pos);
    if (pos + 4 > size) break;  // the header read delivers no signature
    uint8_t h[EntryHeaderSize];
    if (pos + EntryHeaderSize > size) {
      memcpy(h, data + pos, 4);
      Scramble(h, 4);
      const uint32_t sig = Get32(h);
      if (sig == SignatureLocal || sig == SignatureAlternate)
        w.stop = std::string(where) + " has a header cut short by the end of the file";
      break;
    }
    memcpy(h, data + pos, EntryHeaderSize);
    Scramble(h, EntryHeaderSize);
    const uint32_t sig = Get32(h + OffsetSignature);
    if (sig != SignatureLocal && sig != SignatureAlternate) break;  // the normal end

    FoundEntry e;
    e.header_pos = pos;
    e.flags = Get16(h + OffsetFlags);
    e.method = Get16(h + OffsetMethod);
    e.stamp = DosStamp{Get16(h + OffsetDosTime), Get16(h + OffsetDosDate)};
    e.crc = Get32(h + OffsetCrc32);
    e.packed_size = Get32(h + OffsetCompressedSize);
    e.size = Get32(h + OffsetUncompressedSize);
    const uint16_t name_length = Get16(h + OffsetNameLength);
    if (name_length > MaxNameLength) {
      w.stop = std::string(where) + " has a name of " + std::to_string(name_length) +
               " bytes; at most " + std::to_string(MaxNameLength) + " fit";
      break;
    }
    const uint64_t name_pos = pos + EntryHeaderSize;
    if (name_pos + name_length > size) {
      w.stop = std::string(where) + " has its name cut short by the end of the file";
      break;
    }
    std::string name(reinterpret_cast<const char*>(data + name_pos), name_length);
    Scramble(reinterpret_cast<uint8_t*>(&name[0]), name.size());
    e.name = name.substr(0, name.find('\0'));
    std::string why;
    if (CheckEntryName(e.name, &why) == NameVerdict::Refused) {
      w.stop = std::string(where) + (e.name.empty() ? "" : ", " + Shown(e) + ",") +
               " is refused: " + why;
      break;
    }
    if (e.flags & FlagEncrypted) {
      w.stop = Shown(e) + " is encrypted, which the stub cannot extract";
      break;
    }
    if (e.packed_size >= 0x80000000u) {
      w.stop = Shown(e) + " claims " + std::to_string(e.packed_size) +
               " bytes of data, past the stub's signed 32-bit counts";
      break;
    }
    if (e.method != MethodStored && e.method != MethodDeflated) {
      w.stop = Shown(e) + " uses compression method " + std::to_string(e.method) +
               "; the stub knows only stored (0) and deflated (8)";
      break;
    }
    e.data_pos = name_pos + name_length;
    const uint64_t left = size > e.data_pos ? size - e.data_pos : 0;
    e.data_present = e.packed_size < left ? e.packed_size : left;
    w.entries.push_back(e);
    pos = e.data_pos + e.packed_size;
  }
  return w;
}

bool DecodeEntry(const FoundEntry& e, const uint8_t* file, std::vector<uint8_t>& out,
                 std::string* why) {
  if (e.data_present < e.packed_size) {
    *why = "its data runs past the end of the file";
    return false;
  }
  const uint8_t* packed = file + e.data_pos;
  std::vector<uint8_t> plain(packed, packed + e.packed_size);
  Scramble(plain.data(), plain.size());
  if (e.method == MethodDeflated) {
    std::vector<uint8_t> raw;
    raw.swap(plain);
    if (!InflateRaw(raw.data(), raw.size(), plain, e.size)) {
      *why = "its deflate data is damaged or decodes to more than " + std::to_string(e.size) +
             " bytes";
      return false;
    }
  }
  if (plain.size() != e.size) {
    *why = "it holds " + std::to_string(plain.size()) + " bytes, its header says " +
           std::to_string(e.size);
    return false;
  }
  const uint32_t crc = Crc32(plain.data(), plain.size());
  if (crc != e.crc) {
    char text[80];
    snprintf(text, sizeof text, "its CRC-32 is %08X, its header says %08X", crc, e.crc);
    *why = text;
    return false;
  }
  out.swap(plain);
  return true;
}

int RunList(const std::string& installer) {
  MappedFile m = MapInstaller(installer);
  const InstallerWalk w = WalkOrRefuse(m, installer);
  UnmapInstaller(m);
  printf("archive at offset %" PRId64 "\n", w.archive_offset);
  printf("%10s %10s  %-8s %-19s  %s\n", "Size", "Packed", "Method", "Modified", "Name");
  uint64_t total_size = 0, total_packed = 0;
  for (const FoundEntry& e : w.entries) {
    printf("%10" PRIu32 " %10" PRIu32 "  %-8s %-19s  %s\n", e.size, e.packed_size,
           e.method == MethodDeflated ? "deflated" : "stored", FormatDosStamp(e.stamp).c_str(),
           Windows1252ToUtf8(e.name).c_str());
    total_size += e.size;
    total_packed += e.packed_size;
  }
  printf("%10" PRIu64 " %10" PRIu64 "  %zu entries\n", total_size, total_packed, w.entries.size());
  if (!w.stop.empty()) {
    fprintf(stderr, "sfxpack: error: the stub would stop here: %s\n", w.stop.c_str());
    return 1;
  }
  return 0;
}

int RunTest(const std::string& installer) {
  MappedFile m = MapInstaller(installer);
  const InstallerWalk w = WalkOrRefuse(m, installer);
  size_t failed = 0;
  for (size_t i = 0; i < w.entries.size(); i++) {
    const FoundEntry& e = w.entries[i];
    ShowProgress("testing " + std::to_string(i + 1) + "/" + std::to_string(w.entries.size()));
    std::vector<uint8_t> data;
    std::string why;
    bool ok = DecodeEntry(e, m.data, data, &why);
    if (ok && CheckEntryName(e.name, &why) != NameVerdict::Ok) {
      why = "the stub cannot create it: " + why;
      ok = false;
    }
    EndProgress();
    if (ok) {
      printf("OK      %s\n", Windows1252ToUtf8(e.name).c_str());
    } else {
      printf("FAILED  %s: %s\n", Windows1252ToUtf8(e.name).c_str(), why.c_str());
      failed++;
    }
  }
  UnmapInstaller(m);
  if (!w.stop.empty()) {
    printf("FAILED  the stub would stop here: %s\n", w.stop.c_str());
    failed++;
  }
  if (failed > 0) {
    printf("%zu problem(s) in %zu entries\n", failed, w.entries.size());
    return 1;
  }
  printf("%zu entries OK\n", w.entries.size());
  return 0;
}

int RunExtract(const std::string& installer, const std::string& folder) {
  MappedFile m = MapInstaller(installer);
  const InstallerWalk w = WalkOrRefuse(m, installer);
  std::string why;
  if (!MakeTargetFolder(folder, &why)) {
    UnmapInstaller(m);
    Refuse(why);
  }
  size_t failed = 0;
  for (size_t i = 0; i < w.entries.size(); i++) {
    const FoundEntry& e = w.entries[i];
    ShowProgress("extracting " + std::to_string(i + 1) + "/" + std::to_string(w.entries.size()));
    // Split at either separator; the walk has already stopped at names that
    // would leave the folder.
    std::vector<std::string> parts(1);
    for (char c : e.name) {
      if (IsSeparator(c))
        parts.emplace_back();
      else
        parts.back() += c;
    }
    for (std::string& p : parts) p = Windows1252ToUtf8(p);
    const std::string leaf = parts.back();
    parts.pop_back();

    bool ok = true;
    if (CheckEntryName(e.name, &why) != NameVerdict::Ok) {
      // The stub goes on after such an entry; for a name that ends in a
      // separator it has made the folder first, and so do we.
      std::string ignored;
      if (leaf.empty()) MakeEntryFolders(folder, parts, &ignored);
      why = "the stub cannot create it: " + why;
      ok = false;
    }
    std::string target = folder;
    for (const std::string& p : parts) target += "/" + p;
    target += "/" + leaf;
    std::vector<uint8_t> data;
    ok = ok && DecodeEntry(e, m.data, data, &why) && MakeEntryFolders(folder, parts, &why) &&
         WriteEntryFile(target, data, e.stamp, &why);
    EndProgress();
    if (!ok) {
      fprintf(stderr, "sfxpack: error: %s: %s\n", Windows1252ToUtf8(e.name).c_str(), why.c_str());
      failed++;
    }
  }
  UnmapInstaller(m);
  if (!w.stop.empty()) {
    fprintf(stderr, "sfxpack: error: extraction stopped, as the stub would: %s\n", w.stop.c_str());
    return 1;
  }
  if (failed > 0) {
    fprintf(stderr, "sfxpack: error: %zu of %zu entries were not extracted\n", failed,
            w.entries.size());
    return 1;
  }
  return 0;
}
