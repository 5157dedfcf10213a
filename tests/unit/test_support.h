// Shared helpers of the unit tests: temporary folders, archive building,
// and a fixture that puts the host layer and the process state back to
// their start values.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "format/archive_format.h"

using Bytes = std::string;  // raw bytes

Bytes ReadHostFile(const std::string& path);
void WriteHostFile(const std::string& path, const Bytes& bytes);
bool HostExists(const std::string& path);
// "\" separated form of a host path, as the stub sees it.
std::string WinPath(const std::string& hostPath);

Bytes Scramble(const Bytes& plain);
// The marker in file order, as an installer holds it.
Bytes MarkerBytes();

struct RawEntry {
  Bytes name;
  Bytes data;
  uint16_t method = MethodStored;
  uint16_t flags = 0;
  uint16_t dosTime = (13 << 11) | (37 << 5) | 21;  // 13:37:42
  uint16_t dosDate = (44 << 9) | (6 << 5) | 15;    // 2024-06-15
  uint32_t signature = SignatureLocal;
  int64_t compressedSize = -1;  // -1: the data's size
  int32_t nameLength = -1;      // -1: the name's size
};

// Header, name and data of one entry, not scrambled.
Bytes EntryPlain(const RawEntry& entry);
// A stub image (no marker) followed by the scrambled entries.
Bytes MakeInstaller(const std::vector<RawEntry>& entries, size_t stubSize = 1000);

// A fresh temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Resets the host layer and every process-wide variable, and points the
// temporary folder at a fresh directory.
class StubTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Back to a fresh run within one test: no extraction folder, host layer
  // and process state as at start.
  void StartOver();
  // The extraction folder on the host side.
  std::string RootHost() const { return temp.path() + "/_I_"; }
  // Writes `installer` as the own file and opens it as the stub does.
  void UseInstaller(const Bytes& installer);
  TempDir temp;
  std::string ownPath;
};

// One message box as the stub showed it.
struct ShownBox {
  Bytes caption, text;
  bool operator==(const ShownBox& o) const { return caption == o.caption && text == o.text; }
};
std::ostream& operator<<(std::ostream& os, const ShownBox& b);

// A test that extracts into the extraction folder and looks at the result.
class ExtractionTest : public StubTest {
 protected:
  using Box = ShownBox;
  std::vector<Box> Boxes() const;
  // The stub's and the host's view of a path below the extraction folder.
  std::string Win(const std::string& relative) const { return WinPath(RootHost()) + "\\" + relative; }
  std::string Host(const std::string& relative) const { return RootHost() + "/" + relative; }
  // Every file below the extraction folder, relative to it, sorted.
  std::vector<std::string> Files() const;
};
