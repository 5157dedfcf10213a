// Windows: names reach the system as UTF-16 through the wide functions, in
// the "\\?\" form, so that paths longer than 260 characters work too.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <shellapi.h>

#include "winnames.h"

namespace sys {

namespace {

thread_local DWORD last_error = 0;

bool Fail() {
  last_error = GetLastError();
  return false;
}

// UTF-8 to UTF-16. Encoded surrogates (as Utf8 below writes a lone one)
// come back as they were; other bytes that are not UTF-8 become U+FFFD.
std::wstring Utf16(const std::string& s) {
  std::wstring w;
  w.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    uint32_t cp = 0;
    const size_t n = DecodeUtf8(s, i, cp, true);
    if (n == 0) {
      w += L'\xFFFD';
      i++;
      continue;
    }
    if (cp >= 0x10000) {
      w += wchar_t(0xD800 + ((cp - 0x10000) >> 10));
      w += wchar_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      w += wchar_t(cp);
    }
    i += n;
  }
  return w;
}

// UTF-16 to UTF-8. A lone surrogate, which no valid name holds, is written
// in the three-byte form, which the name checks refuse as not UTF-8.
std::string Utf8(const wchar_t* w, size_t n) {
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; i++) {
    uint32_t cp = uint16_t(w[i]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && uint16_t(w[i + 1]) >= 0xDC00 &&
        uint16_t(w[i + 1]) < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (uint16_t(w[++i]) - 0xDC00);
    AppendUtf8(s, cp);
  }
  return s;
}

std::string Utf8(const std::wstring& w) { return Utf8(w.data(), w.size()); }

bool StartsWith(const std::wstring& s, const wchar_t* prefix) {
  return s.compare(0, wcslen(prefix), prefix) == 0;
}

// Whether a name is one of the devices Windows finds in every folder (NUL,
// CON, COM1, ...), with or without an extension, as Windows reads a path's
// last part when it is not in the "\\?\" form.
// Narrower than the entry-name check in winnames.cpp, which refuses every
// name some Windows version may take for a device (CLOCK$, COM0, ports
// with superscript digits): here only what this system's path parsing
// turns into a device matters.
bool IsDeviceName(std::wstring name) {
  const size_t dot = name.find(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  while (!name.empty() && (name.back() == L' ' || name.back() == L'.')) name.pop_back();
  for (wchar_t& c : name)
    if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
  static const wchar_t* const devices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* d : devices)
    if (name == d) return true;
  return name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
         name[3] >= L'1' && name[3] <= L'9';
}

// The path the wide functions take: absolute, with '\' separators, "." and
// ".." resolved by name, and in the "\\?\" form, which lifts the
// 260-character limit and keeps names such as "a." as they are. A device
// name as the last part becomes the "\\.\" device, as without that form.
std::wstring SystemPath(const std::string& path) {
  std::wstring w = Utf16(path);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  // A drive in the "\\?\" form names its volume; its root folder is meant.
  if (StartsWith(w, L"\\\\?\\") && w.size() == 6 && w[5] == L':') return w + L"\\";
  if (w.empty() || StartsWith(w, L"\\\\?\\") || StartsWith(w, L"\\\\.\\")) return w;
  const size_t last = w.find_last_of(L"\\:");
  const std::wstring leaf = last == std::wstring::npos ? w : w.substr(last + 1);
  if (IsDeviceName(leaf)) return L"\\\\.\\" + leaf.substr(0, leaf.find(L'.'));
  // The root, kept as it is, and the rest, resolved part by part: a UNC
  // share, a drive, or the current folder for relative and rooted paths.
  std::wstring root, rest;
  if (StartsWith(w, L"\\\\")) {
    size_t end = w.find(L'\\', 2);
    end = end == std::wstring::npos ? w.size() : w.find(L'\\', end + 1);
    if (end == std::wstring::npos) end = w.size();
    root = L"\\\\?\\UNC\\" + w.substr(2, end - 2), rest = w.substr(end);
  } else if (w.size() >= 2 && w[1] == L':' && (w.size() == 2 || w[2] == L'\\')) {
    root = L"\\\\?\\" + w.substr(0, 2), rest = w.substr(2);
  } else {
    // Relative, rooted ("\x") or drive-relative ("C:x"): the system knows
    // the folder it is relative to.
    const std::wstring base = w.size() >= 2 && w[1] == L':' ? w.substr(0, 2) : L".";
    std::wstring folder(MAX_PATH, L'\0');
    DWORD n = GetFullPathNameW(base.c_str(), DWORD(folder.size()), &folder[0], nullptr);
    if (n >= folder.size()) {
      folder.resize(n);
      n = GetFullPathNameW(base.c_str(), DWORD(folder.size()), &folder[0], nullptr);
    }
    if (n == 0 || n >= folder.size()) return w;
    folder.resize(n);
    if (w[0] == L'\\') folder.resize(2);  // the current drive's root
    return SystemPath(Utf8(folder + L"\\" + (base == L"." ? w : w.substr(2))));
  }
  std::vector<std::wstring> parts;
  for (size_t i = 0; i <= rest.size();) {
    size_t j = rest.find(L'\\', i);
    if (j == std::wstring::npos) j = rest.size();
    const std::wstring part = rest.substr(i, j - i);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::wstring full = root;
  for (const std::wstring& part : parts) full += L"\\" + part;
  if (parts.empty()) full += L"\\";
  return full;
}

// The other way: what a user would write, with '/' separators.
std::string UserPath(std::wstring w) {
  if (StartsWith(w, L"\\\\?\\UNC\\"))
    w = L"\\\\" + w.substr(8);
  else if (StartsWith(w, L"\\\\?\\"))
    w = w.substr(4);
  std::string s = Utf8(w);
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

HANDLE HandleOf(int fd) { return HANDLE(_get_osfhandle(fd)); }

constexpr int64_t UnixEpochTicks = 116444736000000000LL;  // 1970 in 100 ns since 1601

int64_t UnixTime(const FILETIME& f) {
  const int64_t ticks = int64_t(uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime);
  const int64_t since = ticks - UnixEpochTicks;
  return since >= 0 ? since / 10000000 : -((-since + 9999999) / 10000000);
}

FILETIME FileTime(int64_t t) {
  const uint64_t ticks = uint64_t(t * 10000000 + UnixEpochTicks);
  FILETIME f;
  f.dwLowDateTime = DWORD(ticks);
  f.dwHighDateTime = DWORD(ticks >> 32);
  return f;
}

bool FillFromHandle(HANDLE h, bool lstat, Status* st) {
  *st = Status();
  const DWORD type = GetFileType(h);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    st->kind = type == FILE_TYPE_CHAR ? Kind::CharDevice : Kind::Fifo;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION i;
  if (!GetFileInformationByHandle(h, &i)) return Fail();
  st->kind = i.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? Kind::Folder : Kind::Regular;
  st->link = lstat && (i.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  st->size = uint64_t(i.nFileSizeHigh) << 32 | i.nFileSizeLow;
  st->mtime = UnixTime(i.ftLastWriteTime);
  st->id.volume = i.dwVolumeSerialNumber;
  st->id.index = uint64_t(i.nFileIndexHigh) << 32 | i.nFileIndexLow;
  return true;
}

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool StatPath(const std::string& path, bool follow, Status* st) {
  const std::wstring system_path = SystemPath(path);
  if (StartsWith(system_path, L"\\\\.\\")) {
    // A device: some, such as CON without a console, cannot even be opened.
    *st = Status();
    st->kind = Kind::CharDevice;
    return true;
  }
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = CreateFileW(system_path.c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail();
  const bool ok = FillFromHandle(h, !follow, st);
  CloseHandle(h);
  return ok;
}

int DescriptorFor(HANDLE h, int flags) {
  const int fd = _open_osfhandle(intptr_t(h), flags | _O_BINARY);
  if (fd < 0) {
    last_error = ERROR_TOO_MANY_OPEN_FILES;
    CloseHandle(h);
  }
  return fd;
}

// A fixed buffer: the console handler runs on a thread of its own, at any
// moment.
wchar_t interrupt_path[32768 + 8];

UINT console_output_page = 0;

void RestoreConsole() {
  if (console_output_page) SetConsoleOutputCP(console_output_page);
}

// Ctrl+C, Ctrl+Break, a closed console, log-off and shut-down all come here.
// A forced end (TerminateProcess, a killed task) runs no code at all; nor
// do SIGTERM and SIGHUP sent to a program under Wine, which ends it at once
// instead of passing them on as console events (only SIGINT becomes
// Ctrl+C). What those leave, the next run for the same output removes once
// it is a day old (outfile.cpp).
//
// The handler runs on a thread of its own; the lock keeps it from reading
// the name while CreateUnique or ForgetTemporary changes it, and holds a
// console event that comes while a temporary file is being created until
// its name is recorded.
SRWLOCK interrupt_lock = SRWLOCK_INIT;

BOOL WINAPI RemoveOnConsoleEvent(DWORD) {
  // Kept until the process ends: nothing may record a new name after this.
  AcquireSRWLockExclusive(&interrupt_lock);
  // The file is open with delete sharing: it goes once the process ends.
  if (interrupt_path[0]) DeleteFileW(interrupt_path);
  RestoreConsole();  // atexit handlers do not run on this way out
  // Ends the process as Windows' default handler does; Wine's would end it
  // with exit code 0, which a script would take for success.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool console_progress = false;

}  // namespace

std::vector<std::string> StartUp(int, char**) {
  std::vector<std::string> args;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 0; argv && i < argc; i++) args.push_back(Utf8(argv[i], wcslen(argv[i])));
  if (argv) LocalFree(argv);
  // The same bytes as on Linux whether output goes to a console, a pipe or
  // a file: UTF-8, and "\n" left alone.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  if (GetConsoleOutputCP() != CP_UTF8) {
    const UINT page = GetConsoleOutputCP();
    if (page && SetConsoleOutputCP(CP_UTF8)) {
      console_output_page = page;
      atexit(RestoreConsole);
    }
  }
  // Progress redraws its line with terminal sequences, which a console
  // understands once asked to.
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(err, &mode))
    console_progress = SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  return args;
}

std::string PathFromUser(const std::string& path) {
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

std::string ShownPath(const std::string& path) {
  std::string p = path;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

std::string ErrorText() {
  switch (last_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "Permission denied";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "File exists";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    case ERROR_DIRECTORY:
      return "Not a directory";
    case ERROR_WRITE_PROTECT:
      return "Read-only file system";
    case ERROR_FILENAME_EXCED_RANGE:
      return "File name too long";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Cannot allocate memory";
    case ERROR_TOO_MANY_OPEN_FILES:
      return "Too many open files";
  }
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, last_error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string s = n && text ? Utf8(text, n) : std::string();
  if (text) LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.' || s.back() == ' '))
    s.pop_back();
  return (s.empty() ? "system error" : s) + " (error " + std::to_string(last_error) + ")";
}

bool ErrorIsMissing() {
  return last_error == ERROR_FILE_NOT_FOUND || last_error == ERROR_PATH_NOT_FOUND;
}

bool ErrorIsExists() {
  return last_error == ERROR_FILE_EXISTS || last_error == ERROR_ALREADY_EXISTS;
}

bool Stat(const std::string& path, Status* st) { return StatPath(path, true, st); }
bool LinkStat(const std::string& path, Status* st) { return StatPath(path, false, st); }

bool StatOpen(int fd, Status* st) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) {
    last_error = ERROR_INVALID_HANDLE;
    return false;
  }
  return FillFromHandle(h, false, st);
}

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
  std::wstring pattern = SystemPath(path);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW d;
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &d, FindExSearchNameMatch,
                                 nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return Fail();
  names->clear();
  do {
    if (wcscmp(d.cFileName, L".") != 0 && wcscmp(d.cFileName, L"..") != 0)
      names->push_back(Utf8(d.cFileName, wcslen(d.cFileName)));
  } while (FindNextFileW(find, &d));
  const DWORD why = GetLastError();
  FindClose(find);
  if (why == ERROR_NO_MORE_FILES) return true;
  last_error = why;
  return false;
}

bool RealPath(const std::string& path, std::string* real) {
  HANDLE h = CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail();
  std::wstring w(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, &w[0], DWORD(w.size()), FILE_NAME_NORMALIZED);
  if (n >= w.size()) {
    w.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, &w[0], DWORD(w.size()), FILE_NAME_NORMALIZED);
  }
  const bool ok = n > 0 && n < w.size();
  if (!ok) Fail();
  CloseHandle(h);
  if (!ok) return false;
  w.resize(n);
  *real = UserPath(w);
  return true;
}

bool MakeFolder(const std::string& path) {
  return CreateDirectoryW(SystemPath(path).c_str(), nullptr) || Fail();
}

bool Remove(const std::string& path) { return DeleteFileW(SystemPath(path).c_str()) || Fail(); }

bool Rename(const std::string& from, const std::string& to, bool replace) {
  const std::wstring f = SystemPath(from), t = SystemPath(to);
  const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
  if (MoveFileExW(f.c_str(), t.c_str(), flags)) return true;
  Fail();
  // A read-only file is replaced too, as a rename over it does elsewhere.
  const DWORD attributes = GetFileAttributesW(t.c_str());
  if (!replace || last_error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_READONLY) || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  if (!SetFileAttributesW(t.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
  if (MoveFileExW(f.c_str(), t.c_str(), flags)) return true;
  Fail();
  SetFileAttributesW(t.c_str(), attributes);
  return false;
}

int OpenRead(const std::string& path) {
  HANDLE h = CreateFileW(SystemPath(path).c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(), -1;
  return DescriptorFor(h, _O_RDONLY);
}

int CreateUnique(const std::string& prefix, std::string* path) {
  static bool installed = false;
  if (!installed) installed = SetConsoleCtrlHandler(RemoveOnConsoleEvent, TRUE) != 0;
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  uint64_t x = uint64_t(now.QuadPart) ^ (uint64_t(GetCurrentProcessId()) << 32) ^
               uint64_t(GetCurrentThreadId()) ^ 0x9E3779B97F4A7C15ULL;
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string name = prefix;
    for (int k = 0; k < 6; k++) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      name += letters[x % 36];
    }
    const std::wstring wide = SystemPath(name);
    AcquireSRWLockExclusive(&interrupt_lock);
    // Delete sharing lets the console handler remove it while it is open.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE && wide.size() < sizeof interrupt_path / sizeof interrupt_path[0])
      memcpy(interrupt_path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    ReleaseSRWLockExclusive(&interrupt_lock);
    if (h != INVALID_HANDLE_VALUE) {
      const int fd = DescriptorFor(h, _O_RDWR);
      if (fd >= 0) {
        *path = name;
        return fd;
      }
      DeleteFileW(wide.c_str());  // without a descriptor no caller would remove it
      ForgetTemporary();
      return -1;
    }
    Fail();
    if (!ErrorIsExists()) return -1;
  }
  return -1;
}

bool Finish(int fd, bool sync, const std::string&) {
  return !sync || FlushFileBuffers(HandleOf(fd)) || Fail();
}

bool SetTime(int fd, int64_t t) {
  const FILETIME f = FileTime(t);
  return SetFileTime(HandleOf(fd), nullptr, &f, &f) || Fail();
}

bool Close(int fd) {
  if (_close(fd) == 0) return true;
  last_error = ERROR_INVALID_HANDLE;
  return false;
}

// Transfers are at most 1 GiB each: ReadFile and WriteFile count in DWORDs.
constexpr size_t Piece = size_t(1) << 30;

int64_t ReadSome(int fd, uint8_t* p, size_t n) {
  HANDLE h = HandleOf(fd);
  size_t got = 0;
  while (got < n) {
    DWORD k = 0;
    const DWORD want = DWORD(n - got < Piece ? n - got : Piece);
    if (!ReadFile(h, p + got, want, &k, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) break;
      return Fail(), -1;
    }
    if (k == 0) break;
    got += k;
  }
  return int64_t(got);
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  HANDLE h = HandleOf(fd);
  while (n > 0) {
    DWORD k = 0;
    if (!WriteFile(h, p, DWORD(n < Piece ? n : Piece), &k, nullptr)) return Fail();
    if (k == 0) return false;
    p += k, n -= k;
  }
  return true;
}

int64_t PreadFull(int fd, uint8_t* p, size_t n, uint64_t pos) {
  HANDLE h = HandleOf(fd);
  size_t done = 0;
  while (done < n) {
    OVERLAPPED at{};
    at.Offset = DWORD(pos + done);
    at.OffsetHigh = DWORD((pos + done) >> 32);
    DWORD k = 0;
    if (!ReadFile(h, p + done, DWORD(n - done < Piece ? n - done : Piece), &k, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return Fail(), -1;
    }
    if (k == 0) break;
    done += k;
  }
  return int64_t(done);
}

bool PwriteAll(int fd, const uint8_t* p, size_t n, uint64_t pos) {
  HANDLE h = HandleOf(fd);
  while (n > 0) {
    OVERLAPPED at{};
    at.Offset = DWORD(pos);
    at.OffsetHigh = DWORD(pos >> 32);
    DWORD k = 0;
    if (!WriteFile(h, p, DWORD(n < Piece ? n : Piece), &k, &at)) return Fail();
    if (k == 0) return false;
    p += k, n -= k, pos += k;
  }
  return true;
}

// A mapped file cannot be cut short on Windows: no fault to tell.
bool MappedFile::Map(int fd, uint64_t size, const std::string&) {
  Unmap();
  if (size == 0) return true;  // a mapping of no bytes cannot be made
  HANDLE section = CreateFileMappingW(HandleOf(fd), nullptr, PAGE_READONLY, DWORD(size >> 32),
                                      DWORD(size), nullptr);
  if (!section) return Fail();
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, SIZE_T(size));
  if (!view) Fail();
  // The view keeps the section alive.
  CloseHandle(section);
  if (!view) return false;
  data_ = static_cast<const uint8_t*>(view);
  size_ = size;
  return true;
}

void MappedFile::Unmap() {
  if (data_) UnmapViewOfFile(data_);
  data_ = nullptr, size_ = 0;
}

void ForgetTemporary() {
  AcquireSRWLockExclusive(&interrupt_lock);
  interrupt_path[0] = 0;
  ReleaseSRWLockExclusive(&interrupt_lock);
}

bool StderrIsConsole() { return console_progress; }

// The ZIP for Windows holds sfxstub.exe beside sfxpack.exe.
std::string InstalledStubFolder() { return ""; }

std::string OwnPath() {
  std::wstring w(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, &w[0], DWORD(w.size()));
    if (n == 0) return "";
    if (n < w.size()) {
      w.resize(n);
      return UserPath(w);
    }
    if (w.size() >= 32768) return "";
    w.resize(w.size() * 2);
  }
}

namespace {

struct tm TmFrom(const SYSTEMTIME& s) {
  struct tm tm {};
  tm.tm_year = s.wYear - 1900;
  tm.tm_mon = s.wMonth - 1;
  tm.tm_mday = s.wDay;
  tm.tm_hour = s.wHour;
  tm.tm_min = s.wMinute;
  tm.tm_sec = s.wSecond;
  tm.tm_wday = s.wDayOfWeek;
  tm.tm_isdst = -1;
  return tm;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

// The system's time zone rules, as Windows applies them to file times: the
// CRT's own conversion would follow TZ instead.
struct tm LocalTime(int64_t t) {
  const FILETIME f = FileTime(t);
  SYSTEMTIME utc, local;
  if (t < -11644473600LL || !FileTimeToSystemTime(&f, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return tm{};
  return TmFrom(local);
}

struct tm LibraryLocalTime(int64_t t) {
  const time_t tt = time_t(t);
  struct tm tm {};
  localtime_s(&tm, &tt);
  return tm;
}

struct tm UtcTime(int64_t t) {
  const FILETIME f = FileTime(t);
  SYSTEMTIME utc;
  if (t < -11644473600LL || !FileTimeToSystemTime(&f, &utc)) return tm{};
  return TmFrom(utc);
}

int64_t FromUtcTime(struct tm tm) {
  // Months out of range carry into years, as timegm does.
  int64_t year = int64_t(tm.tm_year) + 1900 + tm.tm_mon / 12;
  int64_t month = tm.tm_mon % 12;
  if (month < 0) month += 12, year--;
  return DaysFromCivil(year, month + 1, 1) * 86400 + (int64_t(tm.tm_mday) - 1) * 86400 +
         int64_t(tm.tm_hour) * 3600 + int64_t(tm.tm_min) * 60 + tm.tm_sec;
}

int64_t FromLocalTime(struct tm tm) {
  const int64_t as_utc = FromUtcTime(tm);
  SYSTEMTIME local, utc;
  const FILETIME f = FileTime(as_utc);
  if (as_utc < -11644473600LL || !FileTimeToSystemTime(&f, &local) ||
      !TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc))
    return -1;
  FILETIME back;
  if (!SystemTimeToFileTime(&utc, &back)) return -1;
  return UnixTime(back);
}

}  // namespace sys
