// Platform calls that the extraction makes per file, counted from the host
// layer's call log, and results that must not depend on which calls were
// left out.
#include <cstdio>
#include <filesystem>
#include <map>

#include "archive/extract.h"
#include "archive/stream.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/state.h"
#include "test_support.h"

namespace {

// One deflate stream of a single stored block holding `data`: a valid
// method-8 entry without a compressor.
Bytes StoredBlockStream(const Bytes& data) {
  Bytes s;
  s += '\x01';  // last block, type 0
  s += (char)(data.size() & 0xFF);
  s += (char)(data.size() >> 8);
  s += (char)(~data.size() & 0xFF);
  s += (char)((~data.size() >> 8) & 0xFF);
  return s + data;
}

RawEntry Deflated(const Bytes& name, const Bytes& data) {
  RawEntry e{name, StoredBlockStream(data)};
  e.method = MethodDeflated;
  return e;
}

Bytes Content(int i) { return "file number " + std::to_string(i) + Bytes(200 + i % 300, 'x'); }

using Counts = std::map<std::string, int>;

class ExtractCallsTest : public StubTest {
 protected:
  Counts Run(const std::vector<RawEntry>& entries) {
    StartOver();
    UseInstaller(MakeInstaller(entries));
    const size_t before = hostwin32::Calls().size();
    ExtractAll();
    Counts counts;
    const auto& calls = hostwin32::Calls();
    for (size_t i = before; i < calls.size(); i++) counts[calls[i].function]++;
    CloseHandle(ArchiveHandle);
    return counts;
  }
  // Calls per file once the run is going: the difference between runs of
  // 2 + n and of 2 entries, divided by n. Every call of an entry is whole,
  // so the division is exact.
  Counts PerFile(const std::function<RawEntry(int)>& make, int n = 40) {
    std::vector<RawEntry> one = {make(0), make(1)};
    std::vector<RawEntry> many;
    for (int i = 0; i < n + 2; i++) many.push_back(make(i));
    const Counts small = Run(one), large = Run(many);
    Counts per;
    for (auto& c : large) {
      const int extra = c.second - (small.count(c.first) ? small.at(c.first) : 0);
      EXPECT_EQ(extra % n, 0) << c.first;
      if (extra) per[c.first] = extra / n;
    }
    return per;
  }
  static std::string Show(const Counts& c) {
    std::string s;
    int total = 0;
    for (auto& e : c) {
      s += e.first + "=" + std::to_string(e.second) + " ";
      total += e.second;
    }
    return s + "total=" + std::to_string(total);
  }
};

TEST_F(ExtractCallsTest, CallsPerFile) {
  const struct {
    const char* what;
    std::function<RawEntry(int)> make;
    Counts expected;
  } cases[] = {
      {"deflated, one folder",
       [](int i) { return Deflated("data\\f" + std::to_string(i) + ".txt", Content(i)); },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"LocalFileTimeToFileTime", 1},
        {"SetFileTime", 1}, {"CloseHandle", 1}}},
      {"stored, top level",
       [](int i) { return RawEntry{"f" + std::to_string(i) + ".txt", Content(i)}; },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"LocalFileTimeToFileTime", 1},
        {"SetFileTime", 1}, {"CloseHandle", 1}}},
      {"stored, \"/\" separators, two levels",
       [](int i) { return RawEntry{"a/b/f" + std::to_string(i) + ".txt", Content(i)}; },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"LocalFileTimeToFileTime", 1},
        {"SetFileTime", 1}, {"CloseHandle", 1}}},
      // Each entry in another folder than the one before: the folder is
      // searched for as the first time.
      {"folders taking turns",
       [](int i) { return RawEntry{(i % 2 ? "odd\\f" : "even\\f") + std::to_string(i), Content(i)}; },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"LocalFileTimeToFileTime", 1},
        {"SetFileTime", 1}, {"CloseHandle", 1}, {"FindFirstFileA", 3}, {"FindClose", 2}}},
      // Each entry with its own time stamp.
      {"stamps differ",
       [](int i) {
         RawEntry e{"f" + std::to_string(i), Content(i)};
         e.dosTime = (uint16_t)(i << 5);  // 00:i:00
         return e;
       },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"DosDateTimeToFileTime", 1},
        {"LocalFileTimeToFileTime", 1}, {"SetFileTime", 1}, {"CloseHandle", 1}}},
  };
  for (const auto& c : cases) {
    const Counts per = PerFile(c.make);
    std::printf("[ calls per file ] %s: %s\n", c.what, Show(per).c_str());
    EXPECT_EQ(per, c.expected) << c.what;
  }
}

// An existing file is found by its own search, which does not tell about
// its folder: a second run over the same files searches once per file.
TEST_F(ExtractCallsTest, ExtractingOverExistingFilesSearchesEachFileOnce) {
  std::vector<RawEntry> entries;
  for (int i = 0; i < 5; i++) entries.push_back({"data\\f" + std::to_string(i), Content(i)});
  UseInstaller(MakeInstaller(entries));
  ExtractAll();
  const size_t first = hostwin32::Calls().size();
  SeekArchive(0, FILE_BEGIN);
  ExtractAll();
  int searches = 0, folders = 0;
  for (size_t i = first; i < hostwin32::Calls().size(); i++) {
    searches += hostwin32::Calls()[i].function == "FindFirstFileA";
    folders += hostwin32::Calls()[i].function == "CreateDirectoryA";
  }
  EXPECT_EQ(searches, 5);
  EXPECT_EQ(folders, 0);
}

// The remembered folder must not change a result: paths are converted as
// before, names ending in a separator, folders that cannot be made and
// names that are folders give the same boxes, in the same order.
class KnownFolderTest : public ExtractionTest {};

std::string Describe(const std::vector<std::pair<Bytes, Bytes>>& boxes) {
  std::string s;
  for (auto& b : boxes) s += "[" + b.first + "] " + b.second + "; ";
  return s;
}

const Bytes OpenError = "Error al abrir el archivo\r\rError #SFXEAA#";

TEST_F(KnownFolderTest, ResultsOfTrickyNamesAfterAKnownFolder) {
  const struct {
    const char* what;
    std::vector<Bytes> names;
    std::vector<std::string> files;      // host paths below the root
    std::vector<std::string> folders;    // that must exist afterwards
    std::vector<std::pair<Bytes, Bytes>> boxes;  // caption (relative path below the root), text
    const char* setup;                   // SetupProgramPath below the root, or ""
  } cases[] = {
      {"slashes are turned into backslashes",
       {"d\\a.txt", "d/x.EXE", "d/b.txt"}, {"d/a.txt", "d/b.txt", "d/x.EXE"}, {"d"}, {}, "d\\x.EXE"},
      {"a name ending in a backslash",
       {"d\\a.txt", "d\\sub\\", "d\\b.txt"}, {"d/a.txt", "d/b.txt"}, {"d/sub"},
       {{"d\\sub\\", OpenError}}, ""},
      {"a name ending in a slash",
       {"d\\a.txt", "d/sub/", "d\\b.txt"}, {"d/a.txt", "d/b.txt"}, {"d/sub"},
       {{"d\\sub\\", OpenError}}, ""},
      {"a slash before a final backslash stays",
       {"d\\a.txt", "d/sub\\", "d\\b.EXE"}, {"d/a.txt", "d/b.EXE"}, {"d/sub"},
       {{"d/sub\\", OpenError}}, "d\\b.EXE"},
      {"a name that is a known folder's sibling folder",
       {"d\\e\\a.txt", "d\\e", "d\\b.txt"}, {"d/b.txt", "d/e/a.txt"}, {"d/e"},
       {{"d\\e", OpenError}}, ""},
      {"a top-level name that is a folder",
       {"d\\a.txt", "top.txt", "d", "z.txt"}, {"d/a.txt", "top.txt", "z.txt"}, {"d"},
       {{"d", OpenError}}, ""},
      {"a doubled separator",
       {"d\\a.txt", "d\\\\b.txt", "d\\c.txt"}, {"d/a.txt", "d/b.txt", "d/c.txt"}, {"d"}, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartOver();
    std::vector<RawEntry> entries;
    for (const Bytes& name : c.names) entries.push_back({name, "content of " + name});
    UseInstaller(MakeInstaller(entries));
    ExtractAll();
    std::vector<std::string> files = c.files;
    std::sort(files.begin(), files.end());
    EXPECT_EQ(Files(), files);
    for (const std::string& folder : c.folders) EXPECT_TRUE(std::filesystem::is_directory(Host(folder))) << folder;
    std::vector<Box> boxes;
    for (auto& b : c.boxes) boxes.push_back({Win(b.first), b.second});
    EXPECT_TRUE(Boxes() == boxes) << Describe(c.boxes) << "got " << hostwin32::MessageBoxes().size();
    EXPECT_EQ(std::string(SetupProgramPath), *c.setup ? Win(c.setup) : "");
    CloseHandle(ArchiveHandle);
  }
}

// Someone else changes the remembered folder between two entries (after
// the first file is closed, before the next header is read): the next
// entry comes out as it would have without the memory of the folder.
TEST_F(KnownFolderTest, FolderChangedByOthersBetweenEntries) {
  const struct {
    const char* what;
    void (*change)(const std::string& folder);
    std::vector<std::string> files;
    bool openError;
  } cases[] = {
      {"left alone", [](const std::string&) {}, {"d/a.txt", "d/b.txt", "d/c.txt"}, false},
      {"removed", [](const std::string& d) { std::filesystem::remove_all(d); }, {"d/b.txt", "d/c.txt"}, false},
      {"replaced by a file",
       [](const std::string& d) {
         std::filesystem::remove_all(d);
         WriteHostFile(d, "now a file");
       },
       {"d"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartOver();
    UseInstaller(MakeInstaller({{"d\\a.txt", "1"}, {"d\\b.txt", "2"}, {"d\\c.txt", "3"}}));
    const std::string firstFile = Win("d\\a.txt");
    const std::string folder = Host("d");
    bool closed = false, changed = false;
    hostwin32::InjectedFaults().beforeCall = [&](const hostwin32::CallRecord& call) {
      if (call.function == "CloseHandle" && call.detail == firstFile) closed = true;
      if (closed && !changed && call.function == "ReadFile") {
        changed = true;
        c.change(folder);
      }
    };
    ExtractAll();
    hostwin32::InjectedFaults().beforeCall = nullptr;
    EXPECT_TRUE(changed);
    EXPECT_EQ(Files(), c.files);
    std::vector<Box> boxes;
    if (c.openError) boxes = {{Win("d\\b.txt"), OpenError}, {Win("d\\c.txt"), OpenError}};
    EXPECT_TRUE(Boxes() == boxes) << Boxes().size();
    CloseHandle(ArchiveHandle);
  }
}

// A folder that cannot be made after a known one: the box names it and the
// run stops there, as at the first entry.
TEST_F(KnownFolderTest, FolderErrorAfterAKnownFolder) {
  std::filesystem::create_directories(RootHost());
  WriteHostFile(Host("blocker"), "a file where a folder should be");
  UseInstaller(MakeInstaller({{"d\\a.txt", "1"}, {"d\\b.txt", "2"}, {"blocker\\inner\\x.txt", "3"}, {"d\\c.txt", "4"}}));
  ExtractAll();
  EXPECT_EQ(Files(), (std::vector<std::string>{"blocker", "d/a.txt", "d/b.txt"}));
  EXPECT_TRUE(Boxes() == (std::vector<Box>{{"No puedo crear directorio", Win("blocker\\inner")}}));
}

// Entries with repeated and changing stamps, valid and not: every file gets
// its own entry's time, converted once per run of equal stamps.
TEST_F(KnownFolderTest, RepeatedStampsAreConvertedOncePerRun) {
  const uint16_t date = (44 << 9) | (6 << 5) | 15, badDate = (43 << 9) | (2 << 5) | 30;
  const struct {
    uint16_t date, time;
  } stamps[] = {{date, 100}, {date, 100}, {badDate, 100}, {badDate, 100}, {date, 100}, {date, 200}, {date, 200}};
  std::vector<RawEntry> entries;
  for (size_t i = 0; i < std::size(stamps); i++) {
    RawEntry e{"f" + std::to_string(i), "x"};
    e.dosDate = stamps[i].date;
    e.dosTime = stamps[i].time;
    entries.push_back(e);
  }
  const time_t before = time(nullptr);
  UseInstaller(MakeInstaller(entries));
  ExtractAll();
  int conversions = 0;
  for (auto& call : hostwin32::Calls()) conversions += call.function == "DosDateTimeToFileTime";
  EXPECT_EQ(conversions, 4);
  for (size_t i = 0; i < std::size(stamps); i++) {
    struct tm fields = {};
    fields.tm_year = 2024 - 1900;
    fields.tm_mon = 5;
    fields.tm_mday = 15;
    fields.tm_hour = stamps[i].time >> 11;
    fields.tm_min = (stamps[i].time >> 5) & 63;
    fields.tm_sec = (stamps[i].time & 31) * 2;
    fields.tm_isdst = -1;
    struct stat st;
    ASSERT_EQ(stat(Host("f" + std::to_string(i)).c_str(), &st), 0);
    if (stamps[i].date == date) EXPECT_EQ(st.st_mtime, mktime(&fields)) << i;
    else EXPECT_GE(st.st_mtime, before) << i;  // left as the file system set it
  }
}

// An installer cut at any byte: exactly the entries whose header and name
// are whole make a file, holding the data bytes that exist; the rest of the
// run reads nothing more. Stored entries, some in folders, some deflated.
TEST_F(KnownFolderTest, TruncatedAtEveryByteWritesWhatExists) {
  const std::vector<RawEntry> entries = {
      {"d\\one.txt", "the first file"}, {"d\\two.bin", Bytes(40, '\x02')}, Deflated("d\\three.txt", "333"),
      {"e\\four.txt", "4444"},         {"five", ""},                      {"d\\six.txt", "six"}};
  const Bytes installer = MakeInstaller(entries);
  std::vector<size_t> starts;
  size_t offset = installer.size();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) offset -= EntryPlain(*it).size();
  for (const RawEntry& e : entries) {
    starts.push_back(offset);
    offset += EntryPlain(e).size();
  }
  for (size_t cut = starts[0] + ArchiveMarkerLength; cut <= installer.size(); cut++) {
    SCOPED_TRACE(cut);
    StartOver();
    UseInstaller(installer.substr(0, cut));
    ExtractAll();
    std::vector<std::string> files;
    for (size_t i = 0; i < entries.size(); i++) {
      const size_t dataStart = starts[i] + EntryHeaderSize + entries[i].name.size();
      if (cut < dataStart) break;  // no whole header and name: the run ends
      std::string host = entries[i].name;
      for (char& ch : host) {
        if (ch == '\\') ch = '/';
      }
      files.push_back(host);
      const size_t have = std::min(entries[i].data.size(), cut - dataStart);
      if (entries[i].method == MethodStored) {
        EXPECT_EQ(ReadHostFile(Host(host)), entries[i].data.substr(0, have)) << host;
      } else {
        // A deflated entry cut short writes nothing of its last window.
        EXPECT_EQ(ReadHostFile(Host(host)), have == entries[i].data.size() ? "333" : "") << host;
      }
      if (have < entries[i].data.size()) break;  // the file ends inside this entry
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(Files(), files);
    EXPECT_TRUE(hostwin32::MessageBoxes().empty());
    CloseHandle(ArchiveHandle);
  }
}

}  // namespace
