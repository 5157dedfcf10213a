// Planning an installer's archive: stored names, their order, warnings about
// them, file stamps and whether the archive can fit the stub's offsets.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "archive_bytes.h"

// Names listed in one message at the most.
constexpr size_t ListedNames = 5;

// How file times become MS-DOS stamps: local time, or with
// SOURCE_DATE_EPOCH set, times clamped to it and converted in UTC.
struct StampRule {
  bool reproducible = false;
  time_t epoch = 0;
};
// Reads SOURCE_DATE_EPOCH; refuses a value that is not a decimal number.
StampRule StampRuleFromEnvironment();
DosStamp StampFor(const StampRule& rule, time_t mtime);
// A ZIP entry's stamp (given as libzip's local-time reading of it) under
// the rule: its fields as they were, clamped to the epoch when reproducible.
DosStamp ZipStampFor(const StampRule& rule, time_t libzip_mtime);

// One entry to be written, before its data is read.
struct PlannedEntry {
  std::string name;   // stored form: Windows-1252 with '\' separators
  std::string shown;  // the name as the user gave it, UTF-8, for messages
  std::string source_path;  // the file to read; empty for a ZIP entry
  int64_t zip_index = -1;
  uint64_t size = 0;         // uncompressed
  uint64_t known_packed = 0;  // a ZIP entry's data size, copied as it is
  uint16_t zip_method = 0;
  uint32_t zip_crc = 0;
  DosStamp stamp{};
};

// Turns a relative path (UTF-8, '/' or '\' separators) into the stored name,
// or refuses it with a message naming where it came from.
std::string StoredNameFor(const std::string& utf8, const std::string& origin);

// Sorts by stored name, puts the wizard first, refuses duplicates (also those
// Windows would take for one file) and a file that is also a folder, and
// warns about other names the stub would start, and, when it would start
// none, that it starts none, naming entries ending in ".exe" in another
// case. wizard is the stored name, or empty. Returns the index of the entry
// the stub will start, or entries.size() for none.
size_t OrderEntries(std::vector<PlannedEntry>& entries, const std::string& wizard);

// Warns, once each, about names that may not come out right on Windows:
// names outside ASCII (right only under the ANSI code page 1252), and paths
// too long for the stub's ANSI calls below a typical temporary folder.
void WarnAboutWindowsNames(const std::vector<PlannedEntry>& entries);

// The fewest bytes the archive can take; refuses when even that, after the
// stub, would not fit in 32-bit signed offsets. exact_files: file entries will
// be stored as they are (level 0).
uint64_t CheckArchiveCanFit(const std::vector<PlannedEntry>& entries, uint64_t stub_size,
                            bool exact_files);

// The fewest data bytes an entry can store: a copied ZIP entry its data as it
// is, a file its size when stored as it is, else nothing yet known.
uint64_t LeastPacked(const PlannedEntry& e, bool exact_files);
