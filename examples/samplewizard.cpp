// A stand-in setup wizard: it shows the command line it was started with
// and the files in its own folder, then closes by itself after a few
// seconds. Publishers put their real wizard in its place.
#include <windows.h>

#include <string>

namespace {

constexpr UINT_PTR CloseTimer = 1;
constexpr UINT CloseAfterMilliseconds = 6000;

std::string Describe() {
  std::string text = "Sample setup wizard\r\n\r\nCommand line:\r\n";
  text += GetCommandLineA();
  text += "\r\n\r\nFiles beside me:\r\n";
  char own[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, own, MAX_PATH);
  std::string folder(own, n);
  folder = folder.substr(0, folder.find_last_of('\\') + 1);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      text += "  " + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) text += "\\";
      text += "\r\n";
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  text += "\r\nThis window closes by itself.";
  return text;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      const std::string text = Describe();
      // Also left in the temporary folder, for the demo to print.
      char temp[MAX_PATH];
      if (GetTempPathA(MAX_PATH, temp)) {
        HANDLE log = CreateFileA((std::string(temp) + "sample-wizard.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
          DWORD written = 0;
          WriteFile(log, text.data(), (DWORD)text.size(), &written, nullptr);
          CloseHandle(log);
        }
      }
      HWND edit = CreateWindowA("EDIT", text.c_str(),
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 10, 10, 460, 300,
                                window, nullptr, nullptr, nullptr);
      SendMessageA(edit, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
      SetTimer(window, CloseTimer, CloseAfterMilliseconds, nullptr);
      return 0;
    }
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
  wc.lpszClassName = "SampleWizard";
  RegisterClassA(&wc);
  HWND window = CreateWindowA("SampleWizard", "Sample setup wizard", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                              CW_USEDEFAULT, CW_USEDEFAULT, 500, 360, nullptr, nullptr, instance, nullptr);
  ShowWindow(window, show);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
