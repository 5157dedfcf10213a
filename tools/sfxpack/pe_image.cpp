#include "pe_image.h"

#include "archive_bytes.h"

namespace {

constexpr uint32_t PeSignature = 0x00004550u;  // "PE\0\0"
constexpr size_t FileHeaderSize = 20;
constexpr size_t SectionHeaderSize = 40;
constexpr uint16_t MagicPe32 = 0x10B;
constexpr uint16_t MagicPe32Plus = 0x20B;
// Windows reads at most this many data directories, whatever the count says.
constexpr uint32_t MostDirectories = 16;

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The bytes a section spans in memory: its virtual size, or its raw size
// when the linker left the virtual size zero.
uint64_t SpanOf(const PeSection& s) { return s.virtual_size ? s.virtual_size : s.raw_size; }

}  // namespace

PeDirectory PeHeaders::Directory(size_t index) const {
  return index < directories.size() ? directories[index] : PeDirectory{};
}

const PeSection* PeHeaders::SectionOf(uint32_t rva) const {
  for (const PeSection& s : sections)
    if (rva >= s.virtual_address && rva - uint64_t(s.virtual_address) < SpanOf(s)) return &s;
  return nullptr;
}

std::optional<size_t> PeHeaders::OffsetOf(uint32_t rva, uint32_t n, size_t file_size) const {
  const PeSection* s = SectionOf(rva);
  if (!s) return std::nullopt;
  // Only the section's raw bytes are in the file; the rest of its span is
  // zeros the loader supplies.
  const uint64_t in_section = uint64_t(rva - s->virtual_address);
  if (in_section + n > s->raw_size || in_section + n > SpanOf(*s)) return std::nullopt;
  const uint64_t at = uint64_t(s->raw_offset) + in_section;
  if (at + n > file_size) return std::nullopt;
  return size_t(at);
}

PeProblem ReadPeHeaders(const std::vector<uint8_t>& image, PeHeaders* out) {
  PeHeaders h;
  const uint8_t* p = image.data();
  const size_t size = image.size();
  if (size < 64 || p[0] != 'M' || p[1] != 'Z') return "it does not begin with \"MZ\"";
  h.pe_at = Get32(p + 0x3C);
  if (h.pe_at > size || size - h.pe_at < 4 || Get32(p + h.pe_at) != PeSignature)
    return "it has no PE header";
  const size_t file_header = h.pe_at + 4;
  if (size - file_header < FileHeaderSize) return "its PE header is cut short";
  h.machine = Get16(p + file_header);
  const uint16_t section_count = Get16(p + file_header + 2);
  const uint16_t optional_size = Get16(p + file_header + 16);
  h.characteristics = Get16(p + file_header + 18);

  h.optional_at = file_header + FileHeaderSize;
  if (size - h.optional_at < optional_size || optional_size < 2)
    return "its optional header is cut short";
  const uint8_t* o = p + h.optional_at;
  h.magic = Get16(o);
  // The fields both forms share sit at the same offsets up to the image
  // base; PE32 has BaseOfData where PE32+ widens the image base.
  size_t fixed = 0;
  if (h.magic == MagicPe32) {
    fixed = 96;
  } else if (h.magic == MagicPe32Plus) {
    fixed = 112;
  } else {
    return "its optional header is neither PE32 nor PE32+";
  }
  if (optional_size < fixed) return "its optional header is cut short";
  h.size_of_initialized_data = Get32(o + 8);
  h.image_base = h.magic == MagicPe32 ? Get32(o + 28) : Get32(o + 24) | uint64_t(Get32(o + 28)) << 32;
  h.section_alignment = Get32(o + 32);
  h.file_alignment = Get32(o + 36);
  h.size_of_image = Get32(o + 56);
  h.size_of_headers = Get32(o + 60);
  h.checksum_at = h.optional_at + 64;
  h.dll_characteristics = Get16(o + 70);
  if (!PowerOfTwo(h.section_alignment) || !PowerOfTwo(h.file_alignment))
    return "its section or file alignment is not a power of two";
  const uint32_t directory_count = Get32(o + fixed - 4);
  const uint32_t read = directory_count < MostDirectories ? directory_count : MostDirectories;
  if (optional_size - fixed < read * 8) return "its data directories do not fit its optional header";
  h.directories_at = h.optional_at + fixed;
  for (uint32_t i = 0; i < read; ++i)
    h.directories.push_back({Get32(p + h.directories_at + 8 * i), Get32(p + h.directories_at + 8 * i + 4)});

  h.sections_at = h.optional_at + optional_size;
  if ((size - h.sections_at) / SectionHeaderSize < section_count)
    return "its section table runs past the end of the file";
  for (uint16_t i = 0; i < section_count; ++i) {
    PeSection s;
    s.header_at = h.sections_at + SectionHeaderSize * i;
    const uint8_t* q = p + s.header_at;
    for (int k = 0; k < 8; ++k) s.name[k] = char(q[k]);
    s.virtual_size = Get32(q + 8);
    s.virtual_address = Get32(q + 12);
    s.raw_size = Get32(q + 16);
    s.raw_offset = Get32(q + 20);
    s.characteristics = Get32(q + 36);
    h.sections.push_back(s);
  }
  *out = std::move(h);
  return std::nullopt;
}
