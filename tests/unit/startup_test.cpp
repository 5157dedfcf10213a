#include "launcher/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "archive/stream.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/messages.h"
#include "launcher/launch.h"
#include "launcher/state.h"
#include "test_support.h"

namespace {

const Bytes Contact =
    "E-mail: soporte@example.com\rhttps://www.example.com/velunax\rhttps://support.example.com/velunax";

// The texts as the user must see them, spelled out independently of the
// program's own constants.
const Bytes Damaged =
    "Archivo de instalaci\xF3n da\xF1" "ado.\r\rArxiu d'instal\xB7laci\xF3 trencat.\r\r"
    "Installation program is damaged.\r\r" + Contact + "\r\rError #SFXAID#";
const Bytes CannotUncompress =
    "No puedo descomprimir los archivos de instalaci\xF3n.\r\rNo puc descomprimir els arxius "
    "d'instal\xB7laci\xF3.\r\rCannot uncompress installation archives.\r\r" + Contact + "\r\rError #SFXNDA#";
const Bytes CannotReconstruct =
    "No puedo reconstruir los archivos de instalaci\xF3n.\r\rNo puc reconstruir els arxius "
    "d'instal\xB7laci\xF3.\r\rCannot reconstruct installation archives.\r\r" + Contact + "\r\rError #SFXNRA#";

class StartupTest : public StubTest {
 protected:
  std::vector<std::pair<Bytes, Bytes>> Boxes() {
    std::vector<std::pair<Bytes, Bytes>> out;
    for (auto& box : hostwin32::MessageBoxes()) {
      EXPECT_FALSE(box.hadOwner);
      EXPECT_EQ(box.type, MB_OK);
      out.push_back({box.caption, box.text});
    }
    return out;
  }
};

TEST_F(StartupTest, ExtractionRootFromTheTemporaryFolder) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Temp\\", "C:\\Temp\\_I_\\"},
      {"C:\\Temp", "C:\\Temp\\_I_\\"},
      {"", "\\_I_\\"},
      {std::string(255, 'a'), std::string(255, 'a') + "\\_I_\\"},
      {std::string(254, 'b') + "\\", std::string(254, 'b') + "\\_I_\\"},
  };
  for (const auto& c : cases) {
    hostwin32::SetTempPath(c.first);
    PrepareExtractionRoot();
    EXPECT_EQ(std::string(ExtractionRoot), c.second) << c.first.size();
  }
  hostwin32::InjectedFaults().tempPathFails = true;
  PrepareExtractionRoot();
  EXPECT_STREQ(ExtractionRoot, "\\_I_\\");
  // A path the 256-byte request cannot hold is not written at all.
  hostwin32::InjectedFaults().tempPathFails = false;
  hostwin32::SetTempPath(std::string(300, 'c'));
  PrepareExtractionRoot();
  EXPECT_STREQ(ExtractionRoot, "\\_I_\\");
}

TEST_F(StartupTest, ClosingMessageDecision) {
  struct Case {
    INT_PTR result;
    uint8_t anyFile;
    const char* setup;
    ClosingMessage expected;
  };
  const Case cases[] = {
      {-1, 0, "", ClosingMessage::CannotReconstruct},
      {-1, 1, "C:\\x.EXE", ClosingMessage::CannotReconstruct},
      {0, 0, "", ClosingMessage::CannotReconstruct},
      {0, 0, "C:\\x.EXE", ClosingMessage::CannotReconstruct},
      {0, 1, "", ClosingMessage::Completed},
      {0, 1, "C:\\x.EXE", ClosingMessage::None},
  };
  for (const Case& c : cases) {
    AnyFileCreated = c.anyFile;
    strcpy(SetupProgramPath, c.setup);
    EXPECT_EQ(ChooseClosingMessage(c.result), c.expected) << c.result << " " << int(c.anyFile) << " " << c.setup;
  }
}

TEST_F(StartupTest, CompletionMessageNamesTheFolder) {
  strcpy(ExtractionRoot, "C:\\Temp\\_I_\\");
  ShowClosingMessage(ClosingMessage::Completed);
  ShowClosingMessage(ClosingMessage::None);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], std::make_pair(Bytes("Velunax Software"), Bytes("Instalaci\xF3n completada en\r\rC:\\Temp\\_I_\\")));
}

TEST_F(StartupTest, BareStubShowsTheDamagedInstallerBox) {
  WriteHostFile(temp / "setup.exe", Bytes(5000, 'M'));
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], std::make_pair(Bytes("Velunax Software"), Damaged));
  EXPECT_FALSE(hostwin32::LastDialog().created);
  EXPECT_FALSE(HostExists(RootHost()));
}

TEST_F(StartupTest, MissingOwnFileShowsTheDamagedInstallerBox) {
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].second, Damaged);
}

TEST_F(StartupTest, OwnFileThatCannotBeOpenedAgain) {
  WriteHostFile(temp / "setup.exe", MakeInstaller({{"a.txt", "abc"}}));
  int opens = 0;
  hostwin32::InjectedFaults().createFileFails = [&opens](const std::string&) { return opens++ == 1; };
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], std::make_pair(Bytes("Velunax Software"), CannotUncompress));
  EXPECT_FALSE(hostwin32::LastDialog().created);
}

TEST_F(StartupTest, DialogThatCannotBeCreated) {
  WriteHostFile(temp / "setup.exe", MakeInstaller({{"a.txt", "abc"}}));
  hostwin32::InjectedFaults().dialogCannotBeCreated = true;
  RunInstaller();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0], std::make_pair(Bytes("Velunax Software"), CannotReconstruct));
  EXPECT_FALSE(HostExists(RootHost()));
}

TEST_F(StartupTest, LongOwnPathIsCutTo255Characters) {
  std::string dir = temp.path();
  while (dir.size() < 240) {
    dir += "/" + std::string(30, 'p');
    mkdir(dir.c_str(), 0755);
  }
  // The cut path names a file that exists: the run works on it.
  std::string full = WinPath(dir) + "\\" + std::string(300 - dir.size(), 'n');
  std::string cut = full.substr(0, 255);
  WriteHostFile(hostwin32::HostPath(cut), MakeInstaller({{"a.txt", "abc"}}));
  hostwin32::SetModuleFileName(full);
  RunInstaller();
  EXPECT_EQ(std::string(OwnPath), cut);
  // Both the scan and the second open worked on the cut path.
  EXPECT_EQ(ReadHostFile(RootHost() + "/a.txt"), "abc");
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].second.substr(0, 27), "Instalaci\xF3n completada en\r\r");
}

// An installer in a folder, and a temporary folder, whose names the ANSI
// code page may lack; the platform's short names are "OWN~1" and "TMP~1"
// where a case has them.
TEST_F(StartupTest, OwnPathAndTemporaryFolderSpeltForTheAnsiFunctions) {
  const std::u16string lukasz = u"\u0141ukasz", nihon = u"\u65E5\u672C";
  const std::u16string deep = std::u16string(150, u'p') + u"\\" + std::u16string(120, u'q');
  struct Case {
    const char* what;
    std::u16string ownFolder, tempFolder;
    bool shortNames;
    Bytes ownSpelling, tempSpelling;  // below the test's folder, as the stub takes them
    enum { Extracted, DamagedBox, FolderBoxes } outcome;
  };
  const Case cases[] = {
      {"sound ANSI forms", u"caf\u00E9", u"Temp", true, "caf\xE9", "Temp", Case::Extracted},
      {"own folder best-fitted", lukasz, u"Temp", true, "OWN~1", "Temp", Case::Extracted},
      {"temporary folder unspellable", u"plain", nihon, true, "plain", "TMP~1", Case::Extracted},
      {"both", lukasz, nihon, true, "OWN~1", "TMP~1", Case::Extracted},
      {"own path too long for the ANSI answer", deep, u"Temp", true, "OWN~1", "Temp", Case::Extracted},
      {"own folder without a short name", lukasz, u"Temp", false, "Lukasz", "Temp", Case::DamagedBox},
      {"temporary folder without a short name", u"plain", nihon, false, "plain", "??", Case::FolderBoxes},
      {"long own path without a short name", deep, u"Temp", false, "", "Temp", Case::DamagedBox},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartOver();
    TempDir base;
    const std::u16string baseW = u"Z:" + [&] {
      std::u16string w;
      for (char ch : WinPath(base.path())) w += (char16_t)(uint8_t)ch;
      return w;
    }();
    const std::u16string ownFolderW = baseW + u"\\" + c.ownFolder, tempFolderW = baseW + u"\\" + c.tempFolder;
    std::filesystem::create_directories(hostwin32::HostPathW(ownFolderW));
    std::filesystem::create_directories(hostwin32::HostPathW(tempFolderW));
    const std::u16string installerW = ownFolderW + u"\\setup.exe";
    WriteHostFile(hostwin32::HostPathW(installerW), MakeInstaller({{"a.txt", "abc"}}));
    if (c.shortNames) {
      hostwin32::AddShortName(ownFolderW, baseW + u"\\OWN~1");
      hostwin32::AddShortName(tempFolderW, baseW + u"\\TMP~1");
      ASSERT_EQ(symlink(hostwin32::HostPathW(ownFolderW).c_str(), (base / "OWN~1").c_str()), 0);
      ASSERT_EQ(symlink(hostwin32::HostPathW(tempFolderW).c_str(), (base / "TMP~1").c_str()), 0);
    }
    hostwin32::SetModuleFileNameW(installerW);
    hostwin32::SetTempPathW(tempFolderW + u"\\");
    hostwin32::SetCommandLine("setup.exe \"an arg\"");

    RunInstaller();

    const Bytes basePath = "Z:" + WinPath(base.path()) + "\\";
    const Bytes root = basePath + c.tempSpelling + "\\_I_\\";
    // A damaged-installer run stops before the folder is chosen.
    EXPECT_EQ(Bytes(ExtractionRoot), c.outcome == Case::DamagedBox ? "" : root);
    if (!c.ownSpelling.empty()) {
      EXPECT_EQ(Bytes(OwnPath), basePath + c.ownSpelling + "\\setup.exe");
    }
    const Bytes extracted = hostwin32::HostPathW(tempFolderW) + "/_I_/a.txt";
    if (c.outcome == Case::Extracted) {
      EXPECT_EQ(ReadHostFile(extracted), "abc");
      ASSERT_EQ(Boxes().size(), 1u);
      EXPECT_EQ(Boxes()[0].second, "Instalaci\xF3n completada en\r\r" + root);
      // The wizard is handed the spelling that opens the installer.
      EXPECT_EQ(Bytes(BuildSetupArguments()), Bytes(OwnPath) + " an\xAC" "arg");
    } else {
      EXPECT_FALSE(HostExists(extracted));
      ASSERT_FALSE(Boxes().empty());
      if (c.outcome == Case::DamagedBox) {
        EXPECT_EQ(Boxes(), decltype(Boxes())({{"Velunax Software", Damaged}}));
      } else {
        EXPECT_EQ(Boxes()[0].second, root.substr(0, root.size() - 1));  // the folder error names the folder
      }
    }

    // The ANSI calls are those of a run without these checks; the short
    // form is asked for only where the ANSI answer cannot be used.
    std::vector<std::string> ansiCalls;
    int shortQueries = 0;
    for (const auto& call : hostwin32::Calls()) {
      if (call.function == "GetShortPathNameW") shortQueries++;
      else if (call.function != "GetModuleFileNameW" && call.function != "GetTempPathW" &&
               call.function != "WideCharToMultiByte")
        ansiCalls.push_back(call.function);
      if (call.function == "DialogBoxIndirectParamA") break;
    }
    const bool needsShortForm = c.ownFolder != u"caf\u00E9" && c.ownFolder != u"plain";
    EXPECT_EQ(shortQueries, needsShortForm + (c.tempFolder == nihon));
    if (!needsShortForm && c.tempFolder != nihon) {
      const std::vector<std::string> today = {"GetModuleFileNameA", "CreateFileA", "SetFilePointer", "SetFilePointer",
                                              "GetFileSize",        "ReadFile",    "CloseHandle",    "CreateFileA",
                                              "GetTempPathA",       "DialogBoxIndirectParamA"};
      EXPECT_EQ(ansiCalls, today);
    }
  }
}

}  // namespace
