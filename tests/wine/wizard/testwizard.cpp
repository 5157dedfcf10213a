// Records the exact command-line bytes it was started with, its working
// folder, its own path, how it was started (start-up flags, show state,
// priority class, whether the installer's wait window is still on screen)
// and the size of the installer it was handed (or -1 when that path opens
// nothing) into files of the folder named by WIZARD_LOG_DIR, then waits
// WIZARD_SLEEP_MS milliseconds (0 when unset) and exits.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void Save(const std::string& folder, const char* name, const std::string& bytes) {
  HANDLE file = CreateFileA((folder + "\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
  CloseHandle(file);
}

// The installer ends its wait window right after starting this program;
// give it up to 8 seconds (less than the installer's 10-second wait) to
// go. Returns whether it was still visible then.
static bool WaitWindowStillVisible() {
  for (int waited = 0; waited < 8000; waited += 50) {
    HWND wait = FindWindowA("#32770", "Velunax Software ");
    if (!wait || !IsWindowVisible(wait)) return false;
    Sleep(50);
  }
  return true;
}

// The installer's path is the second blank-separated token, with 0xAC in
// place of each of its blanks; opens it as a wizard would.
static std::string InstallerSize(const char* commandLine) {
  const char* p = strchr(commandLine, ' ');
  if (!p) return "-1";
  std::string path(p + 1, strcspn(p + 1, " "));
  for (char& c : path) {
    if (c == '\xAC') c = ' ';
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "-1";
  DWORD size = GetFileSize(file, nullptr);
  CloseHandle(file);
  return std::to_string(size);
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
  Save(folder, "installer.txt", InstallerSize(GetCommandLineA()));
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  char how[160];
  snprintf(how, sizeof how, "flags=%lu show=%u priority=%lu waitvisible=%d",
           (unsigned long)startup.dwFlags, (unsigned)startup.wShowWindow,
           (unsigned long)GetPriorityClass(GetCurrentProcess()), WaitWindowStillVisible() ? 1 : 0);
  Save(folder, "started.txt", how);
  char sleep[32] = {};
  if (GetEnvironmentVariableA("WIZARD_SLEEP_MS", sleep, sizeof sleep)) Sleep((DWORD)atol(sleep));
  Save(folder, "done.txt", "done");
  return 0;
}
