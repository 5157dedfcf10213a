// `sfxpack create`: a stub followed by a scrambled archive of files.
#pragma once

#include <stdint.h>

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
};

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
// warns about names the stub would start or never start. wizard is the
// stored name, or empty.
void OrderEntries(std::vector<PlannedEntry>& entries, const std::string& wizard);

// The fewest bytes the archive can take; refuses when even that, after the
// stub, would not fit in 32-bit signed offsets. exact_files: file entries will
// be stored as they are (level 0).
uint64_t CheckArchiveCanFit(const std::vector<PlannedEntry>& entries, uint64_t stub_size,
                            bool exact_files);

void RunCreate(const PackOptions& options);
