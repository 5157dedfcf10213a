// The descrambling read layer over the program's own file. Every byte read
// through it is XORed with ScrambleKey; EntryRemaining bounds every read
// made for the current entry.
#pragma once

#include <stdint.h>

#include "win32api.h"

constexpr int32_t ReadAheadCapacity = 32768;

extern HANDLE ArchiveHandle;
// Position reached by the last SeekArchive, or -1 when it failed.
extern int32_t SeekResult;
// Where ArchiveHandle's file pointer is known to stand: set by SeekArchive,
// moved on by each read of ArchiveHandle that delivered all it asked for.
// Below 0 once unknown (a failed seek, or a read that failed or came short).
extern int32_t ArchivePosition;
// Bytes of the current entry not yet handed out; 0 or below means none.
extern int32_t EntryRemaining;
// Read-ahead for NextByte: at most ReadAheadCapacity bytes are filled.
extern uint8_t ReadAhead[ReadAheadCapacity + 2];
extern uint16_t ReadAheadPos;
extern int32_t ReadAheadCount;

// Reads up to `count` bytes and descrambles exactly the bytes delivered.
// A failed read counts as one that delivered nothing.
void ReadScrambled(HANDLE file, void* destination, int32_t count, DWORD* delivered);

// Positions ArchiveHandle (FILE_BEGIN: an absolute position) and records the
// result in SeekResult.
void SeekArchive(int32_t distance, uint16_t moveMethod);

// Next byte of the current entry (0..255), or -1 when the entry or the file
// has no more.
int32_t NextByte();

// Refills the read-ahead when it is used up and takes one byte from it.
int32_t RefillAndTake();

// Empties the read-ahead so that the next NextByte reads from the file's
// current position.
void ResetReadAhead();
