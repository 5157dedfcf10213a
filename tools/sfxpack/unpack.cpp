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
#include "outfile.h"
#include "console.h"
#include "winnames.h"

namespace {

struct MappedFile {
  const uint8_t* data = nullptr;
  size_t size = 0;
  int fd = -1;  // kept open for the stub's decoder
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
  m.fd = fd;
  return m;
}

void UnmapInstaller(MappedFile& m) {
  if (m.data) munmap(const_cast<uint8_t*>(m.data), m.size);
  if (m.fd >= 0) close(m.fd);
  m.data = nullptr;
  m.fd = -1;
}

// Unmaps and closes on every way out of a command.
struct MappedInstaller : MappedFile {
  explicit MappedInstaller(const std::string& path) : MappedFile(MapInstaller(path)) {}
  ~MappedInstaller() { UnmapInstaller(*this); }
  MappedInstaller(const MappedInstaller&) = delete;
};

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

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k, n -= size_t(k);
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

namespace {

// Checks a decoded size and CRC-32 against the header.
bool Matches(const FoundEntry& e, uint64_t size, uint32_t crc, std::string* why) {
  if (size != e.size) {
    *why = "it holds " + std::to_string(size) + " bytes, its header says " + std::to_string(e.size);
    return false;
  }
  if (crc != e.crc) {
    char text[80];
    snprintf(text, sizeof text, "its CRC-32 is %08X, its header says %08X", crc, e.crc);
    *why = text;
    return false;
  }
  return true;
}

// An entry's data as stored, descrambled a block at a time and handed to use.
template <typename Use>
void ForDataBlocks(const FoundEntry& e, const uint8_t* file, Use use) {
  uint8_t block[65536];
  for (uint64_t done = 0; done < e.packed_size;) {
    const size_t k = size_t(e.packed_size - done < sizeof block ? e.packed_size - done : sizeof block);
    memcpy(block, file + e.data_pos + done, k);
    Scramble(block, k);
    use(block, k);
    done += k;
  }
}

// Decodes a deflated entry with libdeflate into out, bounded by its header's
// size and by what its data can decode to.
bool InflateEntryData(const FoundEntry& e, const uint8_t* file, Bytes& out, std::string* why) {
  Bytes packed;
  packed.Reserve(e.packed_size);
  memcpy(packed.data.get(), file + e.data_pos, e.packed_size);
  Scramble(packed.data.get(), e.packed_size);
  packed.size = e.packed_size;
  return InflateBounded(packed.data.get(), packed.size, e.size, out, why);
}

// Decodes and checks one entry into memory. stub_fd >= 0: deflated data must
// also decode to the same bytes with the stub's own decoder.
bool DecodeChecked(const FoundEntry& e, const uint8_t* file, int stub_fd, Bytes& out,
                   std::string* why) {
  out.size = 0;
  if (e.data_present < e.packed_size) {
    *why = "its data runs past the end of the file";
    return false;
  }
  if (e.method == MethodStored) {
    out.Reserve(e.packed_size);
    ForDataBlocks(e, file, [&](const uint8_t* p, size_t k) {
      memcpy(out.data.get() + out.size, p, k);
      out.size += k;
    });
  } else if (!InflateEntryData(e, file, out, why)) {
    return false;
  }
  if (!Matches(e, out.size, Crc32(out.data.get(), out.size), why)) return false;
  if (e.method == MethodDeflated && stub_fd >= 0 &&
      !StubAgrees(stub_fd, e.data_pos, e.packed_size, out.data.get(), out.size)) {
    *why = "the stub's own decoder does not give the same bytes";
    return false;
  }
  return true;
}

}  // namespace

bool DecodeEntry(const FoundEntry& e, const uint8_t* file, std::vector<uint8_t>& out,
                 std::string* why) {
  Bytes plain;
  if (!DecodeChecked(e, file, -1, plain, why)) return false;
  out.assign(plain.data.get(), plain.data.get() + plain.size);
  return true;
}

namespace {

// Writes one entry to the file folder/leaf: decoded and checked into a
// temporary file in that folder, given its time and renamed over the name.
// Nothing is left behind when it fails. *bytes_out receives the size.
bool ExtractEntry(const FoundEntry& e, const uint8_t* file, const std::string& folder,
                  const std::string& leaf, uint64_t* bytes_out, std::string* why) {
  if (e.data_present < e.packed_size) {
    *why = "its data runs past the end of the file";
    return false;
  }
  Bytes plain;
  if (e.method == MethodDeflated) {
    if (!InflateEntryData(e, file, plain, why) ||
        !Matches(e, plain.size, Crc32(plain.data.get(), plain.size), why))
      return false;
  }
  const std::string target = folder + "/" + leaf;
  // A short name of its own: the entry's name may already be as long as
  // the file system allows.
  std::string temp = folder + "/.sfxpack-XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot create a file in '" + folder + "': " + strerror(errno);
    return false;
  }
  SetTemporaryForSignals(temp);
  bool ok = true;
  uint32_t crc = 0;
  if (e.method == MethodDeflated) {
    ok = WriteAll(fd, plain.data.get(), plain.size);
  } else {
    ForDataBlocks(e, file, [&](const uint8_t* p, size_t k) {
      crc = Crc32(p, k, crc);
      ok = ok && WriteAll(fd, p, k);
    });
  }
  if (!ok) *why = "cannot write '" + temp + "': " + strerror(errno);
  ok = ok && (e.method == MethodDeflated || Matches(e, e.packed_size, crc, why));
  if (ok) {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    // Like the stub, a stamp that is no valid date leaves the file's own time.
    time_t t;
    if (TimeFromDosStamp(e.stamp, t)) {
      struct timespec times[2] = {{t, 0}, {t, 0}};
      futimens(fd, times);
    }
  }
  if (close(fd) != 0 && ok) {
    *why = "cannot write '" + temp + "': " + strerror(errno);
    ok = false;
  }
  // rename replaces a link of that name, never what it points to.
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    *why = "cannot create '" + target + "': " + strerror(errno);
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  SetTemporaryForSignals("");
  *bytes_out = e.method == MethodDeflated ? plain.size : e.packed_size;
  return ok;
}

}  // namespace

int RunList(const std::string& installer) {
  MappedInstaller m(installer);
  const InstallerWalk w = WalkOrRefuse(m, installer);
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
  MappedInstaller m(installer);
  const InstallerWalk w = WalkOrRefuse(m, installer);
  size_t failed = 0;
  for (size_t i = 0; i < w.entries.size(); i++) {
    const FoundEntry& e = w.entries[i];
    ShowProgress("testing " + std::to_string(i + 1) + "/" + std::to_string(w.entries.size()));
    std::string why;
    bool ok = true;
    if (e.data_present < e.packed_size) {
      why = "its data runs past the end of the file";
      ok = false;
    } else if (e.method == MethodStored) {
      uint32_t crc = 0;
      ForDataBlocks(e, m.data, [&](const uint8_t* p, size_t k) { crc = Crc32(p, k, crc); });
      ok = Matches(e, e.packed_size, crc, &why);
    } else {
      Bytes plain;
      ok = DecodeChecked(e, m.data, m.fd, plain, &why);
    }
    if (ok && CheckEntryName(e.name, &why) != NameVerdict::Ok) {
      why = "the stub cannot create it: " + why;
      ok = false;
    }
    EndProgress();
    if (ok) {
      if (!Quiet()) printf("OK      %s\n", Windows1252ToUtf8(e.name).c_str());
    } else {
      printf("FAILED  %s: %s\n", Windows1252ToUtf8(e.name).c_str(), why.c_str());
      failed++;
    }
  }
  if (!w.stop.empty()) {
    printf("FAILED  the stub would stop here: %s\n", w.stop.c_str());
    failed++;
  }
  if (failed > 0) {
    printf("%zu problem(s) in %zu entries\n", failed, w.entries.size());
    return 1;
  }
  if (!Quiet()) printf("%zu entries OK\n", w.entries.size());
  return 0;
}

int RunExtract(const std::string& installer, const std::string& folder) {
  const double start = Now();
  MappedInstaller m(installer);
  const InstallerWalk w = WalkOrRefuse(m, installer);
  std::string why;
  if (!MakeTargetFolder(folder, &why)) Refuse(why);
  size_t failed = 0;
  uint64_t bytes_in = 0, bytes_out = 0;
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
    std::string target_folder = folder;
    for (const std::string& p : parts) target_folder += "/" + p;
    uint64_t written = 0;
    ok = ok && MakeEntryFolders(folder, parts, &why) &&
         ExtractEntry(e, m.data, target_folder, leaf, &written, &why);
    EndProgress();
    if (!ok) {
      fprintf(stderr, "sfxpack: error: %s: %s\n", Windows1252ToUtf8(e.name).c_str(), why.c_str());
      failed++;
    } else {
      bytes_in += e.packed_size;
      bytes_out += written;
    }
  }
  if (!w.stop.empty()) {
    fprintf(stderr, "sfxpack: error: extraction stopped, as the stub would: %s\n", w.stop.c_str());
    return 1;
  }
  if (failed > 0) {
    fprintf(stderr, "sfxpack: error: %zu of %zu entries were not extracted\n", failed,
            w.entries.size());
    return 1;
  }
  Summary("extracted into " + folder, w.entries.size(), bytes_in, bytes_out, Now() - start);
  return 0;
}

int RunUnwrap(const std::string& installer, const std::string& output) {
  CheckOutputTarget(output, {installer});
  MappedInstaller m(installer);
  const InstallerWalk w = WalkOrRefuse(m, installer);
  if (!w.stop.empty()) Refuse("the stub would stop here: " + w.stop);
  OutputFile out(output);
  std::vector<uint8_t> central;
  for (const FoundEntry& e : w.entries) {
    if (e.data_present < e.packed_size)
      Refuse(Shown(e) + ": its data runs past the end of the file");
    // Standard ZIP names: '/' separators, UTF-8 flagged as such when not
    // plain ASCII.
    std::string name = Windows1252ToUtf8(e.name);
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    bool ascii = true;
    for (unsigned char c : name) ascii = ascii && c < 0x80;
    const EntryFields f{uint16_t(ascii ? 0 : 0x0800), e.method, e.stamp, e.crc, e.packed_size,
                        e.size};
    if (out.Written() > 0xFFFFFFFFu) Refuse("the archive is too large for a ZIP file without extensions");
    AppendCentralHeader(central, f, name, uint32_t(out.Written()));
    std::vector<uint8_t> header;
    AppendLocalHeader(header, f, name);
    out.Write(header.data(), header.size());
    ForDataBlocks(e, m.data, [&](const uint8_t* p, size_t k) { out.Write(p, k); });
  }
  std::vector<uint8_t> end;
  if (w.entries.size() > 0xFFFF) Refuse("too many entries for a ZIP file");
  AppendEndRecord(end, uint16_t(w.entries.size()), uint32_t(central.size()), uint32_t(out.Written()));
  out.Write(central.data(), central.size());
  out.Write(end.data(), end.size());
  out.Commit();
  return 0;
}
