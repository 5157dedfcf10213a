// The program's entry routine. There is no C runtime: the process starts
// here and always ends with exit code 0.
#include "launcher/startup.h"

extern "C" void __stdcall Start() {
  RunInstaller();
  ExitProcess(0);
}
