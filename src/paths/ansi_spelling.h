// A spelling of a path that the ANSI file functions can open. The ANSI
// answers of the platform put "?" or a look-alike in place of every
// character the ANSI code page lacks, and cut what does not fit; such a
// name opens nothing, or another file.
#pragma once

#include "win32api.h"

// Room for the wide form of any path the platform hands out.
constexpr DWORD WidePathRoom = 32768;

// `ansi` holds what an ANSI function answered for the file or folder that
// `wide` names. Where that answer cannot name it (`wide` does not convert
// to the ANSI code page exactly, or needs more than `room` - 1 bytes),
// writes the ANSI form of the short (8.3) path instead, when that one
// converts exactly and fits; otherwise `ansi` stays as it is. `wide`
// (of `WidePathRoom` characters) is used as scratch.
void PreferOpenableSpelling(WCHAR* wide, char* ansi, int room);
