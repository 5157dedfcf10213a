// sfxpack's installer reader over arbitrary installer bytes: list, test,
// extract and unwrap each end with an exit code or a refusal, and never
// read or write outside their buffers.
#include <filesystem>

#include "sfxpack_fuzz.h"
#include "unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string installer = WriteInput("installer.exe", data, size);
  const std::string folder = FuzzFolder() + "/extracted", zip = FuzzFolder() + "/unwrapped.zip";
  RunToItsEnd([&] { RunList(installer); });
  RunToItsEnd([&] { RunTest(installer); });
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  RunToItsEnd([&] { RunExtract(installer, folder, true); });
  RunToItsEnd([&] { RunUnwrap(installer, zip); });
  return 0;
}
