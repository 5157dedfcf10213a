// The headers of a PE file (a Windows program or DLL), read from its bytes:
// the one reader of PE structure in sfxpack.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

struct PeSection {
  char name[9] = {};  // up to 8 characters, zero-ended
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;
  size_t header_at = 0;  // file offset of this section's header
};

struct PeDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// Indexes into PeHeaders::directories.
constexpr size_t DirectoryImport = 1;
constexpr size_t DirectoryResource = 2;
constexpr size_t DirectorySecurity = 4;
constexpr size_t DirectoryBaseRelocation = 5;

struct PeHeaders {
  size_t pe_at = 0;              // file offset of "PE\0\0"
  size_t optional_at = 0;        // file offset of the optional header
  uint16_t machine = 0;          // 0x014C for i386, 0x8664 for x86-64
  uint16_t magic = 0;            // 0x10B for PE32, 0x20B for PE32+
  uint16_t characteristics = 0;
  uint16_t dll_characteristics = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_headers = 0;
  uint32_t size_of_initialized_data = 0;
  uint64_t image_base = 0;
  size_t checksum_at = 0;        // file offset of the checksum field
  size_t directories_at = 0;     // file offset of the first data directory
  size_t sections_at = 0;        // file offset of the section table
  std::vector<PeDirectory> directories;  // as many as the header counts, at most 16
  std::vector<PeSection> sections;

  // Directory index, or an empty one when the header counts fewer.
  PeDirectory Directory(size_t index) const;
  // The section that holds rva, or nullptr.
  const PeSection* SectionOf(uint32_t rva) const;
  // The file offset of the n bytes at rva, when the file holds all of them.
  std::optional<size_t> OffsetOf(uint32_t rva, uint32_t n, size_t file_size) const;
};

using PeProblem = std::optional<std::string>;

// Reads the headers of the PE file whose first bytes are image (a whole
// file, or at least its headers): a problem that says what is wrong when
// they are not those of a PE file.
PeProblem ReadPeHeaders(const std::vector<uint8_t>& image, PeHeaders* out);
