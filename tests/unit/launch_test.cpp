#include "launcher/launch.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "hostwin32/hostwin32_control.h"
#include "launcher/startup.h"
#include "launcher/state.h"
#include "test_support.h"

namespace {

std::string Arg1(const std::string& commandLine) {
  hostwin32::SetCommandLine(commandLine);
  char out[CommandLineSize];
  int n = ArgumentOne(out, sizeof out);
  EXPECT_EQ(n, (int)strlen(out));
  return out;
}

TEST(ArgumentOneTest, SecondTokenOfTheCommandLine) {
  hostwin32::Reset();
  const std::string longArgument(300, 'L');
  const std::pair<std::string, std::string> cases[] = {
      {"setup.exe", ""},
      {"setup.exe ", ""},
      {"setup.exe arg", "arg"},
      {"setup.exe one two", "one"},
      {"\"C:\\My Folder\\setup.exe\" \"two words\"", "two words"},
      {"\"C:\\My Folder\\setup.exe\" plain", "plain"},
      {"setup.exe \"\" next", "next"},
      {"setup.exe \"\"\"\" next", "next"},
      {"setup.exe \"\"", ""},
      {"setup.exe \t\x01\x1F arg", "arg"},
      {"setup.exe a\"b c\"d e", "ab cd"},
      {"setup.exe \"unterminated stretch", "unterminated stretch"},
      {"setup.exe x\x05y", "x"},           // a control byte ends the token
      {"setup.exe x\ty", "x"},
      {"setup.exe \xAC\xE9t\xE9", "\xAC\xE9t\xE9"},  // bytes above 0x7F belong to the token
      {"\"\"setup.exe arg", "arg"},
      {"setup.exe " + longArgument + " z", longArgument},  // taken whole, never cut
  };
  for (const auto& c : cases) EXPECT_EQ(Arg1(c.first), c.second) << c.first;
}

std::string Replace(const std::string& text, const std::string& pattern, const std::string& replacement) {
  char out[CommandLineSize];
  ReplaceAll(text.c_str(), pattern.c_str(), replacement.c_str(), out, sizeof out);
  return out;
}

TEST(ReplaceAllTest, EveryOccurrenceFromTheLeft) {
  const struct {
    const char *text, *pattern, *replacement, *expected;
  } cases[] = {
      {"a b c", " ", "\xAC", "a\xAC" "b\xAC" "c"},
      {"  ", " ", "\xAC", "\xAC\xAC"},
      {"aXa", "a", "aa", "aaXaa"},           // a replacement holding the pattern does not loop
      {"x\x01y z", " ", "\xAC", "x\xACy\xAC" "z"},  // a mark already in the text is replaced too
      {"a b", " ", "", "ab"},
      {"abcabc", "bc", "Z", "aZaZ"},
      {"aaa", "aa", "b", "ba"},
      {"", " ", "\xAC", ""},
      {"no blanks", "#", "!", "no blanks"},
  };
  for (const auto& c : cases) EXPECT_EQ(Replace(c.text, c.pattern, c.replacement), c.expected) << c.text;
}

TEST(ReplaceAllTest, NeverWritesPastTheOutput) {
  char out[8];
  memset(out, 'z', sizeof out);
  ReplaceAll("a b c d e f", " ", "--", out, 6);
  EXPECT_STREQ(out, "a--b-");
  EXPECT_EQ(out[6], 'z');
}

class LaunchTest : public StubTest {
 protected:
  void SetUp() override {
    StubTest::SetUp();
    PrepareExtractionRoot();
    std::filesystem::create_directories(RootHost());
    setenv("WIZARD_LOG", temp.path().c_str(), 1);
  }
  // A program that records the exact command-line bytes it was given.
  std::string MakeWizard(const std::string& name, const std::string& extra = "") {
    std::string host = RootHost() + "/" + name;
    WriteHostFile(host, "#!/bin/sh\nprintf '%s' \"$HOSTWIN32_COMMAND_LINE\" > \"$WIZARD_LOG/cmdline\"\n" + extra);
    chmod(host.c_str(), 0755);
    return WinPath(host);
  }
  Bytes CommandLineSeen() { return ReadHostFile(temp / "cmdline"); }
};

TEST_F(LaunchTest, CommandLineByteForByte) {
  const std::string wizard = MakeWizard("setup.EXE");
  const struct {
    std::string ownPath, commandLine;
    Bytes arguments;
  } cases[] = {
      {"C:\\My Folder\\my setup.exe", "\"C:\\My Folder\\my setup.exe\" \"two words\"",
       "C:\\My\xAC" "Folder\\my\xACsetup.exe two\xACwords"},
      {"C:\\setup.exe", "setup.exe", "C:\\setup.exe "},
      {"C:\\a\x01" "b.exe", "x \x01\x01q\"r \x01\"", "C:\\a\xAC" "b.exe qr\xAC\xAC"},
  };
  for (const auto& c : cases) {
    strcpy(OwnPath, c.ownPath.c_str());
    hostwin32::SetCommandLine(c.commandLine);
    const std::string arguments = BuildSetupArguments();
    EXPECT_EQ(arguments, c.arguments) << c.commandLine;
  }
  strcpy(OwnPath, "C:\\Program Files\\inst.exe");
  hostwin32::SetCommandLine("inst.exe \"a b\"");
  // Keep the file: a second wizard beside it keeps the folder too.
  WriteHostFile(RootHost() + "/other.dat", "stays");
  LaunchSetup(wizard.c_str(), BuildSetupArguments());
  EXPECT_EQ(CommandLineSeen(), wizard + " C:\\Program\xAC" "Files\\inst.exe a\xAC" "b");
  EXPECT_EQ(DialogHandle, DialogEnded);
  EXPECT_FALSE(HostExists(RootHost() + "/setup.EXE"));
  EXPECT_EQ(ReadHostFile(RootHost() + "/other.dat"), "stays");
  EXPECT_TRUE(hostwin32::MessageBoxes().empty());
}

TEST_F(LaunchTest, FolderIsRemovedWhenNothingElseIsLeft) {
  const std::string wizard = MakeWizard("setup.EXE");
  LaunchSetup(wizard.c_str(), "x ");
  EXPECT_EQ(CommandLineSeen(), wizard + " x ");
  EXPECT_FALSE(HostExists(RootHost()));
}

TEST_F(LaunchTest, SubfolderKeepsTheFolder) {
  const std::string wizard = MakeWizard("setup.EXE");
  std::filesystem::create_directories(RootHost() + "/sub");
  LaunchSetup(wizard.c_str(), "");
  EXPECT_FALSE(HostExists(RootHost() + "/setup.EXE"));
  EXPECT_TRUE(HostExists(RootHost() + "/sub"));
}

TEST_F(LaunchTest, FailedStartStillEndsTheDialogAndCleansUp) {
  WriteHostFile(RootHost() + "/setup.EXE", "not runnable");
  LaunchSetup(WinPath(RootHost() + "/setup.EXE").c_str(), "a b");
  EXPECT_EQ(DialogHandle, DialogEnded);
  EXPECT_FALSE(HostExists(RootHost() + "/setup.EXE"));
  EXPECT_FALSE(HostExists(RootHost()));
  EXPECT_TRUE(hostwin32::MessageBoxes().empty());
}

// Where a call appears in the host layer's call log; -1 when it does not.
int CallIndex(const std::string& function, size_t from = 0) {
  const auto& calls = hostwin32::Calls();
  for (size_t i = from; i < calls.size(); i++) {
    if (calls[i].function == function) return (int)i;
  }
  return -1;
}

TEST_F(LaunchTest, WizardStartsWithTheDocumentedRecordAndOrder) {
  const std::string wizard = MakeWizard("setup.EXE");
  LaunchSetup(wizard.c_str(), "a b");
  ASSERT_EQ(hostwin32::ProcessStarts().size(), 1u);
  const hostwin32::ProcessStart& p = hostwin32::ProcessStarts()[0];
  EXPECT_EQ(p.flags, NORMAL_PRIORITY_CLASS);
  EXPECT_FALSE(p.inheritHandles);
  EXPECT_FALSE(p.hadProcessAttributes);
  EXPECT_FALSE(p.hadThreadAttributes);
  EXPECT_FALSE(p.hadEnvironment);  // the wizard inherits this environment
  // No folder is passed: the wizard starts in the installer's current
  // folder, not in the extraction folder.
  EXPECT_FALSE(p.hasCurrentDirectory) << p.currentDirectory;
  ASSERT_TRUE(p.hadStartup);
  STARTUPINFOA expected;
  memset(&expected, 0, sizeof expected);
  expected.cb = sizeof expected;
  expected.dwFlags = STARTF_USESHOWWINDOW;
  expected.wShowWindow = SW_SHOW;
  EXPECT_EQ(memcmp(&p.startup, &expected, sizeof expected), 0)
      << "cb " << p.startup.cb << " flags " << p.startup.dwFlags << " show " << p.startup.wShowWindow;

  // The wait window goes before the wait, so it is gone while the wizard
  // runs; clean-up comes after the wait.
  const int start = CallIndex("CreateProcessA");
  const int end = CallIndex("EndDialog");
  const int wait = CallIndex("WaitForSingleObject");
  const int remove = CallIndex("DeleteFileA");
  ASSERT_GE(start, 0);
  EXPECT_GT(end, start);
  EXPECT_GT(wait, end);
  EXPECT_EQ(hostwin32::Calls()[wait].detail, "10000");
  EXPECT_GT(remove, wait);
  EXPECT_EQ(CallIndex("EndDialog", end + 1), -1);  // ended once
}

TEST_F(LaunchTest, FolderRemovalNeedsMoreThanTwoCharacters) {
  const struct {
    const char* root;
    const char* removed;  // nullptr: RemoveDirectoryA is not called
  } cases[] = {
      {"C:\\\\", "C:\\"},  // a second trailing separator stays
      {"C:\\x\\", "C:\\x"},
      {"abc\\", "abc"},
      {"abc", "abc"},
      {"C:\\", nullptr},
      {"ab\\", nullptr},
      {"ab", nullptr},
      {"\\", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    StartOver();
    strcpy(ExtractionRoot, c.root);
    LaunchSetup("C:\\nowhere\\setup.EXE", "");
    std::vector<std::string> removed;
    for (auto& call : hostwin32::Calls()) {
      if (call.function == "RemoveDirectoryA") removed.push_back(call.detail);
    }
    if (c.removed) {
      EXPECT_EQ(removed, std::vector<std::string>{c.removed}) << c.root;
    } else {
      EXPECT_TRUE(removed.empty()) << c.root << " -> " << (removed.empty() ? "" : removed[0]);
    }
  }
}

TEST_F(LaunchTest, ProgramPathWithBlanksIsStartedItself) {
  // A program planted where the unquoted path is cut at its first blank
  // must not be the one that runs.
  std::filesystem::create_directories(RootHost() + "/My Setup");
  const std::string planted = MakeWizard("My", "echo planted > \"$WIZARD_LOG/planted\"\n");
  const std::string wizard = MakeWizard("My Setup/setup.EXE");
  (void)planted;
  LaunchSetup(wizard.c_str(), "arg");
  EXPECT_FALSE(HostExists(temp / "planted"));
  EXPECT_EQ(CommandLineSeen(), wizard + " arg");
}

}  // namespace
