#include "test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive/locator.h"
#include "archive/stream.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/startup.h"
#include "launcher/state.h"

Bytes ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteHostFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
}

bool HostExists(const std::string& path) { return std::filesystem::exists(path); }

std::string WinPath(const std::string& hostPath) {
  std::string p = hostPath;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

Bytes Scramble(const Bytes& plain) {
  Bytes out = plain;
  for (char& c : out) c = (char)((uint8_t)c ^ ScrambleKey);
  return out;
}

Bytes MarkerBytes() {
  Bytes m;
  for (int k = ArchiveMarkerLength - 1; k >= 0; k--) m += (char)ArchiveMarkerReversed[k];
  return m;
}

static void Put(Bytes& b, uint64_t value, int width) {
  for (int i = 0; i < width; i++) b += (char)((value >> (8 * i)) & 0xFF);
}

Bytes EntryPlain(const RawEntry& e) {
  Bytes b;
  Put(b, e.signature, 4);
  Put(b, VersionNeededWritten, 2);
  Put(b, e.flags, 2);
  Put(b, e.method, 2);
  Put(b, e.dosTime, 2);
  Put(b, e.dosDate, 2);
  Put(b, 0, 4);  // CRC-32: the stub does not check it
  Put(b, e.compressedSize < 0 ? e.data.size() : (uint64_t)e.compressedSize, 4);
  Put(b, e.data.size(), 4);
  Put(b, e.nameLength < 0 ? e.name.size() : (uint64_t)e.nameLength, 2);
  Put(b, 0, 2);
  return b + e.name + e.data;
}

Bytes MakeInstaller(const std::vector<RawEntry>& entries, size_t stubSize) {
  Bytes stub(stubSize, '\0');
  for (size_t i = 0; i < stubSize; i++) stub[i] = (char)("MZ stub image "[i % 14]);
  Bytes archive;
  for (const RawEntry& e : entries) archive += EntryPlain(e);
  return stub + Scramble(archive);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "sfxtest-XXXXXX").string();
  char* made = mkdtemp(&pattern[0]);
  if (!made) abort();
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void StubTest::SetUp() { StartOver(); }

void StubTest::StartOver() {
  std::error_code ignored;
  std::filesystem::remove_all(RootHost(), ignored);
  hostwin32::Reset();
  ResetLauncherState();
  hostwin32::SetTempPath(WinPath(temp.path()) + "\\");
  ownPath = WinPath(temp / "setup.exe");
  hostwin32::SetModuleFileName(ownPath);
}

void StubTest::TearDown() { hostwin32::Reset(); }

void StubTest::UseInstaller(const Bytes& installer) {
  WriteHostFile(temp / "setup.exe", installer);
  ArchiveOffset = LocateArchive(ownPath.c_str());
  ASSERT_NE(ArchiveOffset, -1);
  ArchiveHandle = CreateFileA(ownPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(ArchiveHandle, INVALID_HANDLE_VALUE);
  PrepareExtractionRoot();
}

std::ostream& operator<<(std::ostream& os, const ShownBox& b) { return os << "[" << b.caption << "] " << b.text; }

std::vector<ShownBox> ExtractionTest::Boxes() const {
  std::vector<ShownBox> out;
  for (auto& b : hostwin32::MessageBoxes()) out.push_back({b.caption, b.text});
  return out;
}

std::vector<std::string> ExtractionTest::Files() const {
  std::vector<std::string> out;
  if (!HostExists(RootHost())) return out;
  for (auto& e : std::filesystem::recursive_directory_iterator(RootHost())) {
    if (e.is_regular_file()) out.push_back(std::filesystem::relative(e.path(), RootHost()).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}
