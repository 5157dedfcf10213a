#include "archive_bytes.h"

#include <stdio.h>

#include "platform.h"

namespace {

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// The fields both headers share, from the flags to the name's length.
void PutEntryFields(std::vector<uint8_t>& out, const EntryFields& f, size_t name_length) {
  Put16(out, f.flags);
  Put16(out, f.method);
  Put16(out, f.stamp.time);
  Put16(out, f.stamp.date);
  Put32(out, f.crc);
  Put32(out, f.packed_size);
  Put32(out, f.size);
  Put16(out, uint32_t(name_length));
}

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return (month == 2 && leap) ? 29 : days[month - 1];
}

}  // namespace

DosStamp DosStampFromTm(const struct tm& tm) {
  const int year = tm.tm_year + 1900;
  if (year < 1980) return DosStamp{0, uint16_t((1 << 5) | 1)};
  if (year > 2107)
    return DosStamp{uint16_t((23 << 11) | (59 << 5) | 29), uint16_t((127 << 9) | (12 << 5) | 31)};
  const int sec = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second
  DosStamp s;
  s.time = uint16_t((tm.tm_hour << 11) | (tm.tm_min << 5) | (sec / 2));
  s.date = uint16_t(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  return s;
}

DosStamp DosStampFromTime(time_t t) {
  // Year 1900, and so clamped, when t cannot be converted.
  return DosStampFromTm(sys::LocalTime(t));
}

DosStamp DosStampFromTimeUtc(time_t t) {
  return DosStampFromTm(sys::UtcTime(t));
}

bool TimeFromDosStamp(DosStamp stamp, time_t& t) {
  struct tm tm {};
  tm.tm_year = 80 + (stamp.date >> 9);
  tm.tm_mon = ((stamp.date >> 5) & 15) - 1;
  tm.tm_mday = stamp.date & 31;
  tm.tm_hour = stamp.time >> 11;
  tm.tm_min = (stamp.time >> 5) & 63;
  tm.tm_sec = (stamp.time & 31) * 2;
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 ||
      tm.tm_mday > DaysInMonth(tm.tm_year + 1900, tm.tm_mon + 1) || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 59)
    return false;
  const int64_t local = sys::FromLocalTime(tm);
  t = time_t(local);
  return local != -1;
}

std::string FormatDosStamp(DosStamp s) {
  char text[32];
  snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (s.date >> 9),
           (s.date >> 5) & 15u, s.date & 31u, unsigned(s.time >> 11), (s.time >> 5) & 63u,
           (s.time & 31u) * 2);
  return text;
}

void AppendLocalHeader(std::vector<uint8_t>& out, const EntryFields& f, const std::string& name) {
  Put32(out, SignatureLocal);
  Put16(out, VersionNeededWritten);
  PutEntryFields(out, f, name.size());
  Put16(out, 0);  // the stub does not skip extra fields, so there are none
  out.insert(out.end(), name.begin(), name.end());
}

void AppendCentralHeader(std::vector<uint8_t>& out, const EntryFields& f, const std::string& name,
                         uint32_t local_offset) {
  Put32(out, SignatureCentral);
  Put16(out, VersionNeededWritten);  // made by: MS-DOS host, version 2.0
  Put16(out, VersionNeededWritten);
  PutEntryFields(out, f, name.size());
  Put16(out, 0);  // extra field
  Put16(out, 0);  // comment
  Put16(out, 0);  // disk number
  Put16(out, 0);  // internal attributes
  Put32(out, 0);  // external attributes
  Put32(out, local_offset);
  out.insert(out.end(), name.begin(), name.end());
}

void AppendEndRecord(std::vector<uint8_t>& out, uint16_t entries, uint32_t central_size,
                     uint32_t central_offset) {
  Put32(out, SignatureEnd);
  Put16(out, 0);  // this disk
  Put16(out, 0);  // disk holding the central directory
  Put16(out, entries);
  Put16(out, entries);
  Put32(out, central_size);
  Put32(out, central_offset);
  Put16(out, 0);  // comment
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p) { return uint32_t(Get16(p)) | (uint32_t(Get16(p + 2)) << 16); }

void Scramble(uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++) p[i] ^= ScrambleKey;
}

uint8_t MarkerByte(int k) { return ArchiveMarkerReversed[ArchiveMarkerLength - 1 - k]; }

int64_t MarkerScan::Feed(const uint8_t* p, size_t n, uint64_t at) {
  for (size_t i = 0; i < n; i++) {
    // The byte that breaks a partial match may begin the marker, and the
    // stub's scan tests it again: so does this one.
    if (p[i] != MarkerByte(matched_)) matched_ = 0;
    if (p[i] == MarkerByte(matched_) && ++matched_ == ArchiveMarkerLength) {
      matched_ = 0;
      return int64_t(at + i) - (ArchiveMarkerLength - 1);
    }
  }
  return -1;
}

int64_t ScanForMarker(const uint8_t* data, size_t size, int* partial) {
  MarkerScan scan;
  const int64_t found =
      size > MarkerScanStart ? scan.Feed(data + MarkerScanStart, size - MarkerScanStart, MarkerScanStart)
                             : -1;
  if (partial) *partial = scan.Matched();
  return found;
}

std::string StubProblem(const std::vector<uint8_t>& stub) {
  if (stub.size() < MarkerScanStart)
    return "it is " + std::to_string(stub.size()) + " bytes long; the stub's scan for the archive "
           "begins at offset 20, so a stub needs at least 20 bytes";
  int partial = 0;
  const int64_t at = ScanForMarker(stub.data(), stub.size(), &partial);
  if (at >= 0)
    return "the archive marker already occurs in it at offset " + std::to_string(at) +
           " (is it an installer already?); the stub must be bare";
  if (partial > 0)
    return "its last " + std::to_string(partial) +
           " bytes are the beginning of the archive marker, so the stub would not find an "
           "archive appended to it";
  return "";
}

uint64_t EntryArchiveBytes(uint64_t name_length, uint64_t packed_size) {
  return EntryHeaderSize + name_length + packed_size + CentralHeaderSize + name_length;
}
