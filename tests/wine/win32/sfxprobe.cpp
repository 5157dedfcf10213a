// sfxprobe: a stand-in for the stub in the harness's own tests, and the
// program the Wine set-up runs to find out whether GUI programs work.
//
// It reads a script named by the environment variable SFXPROBE_SCRIPT, one
// setting a line, byte strings as hex:
//   report HEX             Windows path of the report it writes (required)
//   wait 1                 show a wait dialog (a "#32770" without buttons,
//                          built in memory) and the boxes from inside it
//   delay N                with wait: idle N ms in the dialog's own loop
//                          before the boxes
//   box HEXCAPTION HEXTEXT a message box to show, in order
//   exit N                 exit code
// The report records the exact command line and working folder, what each
// box returned, and when the wait dialog was cancelled.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Script {
  std::string report;
  bool wait = false;
  unsigned delay_ms = 0;
  std::vector<std::pair<std::string, std::string>> boxes;
  int exit_code = 0;
};

Script g_script;
HANDLE g_report = INVALID_HANDLE_VALUE;
int g_current_box = 0;
bool g_boxes_started = false;
bool g_start_posted = false;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    char pair[3] = {hex[i], hex[i + 1], 0};
    out.push_back(static_cast<char>(strtol(pair, nullptr, 16)));
  }
  return out;
}

void Report(const std::string& line) {
  if (g_report == INVALID_HANDLE_VALUE) return;
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(g_report, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  FlushFileBuffers(g_report);
}

void ParseScript(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t blank = line.find(' ');
    std::string key = line.substr(0, blank);
    std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (key == "report") {
      g_script.report = FromHex(value);
    } else if (key == "wait") {
      g_script.wait = value == "1";
    } else if (key == "delay") {
      g_script.delay_ms = static_cast<unsigned>(strtoul(value.c_str(), nullptr, 10));
    } else if (key == "exit") {
      g_script.exit_code = atoi(value.c_str());
    } else if (key == "box") {
      size_t space = value.find(' ');
      std::string caption = FromHex(value.substr(0, space));
      std::string body = space == std::string::npos ? "" : FromHex(value.substr(space + 1));
      g_script.boxes.emplace_back(caption, body);
    }
  }
}

void ShowBoxes() {
  g_boxes_started = true;
  for (size_t i = 0; i < g_script.boxes.size(); ++i) {
    g_current_box = static_cast<int>(i) + 1;
    int ret = MessageBoxA(nullptr, g_script.boxes[i].second.c_str(), g_script.boxes[i].first.c_str(), MB_OK);
    char line[64];
    snprintf(line, sizeof line, "BOXRET n=%d ret=%d", g_current_box, ret);
    Report(line);
  }
  g_current_box = 0;
}

INT_PTR CALLBACK WaitProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_PAINT:
      // Start once the dialog shows, as the stub does; the dialog paints itself.
      if (!g_start_posted) {
        g_start_posted = true;
        PostMessageA(hwnd, WM_USER, 0, 0);
      }
      return FALSE;
    case WM_USER:
      if (g_script.delay_ms) {
        SetTimer(hwnd, 1, g_script.delay_ms, nullptr);
        return TRUE;
      }
      // fall through
    case WM_TIMER:
      KillTimer(hwnd, 1);
      if (!g_boxes_started) {
        ShowBoxes();
        EndDialog(hwnd, 1);
      }
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDCANCEL) {
        char line[64];
        snprintf(line, sizeof line, "CANCEL during=%d", g_current_box);
        Report(line);
        EndDialog(hwnd, 0);
      }
      return TRUE;
  }
  return FALSE;
}

void Append16(std::vector<WORD>* t, const wchar_t* s) {
  do t->push_back(static_cast<WORD>(*s)); while (*s++);
}

// A dialog like the stub's wait window: caption, close box, one static of id 0.
void RunWaitDialog() {
  std::vector<WORD> t;
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER;
  t.push_back(LOWORD(style));
  t.push_back(HIWORD(style));
  t.push_back(0); t.push_back(0);  // extended style
  t.push_back(1);                  // one item
  t.push_back(0); t.push_back(0); t.push_back(160); t.push_back(40);
  t.push_back(0); t.push_back(0);  // no menu, default class
  Append16(&t, L"Probe wait ");
  if (t.size() % 2) t.push_back(0);  // items are DWORD aligned
  DWORD item_style = WS_CHILD | WS_VISIBLE | SS_LEFT;
  t.push_back(LOWORD(item_style));
  t.push_back(HIWORD(item_style));
  t.push_back(0); t.push_back(0);
  t.push_back(8); t.push_back(8); t.push_back(144); t.push_back(24);
  t.push_back(0);                  // id 0
  t.push_back(0xFFFF); t.push_back(0x0082);
  Append16(&t, L"Probe is working.");
  t.push_back(0);                  // no creation data
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(t.data()), nullptr,
                          WaitProc, 0);
}

std::string ReadAll(const char* path) {
  std::string data;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char script_path[MAX_PATH] = {};
  if (!GetEnvironmentVariableA("SFXPROBE_SCRIPT", script_path, MAX_PATH)) return 90;
  ParseScript(ReadAll(script_path));
  if (g_script.report.empty()) return 91;
  g_report = CreateFileA(g_script.report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                         nullptr);
  if (g_report == INVALID_HANDLE_VALUE) return 92;
  char cwd[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, cwd);
  Report("CMDLINE " + Hex(GetCommandLineA()));
  Report("CWD " + Hex(cwd));
  if (g_script.wait)
    RunWaitDialog();
  else
    ShowBoxes();
  Report("END");
  CloseHandle(g_report);
  return g_script.exit_code;
}
