// POSIX implementation of the Win32 subset the stub calls, with the
// platform's results, plus the test controls of hostwin32_control.h.
#include "hostwin32/hostwin32.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "hostwin32/hostwin32_control.h"

extern char** environ;

namespace hostwin32 {
namespace {

// Handles are small integers well away from 0 and -1.
constexpr intptr_t HandleBase = 0x1000;

enum class Kind { File, Find, Process, Thread };

struct Object {
  Object() = default;
  explicit Object(Kind k) : kind(k) {}
  Kind kind = Kind::File;
  int fd = -1;
  std::string path;  // host path of a file
  pid_t pid = 0;
  bool exited = false;
  int exitStatus = 0;
};

struct State {
  std::map<intptr_t, Object> objects;
  intptr_t nextHandle = HandleBase;
  std::u16string moduleFileName = u"C:\\sfxstub.exe";
  std::string commandLine = "sfxstub.exe";
  bool tempPathSet = false;
  std::u16string tempPath;
  std::vector<std::pair<std::u16string, std::u16string>> shortNames;
  Faults faults;
  int readCalls = 0;
  int seekCalls = 0;
  std::vector<MessageBoxRecord> boxes;
  std::vector<std::pair<std::string, DWORD>> writes;
  std::vector<CallRecord> calls;
  std::vector<ProcessStart> starts;
  std::vector<DialogEvent> idleScript;
  std::vector<DialogEvent> afterPaintScript;
  std::map<size_t, std::vector<DialogEvent>> boxScripts;
  // The running dialog, when there is one.
  bool dialogActive = false;
  HWND dialogWindow = nullptr;
  DLGPROC dialogProc = nullptr;
  std::deque<DialogEvent> posted;
  DialogRun run;
};

State& S() {
  static State state;
  return state;
}

HANDLE NewHandle(Object object) {
  intptr_t value = S().nextHandle;
  S().nextHandle += 4;
  S().objects[value] = std::move(object);
  return (HANDLE)value;
}

Object* Find(HANDLE handle, Kind kind) {
  auto it = S().objects.find((intptr_t)handle);
  if (it == S().objects.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

void Log(const char* function, std::string detail = std::string()) {
  S().calls.push_back({function, std::move(detail)});
  if (S().faults.beforeCall) {
    // A copy: the hook may make calls of its own that grow the log.
    const CallRecord call = S().calls.back();
    S().faults.beforeCall(call);
  }
}

// The path a file handle was opened with, for the call log.
std::string PathOf(HANDLE handle) {
  auto it = S().objects.find((intptr_t)handle);
  return it == S().objects.end() ? std::string() : it->second.path;
}

// Windows-1252 from 0x80 to 0x9F; the other bytes are their own code points.
const char16_t HighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromAnsiByte(uint8_t b) { return b >= 0x80 && b < 0xA0 ? HighControls[b - 0x80] : b; }

// The code page's byte for a character, or -1 where it has none.
int AnsiByte(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c < 0x100)) return c;
  for (int i = 0; i < 32; i++) {
    if (HighControls[i] == c) return 0x80 + i;
  }
  return -1;
}

std::u16string FromAnsi(const std::string& bytes) {
  std::u16string wide;
  for (char b : bytes) wide += FromAnsiByte((uint8_t)b);
  return wide;
}

// What the platform's ANSI answers make of a wide string: a look-alike
// for the few letters modelled here (unless best fit is off), "?" for any
// other character the code page lacks.
std::string ToAnsi(const std::u16string& wide, bool bestFit = true, bool* usedDefault = nullptr) {
  std::string bytes;
  for (char16_t c : wide) {
    int b = AnsiByte(c);
    if (b < 0 && bestFit && (c == 0x0141 || c == 0x0142)) b = c == 0x0141 ? 'L' : 'l';
    if (b < 0 && usedDefault) *usedDefault = true;
    bytes += b < 0 ? '?' : (char)b;
  }
  return bytes;
}

std::string Utf8(const std::u16string& wide, bool keepAnsi) {
  std::string out;
  for (size_t i = 0; i < wide.size(); i++) {
    uint32_t c = wide[i];
    if (keepAnsi && AnsiByte((char16_t)c) >= 0) {
      out += (char)AnsiByte((char16_t)c);
      continue;
    }
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size()) c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    if (c < 0x80) {
      out += (char)c;
    } else if (c < 0x800) {
      out += (char)(0xC0 | c >> 6);
      out += (char)(0x80 | (c & 63));
    } else if (c < 0x10000) {
      out += (char)(0xE0 | c >> 12);
      out += (char)(0x80 | ((c >> 6) & 63));
      out += (char)(0x80 | (c & 63));
    } else {
      out += (char)(0xF0 | c >> 18);
      out += (char)(0x80 | ((c >> 12) & 63));
      out += (char)(0x80 | ((c >> 6) & 63));
      out += (char)(0x80 | (c & 63));
    }
  }
  return out;
}

std::u16string TempPathWide() {
  State& s = S();
  if (s.tempPathSet) return s.tempPath;
  const char* dir = getenv("TMPDIR");
  std::string path = (dir && *dir) ? dir : "/tmp";
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (path.back() != '\\') path += '\\';
  return FromAnsi(path);
}

// Copies `text` and its NUL when `size` holds them, as the A and W path
// queries do; returns the length, or the size needed when it does not fit.
template <typename Char, typename Text>
DWORD AnswerPath(const Text& text, Char* buffer, DWORD size) {
  if (text.size() + 1 > size) return (DWORD)text.size() + 1;
  for (size_t i = 0; i < text.size(); i++) buffer[i] = (Char)text[i];
  buffer[text.size()] = 0;
  return (DWORD)text.size();
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

void Deliver(const DialogEvent& event) {
  State& s = S();
  if (!s.dialogActive || s.run.ended) return;
  s.run.delivered.push_back(event);
  INT_PTR result = s.dialogProc(s.dialogWindow, event.message, event.wParam, event.lParam);
  s.run.returns.push_back({event, result});
}

// Dispatches everything queued for the dialog, as a message loop does.
void DrainPosted() {
  State& s = S();
  while (!s.posted.empty() && s.dialogActive && !s.run.ended) {
    DialogEvent event = s.posted.front();
    s.posted.pop_front();
    Deliver(event);
  }
}

// Days since 1601-01-01 of a proleptic Gregorian date.
int64_t DaysFrom1601(int year, int month, int day) {
  static const int before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int64_t y = year - 1601;
  int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
  days += before[month - 1] + day - 1;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (leap && month > 2) days++;
  return days;
}

constexpr int64_t TicksPerSecond = 10000000;
constexpr int64_t SecondsFrom1601To1970 = 11644473600LL;

int64_t ToTicks(const FILETIME* t) {
  return (int64_t)(((uint64_t)t->dwHighDateTime << 32) | t->dwLowDateTime);
}

void FromTicks(int64_t ticks, FILETIME* t) {
  t->dwLowDateTime = (DWORD)(uint64_t)ticks;
  t->dwHighDateTime = (DWORD)((uint64_t)ticks >> 32);
}

// Splits a command line as the platform's C runtime does for argv.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  size_t i = 0, n = line.size();
  // The program name: up to a blank or tab, quotes only group.
  {
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '"') quoted = !quoted;
      else arg += line[i];
      i++;
    }
    args.push_back(arg);
  }
  while (true) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) i++;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      if (!quoted && (line[i] == ' ' || line[i] == '\t')) break;
      size_t slashes = 0;
      while (i < n && line[i] == '\\') { slashes++; i++; }
      if (i < n && line[i] == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2) { arg += '"'; i++; continue; }
        if (quoted && i + 1 < n && line[i + 1] == '"') { arg += '"'; i += 2; continue; }
        quoted = !quoted;
        i++;
        continue;
      }
      arg.append(slashes, '\\');
      if (i < n && !(!quoted && (line[i] == ' ' || line[i] == '\t'))) arg += line[i++];
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace

DialogEvent Paint() { return {WM_PAINT, 0, 0}; }
DialogEvent Cancel() { return {WM_COMMAND, IDCANCEL, 0}; }
DialogEvent Command(WORD id) { return {WM_COMMAND, id, 0}; }

void Reset() {
  State& s = S();
  for (auto& entry : s.objects) {
    if (entry.second.fd >= 0) close(entry.second.fd);
  }
  s = State();
}

Faults& InjectedFaults() { return S().faults; }
void SetModuleFileName(const std::string& path) { S().moduleFileName = FromAnsi(path); }
void SetModuleFileNameW(const std::u16string& path) { S().moduleFileName = path; }
void SetCommandLine(const std::string& commandLine) { S().commandLine = commandLine; }
void SetTempPath(const std::string& path) { SetTempPathW(FromAnsi(path)); }
void SetTempPathW(const std::u16string& path) {
  S().tempPathSet = true;
  S().tempPath = path;
}
void AddShortName(const std::u16string& longForm, const std::u16string& shortForm) {
  S().shortNames.push_back({longForm, shortForm});
}
const std::vector<MessageBoxRecord>& MessageBoxes() { return S().boxes; }
void ScriptDialogIdle(std::vector<DialogEvent> events) { S().idleScript = std::move(events); }
void ScriptAfterFirstPaint(std::vector<DialogEvent> events) { S().afterPaintScript = std::move(events); }
void ScriptDuringMessageBox(size_t index, std::vector<DialogEvent> events) {
  S().boxScripts[index] = std::move(events);
}
const DialogRun& LastDialog() { return S().run; }
const std::vector<std::pair<std::string, DWORD>>& Writes() { return S().writes; }
const std::vector<CallRecord>& Calls() { return S().calls; }
const std::vector<ProcessStart>& ProcessStarts() { return S().starts; }

size_t OpenHandleCount() {
  size_t n = 0;
  for (auto& entry : S().objects) {
    if (entry.second.kind == Kind::File || entry.second.kind == Kind::Find) n++;
  }
  return n;
}

std::string HostPathW(const std::u16string& windowsPath) { return HostPath(Utf8(windowsPath, true)); }

std::string HostPath(const std::string& windowsPath) {
  // Drive Z: is the host's root, as under Wine.
  bool onZ = windowsPath.size() >= 3 && (windowsPath[0] | 0x20) == 'z' && windowsPath[1] == ':' &&
             (windowsPath[2] == '\\' || windowsPath[2] == '/');
  std::string path = onZ ? windowsPath.substr(2) : windowsPath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace hostwin32

using namespace hostwin32;

// ---- kernel32 ----

namespace {
template <typename Char, typename Text>
DWORD AnswerModuleFileName(const Text& name, Char* buffer, DWORD size) {
  if (size == 0) return 0;
  // Too long: cut to size - 1 characters and a terminator, as newer systems do.
  DWORD n = name.size() >= size ? size - 1 : (DWORD)name.size();
  for (DWORD i = 0; i < n; i++) buffer[i] = (Char)name[i];
  buffer[n] = 0;
  return name.size() >= size ? size : n;
}
}  // namespace

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
  Log("GetModuleFileNameA");
  return AnswerModuleFileName(ToAnsi(S().moduleFileName), buffer, size);
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) {
  Log("GetModuleFileNameW");
  return AnswerModuleFileName(S().moduleFileName, buffer, size);
}

HMODULE GetModuleHandleA(LPCSTR) { return (HMODULE)(intptr_t)0x400000; }

LPSTR GetCommandLineA(void) {
  Log("GetCommandLineA"); return &S().commandLine[0]; }

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
  Log("CreateFileA", name);
  std::string path = HostPath(name);
  Faults& f = S().faults;
  if (f.createFileFails && f.createFileFails(name)) return INVALID_HANDLE_VALUE;
  if (path.empty() || path.back() == '/') return INVALID_HANDLE_VALUE;
  int flags = 0;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) flags = O_RDWR;
  else if (access & GENERIC_WRITE) flags = O_WRONLY;
  else flags = O_RDONLY;
  if (disposition == CREATE_ALWAYS) flags |= O_CREAT | O_TRUNC;
  else if (disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  Object object{Kind::File};
  object.fd = fd;
  object.path = name;
  return NewHandle(object);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  Log("ReadFile", PathOf(file));
  if (read) *read = 0;
  int call = S().readCalls++;
  Object* object = Find(file, Kind::File);
  if (!object) return FALSE;
  Faults& f = S().faults;
  if (f.readFileFails && f.readFileFails(call)) return FALSE;
  if (f.shortReadLimit && toRead > f.shortReadLimit) toRead = f.shortReadLimit;
  DWORD total = 0;
  while (total < toRead) {
    ssize_t got = ::read(object->fd, (char*)buffer + total, toRead - total);
    if (got < 0) return FALSE;
    if (got == 0) break;
    total += (DWORD)got;
  }
  if (read) *read = total;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  Log("WriteFile", PathOf(file));
  if (written) *written = 0;
  Object* object = Find(file, Kind::File);
  if (!object) return FALSE;
  S().writes.push_back({object->path, toWrite});
  DWORD total = 0;
  while (total < toWrite) {
    ssize_t put = ::write(object->fd, (const char*)buffer + total, toWrite - total);
    if (put <= 0) return FALSE;
    total += (DWORD)put;
  }
  if (written) *written = total;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  Log("SetFilePointer", PathOf(file));
  int call = S().seekCalls++;
  Object* object = Find(file, Kind::File);
  if (!object) return INVALID_SET_FILE_POINTER;
  Faults& f = S().faults;
  if (f.setFilePointerFails && f.setFilePointerFails(call)) return INVALID_SET_FILE_POINTER;
  int64_t offset = distance;
  if (distanceHigh) offset = ((int64_t)*distanceHigh << 32) | (uint32_t)distance;
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  off_t result = lseek(object->fd, (off_t)offset, whence);
  if (result < 0) return INVALID_SET_FILE_POINTER;  // negative positions fail, as on the platform
  if (distanceHigh) *distanceHigh = (LONG)((uint64_t)result >> 32);
  return (DWORD)result;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  Log("GetFileSize", PathOf(file));
  Object* object = Find(file, Kind::File);
  if (!object || S().faults.getFileSizeFails) return INVALID_FILE_SIZE;
  struct stat st;
  if (fstat(object->fd, &st) != 0) return INVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
  return (DWORD)st.st_size;
}

BOOL CloseHandle(HANDLE handle) {
  Log("CloseHandle", PathOf(handle));
  auto it = S().objects.find((intptr_t)handle);
  if (it == S().objects.end() || it->second.kind == Kind::Find) return FALSE;
  Object object = it->second;
  Faults& f = S().faults;
  if (object.kind == Kind::File && f.closeHandleFails && f.closeHandleFails(object.path)) {
    // The handle is gone all the same; only the result says failure.
    close(object.fd);
    S().objects.erase(it);
    return FALSE;
  }
  if (object.fd >= 0) close(object.fd);
  S().objects.erase(it);
  return TRUE;
}

BOOL DosDateTimeToFileTime(WORD date, WORD time, LPFILETIME fileTime) {
  Log("DosDateTimeToFileTime");
  int year = 1980 + (date >> 9), month = (date >> 5) & 15, day = date & 31;
  int hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
  static const int length[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > length[month - 1] || hour > 23 || minute > 59 ||
      second > 59)
    return FALSE;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return FALSE;
  int64_t seconds = DaysFrom1601(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  FromTicks(seconds * TicksPerSecond, fileTime);
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc) {
  Log("LocalFileTimeToFileTime");
  int64_t ticks = ToTicks(local);
  time_t asLocal = (time_t)(ticks / TicksPerSecond - SecondsFrom1601To1970);
  // Interpret the wall-clock value in the local zone to find its offset.
  struct tm fields;
  gmtime_r(&asLocal, &fields);
  fields.tm_isdst = -1;
  time_t real = mktime(&fields);
  if (real == (time_t)-1) return FALSE;
  int64_t offset = (int64_t)asLocal - (int64_t)real;
  FromTicks(ticks - offset * TicksPerSecond, utc);
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* access, const FILETIME* write) {
  Log("SetFileTime", PathOf(file));
  Object* object = Find(file, Kind::File);
  if (!object) return FALSE;
  struct timespec times[2];
  const FILETIME* sources[2] = {access, write};
  for (int i = 0; i < 2; i++) {
    if (!sources[i]) {
      times[i].tv_nsec = UTIME_OMIT;
      times[i].tv_sec = 0;
      continue;
    }
    int64_t ticks = ToTicks(sources[i]);
    times[i].tv_sec = (time_t)(ticks / TicksPerSecond - SecondsFrom1601To1970);
    times[i].tv_nsec = (long)(ticks % TicksPerSecond) * 100;
  }
  return futimens(object->fd, times) == 0;
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  Log("GetTempPathA");
  if (S().faults.tempPathFails) return 0;
  return AnswerPath(ToAnsi(TempPathWide()), buffer, size);
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
  Log("GetTempPathW");
  if (S().faults.tempPathFails) return 0;
  return AnswerPath(TempPathWide(), buffer, size);
}

DWORD GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD size) {
  std::u16string path(longPath);
  Log("GetShortPathNameW", Utf8(path, false));
  const std::u16string longPrefix = u"\\\\?\\";
  std::u16string prefix;
  if (path.compare(0, longPrefix.size(), longPrefix) == 0) {
    prefix = longPrefix;
    path.erase(0, longPrefix.size());
  } else if (path.size() >= MAX_PATH) {
    return 0;  // too long without the "\\?\" form
  }
  struct stat st;
  if (stat(HostPathW(path).c_str(), &st) != 0) return 0;
  for (const auto& name : S().shortNames) {
    const std::u16string& from = name.first;
    if (path.compare(0, from.size(), from) == 0 && (path.size() == from.size() || path[from.size()] == '\\')) {
      path = name.second + path.substr(from.size());
      break;
    }
  }
  return AnswerPath(prefix + path, shortPath, size);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR out, int outSize,
                        LPCSTR, LPBOOL usedDefault) {
  Log("WideCharToMultiByte");
  if (codePage != CP_ACP || wideCount == 0) return 0;
  std::u16string text = wideCount < 0 ? std::u16string(wide) + u'\0' : std::u16string(wide, (size_t)wideCount);
  bool defaulted = false;
  std::string bytes = ToAnsi(text, !(flags & WC_NO_BEST_FIT_CHARS), &defaulted);
  if (usedDefault) *usedDefault = defaulted;
  if (outSize == 0) return (int)bytes.size();
  // Too small a buffer: as much as fits is written, and the call fails.
  memcpy(out, bytes.data(), std::min(bytes.size(), (size_t)outSize));
  return bytes.size() > (size_t)outSize ? 0 : (int)bytes.size();
}

HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
  Log("FindFirstFileA", name);
  std::string path = HostPath(name);
  if (path.empty() || path.back() == '/') return INVALID_HANDLE_VALUE;
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string found;
  if (!HasWildcard(leaf)) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return INVALID_HANDLE_VALUE;
    found = leaf;
  } else {
    // "folder\*.*" lists "." first for any existing folder but a root.
    DIR* d = opendir(dir.c_str());
    if (!d) return INVALID_HANDLE_VALUE;
    std::string pattern = leaf == "*.*" ? "*" : leaf;
    while (struct dirent* entry = readdir(d)) {
      if (fnmatch(pattern.c_str(), entry->d_name, 0) == 0) {
        found = entry->d_name;
        break;
      }
    }
    closedir(d);
    if (found.empty()) return INVALID_HANDLE_VALUE;
  }
  memset(data, 0, sizeof(*data));
  strncpy(data->cFileName, found.c_str(), MAX_PATH - 1);
  Object object{Kind::Find};
  return NewHandle(object);
}

BOOL FindClose(HANDLE find) {
  Log("FindClose");
  auto it = S().objects.find((intptr_t)find);
  if (it == S().objects.end() || it->second.kind != Kind::Find) return FALSE;
  S().objects.erase(it);
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
  Log("CreateDirectoryA", path);
  std::string host = HostPath(path);
  return mkdir(host.c_str(), 0755) == 0;
}

BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
  Log("CreateProcessA", application ? application : "");
  ProcessStart record;
  record.hasApplication = application != nullptr;
  if (application) record.application = application;
  if (commandLine) record.commandLine = commandLine;
  record.hadProcessAttributes = processAttributes != nullptr;
  record.hadThreadAttributes = threadAttributes != nullptr;
  record.inheritHandles = inherit;
  record.flags = flags;
  record.hadEnvironment = environment != nullptr;
  record.hasCurrentDirectory = currentDirectory != nullptr;
  if (currentDirectory) record.currentDirectory = currentDirectory;
  record.hadStartup = startup != nullptr;
  if (startup) record.startup = *startup;
  S().starts.push_back(record);
  std::string line = commandLine ? commandLine : "";
  std::vector<std::string> args = SplitCommandLine(line);
  std::string program = HostPath(application ? application : args[0]);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  // The child also gets the exact command-line bytes.
  std::vector<std::string> env;
  for (char** e = environ; *e; e++) {
    if (strncmp(*e, "HOSTWIN32_COMMAND_LINE=", 23) != 0) env.push_back(*e);
  }
  env.push_back("HOSTWIN32_COMMAND_LINE=" + line);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string cwd;
  if (currentDirectory) {
    cwd = HostPath(currentDirectory);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  }
  struct stat st;
  pid_t pid = 0;
  int rc = -1;
  if (stat(program.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111))
    rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return FALSE;
  Object process{Kind::Process};
  process.pid = pid;
  memset(info, 0, sizeof(*info));
  info->hProcess = NewHandle(process);
  info->hThread = NewHandle(Object{Kind::Thread});
  info->dwProcessId = (DWORD)pid;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  Log("WaitForSingleObject", std::to_string(milliseconds));
  Object* process = Find(object, Kind::Process);
  if (!process) return WAIT_FAILED;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!process->exited) {
    int status = 0;
    pid_t done = waitpid(process->pid, &status, WNOHANG);
    if (done == process->pid) {
      process->exited = true;
      process->exitStatus = status;
      break;
    }
    if (done < 0) return WAIT_FAILED;
    if (milliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WAIT_OBJECT_0;
}

BOOL DeleteFileA(LPCSTR name) {
  Log("DeleteFileA", name);
  std::string path = HostPath(name);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return FALSE;
  // A program that is still running cannot be deleted on the platform.
  for (auto& entry : S().objects) {
    Object& o = entry.second;
    if (o.kind == Kind::Process && !o.exited && waitpid(o.pid, &o.exitStatus, WNOHANG) == 0) {
      char link[64];
      snprintf(link, sizeof link, "/proc/%d/exe", (int)o.pid);
      char target[4096];
      ssize_t n = readlink(link, target, sizeof target - 1);
      if (n > 0) {
        target[n] = 0;
        char resolved[4096];
        if (realpath(path.c_str(), resolved) && strcmp(resolved, target) == 0) return FALSE;
      }
    }
  }
  return unlink(path.c_str()) == 0;
}

BOOL RemoveDirectoryA(LPCSTR path) {
  Log("RemoveDirectoryA", path);
  std::string host = HostPath(path);
  return rmdir(host.c_str()) == 0;
}

// ---- user32 ----

INT_PTR DialogBoxIndirectParamA(HINSTANCE, LPCDLGTEMPLATEA, HWND, DLGPROC dialogProc, LPARAM initParam) {
  Log("DialogBoxIndirectParamA");
  State& s = S();
  s.run = DialogRun();
  if (s.faults.dialogCannotBeCreated) return -1;
  s.run.created = true;
  s.dialogActive = true;
  s.dialogWindow = (HWND)(intptr_t)0x2000;
  s.dialogProc = dialogProc;
  s.posted.clear();
  Deliver({WM_INITDIALOG, 0, initParam});
  // The window becomes visible and gets its first paint.
  if (!s.run.ended) Deliver(Paint());
  for (const DialogEvent& event : s.afterPaintScript) Deliver(event);
  size_t nextScripted = 0;
  while (!s.run.ended) {
    if (!s.posted.empty()) {
      DrainPosted();
      continue;
    }
    if (nextScripted < s.idleScript.size()) {
      Deliver(s.idleScript[nextScripted++]);
      continue;
    }
    // Nothing left that could end the dialog: a real loop would wait forever.
    s.run.gaveUp = true;
    break;
  }
  s.dialogActive = false;
  s.posted.clear();
  return s.run.ended ? s.run.result : -2;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Log("PostMessageA", std::to_string(message));
  State& s = S();
  if (!s.dialogActive || window != s.dialogWindow || s.run.ended) return FALSE;
  s.posted.push_back({message, wParam, lParam});
  return TRUE;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  Log("EndDialog");
  State& s = S();
  if (!s.dialogActive || dialog != s.dialogWindow || s.run.ended) return FALSE;
  s.run.ended = true;
  s.run.result = result;
  return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  Log("MessageBoxA", caption ? caption : "");
  State& s = S();
  size_t index = s.boxes.size();
  s.boxes.push_back({caption ? caption : "", text ? text : "", type, owner != nullptr});
  // While the box is open its own loop dispatches the dialog's messages.
  auto script = s.boxScripts.find(index);
  if (script != s.boxScripts.end()) {
    for (const DialogEvent& event : script->second) {
      Deliver(event);
      DrainPosted();
    }
  }
  DrainPosted();
  return IDOK;
}

BOOL RedrawWindow(HWND window, const RECT*, HRGN, UINT flags) {
  Log("RedrawWindow", std::to_string(flags));
  // The dialog's own paint has already validated it: nothing is left to
  // paint, so no WM_PAINT follows.
  State& s = S();
  return s.dialogActive && window == s.dialogWindow && !s.run.ended;
}

BOOL PeekMessageA(LPMSG message, HWND, UINT, UINT, UINT remove) {
  Log("PeekMessageA", std::to_string(remove));
  State& s = S();
  memset(message, 0, sizeof *message);
  if (s.posted.empty()) return FALSE;
  // Looks at the first queued message; without PM_REMOVE it stays queued.
  const DialogEvent& first = s.posted.front();
  message->hwnd = s.dialogWindow;
  message->message = first.message;
  message->wParam = first.wParam;
  message->lParam = first.lParam;
  if (remove & 1) s.posted.pop_front();
  return TRUE;
}
