#include "archive/locator.h"

#include "format/archive_format.h"
#include "win32api.h"

constexpr int32_t ScanStart = 20;
constexpr DWORD ScanBlockSize = 4096;

// Marker byte k (0-based) in file order; the program keeps it reversed.
static uint8_t MarkerByte(int k) { return ArchiveMarkerReversed[ArchiveMarkerLength - 1 - k]; }

static bool AtEnd(HANDLE file) {
  DWORD position = SetFilePointer(file, 0, nullptr, FILE_CURRENT);
  DWORD size = GetFileSize(file, nullptr);
  if (position == INVALID_SET_FILE_POINTER || size == INVALID_FILE_SIZE) return true;
  return position >= size;
}

int32_t LocateArchive(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  if (SetFilePointer(file, ScanStart, nullptr, FILE_BEGIN) != (DWORD)ScanStart) {
    CloseHandle(file);
    return -1;
  }

  uint8_t block[ScanBlockSize];
  int32_t position = ScanStart;  // offset of the byte under test
  int matched = 0;               // marker bytes matched just before it
  int32_t result = -1;
  while (!AtEnd(file)) {
    DWORD delivered = 0;
    // A failed read or one that delivers nothing before the end cannot make
    // progress: give up rather than loop.
    if (!ReadFile(file, block, ScanBlockSize, &delivered, nullptr) || delivered == 0 ||
        delivered > ScanBlockSize)
      break;
    for (DWORD i = 0; i < delivered; i++, position++) {
      uint8_t b = block[i];
      // No two marker bytes are alike, so a byte that breaks a partial
      // match can only begin a new one.
      if (b != MarkerByte(matched)) matched = 0;
      if (b == MarkerByte(matched)) matched++;
      if (matched == ArchiveMarkerLength) {
        result = position - (ArchiveMarkerLength - 1);
        CloseHandle(file);
        return result;
      }
    }
  }
  CloseHandle(file);
  return result;
}
