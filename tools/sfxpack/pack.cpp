#include "pack.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <set>
#include <utility>

#include "codec.h"
#include "console.h"
#include "winnames.h"

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + Quote(path) + ": " + strerror(errno);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Refuse(SystemError("cannot open", path));
  std::vector<uint8_t> data;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(size_t(st.st_size));
  uint8_t block[65536];
  while (true) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const std::string message = SystemError("cannot read", path);
      close(fd);
      Refuse(message);
    }
    if (n == 0) break;
    data.insert(data.end(), block, block + n);
  }
  close(fd);
  return data;
}

// ---- Gathering the entries ----

struct Gathering {
  std::vector<PlannedEntry> entries;
  dev_t skip_dev = 0;  // the existing output file, never packed into itself
  ino_t skip_ino = 0;
  bool skip_valid = false;
  std::set<std::pair<dev_t, ino_t>> open_folders;  // guards against link loops
};

void AddFile(Gathering& g, const std::string& path, const std::string& relative,
             const struct stat& st, const std::string& origin) {
  if (g.skip_valid && st.st_dev == g.skip_dev && st.st_ino == g.skip_ino) {
    Warn("skipping " + Quote(path) + ": it is the output file");
    return;
  }
  PlannedEntry e;
  e.name = StoredNameFor(relative, origin);
  e.shown = relative;
  e.source_path = path;
  e.size = uint64_t(st.st_size);
  e.stamp = DosStampFromTime(st.st_mtime);
  if (e.size > 0xFFFFFFFFu)
    Refuse(Quote(path) + " is " + std::to_string(e.size) +
           " bytes long; entries are limited to 32-bit sizes");
  g.entries.push_back(e);
}

void AddFolder(Gathering& g, const std::string& folder, const std::string& relative,
               const std::string& origin) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) Refuse(SystemError("cannot read", folder));
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  if (g.open_folders.count(key)) {
    Warn("skipping " + Quote(folder) + ": a link leads back into a folder being packed");
    return;
  }
  g.open_folders.insert(key);
  DIR* dir = opendir(folder.c_str());
  if (!dir) Refuse(SystemError("cannot read the folder", folder));
  std::vector<std::string> names;
  while (const dirent* d = readdir(dir)) {
    if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    if (name.find('\\') != std::string::npos)
      Refuse("the name " + Quote(rel) + " from " + origin +
             " holds '\\', which Windows reads as a folder separator");
    struct stat est {};
    if (stat(path.c_str(), &est) != 0) Refuse(SystemError("cannot read", path));
    if (S_ISDIR(est.st_mode)) {
      AddFolder(g, path, rel, origin);
    } else if (S_ISREG(est.st_mode)) {
      AddFile(g, path, rel, est, origin);
    } else {
      Warn("skipping " + Quote(path) + ": not a regular file or folder");
    }
  }
  g.open_folders.erase(key);
}

void AddInput(Gathering& g, const std::string& input) {
  struct stat st {};
  if (stat(input.c_str(), &st) != 0) Refuse(SystemError("cannot read", input));
  if (S_ISDIR(st.st_mode)) {
    AddFolder(g, input, "", "the folder " + Quote(input));
  } else if (S_ISREG(st.st_mode)) {
    // A file given by itself is named by its last path component.
    std::string base = input;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const size_t slash = base.rfind('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    if (base.find('\\') != std::string::npos)
      Refuse("the name " + Quote(base) + " holds '\\', which Windows reads as a folder separator");
    AddFile(g, input, base, st, "the command line");
  } else {
    Refuse(Quote(input) + " is not a regular file or folder");
  }
}

zip_t* OpenZip(const std::string& path) {
  int code = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (!za) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string message = "cannot read the ZIP file " + Quote(path) + ": " +
                                zip_error_strerror(&error);
    zip_error_fini(&error);
    Refuse(message);
  }
  return za;
}

void AddZipEntries(Gathering& g, zip_t* za, const std::string& zip_path) {
  const zip_int64_t count = zip_get_num_entries(za, 0);
  const std::string origin = "the ZIP file " + Quote(zip_path);
  for (zip_int64_t i = 0; i < count; i++) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, zip_uint64_t(i), 0, &st) != 0 || !st.name)
      Refuse("cannot read entry " + std::to_string(i) + " of " + origin + ": " +
             zip_strerror(za));
    const std::string name = st.name;
    const std::string where = "entry " + Quote(name) + " of " + origin;
    if (!name.empty() && (name.back() == '/' || name.back() == '\\')) {
      // A folder entry: the stub makes folders for the files inside them.
      if (st.size != 0) Refuse(where + " names a folder but holds data");
      continue;
    }
    if (st.encryption_method != ZIP_EM_NONE)
      Refuse(where + " is encrypted; the stub cannot decrypt it");
    if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
      Refuse(where + " uses compression method " + std::to_string(st.comp_method) +
             "; only stored (0) and deflated (8) entries can be copied");
    if (st.size > 0xFFFFFFFFu || st.comp_size > 0xFFFFFFFFu)
      Refuse(where + " is too large for 32-bit sizes");
    PlannedEntry e;
    e.name = StoredNameFor(name, origin);
    e.shown = name;
    e.zip_index = i;
    e.size = st.size;
    e.known_packed = st.comp_size;
    e.zip_method = st.comp_method;
    e.zip_crc = st.crc;
    e.stamp = DosStampFromTime(st.mtime);
    g.entries.push_back(e);
  }
}

// ---- Writing ----

// The temporary output, removed again when the run is interrupted.
char temp_path_for_signals[4096];

void RemoveTempOnSignal(int sig) {
  if (temp_path_for_signals[0]) unlink(temp_path_for_signals);
  signal(sig, SIG_DFL);
  raise(sig);
}

struct Output {
  std::string temp_path;
  FILE* file = nullptr;
};

void WriteRaw(Output& out, const uint8_t* p, size_t n) {
  if (n > 0 && fwrite(p, 1, n, out.file) != n)
    Refuse(SystemError("cannot write", out.temp_path));
}

void WriteScrambled(Output& out, std::vector<uint8_t>& bytes) {
  Scramble(bytes.data(), bytes.size());
  WriteRaw(out, bytes.data(), bytes.size());
}

// The bytes an entry stores, and its header fields.
std::vector<uint8_t> LoadEntry(const PlannedEntry& e, zip_t* za, int level, EntryFields& f) {
  f.flags = 0;
  f.stamp = e.stamp;
  std::vector<uint8_t> packed;
  if (e.zip_index < 0) {
    const std::vector<uint8_t> data = ReadWholeFile(e.source_path);
    if (data.size() > 0xFFFFFFFFu)
      Refuse(Quote(e.source_path) + " has grown past 32-bit sizes while being packed");
    f.method = PackEntryData(data, level, packed);
    f.crc = Crc32(data.data(), data.size());
    f.size = uint32_t(data.size());
  } else {
    const std::string where = "entry " + Quote(e.shown) + " of the ZIP file";
    zip_file_t* zf = zip_fopen_index(za, zip_uint64_t(e.zip_index), ZIP_FL_COMPRESSED);
    if (!zf) {
      // Some libzip versions report traditional encryption only here.
      const int code = zip_error_code_zip(zip_get_error(za));
      if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD)
        Refuse(where + " is encrypted; the stub cannot decrypt it");
      Refuse("cannot open " + where + ": " + zip_strerror(za));
    }
    packed.resize(size_t(e.known_packed));
    size_t got = 0;
    while (got < packed.size()) {
      const zip_int64_t n = zip_fread(zf, packed.data() + got, packed.size() - got);
      if (n <= 0) break;
      got += size_t(n);
    }
    zip_fclose(zf);
    if (got != packed.size()) Refuse("cannot read all data of " + where);
    // The data is copied as it is; decode it once so that a damaged ZIP
    // never becomes a damaged installer.
    std::vector<uint8_t> plain;
    const uint8_t* check = packed.data();
    size_t check_size = packed.size();
    if (e.zip_method == MethodDeflated) {
      if (!InflateRaw(packed.data(), packed.size(), plain, size_t(e.size)))
        Refuse(where + " holds damaged deflate data");
      check = plain.data();
      check_size = plain.size();
    }
    if (check_size != e.size || Crc32(check, check_size) != e.zip_crc)
      Refuse(where + " is damaged: its size or CRC-32 does not match its data");
    f.method = e.zip_method;
    f.crc = e.zip_crc;
    f.size = uint32_t(e.size);
  }
  f.packed_size = uint32_t(packed.size());
  return packed;
}

void WriteInstaller(Output& out, const std::vector<uint8_t>& stub,
                    const std::vector<PlannedEntry>& entries, zip_t* za, int level,
                    uint64_t lower_bound) {
  WriteRaw(out, stub.data(), stub.size());
  std::vector<uint8_t> central;
  uint64_t offset = 0;  // archive-relative, as the central directory counts
  uint64_t still_needed = lower_bound;
  for (size_t i = 0; i < entries.size(); i++) {
    const PlannedEntry& e = entries[i];
    ShowProgress("packing " + std::to_string(i + 1) + "/" + std::to_string(entries.size()) +
                 ": " + e.shown);
    EntryFields f{};
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> packed = LoadEntry(e, za, level, f);
    // Now the entry's real size replaces its share of the lower bound.
    still_needed -= EntryArchiveBytes(e.name.size(), e.zip_index >= 0 || level == 0 ? e.size : 0);
    const uint64_t total = stub.size() + offset + central.size() +
                           EntryArchiveBytes(e.name.size(), packed.size()) + still_needed;
    if (total > MaxInstallerSize)
      Refuse("the installer would grow past " + std::to_string(MaxInstallerSize) +
             " bytes (at " + Quote(e.shown) + "); the stub reads 32-bit signed offsets");
    AppendCentralHeader(central, f, e.name, uint32_t(offset));
    AppendLocalHeader(bytes, f, e.name);
    bytes.insert(bytes.end(), packed.begin(), packed.end());
    packed = std::vector<uint8_t>();
    offset += bytes.size();
    WriteScrambled(out, bytes);
  }
  std::vector<uint8_t> end;
  AppendEndRecord(end, uint16_t(entries.size()), uint32_t(central.size()), uint32_t(offset));
  WriteScrambled(out, central);
  WriteScrambled(out, end);
  EndProgress();
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string StoredNameFor(const std::string& utf8, const std::string& origin) {
  std::string stored, bad;
  if (!Utf8ToWindows1252(utf8, stored, &bad))
    Refuse("the name " + Quote(utf8) + " from " + origin + " holds " + bad +
           ", which Windows-1252 names cannot hold");
  std::replace(stored.begin(), stored.end(), '/', '\\');
  std::string why;
  if (CheckEntryName(stored, &why) != NameVerdict::Ok)
    Refuse("the name " + Quote(utf8) + " from " + origin + " cannot be packed: " + why);
  return stored;
}

void OrderEntries(std::vector<PlannedEntry>& entries, const std::string& wizard) {
  std::sort(entries.begin(), entries.end(),
            [](const PlannedEntry& a, const PlannedEntry& b) { return a.name < b.name; });

  // Windows takes names that differ only in case for one file, and a file
  // cannot also be a folder.
  std::vector<std::pair<std::string, size_t>> folded;
  for (size_t i = 0; i < entries.size(); i++) folded.emplace_back(FoldNameCase(entries[i].name), i);
  std::sort(folded.begin(), folded.end());
  for (size_t i = 1; i < folded.size(); i++) {
    if (folded[i].first == folded[i - 1].first)
      Refuse("the entries " + Quote(entries[folded[i - 1].second].shown) + " and " +
             Quote(entries[folded[i].second].shown) + " would be the same file on Windows");
  }
  std::set<std::string> files;
  for (const auto& f : folded) files.insert(f.first);
  for (const auto& f : folded) {
    for (size_t k = f.first.find('\\'); k != std::string::npos; k = f.first.find('\\', k + 1)) {
      if (files.count(f.first.substr(0, k)))
        Refuse(Quote(entries[f.second].shown) + " needs a folder where another entry is a file");
    }
  }

  if (!wizard.empty()) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const PlannedEntry& e) { return e.name == wizard; });
    if (it == entries.end())
      Refuse("no entry is named " + Quote(Windows1252ToUtf8(wizard)) + " (the --wizard)");
    std::rotate(entries.begin(), it, it + 1);
  }

  const PlannedEntry* started = nullptr;
  for (const PlannedEntry& e : entries) {
    if (ContainsUpperExe(e.name)) {
      if (!started) {
        started = &e;
        if (wizard.empty())
          Warn("no --wizard given: the stub will start " + Quote(e.shown) +
               ", the first path that holds \".EXE\"");
      } else {
        Warn(Quote(e.shown) + " also holds \".EXE\"; the stub starts only the first such path, " +
             Quote(started->shown));
      }
    }
    if (LooksLikeUnstartedExe(e.name))
      Warn(Quote(e.shown) +
           " ends in \".exe\" but not in upper case; the stub starts only a path that holds "
           "\".EXE\"");
  }
}

uint64_t CheckArchiveCanFit(const std::vector<PlannedEntry>& entries, uint64_t stub_size,
                            bool exact_files) {
  if (entries.size() > MaxEntryCount)
    Refuse(std::to_string(entries.size()) + " entries are too many; at most " +
           std::to_string(MaxEntryCount) + " fit in one archive");
  uint64_t least = EndRecordSize;
  for (const PlannedEntry& e : entries)
    least += EntryArchiveBytes(e.name.size(), e.zip_index >= 0 || exact_files ? e.size : 0);
  if (stub_size + least > MaxInstallerSize)
    Refuse("the installer would take at least " + std::to_string(stub_size + least) +
           " bytes; the stub reads 32-bit signed offsets, so at most " +
           std::to_string(MaxInstallerSize) + " fit");
  return least;
}

void RunCreate(const PackOptions& o) {
  const std::vector<uint8_t> stub = ReadWholeFile(o.stub);
  const std::string stub_problem = StubProblem(stub);
  if (!stub_problem.empty()) Refuse("the stub " + Quote(o.stub) + " cannot be used: " + stub_problem);
  if (stub.size() < 2 || stub[0] != 'M' || stub[1] != 'Z')
    Warn("the stub " + Quote(o.stub) + " does not begin with \"MZ\"; is it a Windows program?");

  struct stat out_st {};
  Gathering g;
  if (stat(o.output.c_str(), &out_st) == 0) {
    if (S_ISDIR(out_st.st_mode)) Refuse(Quote(o.output) + " is a folder");
    g.skip_valid = true, g.skip_dev = out_st.st_dev, g.skip_ino = out_st.st_ino;
  }

  std::string wizard;
  if (!o.wizard.empty()) {
    wizard = StoredNameFor(o.wizard, "--wizard");
    if (!ContainsUpperExe(wizard))
      Refuse("the wizard " + Quote(o.wizard) +
             " holds no \".EXE\" (in upper case): the stub would never start it");
  }

  zip_t* za = nullptr;
  Output out;
  try {
    for (const std::string& input : o.inputs) AddInput(g, input);
    if (!o.from_zip.empty()) {
      za = OpenZip(o.from_zip);
      AddZipEntries(g, za, o.from_zip);
    }
    if (g.entries.empty()) Refuse("nothing to pack: no files were found");
    OrderEntries(g.entries, wizard);
    const uint64_t least = CheckArchiveCanFit(g.entries, stub.size(), o.level == 0);

    // Everything goes to a temporary file beside the output, renamed over
    // it only when complete.
    std::string base = o.output.substr(o.output.rfind('/') == std::string::npos
                                           ? 0
                                           : o.output.rfind('/') + 1);
    out.temp_path = FolderOf(o.output) + "/." + base + ".XXXXXX";
    std::vector<char> templ(out.temp_path.begin(), out.temp_path.end());
    templ.push_back('\0');
    const int fd = mkstemp(templ.data());
    if (fd < 0) Refuse(SystemError("cannot create a file in", FolderOf(o.output)));
    out.temp_path = templ.data();
    if (out.temp_path.size() < sizeof temp_path_for_signals) {
      memcpy(temp_path_for_signals, out.temp_path.c_str(), out.temp_path.size() + 1);
      signal(SIGINT, RemoveTempOnSignal);
      signal(SIGTERM, RemoveTempOnSignal);
      signal(SIGHUP, RemoveTempOnSignal);
    }
    out.file = fdopen(fd, "wb");
    if (!out.file) {
      close(fd);
      Refuse(SystemError("cannot write", out.temp_path));
    }

    WriteInstaller(out, stub, g.entries, za, o.level, least);

    const mode_t mask = umask(0);
    umask(mask);
    if (fflush(out.file) != 0 || fchmod(fileno(out.file), 0666 & ~mask) != 0 ||
        fsync(fileno(out.file)) != 0)
      Refuse(SystemError("cannot write", out.temp_path));
    FILE* f = out.file;
    out.file = nullptr;
    if (fclose(f) != 0) Refuse(SystemError("cannot write", out.temp_path));
    if (rename(out.temp_path.c_str(), o.output.c_str()) != 0)
      Refuse(SystemError("cannot rename the finished installer to", o.output));
    out.temp_path.clear();
    temp_path_for_signals[0] = 0;
    if (za) zip_discard(za);
  } catch (...) {
    EndProgress();
    if (out.file) fclose(out.file);
    if (!out.temp_path.empty()) unlink(out.temp_path.c_str());
    temp_path_for_signals[0] = 0;
    if (za) zip_discard(za);
    throw;
  }
}
