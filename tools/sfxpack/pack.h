// `sfxpack create`: a stub followed by a scrambled archive of files.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "archive_bytes.h"

struct PackOptions {
  std::string output;
  std::string stub;
  int level = 12;
  std::string wizard;    // entry name, UTF-8, either separator
  std::string from_zip;  // an existing ZIP whose entries are copied
  std::vector<std::string> inputs;
  std::vector<std::string> excludes;  // globs against relative paths and bare names
  unsigned threads = 0;               // 0: one per processor
};

// Whether a file or folder is left out: pattern matched (fnmatch, '*' also
// crossing '/') against its path relative to its input, with '/'
// separators, or against its bare name.
bool IsExcluded(const std::vector<std::string>& patterns, const std::string& relative);

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

// Whether a file looks like a 32-bit Windows program: "MZ", and a PE header
// for the i386 machine with a PE32 optional header. "" when it does.
std::string NotAWindowsProgram(const std::vector<uint8_t>& file);

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
// none, about names ending in ".exe" in another case. wizard is the stored
// name, or empty.
void OrderEntries(std::vector<PlannedEntry>& entries, const std::string& wizard);

// The fewest bytes the archive can take; refuses when even that, after the
// stub, would not fit in 32-bit signed offsets. exact_files: file entries will
// be stored as they are (level 0).
uint64_t CheckArchiveCanFit(const std::vector<PlannedEntry>& entries, uint64_t stub_size,
                            bool exact_files);

void RunCreate(const PackOptions& options);
