#include "paths/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "hostwin32/hostwin32_control.h"
#include "test_support.h"

namespace {

std::string Dir(const std::string& path) {
  return path.substr(0, DirectoryPart(path.c_str(), (uint16_t)path.size()));
}

TEST(DirectoryPartTest, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\", "C:\\"},       {"C:/", "C:/"},           {"C:a", "C:a"},
      {"C:\\Temp", "C:\\"},   {"C:/Temp", "C:/"},       {"C:\\Temp\\", "C:\\Temp"},
      {"C:\\Temp\\a.txt", "C:\\Temp"}, {"C:Temp", "C:"}, {"\\Temp", "\\"},
      {"/x", "/"},            {"ab\\c", "ab"},          {"a\\b", "a"},
      {"name", ""},           {"x:", "x:"},             {"", ""},
      {"a/b\\c/d", "a/b\\c"},
  };
  for (const auto& c : cases) EXPECT_EQ(Dir(c.first), c.second) << c.first;
}

TEST(PathStringsTest, LengthConversionAndBackslash) {
  EXPECT_EQ(NulStringLength(""), 0);
  EXPECT_EQ(NulStringLength("abc"), 3);

  // Strings of any length are converted whole, terminator untouched.
  for (size_t n : {0, 1, 255, 256, 300, 700}) {
    std::string s(n, '/');
    std::vector<char> buffer(s.begin(), s.end());
    buffer.push_back(0);
    SlashesToBackslashes(buffer.data());
    EXPECT_EQ(std::string(buffer.data()), std::string(n, '\\')) << n;
  }

  const std::pair<const char*, const char*> appends[] = {
      {"C:\\Temp", "C:\\Temp\\"}, {"C:\\Temp\\", "C:\\Temp\\"}, {"C:\\Temp/", "C:\\Temp/\\"}, {"", "\\"}};
  for (const auto& c : appends) {
    char buffer[32] = {};
    strcpy(buffer, c.first);
    EXPECT_STREQ(AppendBackslash(buffer), c.second) << c.first;
  }
}

class PathsTest : public StubTest {
 protected:
  std::string W(const std::string& relative) { return WinPath(temp / relative); }
  bool Exists(std::string windowsPath) { return PathExists(&windowsPath[0]); }
  void Chain(const std::string& windowsPath) {
    CreateDirectoryChain(windowsPath.c_str(), (uint16_t)windowsPath.size());
  }
  bool IsDir(const std::string& relative) {
    struct stat st;
    return stat((temp / relative).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
};

TEST_F(PathsTest, PathExistsCases) {
  mkdir((temp / "folder").c_str(), 0755);
  WriteHostFile(temp / "file.txt", "x");
  mkdir((temp / "empty").c_str(), 0755);
  const std::pair<std::string, bool> cases[] = {
      {W("folder") + "\\", true},   // searched as folder\*.*
      {W("empty") + "\\", true},    // "." is found in any folder
      {W("folder"), true},
      {W("file.txt"), true},
      {W("missing"), false},
      {W("missing") + "\\", false},
      {W("folder") + "/", false},   // becomes folder\ and is searched without a pattern
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Exists(c.first), c.second) << c.first;
}

TEST_F(PathsTest, PathExistsConvertsTheCallersBufferUnlessItEndsInBackslash) {
  mkdir((temp / "a").c_str(), 0755);
  std::string plain = temp.path() + "/a";  // host form uses "/"
  PathExists(&plain[0]);
  EXPECT_EQ(plain.find('/'), std::string::npos);

  std::string folder = temp.path() + "/a\\";
  EXPECT_TRUE(PathExists(&folder[0]));
  EXPECT_EQ(folder, temp.path() + "/a\\");  // tested through a copy
}

TEST_F(PathsTest, LongFolderPathWithTrailingBackslash) {
  // Longer than the 251 characters a 255-byte pattern copy could hold.
  std::string relative;
  while ((temp.path() + "/" + relative).size() < 300) relative += std::string(40, 'd') + "/";
  std::filesystem::create_directories(temp / relative);
  std::string path = WinPath(temp / relative);
  ASSERT_GT(path.size(), 251u);
  ASSERT_EQ(path.back(), '\\');
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(Exists(path + "nope\\"));
}

TEST_F(PathsTest, ChainCreatesEveryMissingLevelOutermostFirst) {
  Chain(W("a\\b\\c"));
  EXPECT_TRUE(IsDir("a/b/c"));
  Chain(WinPath(temp.path()) + "/x/y/z");
  EXPECT_TRUE(IsDir("x/y/z"));
  Chain(W("t\\u") + "\\");  // one trailing "\" is ignored
  EXPECT_TRUE(IsDir("t/u"));
}

TEST_F(PathsTest, ChainStopsAtAFileOnTheWay) {
  WriteHostFile(temp / "f", "file, not folder");
  Chain(W("f\\g\\h"));
  EXPECT_FALSE(HostExists(temp / "f/g"));
  EXPECT_EQ(ReadHostFile(temp / "f"), "file, not folder");
}

TEST_F(PathsTest, ChainIgnoresShortAndSelfParentPaths) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(temp.path().c_str()), 0);
  Chain("ab\\cd");  // "ab" has two characters and is never created
  EXPECT_FALSE(HostExists(temp / "ab"));
  Chain("x:");       // its own folder part: must return, not recurse
  Chain("abc:");
  Chain("q:r");
  Chain("\\");
  Chain("");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_FALSE(HostExists(temp / "x:"));
}

// Which folders a chain tries to make, in order, from a folder where none
// of them exists yet.
TEST_F(PathsTest, ChainMakesExactlyTheMissingLevelsItCanReach) {
  const struct {
    const char* path;
    std::vector<std::string> made;
  } cases[] = {
      {"abc\\de", {"abc", "abc\\de"}},
      {"abc/de/", {"abc", "abc\\de"}},
      {"ab\\cd", {"ab\\cd"}},  // "ab" is too short to be made
      {"x:", {}},
      {"abc:", {}},             // its own folder part: no progress, no call
      {"q:r", {}},
      {"abc\\d:", {}},
      {"\\", {}},
      {"", {}},
  };
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  for (const auto& c : cases) {
    TempDir here;
    ASSERT_EQ(chdir(here.path().c_str()), 0);
    hostwin32::Reset();
    Chain(c.path);
    std::vector<std::string> made;
    for (auto& call : hostwin32::Calls()) {
      if (call.function == "CreateDirectoryA") made.push_back(call.detail);
    }
    EXPECT_EQ(made, c.made) << c.path;
    ASSERT_EQ(chdir(cwd), 0);
  }
}

}  // namespace
