#include "paths/paths.h"

#include "win32api.h"

uint16_t NulStringLength(const char* s) {
  uint16_t n = 0;
  while (n < 0xFFFF && s[n] != 0) n++;
  return n;
}

uint16_t DirectoryPart(const char* path, uint16_t length) {
  // Three characters holding a colon ("C:\", "C:a") are a root already.
  if (length == 3 && (path[0] == ':' || path[1] == ':' || path[2] == ':')) return length;
  uint16_t i = length;  // 1-based position of the last separator or colon
  while (i > 0 && !IsSeparator(path[i - 1]) && path[i - 1] != ':') i--;
  if (i == 0) return 0;
  if (IsSeparator(path[i - 1])) {
    if (i == 1) return 1;                     // a lone root separator
    if (i == 3 && path[1] == ':') return 3;   // a drive root
    return i - 1;                             // drop the separator
  }
  return i;  // a colon stays
}

char* SlashesToBackslashes(char* s) {
  for (char* p = s; *p; p++) {
    if (*p == '/') *p = '\\';
  }
  return s;
}

static bool SearchFinds(const char* pattern) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool PathExists(char* s) {
  uint16_t n = NulStringLength(s);
  char pattern[PathBufferSize + 4];
  char* search = s;
  if (n > 0 && s[n - 1] == '\\') {
    // Search for "*.*" inside the folder through a copy; the caller's
    // buffer stays as it is.
    if (n > PathBufferSize) return false;
    for (uint16_t i = 0; i < n; i++) pattern[i] = s[i];
    __builtin_memcpy(pattern + n, "*.*", 4);
    search = pattern;
  }
  return SearchFinds(SlashesToBackslashes(search));
}

void MakeDirectory(const char* path) { CreateDirectoryA(path, nullptr); }

void CreateDirectoryChain(const char* path, uint16_t length) {
  if (length == 0 || length >= PathBufferSize) return;
  char copy[PathBufferSize];
  for (uint16_t i = 0; i < length; i++) copy[i] = path[i] == '/' ? '\\' : path[i];
  if (copy[length - 1] == '\\') length--;
  copy[length] = 0;
  // Ends at a drive ("C:"), a lone "\" and the empty string.
  if (length < 3) return;
  if (PathExists(copy)) return;
  uint16_t parent = DirectoryPart(copy, length);
  // A path that is its own folder part ("x:", "ab:") cannot make progress.
  if (parent >= length) return;
  CreateDirectoryChain(copy, parent);
  MakeDirectory(copy);
}

char* AppendBackslash(char* s) {
  uint16_t n = NulStringLength(s);
  if (n == 0 || s[n - 1] != '\\') {
    s[n] = '\\';
    s[n + 1] = 0;
  }
  return s;
}
