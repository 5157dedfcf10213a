// Layout of the archive that is appended to the stub. Shared by the stub,
// which reads it, and by sfxpack, which writes it.
#pragma once

#include <stdint.h>

// Every archive byte is stored XORed with this key, so that the appended
// data does not read as an archive. No byte of the marker below is zero.
constexpr uint8_t ScrambleKey = 0xA5;

// The first entry header's signature and version-needed field, as sfxpack
// writes them before scrambling: 50 4B 03 04 14 00.
constexpr uint32_t SignatureLocal = 0x04034B50u;
// An alternative signature that the stub accepts as an entry header too.
constexpr uint32_t SignatureAlternate = 0xDB6C6556u;
constexpr uint16_t VersionNeededWritten = 20;

constexpr int ArchiveMarkerLength = 6;

// The marker is the stored (scrambled) form of those first six bytes. The
// program keeps it in reverse order only: its own image then never holds the
// marker in file order, and the scan cannot stop at the program's own copy.
// ArchiveMarkerReversed[5] is the marker's first byte.
constexpr uint8_t ArchiveMarkerReversed[ArchiveMarkerLength] = {
    uint8_t(0x00 ^ ScrambleKey), uint8_t(0x14 ^ ScrambleKey),
    uint8_t(0x04 ^ ScrambleKey), uint8_t(0x03 ^ ScrambleKey),
    uint8_t(0x4B ^ ScrambleKey), uint8_t(0x50 ^ ScrambleKey),
};

// No two marker bytes are alike, so a byte that breaks a partial match can
// only begin a new one: the scans test that byte again and need no more.
constexpr bool MarkerBytesDiffer() {
  for (int i = 0; i < ArchiveMarkerLength; i++) {
    for (int j = i + 1; j < ArchiveMarkerLength; j++) {
      if (ArchiveMarkerReversed[i] == ArchiveMarkerReversed[j]) return false;
    }
  }
  return true;
}
static_assert(MarkerBytesDiffer(), "a byte that breaks a partial match can only begin a new one");

// Entry header: a ZIP local file header, 30 bytes, little-endian.
constexpr int EntryHeaderSize = 30;
constexpr int OffsetSignature = 0;
constexpr int OffsetVersionNeeded = 4;
constexpr int OffsetFlags = 6;
constexpr int OffsetMethod = 8;
constexpr int OffsetDosTime = 10;
constexpr int OffsetDosDate = 12;
constexpr int OffsetCrc32 = 14;
constexpr int OffsetCompressedSize = 18;
constexpr int OffsetUncompressedSize = 22;
constexpr int OffsetNameLength = 26;
constexpr int OffsetExtraLength = 28;

constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t MethodStored = 0;
constexpr uint16_t MethodDeflated = 8;

// The stub reads entry names into a buffer of this size; longer names are
// refused by both sides.
constexpr int MaxNameLength = 258;

#pragma pack(push, 1)
struct EntryHeader {
  uint32_t Signature;
  uint16_t VersionNeeded;
  uint16_t Flags;
  uint16_t Method;
  uint16_t DosTime;
  uint16_t DosDate;
  uint32_t Crc32;
  uint32_t CompressedSize;
  uint32_t UncompressedSize;
  uint16_t NameLength;
  uint16_t ExtraLength;
};
#pragma pack(pop)

static_assert(sizeof(EntryHeader) == EntryHeaderSize, "entry header is 30 bytes");
static_assert(__builtin_offsetof(EntryHeader, CompressedSize) == OffsetCompressedSize, "layout");
static_assert(__builtin_offsetof(EntryHeader, NameLength) == OffsetNameLength, "layout");
