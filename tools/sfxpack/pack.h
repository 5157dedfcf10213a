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

// The --exclude patterns. Each is a glob (fnmatch, '*' also crossing '/')
// matched without case, as Windows compares names, against a path relative
// to its input with '/' separators, or against its bare name. '\' counts as
// '/'; a trailing '/' matches folders only; a leading "./" matches the
// relative path only.
// Whether text matches the glob pattern: '*' stands for any run of
// characters ('/' included), '?' for one character, "[...]" for one of a set
// ("[!...]" or "[^...]" for one not in it, "a-z" for a range); every other
// character, '\\' included, for itself. Both are UTF-8.
bool GlobMatches(const std::string& pattern, const std::string& text);

class Exclusions {
 public:
  Exclusions() = default;
  explicit Exclusions(const std::vector<std::string>& patterns);
  // Whether a file or folder is left out; remembers which patterns matched.
  bool Excludes(const std::string& relative, bool folder);
  // The patterns, as given, that have left out nothing so far.
  std::vector<std::string> Unused() const;

 private:
  struct Pattern {
    std::string given, glob;
    bool folders_only = false, anchored = false, used = false;
  };
  std::vector<Pattern> patterns_;
};

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
// Whether the first bytes of a file begin a Windows program of any machine:
// "MZ" and a PE signature where its header points. "" when they do.
std::string NotAnyWindowsProgram(const std::vector<uint8_t>& head);

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

void RunCreate(const PackOptions& options);
