#include "paths/ansi_spelling.h"

// Longest ANSI spelling any caller keeps, and its NUL.
constexpr int SpellingRoom = MAX_PATH + 2;

// The ANSI form of `wide` in `out`, when every character has an exact
// counterpart in the code page (no default, no best-fit look-alike) and it
// fits `room` bytes with its NUL.
static bool ConvertsExactly(const WCHAR* wide, char* out, int room) {
  BOOL usedDefault = FALSE;
  int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, room, nullptr, &usedDefault);
  return bytes > 0 && !usedDefault;
}

static bool IsDriveRooted(const WCHAR* path) {
  return ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' && path[2] == '\\';
}

void PreferOpenableSpelling(WCHAR* wide, char* ansi, int room) {
  if (room > SpellingRoom) room = SpellingRoom;
  char converted[SpellingRoom];
  if (ConvertsExactly(wide, converted, room)) return;

  // A path as long as MAX_PATH is looked up only in the "\\?\" form.
  DWORD length = 0;
  while (length < WidePathRoom && wide[length]) length++;
  DWORD skip = 0;
  if (length >= MAX_PATH && IsDriveRooted(wide) && length + 4 < WidePathRoom) {
    for (DWORD i = length + 1; i-- > 0;) wide[i + 4] = wide[i];
    wide[0] = wide[1] = wide[3] = '\\';
    wide[2] = '?';
    skip = 4;
  }
  DWORD shortLength = GetShortPathNameW(wide, wide, WidePathRoom);
  if (shortLength <= skip || shortLength >= WidePathRoom) return;
  if (!ConvertsExactly(wide + skip, converted, room)) return;
  for (int i = 0; i < room; i++) {
    ansi[i] = converted[i];
    if (converted[i] == 0) break;
  }
}
