#include "archive/stream.h"

#include "archive/extract.h"
#include "format/archive_format.h"

HANDLE ArchiveHandle = INVALID_HANDLE_VALUE;
// Declared with the extraction loop; defined here so that the decoder needs
// nothing of the launcher.
HANDLE OutputHandle = INVALID_HANDLE_VALUE;
int32_t SeekResult = -1;
int32_t ArchivePosition = -1;
int32_t EntryRemaining = 0;
uint8_t ReadAhead[ReadAheadCapacity + 2];
uint16_t ReadAheadPos = 0;
int32_t ReadAheadCount = 0;

void ReadScrambled(HANDLE file, void* destination, int32_t count, DWORD* delivered) {
  DWORD got = 0;
  if (count <= 0 || !ReadFile(file, destination, (DWORD)count, &got, nullptr)) got = 0;
  // Never trust a count above what was asked for.
  if (got > (DWORD)count) got = 0;
  // A sum past 2^31 - 1 turns negative: unknown, as it should.
  if (file == ArchiveHandle) {
    ArchivePosition = (got == (DWORD)count && ArchivePosition >= 0)
                          ? (int32_t)((uint32_t)ArchivePosition + (uint32_t)count)
                          : -1;
  }
  // Sixteen bytes a step where possible, as four words: this runs over
  // every archive byte.
  uint8_t* bytes = (uint8_t*)destination;
  const uint32_t key4 = ScrambleKey * 0x01010101u;
  DWORD i = 0;
  for (; i + 16 <= got; i += 16) {
    uint8_t* const p = bytes + i;
    uint32_t a, b, c, d;
    __builtin_memcpy(&a, p, 4);
    __builtin_memcpy(&b, p + 4, 4);
    __builtin_memcpy(&c, p + 8, 4);
    __builtin_memcpy(&d, p + 12, 4);
    a ^= key4, b ^= key4, c ^= key4, d ^= key4;
    __builtin_memcpy(p, &a, 4);
    __builtin_memcpy(p + 4, &b, 4);
    __builtin_memcpy(p + 8, &c, 4);
    __builtin_memcpy(p + 12, &d, 4);
  }
  for (; i < got; i++) bytes[i] ^= ScrambleKey;
  *delivered = got;
}

void SeekArchive(int32_t distance, uint16_t moveMethod) {
  DWORD position = SetFilePointer(ArchiveHandle, distance, nullptr, moveMethod);
  SeekResult = (position == INVALID_SET_FILE_POINTER) ? -1 : (int32_t)position;
  ArchivePosition = SeekResult;
}

int32_t RefillAndTake() {
  if (ReadAheadPos >= ReadAheadCount) {
    int32_t want = EntryRemaining < ReadAheadCapacity ? EntryRemaining : ReadAheadCapacity;
    DWORD delivered = 0;
    ReadScrambled(ArchiveHandle, ReadAhead, want, &delivered);
    ReadAheadCount = (int32_t)delivered;
    ReadAheadPos = 0;
  }
  if (ReadAheadCount == 0) {
    EntryRemaining = 0;
    ReadAheadPos = 0;
    return -1;
  }
  return ReadAhead[ReadAheadPos++];
}

int32_t NextByte() {
  if (EntryRemaining <= 0) return -1;
  int32_t value = RefillAndTake();
  EntryRemaining--;
  return value;
}

void ResetReadAhead() {
  ReadAheadPos = 0;
  ReadAheadCount = 0;
}
