#include "installer_reader.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "console.h"
#include "entry_check.h"
#include "pe_checksum.h"
#include "winnames.h"

namespace {

// Installer data is read in blocks of this size: memory stays flat whatever
// the size of an entry.
constexpr size_t ReadBlock = 256 * 1024;

// Scans as the stub does (see MarkerScan), a block at a time.
int64_t FindMarker(const InstallerBytes& file) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[ReadBlock]);
  MarkerScan scan;
  for (uint64_t at = MarkerScanStart; at < file.size;) {
    const size_t got = file.Read(at, block.get(), ReadBlock);
    if (got == 0) break;
    const int64_t found = scan.Feed(block.get(), got, at);
    if (found >= 0) return found;
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

// What is wrong with what create writes after the entries, from pos, if
// anything: one central directory header for each entry, agreeing with it,
// then the end record. Whatever follows a complete end record (a signature)
// is left alone.
std::optional<std::string> ArchiveEndProblem(const InstallerBytes& file, const InstallerWalk& w, uint64_t pos) {
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
             Shown(e) + ": its " + differs + (strcmp(differs, "sizes") == 0 ? " differ" : " differs");
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
  return std::nullopt;
}

}  // namespace

std::string Shown(const FoundEntry& e) { return Quote(Windows1252ToUtf8(e.name)); }


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
  const int64_t done = read_error ? -1 : source(pos, out, n);
  if (done < 0 && !read_error) {
    const std::string why = error_text ? error_text() : "";
    read_error = "cannot read '" + path + "'" + (why.empty() ? "" : ": " + why);
  }
  if (done < 0) return 0;
  return size_t(done);
}

namespace {

// An entry's fields from its descrambled header at pos, name not yet read.
FoundEntry EntryFromHeader(const uint8_t* h, uint64_t pos) {
  FoundEntry e;
  e.header_pos = pos;
  e.flags = Get16(h + OffsetFlags);
  e.method = Get16(h + OffsetMethod);
  e.stamp = DosStamp{Get16(h + OffsetDosTime), Get16(h + OffsetDosDate)};
  e.crc = Get32(h + OffsetCrc32);
  e.packed_size = Get32(h + OffsetCompressedSize);
  e.size = Get32(h + OffsetUncompressedSize);
  e.name_length = Get16(h + OffsetNameLength);
  return e;
}

// Why the stub stops at an entry whose header and name it has read, if it
// does: a refused name, encryption, a size past its signed counts, or a
// method it does not know.
std::optional<std::string> WhyTheStubStopsAt(const FoundEntry& e, const std::string& where) {
  std::string why;
  if (CheckEntryName(e.name, &why) == NameVerdict::Refused)
    return where + (e.name.empty() ? "" : ", " + Shown(e) + ",") + " is refused: " + why;
  if (e.flags & FlagEncrypted) return Shown(e) + " is encrypted, which the stub cannot extract";
  if (e.packed_size >= 0x80000000u)
    return Shown(e) + " claims " + std::to_string(e.packed_size) +
           " bytes of data, past the stub's signed 32-bit counts";
  if (e.method != MethodStored && e.method != MethodDeflated)
    return Shown(e) + " uses compression method " + std::to_string(e.method) +
           "; the stub knows only stored (0) and deflated (8)";
  return std::nullopt;
}

}  // namespace

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
      w.end_problem = ArchiveEndProblem(file, w, pos);
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

    FoundEntry e = EntryFromHeader(h, pos);
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
    w.stop = WhyTheStubStopsAt(e, where);
    if (w.stop) break;
    e.data_pos = name_pos + e.name_length;
    const uint64_t left = size > e.data_pos ? size - e.data_pos : 0;
    e.data_present = e.packed_size < left ? e.packed_size : left;
    w.entries.push_back(e);
    pos = e.data_pos + e.packed_size;
  }
  if (!w.stop && !w.end_problem && pos + 4 > size)
    w.end_problem = "the central directory and end record are missing";
  return w;
}

std::vector<std::string> SameFileOnWindows(const std::vector<FoundEntry>& entries) {
  std::vector<std::string> names;
  for (const FoundEntry& e : entries) names.push_back(e.name);
  std::vector<std::string> pairs;
  for (const auto& same : SameNameOnWindows(names))
    pairs.push_back(Shown(entries[same.first]) + " and " + Shown(entries[same.second]));
  return pairs;
}

EntryProblem CheckEntryData(const FoundEntry& e, const InstallerBytes& file, bool with_stub,
                            const EntrySinks& sinks) {
  if (e.data_present < e.packed_size) return DataCutShort();
  const EntryClaim claim{e.method, e.packed_size, e.size, e.crc};
  const uint64_t pos = e.data_pos;
  const decoder_host::ReadAt& source = file.source;
  EntryChecker checker(
      claim,
      with_stub ? decoder_host::ReadAt([&source, pos](uint64_t at, uint8_t* p, size_t n) {
        return source(pos + at, p, n);
      })
                : decoder_host::ReadAt(),
      sinks.plain);
  // No larger than the entry needs: installers often hold many small files.
  const size_t block_size = size_t(std::min<uint64_t>(ReadBlock, e.packed_size + 1));
  std::unique_ptr<uint8_t[]> block(new uint8_t[block_size]);
  for (uint64_t done = 0; done < e.packed_size;) {
    const size_t want = size_t(std::min<uint64_t>(e.packed_size - done, block_size));
    if (!ReadScrambled(file, e.data_pos + done, block.get(), want)) break;
    done += want;
    if (sinks.stored && !sinks.stored(block.get(), want)) return std::string("its data could not be taken");
    // unwrap copies what the check no longer needs.
    if (!checker.Feed(block.get(), want) && !sinks.stored) break;
  }
  const EntryProblem problem = checker.Finish();
  return problem && file.read_error ? file.read_error : problem;
}

std::optional<std::string> PeChecksumProblem(const InstallerBytes& file) {
  std::vector<uint8_t> head(4096);
  head.resize(file.Read(0, head.data(), head.size()));
  const uint64_t field_at = PeChecksumFieldAt(head);
  if (field_at == 0) return std::nullopt;
  const uint32_t stored = Get32(&head[field_at]);
  if (stored == 0) return std::nullopt;
  PeChecksum sum(field_at);
  std::vector<uint8_t> block(1 << 20);
  for (uint64_t pos = 0; pos < file.size;) {
    const size_t n = file.Read(pos, block.data(), block.size());
    if (n == 0) return std::nullopt;  // the read error is the caller's to report
    sum.Add(block.data(), n);
    pos += n;
  }
  if (sum.Value() == stored) return std::nullopt;
  char text[96];
  snprintf(text, sizeof text, "the header says 0x%08" PRIX32 ", the file's bytes give 0x%08" PRIX32, stored,
           sum.Value());
  return std::string(text);
}
