#include "plan.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <utility>

#include "console.h"
#include "platform.h"
#include "winnames.h"

namespace {

// Information, not a warning: on stderr, and not under -q.
void Inform(const std::string& message) {
  if (!Quiet()) fprintf(stderr, "sfxpack: %s\n", message.c_str());
}

// A Windows-1252 letter written decomposed, as macOS names are: its base
// letter, the combining mark after it, and the letter composed (UTF-8).
struct Composed {
  char base;
  uint32_t mark;
  const char* letter;
};
constexpr Composed ComposedLetters[] = {
    {'S', 0x030C, "\xC5\xA0"},
    {'Z', 0x030C, "\xC5\xBD"},
    {'s', 0x030C, "\xC5\xA1"},
    {'z', 0x030C, "\xC5\xBE"},
    {'Y', 0x0308, "\xC5\xB8"},
    {'A', 0x0300, "\xC3\x80"},
    {'A', 0x0301, "\xC3\x81"},
    {'A', 0x0302, "\xC3\x82"},
    {'A', 0x0303, "\xC3\x83"},
    {'A', 0x0308, "\xC3\x84"},
    {'A', 0x030A, "\xC3\x85"},
    {'C', 0x0327, "\xC3\x87"},
    {'E', 0x0300, "\xC3\x88"},
    {'E', 0x0301, "\xC3\x89"},
    {'E', 0x0302, "\xC3\x8A"},
    {'E', 0x0308, "\xC3\x8B"},
    {'I', 0x0300, "\xC3\x8C"},
    {'I', 0x0301, "\xC3\x8D"},
    {'I', 0x0302, "\xC3\x8E"},
    {'I', 0x0308, "\xC3\x8F"},
    {'N', 0x0303, "\xC3\x91"},
    {'O', 0x0300, "\xC3\x92"},
    {'O', 0x0301, "\xC3\x93"},
    {'O', 0x0302, "\xC3\x94"},
    {'O', 0x0303, "\xC3\x95"},
    {'O', 0x0308, "\xC3\x96"},
    {'U', 0x0300, "\xC3\x99"},
    {'U', 0x0301, "\xC3\x9A"},
    {'U', 0x0302, "\xC3\x9B"},
    {'U', 0x0308, "\xC3\x9C"},
    {'Y', 0x0301, "\xC3\x9D"},
    {'a', 0x0300, "\xC3\xA0"},
    {'a', 0x0301, "\xC3\xA1"},
    {'a', 0x0302, "\xC3\xA2"},
    {'a', 0x0303, "\xC3\xA3"},
    {'a', 0x0308, "\xC3\xA4"},
    {'a', 0x030A, "\xC3\xA5"},
    {'c', 0x0327, "\xC3\xA7"},
    {'e', 0x0300, "\xC3\xA8"},
    {'e', 0x0301, "\xC3\xA9"},
    {'e', 0x0302, "\xC3\xAA"},
    {'e', 0x0308, "\xC3\xAB"},
    {'i', 0x0300, "\xC3\xAC"},
    {'i', 0x0301, "\xC3\xAD"},
    {'i', 0x0302, "\xC3\xAE"},
    {'i', 0x0308, "\xC3\xAF"},
    {'n', 0x0303, "\xC3\xB1"},
    {'o', 0x0300, "\xC3\xB2"},
    {'o', 0x0301, "\xC3\xB3"},
    {'o', 0x0302, "\xC3\xB4"},
    {'o', 0x0303, "\xC3\xB5"},
    {'o', 0x0308, "\xC3\xB6"},
    {'u', 0x0300, "\xC3\xB9"},
    {'u', 0x0301, "\xC3\xBA"},
    {'u', 0x0302, "\xC3\xBB"},
    {'u', 0x0308, "\xC3\xBC"},
    {'y', 0x0301, "\xC3\xBD"},
    {'y', 0x0308, "\xC3\xBF"},
};

// The name with every base letter and combining mark of the table composed,
// or "" when it holds none.
std::string ComposeLatin(const std::string& utf8) {
  std::string out;
  bool composed = false;
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    const size_t length = DecodeUtf8(utf8, i, cp);
    if (!length) return "";
    const Composed* found = nullptr;
    if (!out.empty())
      for (const Composed& c : ComposedLetters)
        if (c.mark == cp && c.base == out.back()) found = &c;
    if (found) {
      out.back() = found->letter[0];
      out += found->letter + 1;
      composed = true;
    } else {
      out.append(utf8, i, length);
    }
    i += length;
  }
  return composed ? out : "";
}

}  // namespace

uint64_t LeastPacked(const PlannedEntry& e, bool exact_files) {
  if (e.zip_index >= 0) return e.known_packed;
  return exact_files ? e.size : 0;
}

std::string StoredNameFor(const std::string& utf8, const std::string& origin) {
  std::string stored, bad;
  if (!Utf8ToWindows1252(utf8, stored, &bad)) {
    // Composed, the letters may fit.
    const std::string composed = ComposeLatin(utf8);
    std::string hint, ignored;
    if (!composed.empty() && Utf8ToWindows1252(composed, ignored, nullptr))
      hint = "; its letters written composed (NFC), as " + Quote(composed) + ", would fit";
    Refuse("the name " + Quote(utf8) + " from " + origin + " holds " + bad +
           ", which Windows-1252 names cannot hold" + hint);
  }
  std::replace(stored.begin(), stored.end(), '/', '\\');
  std::string why;
  if (CheckEntryName(stored, &why) != NameVerdict::Ok)
    Refuse("the name " + Quote(utf8) + " from " + origin + " cannot be packed: " + why);
  return stored;
}

namespace {

// Where an entry comes from, for messages: " (from 'path')", or "".
std::string SourceOf(const PlannedEntry& e) {
  if (!e.source_path.empty()) return " (from " + QuotePath(e.source_path) + ")";
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
