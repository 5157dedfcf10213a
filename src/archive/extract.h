// The extraction loop: reads entry after entry from the archive and writes
// each one below ExtractionRoot.
#pragma once

#include <stdint.h>

#include "format/archive_format.h"
#include "win32api.h"

// The file the current entry is written to.
extern HANDLE OutputHandle;
// The current entry's header, as read from the archive.
extern EntryHeader CurrentEntry;
extern int32_t HeaderPosition;

// Reads the next 30-byte header at the file's position. True when it is a
// whole header with one of the two entry signatures.
bool ReadEntryHeader();

// Length of the first `n` bytes of `bytes` up to the first zero byte.
uint16_t TrimAtNul(const char* bytes, uint16_t n);

// Whether an entry name stays below the extraction folder: no drive or
// other ":", no leading separator, no ".." component.
bool EntryNameIsSafe(const char* name, uint16_t length);

// Copies the current stored entry's EntryRemaining bytes to OutputHandle.
void CopyStoredEntry();

void ExtractAll();
