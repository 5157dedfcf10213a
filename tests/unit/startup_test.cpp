#include "launcher/startup.h"

#include <sys/stat.h>

#include <cstring>

#include "archive/stream.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/messages.h"
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

}  // namespace
