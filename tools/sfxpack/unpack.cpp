#include "unpack.h"

#include <inttypes.h>
#include <stdio.h>

#include <algorithm>
#include <set>

#include "entry_check.h"
#include "outfile.h"
#include "platform.h"
#include "console.h"
#include "stub_identity.h"
#include "winnames.h"

namespace {

// An installer opened for reading; closed on every way out of a command.
struct OpenInstaller : InstallerBytes {
  explicit OpenInstaller(const std::string& file) {
    path = file;
    fd = sys::OpenRead(file);
    const int from = fd;
    source = [from](uint64_t pos, uint8_t* out, size_t n) { return sys::PreadFull(from, out, n, pos); };
    error_text = [] { return sys::ErrorText(); };
    if (fd < 0) Refuse("cannot open " + QuotePath(file) + ": " + sys::ErrorText());
    sys::Status st;
    if (!sys::StatOpen(fd, &st) || st.kind != sys::Kind::Regular) {
      sys::Close(fd);
      Refuse(QuotePath(file) + " is not a regular file");
    }
    size = st.size;
  }
  ~OpenInstaller() { sys::Close(fd); }
  int fd = -1;
  OpenInstaller(const OpenInstaller&) = delete;
};

// A read error ends every command.
void RefuseOnReadError(const InstallerBytes& file) {
  if (file.read_error) Refuse(*file.read_error);
}

// Walks the installer, or refuses when the stub would find no archive in it.
InstallerWalk WalkOrRefuse(const InstallerBytes& file) {
  InstallerWalk w = WalkInstaller(file);
  RefuseOnReadError(file);
  if (w.archive_offset < 0)
    Refuse(QuotePath(file.path) + " holds no archive: the marker is not in it from offset 20 on");
  return w;
}

// The warning every reading command gives: names Windows would merge.
void WarnAbout(const InstallerWalk& w) {
  const std::vector<std::string> pairs = SameFileOnWindows(w.entries);
  for (size_t i = 0; i < pairs.size() && i < 10; i++)
    Warn(pairs[i] + " would be one file on Windows: the later one replaces the earlier");
  if (pairs.size() > 10) Warn(std::to_string(pairs.size() - 10) + " more such pairs");
}

// A damaged or missing archive end fails a command that has done its work
// on the entries: the installer is not whole. Returns the exit code.
int EndVerdict(const InstallerWalk& w) {
  if (!w.end_problem) return 0;
  fprintf(stderr, "sfxpack: error: the archive's end is damaged: %s\n", w.end_problem->c_str());
  return 1;
}

// The icon, version information and execution level the installer's stub
// carries, one line each; its bytes are read up to a stub's largest size.
void PrintIdentity(const InstallerBytes& file, const InstallerWalk& w) {
  constexpr uint64_t MaxStubRead = 64 << 20;
  std::vector<uint8_t> stub(size_t(std::min<uint64_t>(uint64_t(w.archive_offset), MaxStubRead)));
  stub.resize(file.Read(0, stub.data(), stub.size()));
  RefuseOnReadError(file);
  for (const std::string& line : DescriptionLines(DescribeStub(stub))) printf("%s\n", line.c_str());
}

// What the PE checksum says of an installer whose archive checks out, if it
// disagrees with the file's bytes: then only the bytes before the archive or
// after its end can be damaged, the stub or what a signing tool appended.
std::optional<std::string> DamageOutsideTheArchive(const InstallerBytes& file, const InstallerWalk& w) {
  const std::optional<std::string> checksum = PeChecksumProblem(file);
  RefuseOnReadError(file);
  if (!checksum) return std::nullopt;
  return "the PE checksum: " + *checksum + "; the archive checks out, so the stub's bytes (offsets 0 to " +
         std::to_string(w.archive_offset - 1) + ") or the bytes after the archive are damaged";
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
      *why = QuotePath(path) + " exists and is not a folder (links are not followed)";
      return false;
    }
    if (!sys::MakeFolder(path)) {
      *why = "cannot make the folder '" + path + "': " + sys::ErrorText();
      return false;
    }
  }
  return true;
}

}  // namespace

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
  std::optional<std::string> write_error;
  EntrySinks sinks;
  sinks.plain = [&](const uint8_t* p, size_t n) {
    if (sys::WriteAll(fd, p, n)) return true;
    write_error = "cannot write '" + temp + "': " + sys::ErrorText();
    return false;
  };
  EntryProblem problem = CheckEntryData(e, file, false, sinks);
  if (problem && write_error) problem = write_error;
  if (problem) *why = *problem;
  bool ok = !problem;
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
    *why = sys::ErrorIsExists() ? QuotePath(target) + " exists already (--overwrite replaces it)"
                                : "cannot create '" + target + "': " + sys::ErrorText();
    ok = false;
  }
  if (!ok) sys::Remove(temp);
  sys::ForgetTemporary();
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
      existing.push_back(shown + parts.back());
  }
  return existing;
}

}  // namespace

int RunList(const std::string& installer) {
  OpenInstaller file(installer);
  const InstallerWalk w = WalkOrRefuse(file);
  WarnAbout(w);
  printf("archive at offset %" PRId64 "\n", w.archive_offset);
  PrintIdentity(file, w);
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
  if (w.stop) {
    fprintf(stderr, "sfxpack: error: the stub would stop here: %s\n", w.stop->c_str());
    return 1;
  }
  return EndVerdict(w);
  return 0;
}

int RunTest(const std::string& installer) {
  OpenInstaller file(installer);
  const InstallerWalk w = WalkOrRefuse(file);
  WarnAbout(w);
  size_t failed = 0, problems = 0;
  if (!Quiet()) PrintIdentity(file, w);
  for (size_t i = 0; i < w.entries.size(); i++) {
    const FoundEntry& e = w.entries[i];
    ShowProgress("testing " + std::to_string(i + 1) + "/" + std::to_string(w.entries.size()));
    const EntryProblem problem = CheckEntryData(e, file, true, EntrySinks());
    RefuseOnReadError(file);
    std::string why = problem.value_or("");
    bool ok = !problem;
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
  if (w.stop) {
    printf("FAILED  the stub would stop here: %s\n", w.stop->c_str());
    problems++;
  }
  if (w.end_problem) {
    printf("FAILED  the archive's end: %s\n", w.end_problem->c_str());
    problems++;
  }
  if (problems == 0) {
    if (const std::optional<std::string> damage = DamageOutsideTheArchive(file, w)) {
      printf("FAILED  %s\n", damage->c_str());
      problems++;
    }
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
  WarnAbout(w);
  std::string why;
  if (!MakeTargetFolder(folder, &why)) Refuse(why);
  if (!overwrite) {
    const std::vector<std::string> existing = ExistingTargets(folder, w.entries);
    if (!existing.empty()) {
      Refuse(std::string(existing.size() == 1 ? "a file exists" : "files exist") + " already in " +
             QuotePath(folder) + ": " + NameList(existing, 10) +
             "; nothing was extracted (--overwrite replaces them)");
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
    RefuseOnReadError(file);
    EndProgress();
    if (!ok) {
      fprintf(stderr, "sfxpack: error: %s: %s\n", Windows1252ToUtf8(e.name).c_str(), why.c_str());
      failed++;
    } else {
      bytes_in += e.packed_size;
      bytes_out += e.size;
    }
  }
  if (w.stop) {
    fprintf(stderr, "sfxpack: error: extraction stopped, as the stub would: %s\n", w.stop->c_str());
    return 1;
  }
  if (failed > 0) {
    fprintf(stderr, "sfxpack: error: %zu of %s %s not extracted\n", failed,
            Plural(w.entries.size(), "entry", "entries").c_str(), failed == 1 ? "was" : "were");
    return 1;
  }
  if (EndVerdict(w) != 0) return 1;
  Summary("extracted into " + sys::ShownPath(folder), w.entries.size(), bytes_in, bytes_out, Now() - start,
          Share("packed data", bytes_in, "the output", bytes_out));
  return 0;
}

int RunUnwrap(const std::string& installer, const std::string& output) {
  CheckOutputTarget(output, {installer});
  OpenInstaller file(installer);
  const InstallerWalk w = WalkOrRefuse(file);
  if (w.stop) Refuse("the stub would stop here: " + *w.stop);
  if (w.end_problem) Refuse("the archive's end is damaged: " + *w.end_problem);
  WarnAbout(w);
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
    if (const EntryProblem problem = CheckEntryData(e, file, true, sinks)) {
      RefuseOnReadError(file);
      Refuse(Shown(e) + ": " + *problem);
    }
  }
  // As test does, once every entry checks out.
  if (const std::optional<std::string> damage = DamageOutsideTheArchive(file, w)) Refuse(*damage);
  std::vector<uint8_t> end;
  AppendEndRecord(end, uint16_t(w.entries.size()), uint32_t(central.size()), uint32_t(out.Written()));
  out.Write(central.data(), central.size());
  out.Write(end.data(), end.size());
  out.Commit();
  return 0;
}
