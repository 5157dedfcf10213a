// `create --from-zip` over arbitrary ZIP bytes: every entry is refused or
// copied and checked, and an installer that was written passes `test`.
#include <stdlib.h>

#include "pack.h"
#include "sfxpack_fuzz.h"
#include "unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PackOptions options;
  options.from_zip = WriteInput("input.zip", data, size);
  options.output = FuzzFolder() + "/installer.exe";
  options.stub = SFX_FUZZ_STUB;
  options.level = 0;
  options.threads = 1;
  bool written = false;
  RunToItsEnd([&] {
    RunCreate(options);
    written = true;
  });
  if (written && RunTest(options.output) != 0) abort();
  return 0;
}
