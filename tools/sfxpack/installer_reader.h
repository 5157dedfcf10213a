// Reading an installer the way the stub reads it, a bounded piece at a
// time: its bytes, the marker scan, the walk over its entries, the check of
// its end and of each entry's data.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive_bytes.h"
#include "decoder_host.h"
#include "entry_check.h"

// An installer's bytes, read through a callback.
struct InstallerBytes {
  // Reads up to n bytes at pos: how many (fewer only at the end), or -1 on
  // an error. Also called from the stub decoder's thread.
  decoder_host::ReadAt source;
  uint64_t size = 0;
  std::string path;  // for messages

  // Why the last failed read of source failed; empty when unknown.
  std::function<std::string()> error_text;
  // Copies up to n bytes at pos into out and returns how many the file holds
  // there; 0 from a read error on, which read_error then tells. Small reads
  // are served from a window read ahead, as headers and names come one
  // after the other.
  size_t Read(uint64_t pos, uint8_t* out, size_t n) const;
  // The first read error, if any.
  mutable std::optional<std::string> read_error;

 private:
  size_t ReadFile(uint64_t pos, uint8_t* out, size_t n) const;
  mutable std::vector<uint8_t> window_;
  mutable uint64_t window_pos_ = 0;
};

struct FoundEntry {
  uint64_t header_pos = 0;  // file offset of the entry header
  uint16_t flags = 0;
  uint16_t method = 0;
  DosStamp stamp{};
  uint32_t crc = 0;
  uint32_t packed_size = 0;
  uint32_t size = 0;
  uint16_t name_length = 0;  // as in the header, before the cut
  std::string name;  // Windows-1252, cut at its first zero byte
  uint64_t data_pos = 0;
  uint64_t data_present = 0;  // bytes of the data that the file really holds
};

struct InstallerWalk {
  int64_t archive_offset = -1;  // -1: no marker, the stub would give up
  std::vector<FoundEntry> entries;
  // Why the stub would stop before the end of the entries, if it would. The
  // entry it stops at is not in entries.
  std::optional<std::string> stop;
  // What is wrong with the central directory and end record after the
  // entries, if anything: both must be there, complete and agree with the
  // entries. Only looked at when the walk gets past the last entry.
  std::optional<std::string> end_problem;
};

// Finds the archive as the stub does (the first marker from offset 20 on) and
// walks its entries: each next header at header + 30 + name length + packed
// size, up to the first header whose signature the stub does not accept.
// Stops after MaxEntryCount entries, which no end record could count, so
// that memory stays bounded.
InstallerWalk WalkInstaller(const InstallerBytes& file);

// Pairs of entries that Windows would take for one file (names equal but
// for case), as "'A.txt' and 'a.txt'".
std::vector<std::string> SameFileOnWindows(const std::vector<FoundEntry>& entries);

// Receive an entry's data as it passes: as stored (descrambled), and
// decoded. Either may be empty. One that returns false stops the check; it
// keeps the reason itself.
struct EntrySinks {
  std::function<bool(const uint8_t* p, size_t n)> stored;
  std::function<bool(const uint8_t* p, size_t n)> plain;
};

// Reads an entry's data a block at a time and checks it (EntryChecker);
// with_stub: deflated data must also decode to the same bytes with the
// stub's own decoder. The problem found, if any; when a sink stopped the
// check, the sink knows why. Memory and work stay bounded by the data
// really there, never by the sizes a header claims.
EntryProblem CheckEntryData(const FoundEntry& e, const InstallerBytes& file, bool with_stub,
                            const EntrySinks& sinks);

// Whether the PE checksum field of the file's header, where it is set (not
// zero: create writes it, signing tools rewrite it), disagrees with the
// checksum of the file's bytes; then the two values.
std::optional<std::string> PeChecksumProblem(const InstallerBytes& file);

// The entry's name as UTF-8 in quotes, for messages.
std::string Shown(const FoundEntry& e);
