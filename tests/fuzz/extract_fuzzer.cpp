// The whole extraction loop over arbitrary archive bytes. The input is the
// plain archive after its six-byte marker; it is scrambled and appended to a
// stub image, found by the locator and extracted as the stub does. Whatever
// the bytes, nothing may be created or written outside the extraction
// folder, and the run must end.
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "archive/extract.h"
#include "archive/locator.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "fuzz_support.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/startup.h"
#include "launcher/state.h"

static void Fail(const std::string& what) {
  std::fprintf(stderr, "extract_fuzzer: %s\n", what.c_str());
  abort();
}

static std::string Windows(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x100000) return 0;
  namespace fs = std::filesystem;
  const std::string temp = FuzzScratch() + "/run";
  const std::string installer = FuzzScratch() + "/setup.exe";
  std::error_code ec;
  fs::remove_all(temp, ec);
  fs::create_directory(temp);

  std::string image(64, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  for (int k = ArchiveMarkerLength - 1; k >= 0; k--) image += (char)ArchiveMarkerReversed[k];
  for (size_t i = 0; i < size; i++) image += (char)(data[i] ^ ScrambleKey);
  WriteWhole(installer, image);

  hostwin32::Reset();
  ResetLauncherState();
  hostwin32::SetTempPath(Windows(temp) + "\\");
  hostwin32::SetModuleFileName(Windows(installer));
  ArchiveOffset = LocateArchive(Windows(installer).c_str());
  if (ArchiveOffset != 64) Fail("the locator did not find the archive");
  ArchiveHandle = CreateFileA(Windows(installer).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ArchiveHandle == INVALID_HANDLE_VALUE) Fail("cannot open the installer");
  PrepareExtractionRoot();
  ExtractAll();
  CloseHandle(ArchiveHandle);
  ArchiveHandle = INVALID_HANDLE_VALUE;

  // Everything written went to files below the extraction folder...
  const std::string root = Windows(temp) + "\\_I_\\";
  for (const auto& w : hostwin32::Writes()) {
    if (w.first.compare(0, root.size(), root) != 0) Fail("write outside the extraction folder: " + w.first);
  }
  // ...and nothing else exists in the temporary folder.
  for (auto it = fs::recursive_directory_iterator(temp, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string path = it->path().string();
    if (path != temp + "/_I_" && path.compare(0, temp.size() + 5, temp + "/_I_/") != 0) {
      Fail("created outside the extraction folder: " + path);
    }
  }
  if (hostwin32::OpenHandleCount() != 0) Fail("a handle was left open");
  hostwin32::Reset();
  fs::remove_all(temp, ec);
  return 0;
}
