#include "pack.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zip.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "codec.h"
#include "console.h"
#include "elevation.h"
#include "gather.h"
#include "input_file.h"
#include "installer_reader.h"
#include "outfile.h"
#include "pe_checksum.h"
#include "pe_image.h"
#include "platform.h"
#include "stub_identity.h"
#include "winnames.h"

namespace {

// Files read whole: the stub, the icon and the manifest, each with a limit
// far above what it needs.
constexpr uint64_t MaxStubSize = 64 << 20;
constexpr uint64_t MaxIconFileSize = 16 << 20;
constexpr uint64_t MaxManifestSize = 1 << 20;
// The wizard's bytes read for the warnings about how Windows starts it.
constexpr size_t MaxWizardRead = 64 << 20;

std::vector<uint8_t> ReadSmallFile(const std::string& path, uint64_t limit, const char* what) {
  sys::Status st;
  if (!sys::Stat(path, &st)) Refuse(SystemError("cannot open", path));
  if (st.kind != sys::Kind::Regular) Refuse(QuotePath(path) + " is not a regular file");
  if (st.size > limit) Refuse(QuotePath(path) + " is too large for " + what);
  InputFile file;
  if (const std::optional<std::string> problem = file.Load(path, st.size)) Refuse(*problem);
  return std::vector<uint8_t>(file.Data(), file.Data() + file.Size());
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

// Warns when the entry the stub starts (whose first bytes are head) is not
// a Windows program.
void CheckWizardIsAProgram(const PlannedEntry& e, const std::vector<uint8_t>& head) {
  const std::string why = NotAnyWindowsProgram(head);
  if (!why.empty())
    Warn("the wizard " + Quote(e.shown) + " is not a Windows program (" + why +
         "); the stub will fail to start it");
}
// ---- Loading and packing entries, side by side ----

// An entry's header fields and the bytes it stores: its deflated form, or
// its file's own bytes (a ZIP entry's data is copied by the writer).
struct Loaded {
  EntryFields f{};
  Bytes packed;
  std::unique_ptr<InputFile> file;
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
void CopyZipEntry(const PlannedEntry& e, zip_t* za, const std::string& zip_path,
                  OutputFile& out) {
  const std::string where = "entry " + Quote(e.shown) + " of the ZIP file " + QuotePath(zip_path);
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

// Deflates a file, or keeps its bytes as they are when deflate would not
// make it smaller. room: the most packed bytes that still fit the
// installer; deflate stops once its output would pass it.
std::string ChangedWhilePacked(const std::string& path) {
  return QuotePath(path) + " changed while being packed";
}

// Writes a stored file's bytes through a copy whose CRC-32 is taken as they
// are written: a mapped file rewritten since it was loaded is refused rather
// than stored with a CRC-32 of other bytes.
void WriteStoredFile(const InputFile& file, uint32_t crc, const std::string& path,
                     OutputFile& out) {
  if (!file.Mapped()) return out.WriteScrambled(file.Data(), file.Size());
  constexpr size_t Piece = 1 << 20;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[Piece]);
  uint32_t written = 0;
  for (size_t at = 0; at < file.Size(); at += Piece) {
    const size_t n = std::min(Piece, file.Size() - at);
    memcpy(copy.get(), file.Data() + at, n);
    written = Crc32(copy.get(), n, written);
    out.WriteScrambled(copy.get(), n);
  }
  if (written != crc) Refuse(ChangedWhilePacked(path));
}

void LoadFileEntry(const PlannedEntry& e, int level, uint64_t room, IdleProcessors& idle,
                   Loaded& out) {
  std::unique_ptr<InputFile> file(new InputFile);
  if (const std::optional<std::string> problem = file->Load(e.source_path, e.size))
    Refuse(*problem);
  const size_t size = file->Size();
  out.f.crc = Crc32(file->Data(), size);
  out.f.size = uint32_t(size);
  const size_t n = DeflateInto(file->Data(), size, level, size_t(std::min<uint64_t>(room, size)),
                               out.packed, &idle);
  if (const std::optional<std::string> problem = file->Done()) Refuse(*problem);
  // A mapped file is read again by each step: one rewritten meanwhile would
  // give deflated data that disagrees with its CRC-32.
  if (n > 0 && file->Mapped() && Crc32(file->Data(), size) != out.f.crc)
    Refuse(ChangedWhilePacked(e.source_path));
  if (n > 0) {
    out.f.method = MethodDeflated;
    out.f.packed_size = uint32_t(n);
  } else {
    // What deflate wrote before it gave up may be nearly the file's size.
    out.packed = Bytes();
    out.f.method = MethodStored;
    out.f.packed_size = uint32_t(size);
    out.file = std::move(file);
  }
}

// Workers load entries in order, a bounded amount of data ahead of the
// writer, which takes them in order: the output does not depend on how many
// workers there are. Workers that find nothing left to load lend their
// processor to the parts of a large file still being packed.
class Packer {
 public:
  Packer(const std::vector<PlannedEntry>& entries, zip_t* za, int level, uint64_t fixed_bytes,
         unsigned threads)
      : entries_(entries), za_(za), level_(level), slots_(entries.size()),
        idle_(int(threads - std::min<size_t>(threads, entries.size()))) {
    // The installer's least size: the stub, the end record and each entry at
    // its smallest; it grows as entries turn out larger.
    known_ = fixed_bytes;
    for (size_t i = 0; i < entries.size(); i++) known_ += Least(i);
    for (size_t t = 0; t < std::min<size_t>(threads, entries.size()); t++)
      workers_.emplace_back([this] { Work(); });
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

  // Memory an entry takes while loaded: its deflated form, at most its
  // file's size, or the file's bytes when it is stored; a small file's bytes
  // also while it is deflated (a larger file is mapped from the system's
  // file cache, not copied). A ZIP entry's data is copied by the writer, a
  // block at a time.
  uint64_t Cost(size_t i) const {
    const PlannedEntry& e = entries_[i];
    if (e.zip_index >= 0) return 0;
    return e.size < MapFrom ? e.size * 2 : e.size;
  }

  void Work() {
    std::unique_lock<std::mutex> hold(mu_);
    while (true) {
      cv_.wait(hold, [&] {
        return stop_ || !fatal_.empty() || next_ >= slots_.size() || held_ == 0 ||
               held_ + Cost(next_) <= Budget;
      });
      if (stop_ || !fatal_.empty() || next_ >= slots_.size()) {
        idle_.Give();
        return;
      }
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
          LoadFileEntry(e, level_, room, idle_, loaded);
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
  IdleProcessors idle_;
  std::vector<std::thread> workers_;
};

void WriteInstaller(OutputFile& out, const std::vector<uint8_t>& stub,
                    const std::vector<PlannedEntry>& entries, zip_t* za,
                    const std::string& zip_path, int level, unsigned threads) {
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
    if (e.zip_index >= 0)
      CopyZipEntry(e, za, zip_path, out);
    else if (loaded.file)
      WriteStoredFile(*loaded.file, f.crc, e.source_path, out);
    else
      out.WriteScrambled(loaded.packed.data.get(), loaded.packed.size);
    offset += header.size() + f.packed_size;
    loaded = Loaded();
    packer.Release(i);
  }
  std::vector<uint8_t> end;
  AppendEndRecord(end, uint16_t(entries.size()), uint32_t(central.size()), uint32_t(offset));
  out.WriteScrambled(central.data(), central.size());
  out.WriteScrambled(end.data(), end.size());
  EndProgress();
}

}  // namespace

std::string NotAnyWindowsProgram(const std::vector<uint8_t>& f) {
  PeHeaders h;
  return ReadPeHeaders(f, &h).value_or("");
}

std::string NotAWindowsProgram(const std::vector<uint8_t>& f) {
  PeHeaders h;
  if (PeProblem p = ReadPeHeaders(f, &h)) return *p;
  if (h.machine != 0x014C) return "it is not a program for 32-bit x86";
  if (h.magic != 0x010B) return "it has no PE32 optional header";
  return "";
}

namespace {

// The file name a path ends in.
std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The identity the options ask the installer to carry, its files read and
// checked: refused before anything is written.
StubIdentity IdentityFrom(const PackOptions& o) {
  StubIdentity id;
  if (!o.icon.empty()) {
    const std::vector<uint8_t> file = ReadSmallFile(o.icon, MaxIconFileSize, "an icon");
    if (PeProblem p = ReadIconFile(file, &id.icon))
      Refuse(QuotePath(o.icon) + " cannot be the icon: " + *p);
  }
  if (!o.version_info.empty() || !o.file_version.empty() || !o.product_version.empty()) {
    const VersionRequest request{o.version_info, o.file_version, o.product_version,
                                 FileNameOf(o.output)};
    VersionInfo info;
    if (PeProblem p = VersionInfoFor(request, &info)) Refuse(*p);
    std::vector<uint8_t> built;
    if (PeProblem p = BuildVersionInfo(info, &built)) Refuse(*p);
    id.version = info;
  }
  if (!o.execution_level.empty() && !o.manifest.empty())
    Refuse("--execution-level and --manifest exclude each other: a manifest names its own level");
  if (!o.execution_level.empty()) {
    const std::optional<ExecutionLevel> level = ExecutionLevelNamed(o.execution_level);
    if (!level) Refuse("--execution-level " + Quote(o.execution_level) + " names no execution level");
    id.manifest = ManifestFor(*level);
  }
  if (!o.manifest.empty()) {
    id.manifest = ReadSmallFile(o.manifest, MaxManifestSize, "a manifest");
    ExecutionLevel level;
    if (PeProblem p = ReadExecutionLevel(id.manifest, &level))
      Refuse(QuotePath(o.manifest) + " cannot be the manifest: " + *p);
  }
  return id;
}

// Warns about how Windows will start the installer and its wizard, from
// what the finished stub carries and what the archive holds.
void WarnAboutElevation(const std::vector<uint8_t>& stub, const std::string& output,
                        const std::vector<PlannedEntry>& entries, size_t started,
                        std::vector<uint8_t> wizard) {
  ElevationFacts facts;
  facts.installer_name = FileNameOf(output);
  const StubDescription described = DescribeStub(stub);
  if (described.version)
    for (const auto& s : described.version->strings) facts.version_strings.push_back(s.second);
  facts.installer_level = described.level;
  if (started < entries.size()) facts.wizard_name = entries[started].name;
  facts.wizard = std::move(wizard);
  for (const PlannedEntry& e : entries) facts.payload_names.push_back(e.name);
  for (const std::string& warning : ElevationWarnings(facts)) Warn(warning);
}

}  // namespace

void RunCreate(const PackOptions& o) {
  const double start = Now();
  const std::vector<uint8_t> bare = ReadSmallFile(o.stub, MaxStubSize, "a stub");
  const std::string stub_problem = StubProblem(bare);
  if (!stub_problem.empty()) Refuse("the stub " + QuotePath(o.stub) + " cannot be used: " + stub_problem);
  const std::string not_program = NotAWindowsProgram(bare);
  if (!not_program.empty())
    Refuse("the stub " + QuotePath(o.stub) + " is not a 32-bit Windows program: " + not_program);

  Gathering g;
  g.excludes = Exclusions(o.excludes);
  g.stamps = StampRuleFromEnvironment();
  // Nothing may be written over one of its own inputs, nor over a device.
  CheckOutputTarget(o.output, {o.stub, o.from_zip, o.icon, o.manifest});
  sys::Status out_st;
  if (sys::Stat(o.output, &out_st)) g.output_exists = true, g.output_id = out_st.id;

  std::string wizard;
  if (!o.wizard.empty()) {
    wizard = StoredNameFor(o.wizard, "--wizard");
    if (!ContainsUpperExe(wizard))
      Refuse("the wizard " + Quote(o.wizard) +
             " holds no \".EXE\" (in upper case): the stub would never start it");
  }

  // The stub the installer begins with: the bare one, or one that carries
  // the publisher's identity. Its size is what the limits count.
  const StubIdentity identity = IdentityFrom(o);
  std::vector<uint8_t> stub = bare;
  if (!identity.Empty()) {
    if (PeProblem p = CustomiseStub(bare, identity, &stub))
      Refuse("the stub " + QuotePath(o.stub) + " cannot carry the installer's icon, version "
             "information and manifest: " + *p);
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
    std::vector<uint8_t> wizard_bytes;
    if (started < g.entries.size() &&
        ReadHead(g.entries[started], za, MaxWizardRead, wizard_bytes))
      CheckWizardIsAProgram(g.entries[started], wizard_bytes);
    WarnAboutWindowsNames(g.entries);
    CheckArchiveCanFit(g.entries, stub.size(), o.level == 0);
    WarnAboutElevation(stub, o.output, g.entries, started, std::move(wizard_bytes));

    unsigned threads = o.threads ? o.threads : std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;

    // Everything goes to a temporary file beside the output, renamed over
    // it only when complete.
    OutputFile out(o.output);
    WriteInstaller(out, stub, g.entries, za, o.from_zip, o.level, threads);
    out.Commit([&](int fd) { StampPeChecksum(fd, o.output, stub); });
    if (za) zip_discard(za);
    za = nullptr;
    uint64_t bytes_in = 0;
    for (const PlannedEntry& e : g.entries) bytes_in += e.size;
    Summary("created " + sys::ShownPath(o.output), g.entries.size(), bytes_in, out.Written(), Now() - start,
            Share("archive", out.Written() - stub.size(), "the input", bytes_in));
  } catch (...) {
    EndProgress();
    if (za) zip_discard(za);
    throw;
  }
}
