#include "archive/extract.h"

#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "archive/stream.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/state.h"
#include "test_support.h"

namespace {

const Bytes NameError = "Error al extraer el nombre de un componente.\r\rError #SFXENC#";
const Bytes OpenError = "Error al abrir el archivo\r\rError #SFXEAA#";
const Bytes MethodError = "Compresi\xF3n desconocida.\r\rArchivo da\xF1" "ado.\r\rError #SFXMCD#";
const Bytes CloseError = "Error al cerrar el archivo\r\rError #SFXECA#";

class ExtractTest : public ExtractionTest {
 protected:
  void Extract(const std::vector<RawEntry>& entries) {
    UseInstaller(MakeInstaller(entries));
    ExtractAll();
  }
};

// 2024-06-15 13:37:42, the stamp RawEntry gives every entry, as wall-clock
// fields.
struct tm EntryStampFields() {
  struct tm fields = {};
  fields.tm_year = 2024 - 1900;
  fields.tm_mon = 5;
  fields.tm_mday = 15;
  fields.tm_hour = 13;
  fields.tm_min = 37;
  fields.tm_sec = 42;
  fields.tm_isdst = -1;
  return fields;
}

TEST_F(ExtractTest, StoredEntriesInFoldersWithTheirTimes) {
  RawEntry a{"readme.txt", "first file\r\n"};
  RawEntry b{"data\\sub/deep.bin", Bytes(70000, '\x5A')};
  RawEntry c{"empty.dat", ""};
  c.dosDate = (43 << 9) | (2 << 5) | 29;  // 2023-02-29 does not exist: times stay as set
  Extract({a, b, c});
  EXPECT_EQ(Files(), (std::vector<std::string>{"data/sub/deep.bin", "empty.dat", "readme.txt"}));
  EXPECT_EQ(ReadHostFile(Host("readme.txt")), a.data);
  EXPECT_EQ(ReadHostFile(Host("data/sub/deep.bin")), b.data);
  EXPECT_EQ(ReadHostFile(Host("empty.dat")), "");
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(AnyFileCreated, 1);
  EXPECT_STREQ(SetupProgramPath, "");

  // Local time, as it was packed.
  struct tm fields = EntryStampFields();
  struct stat st;
  ASSERT_EQ(stat(Host("readme.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, mktime(&fields));
  ASSERT_EQ(stat(Host("empty.dat").c_str(), &st), 0);
  EXPECT_GT(st.st_mtime, mktime(&fields));  // left as the file system set it
}

// The stamps are local times: the file gets the instant that the wall-clock
// time names in the machine's zone. Zones far from UTC, set here, tell a
// missing conversion from a right one.
TEST_F(ExtractTest, TimesAreLocalTimeInAnyZone) {
  const char* saved = getenv("TZ");
  const std::string savedZone = saved ? saved : "";
  const struct {
    const char* zone;
    long eastOfUtc;  // seconds, on 2024-06-15
  } cases[] = {
      {"SFX-14", 14 * 3600},
      {"SFX+11", -11 * 3600},
      {"SFX-5:45", 5 * 3600 + 45 * 60},
      {"SFX+5SFD,M3.2.0,M11.1.0", -4 * 3600},  // summer time in June
  };
  struct tm wall = EntryStampFields();
  const time_t asUtc = timegm(&wall);
  for (const auto& c : cases) {
    setenv("TZ", c.zone, 1);
    tzset();
    StartOver();
    Extract({{"stamped.txt", "x"}});
    struct stat st;
    ASSERT_EQ(stat(Host("stamped.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, asUtc - c.eastOfUtc) << c.zone;
    EXPECT_EQ(st.st_atime, asUtc - c.eastOfUtc) << c.zone;
  }
  if (saved) setenv("TZ", savedZone.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

// Stored data is copied in pieces of at most 32768 bytes, each written as
// it was read.
TEST_F(ExtractTest, StoredDataIsWrittenInPiecesOfAtMost32768Bytes) {
  const struct {
    size_t size;
    DWORD shortReads;
    std::vector<DWORD> writes;
  } cases[] = {
      {0, 0, {}},
      {1, 0, {1}},
      {32768, 0, {32768}},
      {32769, 0, {32768, 1}},
      {70000, 0, {32768, 32768, 4464}},
      {2500, 1000, {1000, 1000, 500}},  // short reads are written as they come
  };
  for (const auto& c : cases) {
    StartOver();
    hostwin32::InjectedFaults().shortReadLimit = c.shortReads;
    Bytes data(c.size, 0);
    for (size_t i = 0; i < c.size; i++) data[i] = (char)(i * 7 + i / 251);
    Extract({{"piece.bin", data}});
    std::vector<DWORD> writes;
    for (auto& w : hostwin32::Writes()) writes.push_back(w.second);
    EXPECT_EQ(writes, c.writes) << c.size;
    EXPECT_EQ(ReadHostFile(Host("piece.bin")), data) << c.size;
  }
}

TEST_F(ExtractTest, FirstHeaderWithoutSignatureWritesNothing) {
  // The marker finds a valid first header; point the start at a record
  // that follows it instead.
  RawEntry a{"a.txt", "abc"};
  RawEntry b{"b.txt", "def"};
  b.signature = 0x02014B50;  // a central directory record
  UseInstaller(MakeInstaller({a, b}));
  ArchiveOffset += (int32_t)EntryPlain(a).size();
  ExtractAll();
  EXPECT_TRUE(Files().empty());
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(AnyFileCreated, 0);
}

TEST_F(ExtractTest, AlternateSignatureIsAnEntryToo) {
  RawEntry b{"b.txt", "def"};
  b.signature = SignatureAlternate;
  Extract({{"a.txt", "abc"}, b});
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(ExtractTest, NameIsCutAtItsFirstZeroByte) {
  Extract({{Bytes("data\\cfg.ini\0junk", 17), "[x]"}});
  EXPECT_EQ(Files(), std::vector<std::string>{"data/cfg.ini"});
  EXPECT_EQ(ReadHostFile(Host("data/cfg.ini")), "[x]");
}

TEST_F(ExtractTest, FirstPathHoldingUpperCaseExeIsTheSetupProgram) {
  Extract({{"readme.exe", "lower case"}, {"bin/setup.EXE", "MZ"}, {"other.EXE", "MZ2"}});
  EXPECT_EQ(std::string(SetupProgramPath), Win("bin\\setup.EXE"));
  EXPECT_EQ(ReadHostFile(Host("bin/setup.EXE")), "MZ");
  EXPECT_EQ(Files().size(), 3u);
}

TEST_F(ExtractTest, SetupProgramIsRememberedEvenWhenItsFileCannotBeCreated) {
  hostwin32::InjectedFaults().createFileFails = [](const std::string& path) {
    return path.find("first.EXE") != std::string::npos;
  };
  Extract({{"first.EXE", "1"}, {"second.EXE", "2"}});
  EXPECT_EQ(std::string(SetupProgramPath), Win("first.EXE"));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{Win("first.EXE"), OpenError}}));
  EXPECT_EQ(Files(), std::vector<std::string>{"second.EXE"});  // the loop went on
}

TEST_F(ExtractTest, ExistingFileIsReplaced) {
  std::filesystem::create_directories(RootHost());
  WriteHostFile(Host("a.txt"), "an older and longer content");
  Extract({{"a.txt", "new"}});
  EXPECT_EQ(ReadHostFile(Host("a.txt")), "new");
}

TEST_F(ExtractTest, UnknownMethodLeavesOneEmptyFileAndStops) {
  RawEntry a{"a.bin", "compressed somehow"};
  a.method = 12;
  Extract({a, {"b.txt", "never"}});
  EXPECT_EQ(Files(), std::vector<std::string>{"a.bin"});
  EXPECT_EQ(ReadHostFile(Host("a.bin")), "");
  EXPECT_EQ(AnyFileCreated, 1);
  EXPECT_EQ(Boxes(), (std::vector<Box>{{"Velunax Software", MethodError}}));
}

TEST_F(ExtractTest, EncryptedEntryStopsQuietly) {
  RawEntry c{"c.txt", "secret"};
  c.flags = FlagEncrypted;
  Extract({{"a.txt", "1"}, {"b.txt", "2"}, c, {"d.txt", "4"}});
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ExtractTest, NameEndingInSeparatorMakesItsFolderAndGoesOn) {
  Extract({{"folder\\", ""}, {"after.txt", "goes on"}});
  EXPECT_TRUE(std::filesystem::is_directory(Host("folder")));
  EXPECT_EQ(Boxes(), (std::vector<Box>{{Win("folder\\"), OpenError}}));
  EXPECT_EQ(ReadHostFile(Host("after.txt")), "goes on");
}

TEST_F(ExtractTest, StoredEntryRunningPastTheEndKeepsWhatExists) {
  RawEntry a{"a.bin", "only these bytes"};
  a.compressedSize = 5000;
  Extract({a});
  EXPECT_EQ(ReadHostFile(Host("a.bin")), "only these bytes");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ExtractTest, FailingCloseIsReportedAndTheLoopGoesOn) {
  hostwin32::InjectedFaults().closeHandleFails = [](const std::string& path) {
    return path.find("a.txt") != std::string::npos;
  };
  Extract({{"a.txt", "1"}, {"b.txt", "2"}});
  EXPECT_EQ(Boxes(), (std::vector<Box>{{Win("a.txt"), CloseError}}));
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(ExtractTest, FolderThatCannotBeMadeStopsTheExtraction) {
  std::filesystem::create_directories(RootHost());
  WriteHostFile(Host("blocker"), "a file where a folder should be");
  Extract({{"blocker\\inner\\x.txt", "1"}, {"y.txt", "2"}});
  EXPECT_EQ(Boxes(), (std::vector<Box>{{"No puedo crear directorio", Win("blocker\\inner")}}));
  EXPECT_FALSE(HostExists(Host("y.txt")));
}

TEST_F(ExtractTest, NamesLeavingTheFolderAreRefusedAndStopTheExtraction) {
  const Bytes names[] = {
      "",  "\0hidden",  "C:\\Windows\\evil.dll", "c:evil.txt", "file.txt:stream", "\\rooted.txt",
      "/rooted.txt", "..\\up.txt", "a\\..\\..\\up.txt", "a/../b.txt", "..", "sub\\..",
  };
  for (const Bytes& name : names) {
    SCOPED_TRACE(name);
    StartOver();
    Extract({{"before.txt", "ok"}, {name, "payload"}, {"after.txt", "never"}});
    EXPECT_EQ(Files(), std::vector<std::string>{"before.txt"});
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"Velunax Software", NameError}}));
  }
  // Nothing reached the folders around the extraction folder.
  EXPECT_FALSE(HostExists(temp / "up.txt"));
  EXPECT_FALSE(HostExists(temp / "b.txt"));
}

TEST_F(ExtractTest, DotsInsideNamesAreFine) {
  Extract({{"a..b\\..c\\d..", "1"}, {"x\\.\\y.txt", "2"}});
  EXPECT_EQ(Files(), (std::vector<std::string>{"a..b/..c/d..", "x/y.txt"}));
}

TEST_F(ExtractTest, OverlongNameIsRefusedWithoutOverflow) {
  RawEntry a{std::string(300, 'n'), "x"};
  Extract({{"ok.txt", "1"}, a});
  EXPECT_EQ(Files(), std::vector<std::string>{"ok.txt"});
  EXPECT_EQ(Boxes(), (std::vector<Box>{{"Velunax Software", NameError}}));
}

TEST_F(ExtractTest, HugeCompressedSizeEndsTheExtraction) {
  for (int64_t size : {int64_t(0x80000000), int64_t(0xFFFFFFFF), int64_t(0x7FFFFFFF)}) {
    SCOPED_TRACE(size);
    StartOver();
    RawEntry big{"big.bin", "tiny"};
    big.compressedSize = size;
    Extract({{"a.txt", "1"}, big, {"c.txt", "3"}});
    std::vector<std::string> files = Files();
    EXPECT_EQ(files.front(), "a.txt");
    EXPECT_FALSE(HostExists(Host("c.txt")));
    if (size >= 0x80000000) {
      EXPECT_FALSE(HostExists(Host("big.bin")));
    }
  }
}

TEST_F(ExtractTest, FailedSeekToTheArchiveIsReported) {
  UseInstaller(MakeInstaller({{"a.txt", "1"}}));
  hostwin32::InjectedFaults().setFilePointerFails = [](int) { return true; };
  ExtractAll();
  EXPECT_EQ(Boxes(), (std::vector<Box>{{"Velunax Software", "Error localizando el instalador\r\rError #SFXELI#"}}));
  EXPECT_TRUE(Files().empty());
}

// An installer cut at any byte never crashes or hangs, and every file it
// writes holds a prefix of the original.
TEST_F(ExtractTest, TruncationSweep) {
  const std::vector<RawEntry> entries = {
      {"one.txt", "the first file"}, {"dir\\two.bin", Bytes(40, '\x02')}, {"three.txt", "3"}, {"e", ""}};
  const Bytes installer = MakeInstaller(entries);
  const size_t start = installer.size() - Scramble(EntryPlain(entries[0]) + EntryPlain(entries[1]) +
                                                   EntryPlain(entries[2]) + EntryPlain(entries[3])).size();
  for (size_t cut = start + ArchiveMarkerLength; cut <= installer.size(); cut++) {
    SCOPED_TRACE(cut);
    StartOver();
    UseInstaller(installer.substr(0, cut));
    ExtractAll();
    for (const std::string& file : Files()) {
      const RawEntry* original = nullptr;
      for (const RawEntry& e : entries) {
        if (WinPath(file) == e.name) original = &e;
      }
      ASSERT_NE(original, nullptr) << file;
      const Bytes got = ReadHostFile(Host(file));
      EXPECT_EQ(original->data.substr(0, got.size()), got) << file;
    }
    CloseHandle(ArchiveHandle);
  }
}

}  // namespace
