// The bytes of an installer: MS-DOS time stamps, entry headers, the central
// directory, scrambling, and the marker scan the stub uses to find the archive.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "format/archive_format.h"

constexpr uint32_t SignatureCentral = 0x02014B50u;
constexpr uint32_t SignatureEnd = 0x06054B50u;
constexpr int CentralHeaderSize = 46;
constexpr int EndRecordSize = 22;

// The stub seeks with signed 32-bit file positions, so the whole installer
// (stub included) must stay below 2 GiB.
constexpr uint64_t MaxInstallerSize = 0x7FFFFFFFu;
// The stub counts an entry's bytes in signed 32-bit values too.
constexpr uint64_t MaxEntrySize = 0x7FFFFFFFu;
// The end record counts entries in 16 bits.
constexpr uint64_t MaxEntryCount = 0xFFFF;
// The stub's scan for the marker begins at this file offset.
constexpr uint64_t MarkerScanStart = 20;

struct DosStamp {
  uint16_t time;
  uint16_t date;
};

// Local broken-down time to MS-DOS form; times before 1980 become
// 1980-01-01 00:00:00 and times after 2107 become 2107-12-31 23:59:58.
DosStamp DosStampFromTm(const struct tm& tm);
// A file's modification time, in local time as every ZIP tool writes it.
DosStamp DosStampFromTime(time_t t);
// The same in UTC, for output that must not depend on the time zone.
DosStamp DosStampFromTimeUtc(time_t t);
// Back to a time_t, reading the stamp as local time; false when the stamp
// holds no valid date or time.
bool TimeFromDosStamp(DosStamp stamp, time_t& t);
// "YYYY-MM-DD HH:MM:SS".
std::string FormatDosStamp(DosStamp stamp);

struct EntryFields {
  uint16_t flags;
  uint16_t method;
  DosStamp stamp;
  uint32_t crc;
  uint32_t packed_size;
  uint32_t size;
};

// Appends, unscrambled, a 30-byte local header with no extra field, then the
// name.
void AppendLocalHeader(std::vector<uint8_t>& out, const EntryFields& f, const std::string& name);
// Appends a central directory header and the name.
void AppendCentralHeader(std::vector<uint8_t>& out, const EntryFields& f, const std::string& name,
                         uint32_t local_offset);
void AppendEndRecord(std::vector<uint8_t>& out, uint16_t entries, uint32_t central_size,
                     uint32_t central_offset);

uint16_t Get16(const uint8_t* p);
uint32_t Get32(const uint8_t* p);

// XORs every byte with ScrambleKey; the same call undoes it.
void Scramble(uint8_t* p, size_t n);

// The marker's k-th byte (0..5) in file order.
uint8_t MarkerByte(int k);

// The scan the stub makes for the marker, fed the file's bytes from offset
// MarkerScanStart on, a block at a time: it compares byte after byte with
// the marker and goes back to its first byte on a mismatch, without
// comparing the mismatching byte again.
class MarkerScan {
 public:
  // Scans p[0..n), the bytes at file offset at: the offset of the marker's
  // first byte once found, else -1.
  int64_t Feed(const uint8_t* p, size_t n, uint64_t at);
  // How many marker bytes the scan has matched at the end of what it was fed.
  int Matched() const { return matched_; }

 private:
  int matched_ = 0;
};

// The scan over bytes in memory. *partial receives how many marker bytes it
// had matched when the data ran out (0 when it found the marker).
int64_t ScanForMarker(const uint8_t* data, size_t size, int* partial);

// Why a stub cannot carry an archive, or "" when it can: too short, the
// marker already in it (not bare), or its last bytes a beginning of the
// marker, which would make the stub's scan step over the archive's start.
std::string StubProblem(const std::vector<uint8_t>& stub);

// The bytes one entry adds to the archive: local header, name and data, then
// its central directory header and name again.
uint64_t EntryArchiveBytes(uint64_t name_length, uint64_t packed_size);
