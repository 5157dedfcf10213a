// Small operations on single-byte paths: length, folder part, separator
// conversion, existence, and creation of folder chains.
#pragma once

#include <stdint.h>

// Largest path any caller builds: the extraction folder and an entry name.
constexpr int PathBufferSize = 1024;

// "\" and "/" both separate path components.
inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Bytes before the first NUL.
uint16_t NulStringLength(const char* s);

// Length of the folder part of the `length` characters at `path`: the path
// without its last component and the separator before it, keeping a root
// ("\", "C:\") or drive ("C:") whole.
uint16_t DirectoryPart(const char* path, uint16_t length);

// Turns every "/" of the NUL-terminated buffer into "\", in place.
char* SlashesToBackslashes(char* s);

// Whether a file or folder of that name exists. A path ending in "\" is a
// folder, which exists when a search inside it finds an entry; any other
// path has its "/" turned into "\" in place first.
bool PathExists(char* s);

// Creates the folder and every missing parent, outermost first.
void CreateDirectoryChain(const char* path, uint16_t length);

// Appends "\" unless the last character is one. The buffer needs room for
// one more character.
char* AppendBackslash(char* s);

// Creates one folder (NUL-terminated path).
void MakeDirectory(const char* path);
