// Records the exact command-line bytes it was started with, its working
// folder and its own path into files of the folder named by WIZARD_LOG_DIR,
// then waits WIZARD_SLEEP_MS milliseconds (0 when unset) and exits.
#include <windows.h>

#include <cstdlib>
#include <string>

static void Save(const std::string& folder, const char* name, const std::string& bytes) {
  HANDLE file = CreateFileA((folder + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
  CloseHandle(file);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char folder[MAX_PATH] = {};
  if (!GetEnvironmentVariableA("WIZARD_LOG_DIR", folder, MAX_PATH)) return 1;
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, cwd);
  char own[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, own, MAX_PATH);
  Save(folder, "cmdline.bin", GetCommandLineA());
  Save(folder, "cwd.txt", cwd);
  Save(folder, "ownpath.txt", own);
  char sleep[32] = {};
  if (GetEnvironmentVariableA("WIZARD_SLEEP_MS", sleep, sizeof sleep)) Sleep((DWORD)atol(sleep));
  Save(folder, "done.txt", "done");
  return 0;
}
