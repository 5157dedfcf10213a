// sfxwatch: starts a program under test and drives its windows for the
// end-to-end tests under Wine.
//
//   sfxwatch.exe JOBFILE
//
// The job file holds one setting per line, "key value"; byte strings are
// written as hex so that blanks, quotes and Windows-1252 bytes pass intact:
//   log HEX          Windows path of the log to write (required)
//   cmdline HEX      exact command line for CreateProcessA (required)
//   app HEX          application name for CreateProcessA (optional)
//   cwd HEX          working folder of the program (optional)
//   encoding utf8    cmdline, app and cwd are UTF-8, and the program is
//                    started with CreateProcessW, as Explorer starts one
//                    whose path the ANSI code page cannot spell
//   cancel HOW       none, close (WM_SYSCOMMAND SC_CLOSE), escape (Escape key
//                    down and up, which the dialog's own loop turns into
//                    IDCANCEL) or idcancel (WM_COMMAND IDCANCEL posted)
//   cancel_at N      0: as soon as the wait window appears;
//                    N: while message box number N is open, before its OK
//   shot WHEN LABEL  WHEN is "wait", "box:N" or "extracting": ask the Linux
//                    side for a screenshot then, through the files req-LABEL /
//                    done-LABEL in the handshake folder. "extracting" is taken
//                    once the folder named by extracting_dir exists while the
//                    wait window shows, with the program's thread suspended,
//                    so the picture is what the user sees during the work
//   extracting_dir HEX  Windows path of the folder whose appearance means
//                    that the extraction is running
//   handshake HEX    Windows path of the handshake folder
//   timeout_ms N     end the program under test after this long (default 120000)
//   scope WHAT       process (windows of the started process, default) or all
//
// Every message box ("#32770" with a static of id 0xFFFF) is recorded and
// answered with its OK (or default) button; any other visible "#32770"
// dialog is taken for the wait window. The log has one record a line,
// "KIND key=value ...", with window texts as hex of their ANSI bytes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD kPollMs = 100;
// While an "extracting" shot is due, the folder is looked for this often.
const DWORD kFastPollMs = 5;
const DWORD kRepressMs = 3000;
const DWORD kHideWaitMs = 10000;
const DWORD kShotWaitMs = 120000;
const int kStaticTextId = 0xFFFF;

struct Job {
  std::string log, cmdline, app, cwd, handshake, extracting_dir;
  std::string cancel = "none";
  int cancel_at = 0;
  std::vector<std::pair<std::string, std::string>> shots;  // when, label
  DWORD timeout_ms = 120000;
  bool all_processes = false;
  bool utf8 = false;
};

HANDLE g_log = INVALID_HANDLE_VALUE;
DWORD g_start = 0;

DWORD Elapsed() { return GetTickCount() - g_start; }

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool FromHex(const std::string& hex, std::string* out) {
  if (hex.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    char pair[3] = {hex[i], hex[i + 1], 0};
    char* end = nullptr;
    long value = strtol(pair, &end, 16);
    if (*end) return false;
    out->push_back(static_cast<char>(value));
  }
  return true;
}

void LogLine(const std::string& line) {
  std::string text = line + "\n";
  if (g_log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(g_log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    FlushFileBuffers(g_log);
  }
}

std::string Num(unsigned long value) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%lu", value);
  return buffer;
}

std::string HwndText(HWND hwnd) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%lx", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(hwnd)));
  return buffer;
}

std::string ReadFileBytes(const char* path) {
  std::string data;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

bool ParseJob(const std::string& text, Job* job, std::string* error) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    size_t blank = line.find(' ');
    std::string key = line.substr(0, blank);
    std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
    std::string* bytes = nullptr;
    if (key == "log") bytes = &job->log;
    else if (key == "cmdline") bytes = &job->cmdline;
    else if (key == "app") bytes = &job->app;
    else if (key == "cwd") bytes = &job->cwd;
    else if (key == "handshake") bytes = &job->handshake;
    else if (key == "extracting_dir") bytes = &job->extracting_dir;
    if (bytes) {
      if (!FromHex(value, bytes)) { *error = "bad hex for " + key; return false; }
    } else if (key == "cancel") {
      if (value != "none" && value != "close" && value != "escape" && value != "idcancel") {
        *error = "bad cancel " + value;
        return false;
      }
      job->cancel = value;
    } else if (key == "cancel_at") {
      job->cancel_at = atoi(value.c_str());
    } else if (key == "shot") {
      size_t space = value.find(' ');
      if (space == std::string::npos) { *error = "bad shot " + value; return false; }
      job->shots.emplace_back(value.substr(0, space), value.substr(space + 1));
    } else if (key == "timeout_ms") {
      job->timeout_ms = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
    } else if (key == "encoding") {
      if (value != "utf8") { *error = "bad encoding " + value; return false; }
      job->utf8 = true;
    } else if (key == "scope") {
      job->all_processes = value == "all";
    } else {
      *error = "unknown key " + key;
      return false;
    }
  }
  if (job->log.empty() || job->cmdline.empty()) { *error = "log and cmdline are required"; return false; }
  return true;
}

struct Enumeration {
  DWORD pid;
  bool all;
  std::vector<HWND> dialogs;
};

BOOL CALLBACK CollectDialog(HWND hwnd, LPARAM param) {
  Enumeration* e = reinterpret_cast<Enumeration*>(param);
  char cls[64] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  if (strcmp(cls, "#32770") != 0 || !IsWindowVisible(hwnd)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (e->all ? pid == GetCurrentProcessId() : pid != e->pid) return TRUE;
  e->dialogs.push_back(hwnd);
  return TRUE;
}

std::string WindowText(HWND hwnd) {
  if (!hwnd) return std::string();
  std::vector<char> buffer(65536);
  int n = GetWindowTextA(hwnd, buffer.data(), static_cast<int>(buffer.size()));
  if (n <= 0) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                            SMTO_ABORTIFHUNG, 5000, &result))
      n = static_cast<int>(result);
  }
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

// Waits until the program has handled what was sent before, so that what a
// screenshot shows is painted.
void Settle(HWND hwnd) {
  DWORD_PTR ignored = 0;
  for (int i = 0; i < 3; ++i) {
    SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    Sleep(300);
  }
}

void RequestShot(const Job& job, HWND hwnd, const std::string& label, bool settle = true) {
  if (settle) Settle(hwnd);
  std::string request = job.handshake + "\\req-" + label;
  std::string done = job.handshake + "\\done-" + label;
  HANDLE file = CreateFileA(request.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LogLine("SHOT t=" + Num(Elapsed()) + " label=" + label + " result=norequest");
    return;
  }
  CloseHandle(file);
  DWORD asked = GetTickCount();
  while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - asked > kShotWaitMs) {
      LogLine("SHOT t=" + Num(Elapsed()) + " label=" + label + " result=timeout");
      return;
    }
    Sleep(kPollMs);
  }
  LogLine("SHOT t=" + Num(Elapsed()) + " label=" + label + " result=ok");
}

const std::string* ShotFor(const Job& job, const std::string& when) {
  for (const auto& shot : job.shots)
    if (shot.first == when) return &shot.second;
  return nullptr;
}

void Cancel(const Job& job, HWND wait, int box) {
  std::string record = "CANCEL t=" + Num(Elapsed()) + " how=" + job.cancel + " box=" + Num(box);
  if (!wait || !IsWindow(wait)) {
    LogLine(record + " result=nowait");
    return;
  }
  if (job.cancel == "close") {
    PostMessageA(wait, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (job.cancel == "escape") {
    PostMessageA(wait, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(wait, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
  } else {
    PostMessageA(wait, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
  // A dialog that ends hides at once, even while a nested message loop runs.
  DWORD posted = GetTickCount();
  while (IsWindow(wait) && IsWindowVisible(wait) && GetTickCount() - posted < kHideWaitMs) Sleep(kPollMs);
  bool hidden = !IsWindow(wait) || !IsWindowVisible(wait);
  LogLine(record + (hidden ? " result=hidden" : " result=stillshown"));
}

int PressDefault(HWND box) {
  int id = IDOK;
  if (!GetDlgItem(box, IDOK)) {
    DWORD_PTR def = 0;
    if (SendMessageTimeoutA(box, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 5000, &def) && HIWORD(def) == DC_HASDEFID)
      id = LOWORD(def);
  }
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
  return id;
}

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The screenshot during the extraction: the program's thread is held while
// the picture is taken, so it shows the window exactly as the running
// extraction leaves it, however fast the machine. Returns true once done.
// What the watcher knows of the program's dialogs.
struct Seen {
  HWND wait = nullptr;
  std::vector<HWND> dialogs;
};

// Records a dialog that is not a message box the first time it is seen;
// the first such dialog is the wait window. Returns true when it is new.
bool NoteDialog(Seen* seen, HWND hwnd) {
  for (HWND known : seen->dialogs)
    if (known == hwnd) return false;
  seen->dialogs.push_back(hwnd);
  if (!seen->wait) seen->wait = hwnd;
  LogLine("WAIT t=" + Num(Elapsed()) + " hwnd=" + HwndText(hwnd) + " caption=" + Hex(WindowText(hwnd)) +
          " text=" + Hex(WindowText(GetDlgItem(hwnd, 0))));
  return true;
}

bool ShootExtracting(const Job& job, const PROCESS_INFORMATION& pi, const std::string& label, Seen* seen) {
  if (!IsFolder(job.extracting_dir)) return false;
  if (SuspendThread(pi.hThread) == static_cast<DWORD>(-1)) {
    LogLine("SHOT t=" + Num(Elapsed()) + " label=" + label + " result=nosuspend");
    return true;
  }
  Enumeration e{pi.dwProcessId, false, {}};
  EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&e));
  HWND wait = nullptr;
  for (HWND hwnd : e.dialogs)
    if (!wait && !GetDlgItem(hwnd, kStaticTextId)) wait = hwnd;
  if (wait) NoteDialog(seen, wait);
  if (!wait) {
    ResumeThread(pi.hThread);
    LogLine("SHOT t=" + Num(Elapsed()) + " label=" + label + " result=nowindow");
    return true;
  }
  RECT client;
  GetClientRect(wait, &client);
  POINT origin = {0, 0};
  ClientToScreen(wait, &origin);
  LogLine("EXTRACTING t=" + Num(Elapsed()) + " hwnd=" + HwndText(wait) + " x=" + Num(origin.x) +
          " y=" + Num(origin.y) + " w=" + Num(client.right - client.left) +
          " h=" + Num(client.bottom - client.top));
  RequestShot(job, wait, label, false);
  ResumeThread(pi.hThread);
  return true;
}

struct Box {
  HWND hwnd;
  int index;
  DWORD pressed_at;
};

std::wstring FromUtf8(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
  wide.resize(n > 0 ? n : 0);
  return wide;
}

// Starts the program with the job's command line, in ANSI or in UTF-16.
BOOL Start(const Job& job, PROCESS_INFORMATION* pi) {
  if (job.utf8) {
    std::wstring cmdline = FromUtf8(job.cmdline), app = FromUtf8(job.app), cwd = FromUtf8(job.cwd);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    return CreateProcessW(app.empty() ? nullptr : app.c_str(), &cmdline[0], nullptr, nullptr, FALSE, 0, nullptr,
                          cwd.empty() ? nullptr : cwd.c_str(), &si, pi);
  }
  std::string cmdline = job.cmdline;
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  return CreateProcessA(job.app.empty() ? nullptr : job.app.c_str(), &cmdline[0], nullptr, nullptr, FALSE, 0,
                        nullptr, job.cwd.empty() ? nullptr : job.cwd.c_str(), &si, pi);
}

int Watch(const Job& job) {
  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  if (!Start(job, &pi)) {
    LogLine("ERROR t=" + Num(Elapsed()) + " createprocess=" + Num(GetLastError()));
    return 2;
  }
  LogLine("START t=" + Num(Elapsed()) + " pid=" + Num(pi.dwProcessId));

  std::vector<Box> boxes;
  Seen seen;
  HWND& wait = seen.wait;
  bool wait_gone_logged = false;
  bool cancelled = job.cancel == "none";
  int result = 0;
  const std::string* extracting_shot = ShotFor(job, "extracting");
  bool extracting_done = extracting_shot == nullptr || job.extracting_dir.empty();
  DWORD last_scan = 0;
  bool scanned = false;

  for (;;) {
    if (!extracting_done) {
      extracting_done = ShootExtracting(job, pi, *extracting_shot, &seen);
      // Windows are looked at at the normal pace; only the folder fast.
      if (scanned && GetTickCount() - last_scan < kPollMs && WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) {
        Sleep(kFastPollMs);
        continue;
      }
    }
    last_scan = GetTickCount();
    scanned = true;
    Enumeration e{pi.dwProcessId, job.all_processes, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&e));
    std::vector<HWND> message_boxes;
    for (HWND hwnd : e.dialogs) {
      if (GetDlgItem(hwnd, kStaticTextId)) {
        message_boxes.push_back(hwnd);
        continue;
      }
      if (!NoteDialog(&seen, hwnd)) continue;
      if (const std::string* label = ShotFor(job, "wait")) RequestShot(job, hwnd, *label);
      if (!cancelled && job.cancel_at == 0 && hwnd == wait) {
        Cancel(job, wait, 0);
        cancelled = true;
      }
    }
    for (HWND hwnd : message_boxes) {
      Box* box = nullptr;
      for (Box& b : boxes) box = b.hwnd == hwnd ? &b : box;
      if (box) {
        if (GetTickCount() - box->pressed_at > kRepressMs) {
          int id = PressDefault(hwnd);
          box->pressed_at = GetTickCount();
          LogLine("PRESS n=" + Num(box->index) + " t=" + Num(Elapsed()) + " id=" + Num(id) + " again=1");
        }
        continue;
      }
      boxes.push_back(Box{hwnd, static_cast<int>(boxes.size()) + 1, 0});
      Box& fresh = boxes.back();
      LogLine("BOX n=" + Num(fresh.index) + " t=" + Num(Elapsed()) + " hwnd=" + HwndText(hwnd) +
              " caption=" + Hex(WindowText(hwnd)) + " text=" + Hex(WindowText(GetDlgItem(hwnd, kStaticTextId))));
      if (!cancelled && job.cancel_at == fresh.index) {
        Cancel(job, wait, fresh.index);
        cancelled = true;
      }
      if (const std::string* label = ShotFor(job, "box:" + Num(fresh.index))) RequestShot(job, hwnd, *label);
      int id = PressDefault(hwnd);
      fresh.pressed_at = GetTickCount();
      LogLine("PRESS n=" + Num(fresh.index) + " t=" + Num(Elapsed()) + " id=" + Num(id));
    }
    if (wait && !wait_gone_logged && (!IsWindow(wait) || !IsWindowVisible(wait))) {
      LogLine("WAITGONE t=" + Num(Elapsed()));
      wait_gone_logged = true;
    }
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(pi.hProcess, &code);
      LogLine("EXIT t=" + Num(Elapsed()) + " code=" + Num(code));
      break;
    }
    if (Elapsed() > job.timeout_ms) {
      LogLine("TIMEOUT t=" + Num(Elapsed()));
      TerminateProcess(pi.hProcess, 255);
      WaitForSingleObject(pi.hProcess, 5000);
      result = 3;
      break;
    }
    if (extracting_done) Sleep(kPollMs);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  g_start = GetTickCount();
  if (argc != 2) {
    fprintf(stderr, "usage: sfxwatch JOBFILE\n");
    return 2;
  }
  Job job;
  std::string error;
  if (!ParseJob(ReadFileBytes(argv[1]), &job, &error)) {
    fprintf(stderr, "sfxwatch: %s\n", error.c_str());
    return 2;
  }
  g_log = CreateFileA(job.log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (g_log == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "sfxwatch: cannot write the log (error %lu)\n", GetLastError());
    return 2;
  }
  int result = Watch(job);
  LogLine("END t=" + Num(Elapsed()) + " result=" + Num(static_cast<unsigned long>(result)));
  CloseHandle(g_log);
  return result;
}
