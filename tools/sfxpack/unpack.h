// `sfxpack list`, `test` and `extract`: an installer read the way the stub
// reads it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "archive_bytes.h"

struct FoundEntry {
  uint64_t header_pos = 0;  // file offset of the entry header
  uint16_t flags = 0;
  uint16_t method = 0;
  DosStamp stamp{};
  uint32_t crc = 0;
  uint32_t packed_size = 0;
  uint32_t size = 0;
  std::string name;  // Windows-1252, cut at its first zero byte
  uint64_t data_pos = 0;
  uint64_t data_present = 0;  // bytes of the data that the file really holds
};

struct InstallerWalk {
  int64_t archive_offset = -1;  // -1: no marker, the stub would give up
  std::vector<FoundEntry> entries;
  // Why the stub would stop before the end of the entries, or "". The entry
  // it stops at is not in entries.
  std::string stop;
};

// Finds the archive as the stub does (the first marker from offset 20 on) and
// walks its entries: each next header at header + 30 + name length + packed
// size, up to the first header whose signature the stub does not accept.
InstallerWalk WalkInstaller(const uint8_t* data, size_t size);

// Decodes one entry and checks its size and CRC-32; false with *why set when
// it cannot be decoded or does not match its header. The output grows with
// what the data really decodes to, never with the size the header claims.
bool DecodeEntry(const FoundEntry& e, const uint8_t* file, std::vector<uint8_t>& out,
                 std::string* why);

// Each returns the process exit code.
int RunList(const std::string& installer);
int RunTest(const std::string& installer);
int RunExtract(const std::string& installer, const std::string& folder);
// Writes the entries the stub would extract as a standard ZIP file: names
// in UTF-8 with '/' separators, data as it is stored.
int RunUnwrap(const std::string& installer, const std::string& output);
