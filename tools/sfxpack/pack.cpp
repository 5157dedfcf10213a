#include "pack.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zip.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "codec.h"
#include "console.h"
#include "installer_reader.h"
#include "outfile.h"
#include "pe_checksum.h"
#include "platform.h"
#include "winnames.h"

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + Quote(sys::ShownPath(path)) + ": " + sys::ErrorText();
}

// Reads a whole file of the expected size into out (not zero-filled
// first); refuses when the file turns out larger or smaller.
void ReadFileInto(const std::string& path, uint64_t expected, Bytes& out) {
  const int fd = sys::OpenRead(path);
  if (fd < 0) Refuse(SystemError("cannot open", path));
  out.size = 0;
  out.Reserve(size_t(expected) + 1);
  // One byte more than expected shows a file that has grown.
  const int64_t n = sys::ReadSome(fd, out.data.get(), out.capacity);
  if (n < 0) {
    const std::string message = SystemError("cannot read", path);
    sys::Close(fd);
    Refuse(message);
  }
  out.size = size_t(n);
  sys::Close(fd);
  if (out.size != expected)
    Refuse(Quote(path) + " changed size while being packed");
}

std::vector<uint8_t> ReadSmallFile(const std::string& path) {
  sys::Status st;
  if (!sys::Stat(path, &st)) Refuse(SystemError("cannot open", path));
  if (st.kind != sys::Kind::Regular) Refuse(Quote(path) + " is not a regular file");
  if (st.size > (64 << 20)) Refuse(Quote(path) + " is too large for a stub");
  Bytes b;
  ReadFileInto(path, st.size, b);
  return std::vector<uint8_t>(b.data.get(), b.data.get() + b.size);
}

// ---- Gathering the entries ----

struct Gathering {
  std::vector<PlannedEntry> entries;
  sys::FileId output_id;  // the existing output file, which must not be an input
  bool output_exists = false;
  std::set<sys::FileId> open_folders;  // guards against link loops
  std::string root;  // the real path of the input folder being walked
  std::vector<std::string> links_out, links_inside;  // links followed
  std::vector<std::string> links_back;  // links into a folder being walked, skipped
  Exclusions excludes;
  StampRule stamps;
};

// Information, not a warning: on stderr, and not under -q.
void Inform(const std::string& message) {
  if (!Quiet()) fprintf(stderr, "sfxpack: %s\n", message.c_str());
}

// Names listed in one message at the most.
constexpr size_t ListedNames = 5;

void AddFile(Gathering& g, const std::string& path, const std::string& relative,
             const sys::Status& st, const std::string& origin) {
  if (g.output_exists && st.id == g.output_id)
    Refuse("the output is the input file " + Quote(path) +
           ", which writing the installer would destroy; name another output, or leave it "
           "out with --exclude");
  PlannedEntry e;
  e.name = StoredNameFor(relative, origin);
  e.shown = relative;
  e.source_path = path;
  e.size = st.size;
  e.stamp = StampFor(g.stamps, time_t(st.mtime));
  if (e.size > 0xFFFFFFFFu)
    Refuse(Quote(path) + " is " + std::to_string(e.size) +
           " bytes long; entries are limited to 32-bit sizes");
  g.entries.push_back(e);
}

// Files cannot be links in the installer: a link's target is packed in its
// place. Remembers whether the target lies outside the input folder, or
// inside it, where it is packed a second time.
void NoteLink(Gathering& g, const std::string& path) {
  std::string target;
  if (!sys::RealPath(path, &target)) return;
  const bool inside = g.root == "/" || target == g.root ||
                      target.compare(0, g.root.size() + 1, g.root + "/") == 0;
  (inside ? g.links_inside : g.links_out).push_back(path);
}

void AddFolder(Gathering& g, const std::string& folder, const std::string& relative,
               const std::string& origin) {
  sys::Status st;
  if (!sys::Stat(folder, &st)) Refuse(SystemError("cannot read", folder));
  const sys::FileId key = st.id;
  g.open_folders.insert(key);
  std::vector<std::string> names;
  if (!sys::ListFolder(folder, &names)) Refuse(SystemError("cannot read the folder", folder));
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    sys::Status lst, est;
    if (!sys::LinkStat(path, &lst)) Refuse(SystemError("cannot read", path));
    const bool link = lst.link;
    if (!sys::Stat(path, &est)) {
      if (!link) Refuse(SystemError("cannot read", path));
      const std::string why = sys::ErrorText();
      if (!g.excludes.Excludes(rel, false))
        Warn("skipping " + Quote(path) + ", a symbolic link that leads nowhere: " + why);
      continue;
    }
    const bool is_folder = est.kind == sys::Kind::Folder;
    if (g.excludes.Excludes(rel, is_folder)) continue;
    if (name.find('\\') != std::string::npos)
      Refuse("the name " + Quote(rel) + " from " + origin +
             " holds '\\', which Windows reads as a folder separator");
    // A name that cannot be packed is refused as such, whatever the system
    // takes it for: Windows opens a file named NUL.txt as its NUL device.
    if (!is_folder) StoredNameFor(rel, origin);
    if (is_folder && g.open_folders.count(est.id)) {
      g.links_back.push_back(path);
      continue;
    }
    if (link) NoteLink(g, path);
    if (is_folder) {
      AddFolder(g, path, rel, origin);
    } else if (est.kind == sys::Kind::Regular) {
      AddFile(g, path, rel, est, origin);
    } else {
      Warn("skipping " + Quote(path) + ": not a regular file or folder");
    }
  }
  g.open_folders.erase(key);
}

void AddInput(Gathering& g, const std::string& input) {
  sys::Status st;
  if (!sys::Stat(input, &st)) Refuse(SystemError("cannot read", input));
  if (st.kind == sys::Kind::Folder) {
    if (!sys::RealPath(input, &g.root)) g.root = input;
    AddFolder(g, input, "", "the folder " + Quote(input));
  } else if (st.kind == sys::Kind::Regular) {
    // A file given by itself is named by its last path component.
    std::string base = input;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const size_t slash = base.rfind('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    if (g.excludes.Excludes(base, false)) return;
    if (base.find('\\') != std::string::npos)
      Refuse("the name " + Quote(base) + " holds '\\', which Windows reads as a folder separator");
    AddFile(g, input, base, st, "the command line");
  } else {
    Refuse(Quote(input) + " is not a regular file or folder");
  }
}

// One warning for the links that lead out of their input folder, to what is
// packed under another name too, or back into a folder being packed.
void WarnAboutLinks(const Gathering& g) {
  std::string parts;
  auto add = [&](const std::vector<std::string>& links, const std::string& what) {
    if (links.empty()) return;
    parts += (parts.empty() ? "" : "; ") + NameList(links, ListedNames) +
             (links.size() == 1 ? " leads" : " lead") + what;
  };
  add(g.links_out, " out of the input folder");
  add(g.links_inside, " to what the input folder holds, which is packed twice");
  add(g.links_back, " back into a folder being packed (not followed)");
  if (!parts.empty()) Warn("symbolic links were followed: " + parts);
}

zip_t* OpenZip(const std::string& path) {
  // Opened here, so that its name reaches the system as every other file's
  // does; libzip reads through the descriptor, and closes it.
  const int fd = sys::OpenRead(path);
  if (fd < 0) Refuse(SystemError("cannot read the ZIP file", path));
  int code = 0;
  zip_t* za = zip_fdopen(fd, 0, &code);
  if (!za) {
    sys::Close(fd);
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string message = "cannot read the ZIP file " + Quote(path) + ": " +
                                zip_error_strerror(&error);
    zip_error_fini(&error);
    Refuse(message);
  }
  return za;
}

// Whether any folder above a ZIP entry, or the entry itself, is excluded.
bool ZipEntryExcluded(Exclusions& patterns, const std::string& name) {
  std::string path = name;
  std::replace(path.begin(), path.end(), '\\', '/');
  for (size_t k = path.find('/'); k != std::string::npos; k = path.find('/', k + 1)) {
    if (patterns.Excludes(path.substr(0, k), true)) return true;
  }
  return patterns.Excludes(path, false);
}

void AddZipEntries(Gathering& g, zip_t* za, const std::string& zip_path) {
  sys::Status zst;
  if (!sys::Stat(zip_path, &zst)) Refuse(SystemError("cannot read", zip_path));
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
    if (ZipEntryExcluded(g.excludes, name)) continue;
    if (st.encryption_method != ZIP_EM_NONE)
      Refuse(where + " is encrypted; the stub cannot decrypt it");
    if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
      Refuse(where + " uses compression method " + std::to_string(st.comp_method) +
             "; only stored (0) and deflated (8) entries can be copied");
    if (st.size > 0xFFFFFFFFu || st.comp_size > 0xFFFFFFFFu)
      Refuse(where + " is too large for 32-bit sizes");
    // Sizes are only claims: data the file cannot hold is refused before
    // anything is read or allocated for it.
    if (st.comp_size > zst.size)
      Refuse(where + " claims " + std::to_string(st.comp_size) + " bytes of data, but the file " +
             "holds only " + std::to_string(zst.size));
    if (st.comp_method == ZIP_CM_STORE && st.size != st.comp_size)
      Refuse(where + " is damaged: it is stored, yet its two sizes differ");
    if (st.comp_method == ZIP_CM_DEFLATE && st.size > MostInflatedFrom(st.comp_size))
      Refuse(where + " is damaged: " + std::to_string(st.comp_size) +
             " bytes of deflate data cannot hold " + std::to_string(st.size) + " bytes");
    PlannedEntry e;
    e.name = StoredNameFor(name, origin);
    e.shown = name;
    e.zip_index = i;
    e.size = st.size;
    e.known_packed = st.comp_size;
    e.zip_method = st.comp_method;
    e.zip_crc = st.crc;
    e.stamp = ZipStampFor(g.stamps, st.mtime);
    g.entries.push_back(e);
  }
}

// The first bytes of an entry's data, at most limit of them; false when they
// cannot be read (packing the entry then reports why).
bool ReadHead(const PlannedEntry& e, zip_t* za, size_t limit, std::vector<uint8_t>& head) {
  head.assign(size_t(std::min<uint64_t>(e.size, limit)), 0);
  size_t got = 0;
  if (e.zip_index < 0) {
    const int fd = sys::OpenRead(e.source_path);
    if (fd < 0) return false;
    const int64_t n = sys::ReadSome(fd, head.data(), head.size());
    got = n > 0 ? size_t(n) : 0;
    sys::Close(fd);
  } else {
    zip_file_t* zf = zip_fopen_index(za, zip_uint64_t(e.zip_index), 0);
    if (!zf) return false;
    zip_int64_t n = 0;
    while (got < head.size() && (n = zip_fread(zf, &head[got], head.size() - got)) > 0)
      got += size_t(n);
    zip_fclose(zf);
    if (n < 0) return false;
  }
  head.resize(got);
  return true;
}

// Warns when the entry the stub starts is not a Windows program.
void CheckWizardIsAProgram(const PlannedEntry& e, zip_t* za) {
  std::vector<uint8_t> head;
  if (!ReadHead(e, za, 64 << 10, head)) return;
  const std::string why = NotAnyWindowsProgram(head);
  if (!why.empty())
    Warn("the wizard " + Quote(e.shown) + " is not a Windows program (" + why +
         "); the stub will fail to start it");
}

// The fewest data bytes an entry can store: a copied ZIP entry its data as it
// is, a file its size when stored as it is, else nothing yet known.
uint64_t LeastPacked(const PlannedEntry& e, bool exact_files) {
  if (e.zip_index >= 0) return e.known_packed;
  return exact_files ? e.size : 0;
}

// ---- Loading and packing entries, side by side ----

// An entry's header fields and the bytes it stores.
struct Loaded {
  EntryFields f{};
  Bytes stored;
};

// A copied ZIP entry's header fields, as its ZIP file gives them; its data
// is copied by the writer (CopyZipEntry), never held whole in memory.
void LoadZipEntry(const PlannedEntry& e, zip_t*, Loaded& out) {
  out.f.method = e.zip_method;
  out.f.crc = e.zip_crc;
  out.f.size = uint32_t(e.size);
  out.f.packed_size = uint32_t(e.known_packed);
}

// Copies a ZIP entry's data as it is into the installer, a block at a time,
// then checks the copy as test does, reading it back: decoded with zlib and
// with the stub's own decoder, byte for byte, and held to its size and
// CRC-32. A damaged ZIP never becomes a damaged installer. A refusal here
// removes the unfinished output.
void CopyZipEntry(const PlannedEntry& e, zip_t* za, OutputFile& out) {
  const std::string where = "entry " + Quote(e.shown) + " of the ZIP file";
  zip_file_t* zf = zip_fopen_index(za, zip_uint64_t(e.zip_index), ZIP_FL_COMPRESSED);
  if (!zf) {
    // Some libzip versions report traditional encryption only here.
    const int code = zip_error_code_zip(zip_get_error(za));
    if (code == ZIP_ER_NOPASSWD || code == ZIP_ER_WRONGPASSWD)
      Refuse(where + " is encrypted; the stub cannot decrypt it");
    Refuse("cannot open " + where + ": " + zip_strerror(za));
  }
  const std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> closer(zf, zip_fclose);
  const uint64_t data_pos = out.Written();
  // No larger than the entry needs.
  const size_t block_size = size_t(std::min<uint64_t>(256 * 1024, e.known_packed + 1));
  std::unique_ptr<uint8_t[]> block(new uint8_t[block_size]);
  uint64_t copied = 0;
  while (copied < e.known_packed) {
    const uint64_t left = e.known_packed - copied;
    const zip_int64_t n = zip_fread(zf, block.get(), left < block_size ? left : block_size);
    if (n < 0) Refuse("cannot read " + where + ": " + zip_file_strerror(zf));
    if (n == 0) break;
    out.WriteScrambled(block.get(), size_t(n));
    copied += uint64_t(n);
  }
  FoundEntry copy;
  copy.method = e.zip_method;
  copy.crc = e.zip_crc;
  copy.packed_size = uint32_t(e.known_packed);
  copy.size = uint32_t(e.size);
  copy.data_pos = data_pos;
  copy.data_present = copied;
  InstallerBytes written;
  written.source = out.ReadBack();
  written.size = out.Written();
  written.path = out.Temporary();
  if (const EntryProblem problem = CheckEntryData(copy, written, true, EntrySinks())) {
    if (written.read_error) Refuse(*written.read_error);
    Refuse(where + " is damaged: " + *problem);
  }
}

// Reads a file and deflates it, or keeps it as it is when deflate would not
// make it smaller. room: the most packed bytes that still fit the installer.
void LoadFileEntry(const PlannedEntry& e, int level, uint64_t room, Loaded& out) {
  Bytes data;
  ReadFileInto(e.source_path, e.size, data);
  out.f.crc = Crc32(data.data.get(), data.size);
  out.f.size = uint32_t(data.size);
  Bytes packed;
  const size_t n = DeflateInto(data.data.get(), data.size, level,
                               size_t(room < data.size ? room : data.size), packed);
  if (n > 0) {
    out.f.method = MethodDeflated;
    out.stored = std::move(packed);
  } else {
    out.f.method = MethodStored;
    out.stored = std::move(data);
  }
  out.f.packed_size = uint32_t(out.stored.size);
}

// Workers load entries in order, a bounded amount of data ahead of the
// writer, which takes them in order: the output does not depend on how many
// workers there are.
class Packer {
 public:
  Packer(const std::vector<PlannedEntry>& entries, zip_t* za, int level, uint64_t fixed_bytes,
         unsigned threads)
      : entries_(entries), za_(za), level_(level), slots_(entries.size()) {
    // The installer's least size: the stub, the end record and each entry at
    // its smallest; it grows as entries turn out larger.
    known_ = fixed_bytes;
    for (size_t i = 0; i < entries.size(); i++) known_ += Least(i);
    for (unsigned t = 0; t < threads; t++) workers_.emplace_back([this] { Work(); });
  }

  ~Packer() {
    {
      std::lock_guard<std::mutex> hold(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  // Waits for entry i; refuses with its error or the first fatal one.
  Loaded Take(size_t i) {
    std::unique_lock<std::mutex> hold(mu_);
    cv_.wait(hold, [&] { return slots_[i].done || !fatal_.empty(); });
    if (!fatal_.empty()) Refuse(fatal_);
    if (!slots_[i].error.empty()) Refuse(slots_[i].error);
    Loaded out = std::move(slots_[i].loaded);
    return out;
  }

  // Entry i has been written: its memory no longer counts.
  void Release(size_t i) {
    {
      std::lock_guard<std::mutex> hold(mu_);
      held_ -= slots_[i].cost;
    }
    cv_.notify_all();
  }

 private:
  struct Slot {
    bool done = false;
    std::string error;
    Loaded loaded;
    uint64_t cost = 0;
  };

  // Entries that may still shrink count only their headers, unless stored.
  uint64_t Least(size_t i) const {
    const PlannedEntry& e = entries_[i];
    return EntryArchiveBytes(e.name.size(), LeastPacked(e, level_ == 0));
  }

  // Memory an entry takes while loaded: a file's data and its packed form
  // (a ZIP entry's data is copied by the writer, a block at a time).
  uint64_t Cost(size_t i) const {
    const PlannedEntry& e = entries_[i];
    return e.zip_index >= 0 ? 0 : e.size * 2;
  }

  void Work() {
    std::unique_lock<std::mutex> hold(mu_);
    while (true) {
      cv_.wait(hold, [&] {
        return stop_ || !fatal_.empty() || next_ >= slots_.size() || held_ == 0 ||
               held_ + Cost(next_) <= Budget;
      });
      if (stop_ || !fatal_.empty() || next_ >= slots_.size()) return;
      const size_t i = next_++;
      Slot& slot = slots_[i];
      slot.cost = Cost(i);
      held_ += slot.cost;
      const PlannedEntry& e = entries_[i];
      // What entry i may take and still let the installer fit.
      const uint64_t others = known_ - Least(i) + EntryArchiveBytes(e.name.size(), 0);
      const uint64_t room = others < MaxInstallerSize ? MaxInstallerSize - others : 0;
      hold.unlock();
      Loaded loaded;
      std::string error;
      try {
        if (e.zip_index >= 0) {
          std::lock_guard<std::mutex> zip_hold(zip_mu_);
          LoadZipEntry(e, za_, loaded);
        } else {
          LoadFileEntry(e, level_, room, loaded);
        }
      } catch (const Refusal& r) {
        error = r.what();
      } catch (const std::bad_alloc&) {
        error = "out of memory while packing " + Quote(e.shown);
      }
      hold.lock();
      if (error.empty()) {
        known_ += EntryArchiveBytes(e.name.size(), loaded.f.packed_size) - Least(i);
        if (known_ > MaxInstallerSize && fatal_.empty())
          fatal_ = "the installer would grow past " + std::to_string(MaxInstallerSize) +
                   " bytes (at " + Quote(e.shown) + "); the stub reads 32-bit signed offsets";
      }
      slot.loaded = std::move(loaded);
      slot.error = error;
      slot.done = true;
      cv_.notify_all();
    }
  }

  // Loaded data that may wait for the writer; one entry larger than this
  // is loaded alone.
  static constexpr uint64_t Budget = 96ull << 20;

  const std::vector<PlannedEntry>& entries_;
  zip_t* za_;
  const int level_;
  std::mutex mu_, zip_mu_;
  std::condition_variable cv_;
  std::vector<Slot> slots_;
  size_t next_ = 0;
  uint64_t held_ = 0;
  uint64_t known_ = 0;
  bool stop_ = false;
  std::string fatal_;
  std::vector<std::thread> workers_;
};

void WriteInstaller(OutputFile& out, const std::vector<uint8_t>& stub,
                    const std::vector<PlannedEntry>& entries, zip_t* za, int level,
                    unsigned threads) {
  out.Write(stub.data(), stub.size());
  std::vector<uint8_t> central;
  uint64_t offset = 0;  // archive-relative, as the central directory counts
  Packer packer(entries, za, level, stub.size() + EndRecordSize, threads);
  for (size_t i = 0; i < entries.size(); i++) {
    const PlannedEntry& e = entries[i];
    ShowProgress("packing " + std::to_string(i + 1) + "/" + std::to_string(entries.size()) +
                 ": " + e.shown);
    Loaded loaded = packer.Take(i);
    EntryFields& f = loaded.f;
    f.flags = 0;
    f.stamp = e.stamp;
    AppendCentralHeader(central, f, e.name, uint32_t(offset));
    std::vector<uint8_t> header;
    AppendLocalHeader(header, f, e.name);
    out.WriteScrambled(header.data(), header.size());
    out.WriteScrambled(loaded.stored.data.get(), loaded.stored.size);
    if (e.zip_index >= 0) CopyZipEntry(e, za, out);
    offset += header.size() + f.packed_size;
    loaded.stored = Bytes();
    packer.Release(i);
  }
  std::vector<uint8_t> end;
  AppendEndRecord(end, uint16_t(entries.size()), uint32_t(central.size()), uint32_t(offset));
  out.WriteScrambled(central.data(), central.size());
  out.WriteScrambled(end.data(), end.size());
  EndProgress();
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

namespace {

// Where an entry comes from, for messages: " (from 'path')", or "".
std::string SourceOf(const PlannedEntry& e) {
  if (!e.source_path.empty()) return " (from " + Quote(e.source_path) + ")";
  if (e.zip_index >= 0) return " (from --from-zip)";
  return "";
}

}  // namespace

size_t OrderEntries(std::vector<PlannedEntry>& entries, const std::string& wizard) {
  std::sort(entries.begin(), entries.end(),
            [](const PlannedEntry& a, const PlannedEntry& b) { return a.name < b.name; });

  // Windows takes names that differ only in case for one file, and a file
  // cannot also be a folder.
  std::vector<std::string> names;
  for (const PlannedEntry& e : entries) names.push_back(e.name);
  const std::vector<std::pair<size_t, size_t>> same = SameNameOnWindows(names);
  if (!same.empty()) {
    const PlannedEntry& a = entries[same[0].first];
    const PlannedEntry& b = entries[same[0].second];
    Refuse("the entries " + Quote(a.shown) + SourceOf(a) + " and " + Quote(b.shown) + SourceOf(b) +
           " would be the same file on Windows");
  }
  std::map<std::string, size_t> files;
  for (size_t i = 0; i < entries.size(); i++) files.emplace(FoldNameCase(entries[i].name), i);
  for (const auto& f : files) {
    for (size_t k = f.first.find('\\'); k != std::string::npos; k = f.first.find('\\', k + 1)) {
      const auto file = files.find(f.first.substr(0, k));
      if (file != files.end()) {
        const PlannedEntry& a = entries[f.second];
        const PlannedEntry& b = entries[file->second];
        Refuse(Quote(a.shown) + SourceOf(a) + " needs a folder where the entry " +
               Quote(b.shown) + SourceOf(b) + " is a file");
      }
    }
  }

  if (!wizard.empty()) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const PlannedEntry& e) { return e.name == wizard; });
    if (it == entries.end())
      Refuse("no entry is named " + Quote(Windows1252ToUtf8(wizard)) + " (the --wizard)");
    std::rotate(entries.begin(), it, it + 1);
  }

  size_t started = entries.size();
  std::vector<std::string> lower_exe;
  for (size_t i = 0; i < entries.size(); i++) {
    const PlannedEntry& e = entries[i];
    if (ContainsUpperExe(e.name)) {
      if (started == entries.size()) {
        started = i;
        if (wizard.empty())
          Inform("no --wizard given: the stub will start " + Quote(e.shown) +
                 ", the first path that holds \".EXE\"");
      } else {
        Warn(Quote(e.shown) + " also holds \".EXE\"; the stub starts only the first such path, " +
             Quote(entries[started].shown));
      }
    }
    if (LooksLikeUnstartedExe(e.name)) lower_exe.push_back(e.shown);
  }
  // Programs named in lower case are ordinary payload, unless no entry is
  // a wizard at all: then one of them was probably meant to be it.
  if (started == entries.size()) {
    std::string hint = " (name the wizard with --wizard; its name must hold \".EXE\")";
    if (!lower_exe.empty())
      hint = "; the stub never starts " + NameList(lower_exe, ListedNames) +
             " (rename one to end in \".EXE\" and name it with --wizard)";
    Warn("no entry holds \".EXE\" in upper case, so the installer starts no wizard and only "
         "reports where the files went" + hint);
  }
  return started;
}

void WarnAboutWindowsNames(const std::vector<PlannedEntry>& entries) {
  const PlannedEntry* non_ascii = nullptr;
  const PlannedEntry* longest = nullptr;
  size_t non_ascii_count = 0, too_long = 0;
  for (const PlannedEntry& e : entries) {
    if (HasNonAscii(e.name) && non_ascii_count++ == 0) non_ascii = &e;
    if (TooLongUnder(e.name, TypicalExtractionFolderLength)) {
      too_long++;
      if (!longest || e.name.size() > longest->name.size()) longest = &e;
    }
  }
  if (non_ascii)
    Warn(std::to_string(non_ascii_count) + (non_ascii_count == 1 ? " name holds" : " names hold") +
         " characters outside ASCII, such as " + Quote(non_ascii->shown) +
         "; they are stored in Windows-1252 and come out as given only where the user's "
         "ANSI code page is 1252 (Western European); elsewhere the files get other names");
  if (longest)
    Warn(std::to_string(too_long) + " path" + (too_long == 1 ? "" : "s") +
         " would be too long for the stub below a typical temporary folder such as " +
         Quote(TypicalExtractionFolder) + " (" + std::to_string(MaxWindowsPath) +
         " characters for a file, " + std::to_string(MaxWindowsFolderPath) +
         " for a folder); the longest is " + Quote(longest->shown) + ", " +
         std::to_string(TypicalExtractionFolderLength + longest->name.size()) +
         " characters there");
}

uint64_t CheckArchiveCanFit(const std::vector<PlannedEntry>& entries, uint64_t stub_size,
                            bool exact_files) {
  if (entries.size() > MaxEntryCount)
    Refuse(std::to_string(entries.size()) + " entries are too many; at most " +
           std::to_string(MaxEntryCount) + " fit in one archive");
  uint64_t least = EndRecordSize;
  for (const PlannedEntry& e : entries)
    least += EntryArchiveBytes(e.name.size(), LeastPacked(e, exact_files));
  if (stub_size + least > MaxInstallerSize)
    Refuse("the installer would take at least " + std::to_string(stub_size + least) +
           " bytes; the stub reads 32-bit signed offsets, so at most " +
           std::to_string(MaxInstallerSize) + " fit");
  return least;
}

namespace {

// Whether the set at pattern[i] (just after '[') holds c; *end is set just
// past its ']'. False with *end = npos when the set is not closed, and the
// '[' is then an ordinary character.
bool SetHolds(const std::string& pattern, size_t i, unsigned char c, size_t* end) {
  bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) i++;
  bool held = false;
  // A ']' first in the set is one of its characters.
  for (size_t k = i; k < pattern.size(); k++) {
    if (pattern[k] == ']' && k > i) {
      *end = k + 1;
      return held != negated;
    }
    const unsigned char low = pattern[k];
    unsigned char high = low;
    if (k + 2 < pattern.size() && pattern[k + 1] == '-' && pattern[k + 2] != ']')
      high = pattern[k + 2], k += 2;
    if (c >= low && c <= high) held = true;
  }
  *end = std::string::npos;
  return false;
}

}  // namespace

bool GlobMatches(const std::string& pattern, const std::string& text) {
  // Invariant: pattern[0..p) matched text[0..t). On a mismatch the last
  // '*' takes one more character and the match resumes after it; earlier
  // stars need never take more, so this never backtracks further.
  size_t p = 0, t = 0;
  size_t star_p = std::string::npos, star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p, star_t = t;
      continue;
    }
    if (p < pattern.size()) {
      const unsigned char c = text[t];
      size_t end = 0;
      if (pattern[p] == '?') {
        // One character; a stray byte counts as one.
        uint32_t cp = 0;
        const size_t length = DecodeUtf8(text, t, cp);
        p++, t += length ? length : 1;
        continue;
      }
      if (pattern[p] == '[' && SetHolds(pattern, p + 1, c, &end)) {
        p = end, t++;
        continue;
      }
      if ((pattern[p] != '[' || end == std::string::npos) && pattern[p] == text[t]) {
        p++, t++;
        continue;
      }
    }
    if (star_p == std::string::npos) return false;
    p = star_p, t = ++star_t;
  }
  while (p < pattern.size() && pattern[p] == '*') p++;
  return p == pattern.size() && t == text.size();
}

Exclusions::Exclusions(const std::vector<std::string>& patterns) {
  for (const std::string& given : patterns) {
    Pattern p;
    p.given = given;
    p.glob = given;
    std::replace(p.glob.begin(), p.glob.end(), '\\', '/');
    while (p.glob.size() > 1 && p.glob.back() == '/') p.glob.pop_back(), p.folders_only = true;
    while (p.glob.compare(0, 2, "./") == 0) p.glob.erase(0, 2), p.anchored = true;
    p.glob = FoldUtf8Case(p.glob);
    patterns_.push_back(p);
  }
}

bool Exclusions::Excludes(const std::string& relative, bool folder) {
  if (patterns_.empty()) return false;
  const std::string path = FoldUtf8Case(relative);
  const size_t slash = path.rfind('/');
  const std::string bare = slash == std::string::npos ? path : path.substr(slash + 1);
  bool excluded = false;
  for (Pattern& p : patterns_) {
    if (p.folders_only && !folder) continue;
    if (GlobMatches(p.glob, path) || (!p.anchored && GlobMatches(p.glob, bare)))
      excluded = p.used = true;
  }
  return excluded;
}

std::vector<std::string> Exclusions::Unused() const {
  std::vector<std::string> unused;
  for (const Pattern& p : patterns_)
    if (!p.used) unused.push_back(p.given);
  return unused;
}

StampRule StampRuleFromEnvironment() {
  StampRule rule;
  const char* text = getenv("SOURCE_DATE_EPOCH");
  if (!text || !*text) return rule;
  errno = 0;
  char* end = nullptr;
  const long long v = strtoll(text, &end, 10);
  if (*end || errno || v < 0 || text[0] < '0' || text[0] > '9')
    Refuse("SOURCE_DATE_EPOCH is " + Quote(text) + "; it must be a number of seconds since 1970");
  rule.reproducible = true;
  rule.epoch = time_t(v);
  return rule;
}

DosStamp StampFor(const StampRule& rule, time_t mtime) {
  if (!rule.reproducible) return DosStampFromTime(mtime);
  return DosStampFromTimeUtc(mtime < rule.epoch ? mtime : rule.epoch);
}

DosStamp ZipStampFor(const StampRule& rule, time_t libzip_mtime) {
  // libzip read the stamp as local time; reading it back the same way gives
  // the fields as they were, whatever the zone.
  const struct tm tm = sys::LibraryLocalTime(libzip_mtime);
  if (!rule.reproducible) return DosStampFromTm(tm);
  if (sys::FromUtcTime(tm) > rule.epoch) return DosStampFromTimeUtc(rule.epoch);
  return DosStampFromTm(tm);
}

std::string NotAnyWindowsProgram(const std::vector<uint8_t>& f) {
  if (f.size() < 64 || f[0] != 'M' || f[1] != 'Z') return "it does not begin with \"MZ\"";
  const uint32_t pe = Get32(f.data() + 0x3C);
  if (pe > f.size() || f.size() - pe < 4 || Get32(f.data() + pe) != 0x00004550u)
    return "it has no PE header";
  return "";
}

std::string NotAWindowsProgram(const std::vector<uint8_t>& f) {
  const std::string not_any = NotAnyWindowsProgram(f);
  if (!not_any.empty()) return not_any;
  const uint32_t pe = Get32(f.data() + 0x3C);
  if (f.size() - pe < 24 + 2) return "it has no PE header";
  if (Get16(f.data() + pe + 4) != 0x014C) return "it is not a program for 32-bit x86";
  if (Get16(f.data() + pe + 24) != 0x010B) return "it has no PE32 optional header";
  return "";
}

void RunCreate(const PackOptions& o) {
  const double start = Now();
  const std::vector<uint8_t> stub = ReadSmallFile(o.stub);
  const std::string stub_problem = StubProblem(stub);
  if (!stub_problem.empty()) Refuse("the stub " + Quote(o.stub) + " cannot be used: " + stub_problem);
  const std::string not_program = NotAWindowsProgram(stub);
  if (!not_program.empty())
    Refuse("the stub " + Quote(o.stub) + " is not a 32-bit Windows program: " + not_program);

  Gathering g;
  g.excludes = Exclusions(o.excludes);
  g.stamps = StampRuleFromEnvironment();
  // Nothing may be written over one of its own inputs, nor over a device.
  CheckOutputTarget(o.output, {o.stub, o.from_zip});
  sys::Status out_st;
  if (sys::Stat(o.output, &out_st)) g.output_exists = true, g.output_id = out_st.id;

  std::string wizard;
  if (!o.wizard.empty()) {
    wizard = StoredNameFor(o.wizard, "--wizard");
    if (!ContainsUpperExe(wizard))
      Refuse("the wizard " + Quote(o.wizard) +
             " holds no \".EXE\" (in upper case): the stub would never start it");
  }

  zip_t* za = nullptr;
  try {
    for (const std::string& input : o.inputs) AddInput(g, input);
    if (!o.from_zip.empty()) {
      za = OpenZip(o.from_zip);
      AddZipEntries(g, za, o.from_zip);
    }
    WarnAboutLinks(g);
    const std::vector<std::string> unused = g.excludes.Unused();
    if (!unused.empty())
      Warn("--exclude " + NameList(unused, ListedNames) + " matched nothing");
    if (g.entries.empty()) Refuse("nothing to pack: no files were found");
    const size_t started = OrderEntries(g.entries, wizard);
    if (started < g.entries.size()) CheckWizardIsAProgram(g.entries[started], za);
    WarnAboutWindowsNames(g.entries);
    CheckArchiveCanFit(g.entries, stub.size(), o.level == 0);

    unsigned threads = o.threads ? o.threads : std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    if (threads > g.entries.size()) threads = unsigned(g.entries.size());

    // Everything goes to a temporary file beside the output, renamed over
    // it only when complete.
    OutputFile out(o.output);
    WriteInstaller(out, stub, g.entries, za, o.level, threads);
    out.Commit([&](int fd) { StampPeChecksum(fd, o.output, stub); });
    if (za) zip_discard(za);
    za = nullptr;
    uint64_t bytes_in = 0;
    for (const PlannedEntry& e : g.entries) bytes_in += e.size;
    Summary("created " + o.output, g.entries.size(), bytes_in, out.Written(), Now() - start,
            Share("archive", out.Written() - stub.size(), "the input", bytes_in));
  } catch (...) {
    EndProgress();
    if (za) zip_discard(za);
    throw;
  }
}
