#include "unpack.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>
#include <utility>

#include "codec.h"
#include "entry_check.h"
#include "outfile.h"
#include "platform.h"
#include "console.h"
#include "winnames.h"

namespace {

// Installer data is read in blocks of this size: memory stays flat whatever
// the size of an entry.
constexpr size_t ReadBlock = 256 * 1024;

// An installer opened for reading; closed on every way out of a command.
struct OpenInstaller : InstallerBytes {
  explicit OpenInstaller(const std::string& file) {
    path = file;
    fd = sys::OpenRead(file);
    const int from = fd;
    source = [from](uint64_t pos, uint8_t* out, size_t n) { return sys::PreadFull(from, out, n, pos); };
    if (fd < 0) Refuse("cannot open '" + file + "': " + sys::ErrorText());
    sys::Status st;
    if (!sys::StatOpen(fd, &st) || st.kind != sys::Kind::Regular) {
      sys::Close(fd);
      Refuse("'" + file + "' is not a regular file");
    }
    size = st.size;
  }
  ~OpenInstaller() { sys::Close(fd); }
  int fd = -1;
  OpenInstaller(const OpenInstaller&) = delete;
};

std::string Shown(const FoundEntry& e) { return "'" + Windows1252ToUtf8(e.name) + "'"; }

// Walks the installer, or refuses when the stub would find no archive in it.
InstallerWalk WalkOrRefuse(const InstallerBytes& file) {
  InstallerWalk w = WalkInstaller(file);
  if (w.archive_offset < 0)
    Refuse("'" + file.path + "' holds no archive: the marker is not in it from offset 20 on");
  return w;
}

// The warnings every reading command gives: names Windows would merge, and
// a damaged end of the archive (test reports that one as a failure).
void WarnAbout(const InstallerWalk& w, bool end_too) {
  const std::vector<std::string> pairs = SameFileOnWindows(w.entries);
  for (size_t i = 0; i < pairs.size() && i < 10; i++)
    Warn(pairs[i] + " would be one file on Windows: the later one replaces the earlier");
  if (pairs.size() > 10) Warn(std::to_string(pairs.size() - 10) + " more such pairs");
  if (end_too && !w.end_problem.empty()) Warn("the archive's end is damaged: " + w.end_problem);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// An entry's name as UTF-8 folders and a last part; the walk has already
// stopped at names that would leave the target folder.
std::vector<std::string> SplitName(const FoundEntry& e) {
  std::vector<std::string> parts(1);
  for (char c : e.name) {
    if (IsSeparator(c))
      parts.emplace_back();
    else
      parts.back() += c;
  }
  for (std::string& p : parts) p = Windows1252ToUtf8(p);
  return parts;
}

// Makes the target folder and the folders above it that are missing (links
// followed: the user chose this path). Works up from the folder itself, so
// that a drive, a share or a "\\?\" prefix is never taken for a folder.
bool MakeTargetFolder(const std::string& folder, std::string* why) {
  sys::Status st;
  if (sys::Stat(folder, &st)) return true;
  std::string parent = FolderOf(folder);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  if (parent != folder && parent != "." && !MakeTargetFolder(parent, why)) return false;
  if (!sys::MakeFolder(folder) && !sys::ErrorIsExists()) {
    *why = "cannot make the folder '" + folder + "': " + sys::ErrorText();
    return false;
  }
  return true;
}

// Makes the folders of an entry below root. A link found on the way is an
// error, so that nothing is written outside root.
bool MakeEntryFolders(const std::string& root, const std::vector<std::string>& folders,
                      std::string* why) {
  std::string path = root;
  for (const std::string& part : folders) {
    path += "/" + part;
    sys::Status st;
    if (sys::LinkStat(path, &st)) {
      if (st.kind == sys::Kind::Folder && !st.link) continue;
      *why = "'" + path + "' exists and is not a folder (links are not followed)";
      return false;
    }
    if (!sys::MakeFolder(path)) {
      *why = "cannot make the folder '" + path + "': " + sys::ErrorText();
      return false;
    }
  }
  return true;
}

// Scans as the stub does (see ScanForMarker), a block at a time.
int64_t FindMarker(const InstallerBytes& file) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[ReadBlock]);
  int matched = 0;
  for (uint64_t at = MarkerScanStart; at < file.size;) {
    const size_t got = file.Read(at, block.get(), ReadBlock);
    if (got == 0) break;
    for (size_t i = 0; i < got; i++) {
      if (block[i] != MarkerByte(matched)) {
        matched = 0;
      } else if (++matched == ArchiveMarkerLength) {
        return int64_t(at + i) - (ArchiveMarkerLength - 1);
      }
    }
    at += got;
  }
  return -1;
}

// Reads n bytes at pos and descrambles them; false when the file holds fewer.
bool ReadScrambled(const InstallerBytes& file, uint64_t pos, uint8_t* out, size_t n) {
  if (file.Read(pos, out, n) < n) return false;
  Scramble(out, n);
  return true;
}

// Checks what create writes after the entries, from pos: one central
// directory header for each entry, agreeing with it, then the end record.
// Whatever follows a complete end record (a signature) is left alone.
std::string CheckArchiveEnd(const InstallerBytes& file, const InstallerWalk& w, uint64_t pos) {
  const uint64_t base = uint64_t(w.archive_offset);
  const uint64_t central = pos;
  const size_t count = w.entries.size();
  for (size_t i = 0; i < count; i++) {
    const FoundEntry& e = w.entries[i];
    uint8_t h[CentralHeaderSize];
    const size_t got = file.Read(pos, h, sizeof h);
    Scramble(h, got);
    if (got >= 4 && Get32(h) != SignatureCentral)
      return i == 0 ? "no central directory follows the entries"
                    : "the central directory lists " + std::to_string(i) + " of " +
                          Plural(count, "entry", "entries");
    if (got < sizeof h)
      return "the file ends inside the central directory, after " + Plural(i, "header", "headers") +
             " of " + std::to_string(count);
    const uint16_t name_length = Get16(h + 28);
    const uint64_t next = pos + CentralHeaderSize + name_length + Get16(h + 30) + Get16(h + 32);
    std::string name(name_length, '\0');
    if (name_length > 0 &&
        !ReadScrambled(file, pos + CentralHeaderSize, reinterpret_cast<uint8_t*>(&name[0]),
                       name_length))
      return "the file ends inside the central directory";
    name = name.substr(0, name.find('\0'));
    const char* differs = name_length != e.name_length || name != e.name ? "name"
                          : Get16(h + 10) != e.method                    ? "method"
                          : Get32(h + 16) != e.crc                       ? "CRC-32"
                          : Get32(h + 20) != e.packed_size || Get32(h + 24) != e.size
                              ? "sizes"
                          : Get32(h + 42) != e.header_pos - base ? "offset"
                                                                 : nullptr;
    if (differs)
      return "the central directory's header " + std::to_string(i + 1) + " does not agree with " +
             Shown(e) + ": its " + differs + " differs";
    pos = next;
  }
  uint8_t end[EndRecordSize];
  if (!ReadScrambled(file, pos, end, sizeof end))
    return pos >= file.size ? "the end record is missing" : "the end record is cut short";
  if (Get32(end) == SignatureCentral)
    return "the central directory lists more entries than the archive holds";
  if (Get32(end) != SignatureEnd) return "no end record follows the central directory";
  if (Get16(end + 4) != 0 || Get16(end + 6) != 0 || Get16(end + 8) != count ||
      Get16(end + 10) != count || Get32(end + 12) != pos - central ||
      Get32(end + 16) != central - base)
    return "the end record does not agree with the central directory";
  if (pos + EndRecordSize + Get16(end + 20) > file.size) return "the end record's comment is cut short";
  return "";
}

}  // namespace

InstallerBytes InstallerBytes::InMemory(const uint8_t* data, size_t size) {
  InstallerBytes b;
  b.source = [data, size](uint64_t pos, uint8_t* out, size_t n) -> int64_t {
    if (pos >= size) return 0;
    if (n > size - pos) n = size_t(size - pos);
    memcpy(out, data + pos, n);
    return int64_t(n);
  };
  b.size = size;
  b.path = "(memory)";
  return b;
}

size_t InstallerBytes::Read(uint64_t pos, uint8_t* out, size_t n) const {
  if (pos >= size) return 0;
  if (n > size - pos) n = size_t(size - pos);
  constexpr size_t Window = 65536;
  if (n >= Window / 4) return ReadFile(pos, out, n);
  std::vector<uint8_t>& w = window_;
  if (pos < window_pos_ || pos + n > window_pos_ + w.size()) {
    w.resize(Window);
    w.resize(ReadFile(pos, w.data(), Window));
    window_pos_ = pos;
  }
  // Fewer only when the file has shrunk since it was opened.
  const size_t got = std::min<uint64_t>(n, window_pos_ + w.size() - pos);
  memcpy(out, w.data() + (pos - window_pos_), got);
  return got;
}

size_t InstallerBytes::ReadFile(uint64_t pos, uint8_t* out, size_t n) const {
  const int64_t done = source(pos, out, n);
  if (done < 0) Refuse("cannot read '" + path + "': " + sys::ErrorText());
  return size_t(done);
}

InstallerWalk WalkInstaller(const uint8_t* data, size_t size) {
  return WalkInstaller(InstallerBytes::InMemory(data, size));
}

InstallerWalk WalkInstaller(const InstallerBytes& file) {
  InstallerWalk w;
  w.archive_offset = FindMarker(file);
  if (w.archive_offset < 0) return w;
  const uint64_t size = file.size;
  uint64_t pos = uint64_t(w.archive_offset);
  char where[64];
  while (true) {
    snprintf(where, sizeof where, "the entry at offset %" PRIu64, pos);
    uint8_t h[EntryHeaderSize];
    const size_t got = file.Read(pos, h, EntryHeaderSize);
    if (got < 4) break;  // the header read delivers no signature
    Scramble(h, got);
    const uint32_t sig = Get32(h + OffsetSignature);
    if (sig != SignatureLocal && sig != SignatureAlternate) {
      w.end_problem = CheckArchiveEnd(file, w, pos);
      break;  // the normal end
    }
    if (got < EntryHeaderSize) {
      w.stop = std::string(where) + " has a header cut short by the end of the file";
      break;
    }
    if (w.entries.size() == MaxEntryCount) {
      w.stop = "the archive holds more than " + std::to_string(MaxEntryCount) +
               " entries, more than its end record can count; sfxpack reads no further";
      break;
    }

    FoundEntry e;
    e.header_pos = pos;
    e.flags = Get16(h + OffsetFlags);
    e.method = Get16(h + OffsetMethod);
    e.stamp = DosStamp{Get16(h + OffsetDosTime), Get16(h + OffsetDosDate)};
    e.crc = Get32(h + OffsetCrc32);
    e.packed_size = Get32(h + OffsetCompressedSize);
    e.size = Get32(h + OffsetUncompressedSize);
    e.name_length = Get16(h + OffsetNameLength);
    if (e.name_length > MaxNameLength) {
      w.stop = std::string(where) + " has a name of " + std::to_string(e.name_length) +
               " bytes; at most " + std::to_string(MaxNameLength) + " fit";
      break;
    }
    const uint64_t name_pos = pos + EntryHeaderSize;
    std::string name(e.name_length, '\0');
    if (!ReadScrambled(file, name_pos, reinterpret_cast<uint8_t*>(&name[0]), name.size())) {
      w.stop = std::string(where) + " has its name cut short by the end of the file";
      break;
    }
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
    e.data_pos = name_pos + e.name_length;
    const uint64_t left = size > e.data_pos ? size - e.data_pos : 0;
    e.data_present = e.packed_size < left ? e.packed_size : left;
    w.entries.push_back(e);
    pos = e.data_pos + e.packed_size;
  }
  if (w.stop.empty() && w.end_problem.empty() && pos + 4 > size)
    w.end_problem = "the central directory and end record are missing";
  return w;
}

std::vector<std::string> SameFileOnWindows(const std::vector<FoundEntry>& entries) {
  std::vector<std::pair<std::string, size_t>> folded;
  for (size_t i = 0; i < entries.size(); i++) folded.emplace_back(FoldNameCase(entries[i].name), i);
  std::sort(folded.begin(), folded.end());
  std::vector<std::string> pairs;
  for (size_t i = 1; i < folded.size(); i++) {
    if (folded[i].first == folded[i - 1].first)
      pairs.push_back(Shown(entries[folded[i - 1].second]) + " and " +
                      Shown(entries[folded[i].second]));
  }
  return pairs;
}

bool CheckEntryData(const FoundEntry& e, const InstallerBytes& file, bool with_stub,
                    const EntrySinks& sinks, std::string* why) {
  if (e.data_present < e.packed_size) {
    *why = DataCutShort();
    return false;
  }
  const EntryClaim claim{e.method, e.packed_size, e.size, e.crc};
  const uint64_t pos = e.data_pos;
  const decoder_host::ReadAt& source = file.source;
  bool sink_failed = false;  // it has set *why
  EntryChecker checker(
      claim,
      with_stub ? StubCheck::ReadingFrom([&source, pos](uint64_t at, uint8_t* p, size_t n) {
        return source(pos + at, p, n);
      })
                : StubCheck(),
      sinks.plain ? [&](const uint8_t* p, size_t n) { return sinks.plain(p, n) || !(sink_failed = true); }
                  : StreamInflater::Put());
  // No larger than the entry needs: installers often hold many small files.
  const size_t block_size = size_t(std::min<uint64_t>(ReadBlock, e.packed_size + 1));
  std::unique_ptr<uint8_t[]> block(new uint8_t[block_size]);
  for (uint64_t done = 0; done < e.packed_size;) {
    const size_t want = size_t(std::min<uint64_t>(e.packed_size - done, block_size));
    if (!ReadScrambled(file, e.data_pos + done, block.get(), want)) break;
    done += want;
    if (sinks.stored && !sinks.stored(block.get(), want)) return false;
    // unwrap copies what the check no longer needs.
    if (!checker.Feed(block.get(), want) && !sinks.stored) break;
  }
  const EntryProblem problem = checker.Finish();
  if (problem && !sink_failed) *why = *problem;
  return !problem;
}

bool DecodeEntry(const FoundEntry& e, const InstallerBytes& file, std::vector<uint8_t>& out,
                 std::string* why) {
  out.clear();
  EntrySinks sinks;
  sinks.plain = [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  };
  return CheckEntryData(e, file, false, sinks, why);
}

namespace {

// Writes one entry to the file folder/leaf: decoded and checked into a
// temporary file in that folder, given its time and renamed to the name,
// replacing a file there only when overwrite is set. Nothing is left behind
// when it fails.
bool ExtractEntry(const FoundEntry& e, const InstallerBytes& file, const std::string& folder,
                  const std::string& leaf, bool overwrite, std::string* why) {
  if (e.data_present < e.packed_size) {
    *why = DataCutShort();
    return false;
  }
  const std::string target = folder + "/" + leaf;
  // A short name of its own: the entry's name may already be as long as
  // the file system allows.
  std::string temp;
  const int fd = sys::CreateUnique(folder + "/.sfxpack-", &temp);
  if (fd < 0) {
    *why = "cannot create a file in '" + folder + "': " + sys::ErrorText();
    return false;
  }
  SetTemporaryForSignals(temp);
  EntrySinks sinks;
  sinks.plain = [&](const uint8_t* p, size_t n) {
    if (sys::WriteAll(fd, p, n)) return true;
    *why = "cannot write '" + temp + "': " + sys::ErrorText();
    return false;
  };
  bool ok = CheckEntryData(e, file, false, sinks, why);
  if (ok) {
    sys::Finish(fd, false);
    // Like the stub, a stamp that is no valid date leaves the file's own time.
    time_t t;
    if (TimeFromDosStamp(e.stamp, t)) sys::SetTime(fd, int64_t(t));
  }
  if (!sys::Close(fd) && ok) {
    *why = "cannot write '" + temp + "': " + sys::ErrorText();
    ok = false;
  }
  // Either way a link of that name is replaced, never what it points to.
  // Without overwrite, a file that appeared since the check is kept.
  if (ok && !sys::Rename(temp, target, overwrite)) {
    *why = sys::ErrorIsExists() ? "'" + target + "' exists already (--overwrite replaces it)"
                                : "cannot create '" + target + "': " + sys::ErrorText();
    ok = false;
  }
  if (!ok) sys::Remove(temp);
  SetTemporaryForSignals("");
  return ok;
}

// The entries' files that exist already below folder (anything at the
// name, a link included), as paths relative to it. Entries below something
// that is not a folder are left to the extraction, which reports them.
std::vector<std::string> ExistingTargets(const std::string& folder,
                                         const std::vector<FoundEntry>& entries) {
  std::vector<std::string> existing;
  for (const FoundEntry& e : entries) {
    std::string why;
    if (CheckEntryName(e.name, &why) != NameVerdict::Ok) continue;
    const std::vector<std::string> parts = SplitName(e);
    std::string path = folder, shown;
    sys::Status st;
    bool below = true;
    for (size_t i = 0; below && i + 1 < parts.size(); i++) {
      path += "/" + parts[i];
      shown += parts[i] + "/";
      below = sys::LinkStat(path, &st) && st.kind == sys::Kind::Folder && !st.link;
    }
    if (below && sys::LinkStat(path + "/" + parts.back(), &st))
      existing.push_back("'" + shown + parts.back() + "'");
  }
  return existing;
}

}  // namespace

int RunList(const std::string& installer) {
  OpenInstaller file(installer);
  const InstallerWalk w = WalkOrRefuse(file);
  WarnAbout(w, true);
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
  printf("%10" PRIu64 " %10" PRIu64 "  %s\n", total_size, total_packed,
         Plural(w.entries.size(), "entry", "entries").c_str());
  if (!w.stop.empty()) {
    fprintf(stderr, "sfxpack: error: the stub would stop here: %s\n", w.stop.c_str());
    return 1;
  }
  return 0;
}

int RunTest(const std::string& installer) {
  OpenInstaller file(installer);
  const InstallerWalk w = WalkOrRefuse(file);
  WarnAbout(w, false);
  size_t failed = 0, problems = 0;
  for (size_t i = 0; i < w.entries.size(); i++) {
    const FoundEntry& e = w.entries[i];
    ShowProgress("testing " + std::to_string(i + 1) + "/" + std::to_string(w.entries.size()));
    std::string why;
    bool ok = CheckEntryData(e, file, true, EntrySinks(), &why);
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
  problems = failed;
  if (!w.stop.empty()) {
    printf("FAILED  the stub would stop here: %s\n", w.stop.c_str());
    problems++;
  }
  if (!w.end_problem.empty()) {
    printf("FAILED  the archive's end: %s\n", w.end_problem.c_str());
    problems++;
  }
  const size_t n = w.entries.size();
  if (problems > 0) {
    printf("%s found, %s\n", Plural(problems, "problem", "problems").c_str(),
           n == 0 ? "no entries read"
                  : (std::to_string(n - failed) + " of " + Plural(n, "entry", "entries") + " OK")
                        .c_str());
    return 1;
  }
  if (!Quiet()) printf("%s OK\n", Plural(n, "entry", "entries").c_str());
  return 0;
}

int RunExtract(const std::string& installer, const std::string& folder, bool overwrite) {
  const double start = Now();
  OpenInstaller file(installer);
  const InstallerWalk w = WalkOrRefuse(file);
  WarnAbout(w, true);
  std::string why;
  if (!MakeTargetFolder(folder, &why)) Refuse(why);
  if (!overwrite) {
    const std::vector<std::string> existing = ExistingTargets(folder, w.entries);
    if (!existing.empty()) {
      std::string names;
      for (size_t i = 0; i < existing.size() && i < 10; i++) names += (i ? ", " : "") + existing[i];
      if (existing.size() > 10) names += " and " + std::to_string(existing.size() - 10) + " more";
      Refuse(std::string(existing.size() == 1 ? "a file exists" : "files exist") + " already in '" +
             folder + "': " + names + "; nothing was extracted (--overwrite replaces them)");
    }
  }
  size_t failed = 0;
  uint64_t bytes_in = 0, bytes_out = 0;
  // A later entry whose name Windows takes for an earlier one's replaces
  // it, as the stub does; the warning above has said so.
  std::set<std::string> written;
  for (size_t i = 0; i < w.entries.size(); i++) {
    const FoundEntry& e = w.entries[i];
    ShowProgress("extracting " + std::to_string(i + 1) + "/" + std::to_string(w.entries.size()));
    std::vector<std::string> parts = SplitName(e);
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
    const bool again = !written.insert(FoldNameCase(e.name)).second;
    ok = ok && MakeEntryFolders(folder, parts, &why) &&
         ExtractEntry(e, file, target_folder, leaf, overwrite || again, &why);
    EndProgress();
    if (!ok) {
      fprintf(stderr, "sfxpack: error: %s: %s\n", Windows1252ToUtf8(e.name).c_str(), why.c_str());
      failed++;
    } else {
      bytes_in += e.packed_size;
      bytes_out += e.size;
    }
  }
  if (!w.stop.empty()) {
    fprintf(stderr, "sfxpack: error: extraction stopped, as the stub would: %s\n", w.stop.c_str());
    return 1;
  }
  if (failed > 0) {
    fprintf(stderr, "sfxpack: error: %zu of %s %s not extracted\n", failed,
            Plural(w.entries.size(), "entry", "entries").c_str(), failed == 1 ? "was" : "were");
    return 1;
  }
  Summary("extracted into " + folder, w.entries.size(), bytes_in, bytes_out, Now() - start,
          Share("packed data", bytes_in, "the output", bytes_out));
  return 0;
}

int RunUnwrap(const std::string& installer, const std::string& output) {
  CheckOutputTarget(output, {installer});
  OpenInstaller file(installer);
  const InstallerWalk w = WalkOrRefuse(file);
  if (!w.stop.empty()) Refuse("the stub would stop here: " + w.stop);
  if (!w.end_problem.empty()) Refuse("the archive's end is damaged: " + w.end_problem);
  WarnAbout(w, false);
  if (w.entries.size() > 0xFFFF) Refuse("too many entries for a ZIP file");
  OutputFile out(output);
  std::vector<uint8_t> central;
  for (const FoundEntry& e : w.entries) {
    std::string why;
    if (CheckEntryName(e.name, &why) != NameVerdict::Ok)
      Refuse(Shown(e) + ": the stub cannot create it: " + why);
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
    // The data is copied as it is checked, the same way test checks it; a
    // failure removes the unfinished output.
    EntrySinks sinks;
    sinks.stored = [&](const uint8_t* p, size_t n) {
      out.Write(p, n);
      return true;
    };
    if (!CheckEntryData(e, file, true, sinks, &why)) Refuse(Shown(e) + ": " + why);
  }
  std::vector<uint8_t> end;
  AppendEndRecord(end, uint16_t(w.entries.size()), uint32_t(central.size()), uint32_t(out.Written()));
  out.Write(central.data(), central.size());
  out.Write(end.data(), end.size());
  out.Commit();
  return 0;
}
