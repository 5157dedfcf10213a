// Finds where the appended archive begins in the program's own file.
#pragma once

#include <stdint.h>

// Scans the file from byte 20 on for the archive marker and returns the
// offset of its first occurrence, or -1 when there is none or the file
// cannot be read.
int32_t LocateArchive(const char* path);
