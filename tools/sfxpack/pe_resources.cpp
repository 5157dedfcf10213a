#include "pe_resources.h"

#include <algorithm>
#include <set>

#include "archive_bytes.h"
#include "pe_checksum.h"

namespace {

// A table of the resource tree: characteristics, time stamp, version, then
// the counts of named and of ID entries, followed by its 8-byte entries.
constexpr size_t TableSize = 16;
constexpr size_t EntrySize = 8;
// A leaf: the data's RVA, its size, its code page and a reserved word.
constexpr size_t DataEntrySize = 16;
// In an entry: a name given as a string, or a subtable rather than a leaf.
constexpr uint32_t HighBit = 0x80000000u;
// Type, name and language: the levels Windows looks resources up by.
constexpr int Levels = 3;

// The resource tree as it lies in the file: offsets in it are relative to
// its root, and every one is checked against the bytes of its section.
struct TreeReader {
  const std::vector<uint8_t>& image;
  const PeHeaders& headers;
  size_t base = 0;  // file offset of the root table
  size_t size = 0;  // bytes of the section from the root on, in the file
  std::set<uint32_t> tables;
  uint64_t entries_left = 0;  // a tree without shared parts holds no more
  uint64_t data_bytes = 0;
  std::vector<Resource>* out = nullptr;

  TreeReader(const std::vector<uint8_t>& i, const PeHeaders& h) : image(i), headers(h) {}

  bool Holds(uint64_t offset, uint64_t n) const { return offset <= size && size - offset >= n; }

  PeProblem ReadName(uint32_t offset, std::u16string* name) const {
    if (!Holds(offset, 2)) return "a resource name lies outside the resource section";
    const uint16_t length = Get16(image.data() + base + offset);
    if (!Holds(uint64_t(offset) + 2, uint64_t(length) * 2))
      return "a resource name runs past the end of the resource section";
    // An empty string cannot be told from an ID here.
    if (length == 0) return "a resource name is empty";
    name->clear();
    for (uint16_t k = 0; k < length; ++k)
      name->push_back(char16_t(Get16(image.data() + base + offset + 2 + 2 * k)));
    return std::nullopt;
  }

  PeProblem ReadLeaf(uint32_t offset, Resource r) {
    if (!Holds(offset, DataEntrySize)) return "a resource's data entry lies outside the resource section";
    const uint8_t* e = image.data() + base + offset;
    const uint32_t rva = Get32(e), n = Get32(e + 4);
    r.code_page = Get32(e + 8);
    const std::optional<size_t> at = headers.OffsetOf(rva, n, image.size());
    if (!at) return "a resource's data lies outside the file";
    // Resources share no bytes in a sound file: their sizes add up to no
    // more than the file's, which bounds what a hostile tree can make us copy.
    data_bytes += n;
    if (data_bytes > image.size()) return "the resources' sizes add up to more than the file";
    r.data.assign(image.begin() + ptrdiff_t(*at), image.begin() + ptrdiff_t(*at + n));
    out->push_back(std::move(r));
    return std::nullopt;
  }

  // Reads the table at offset, on level 0 (types), 1 (names) or 2
  // (languages), under the type and name of r.
  PeProblem ReadTable(uint32_t offset, int level, const Resource& r) {
    if (!Holds(offset, TableSize)) return "a resource table lies outside the resource section";
    if (!tables.insert(offset).second) return "the resource tree leads back to one of its own tables";
    const uint8_t* t = image.data() + base + offset;
    const uint32_t count = uint32_t(Get16(t + 12)) + Get16(t + 14);
    if (!Holds(uint64_t(offset) + TableSize, uint64_t(count) * EntrySize))
      return "a resource table runs past the end of the resource section";
    if (count > entries_left) return "the resource tree has more entries than its section holds";
    entries_left -= count;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = t + TableSize + EntrySize * i;
      const uint32_t name = Get32(e), target = Get32(e + 4);
      Resource child = r;
      ResourceId id;
      if (name & HighBit) {
        if (level == Levels - 1) return "a resource's language is given as a name";
        if (PeProblem p = ReadName(name & ~HighBit, &id.name)) return p;
      } else {
        if (name > 0xFFFF) return "a resource ID is above 65535";
        id.id = uint16_t(name);
      }
      if (level == 0) child.type = id;
      if (level == 1) child.name = id;
      if (level == 2) child.language = id.id;
      const bool subtable = (target & HighBit) != 0;
      if (subtable != (level < Levels - 1))
        return subtable ? "the resource tree is deeper than type, name and language"
                        : "a resource lacks a name or a language in the resource tree";
      PeProblem p = subtable ? ReadTable(target & ~HighBit, level + 1, child) : ReadLeaf(target, child);
      if (p) return p;
    }
    return std::nullopt;
  }
};

}  // namespace

PeProblem ReadResources(const std::vector<uint8_t>& image, std::vector<Resource>* out) {
  PeHeaders h;
  if (PeProblem p = ReadPeHeaders(image, &h)) return p;
  std::vector<Resource> found;
  const PeDirectory dir = h.Directory(DirectoryResource);
  if (dir.rva == 0) {
    out->clear();
    return std::nullopt;
  }
  const PeSection* s = h.SectionOf(dir.rva);
  const std::optional<size_t> root = h.OffsetOf(dir.rva, TableSize, image.size());
  if (!s || !root) return "its resource directory lies outside its sections' bytes in the file";
  TreeReader tree(image, h);
  tree.base = *root;
  // The section's bytes in the file from the root on.
  const uint64_t in_section = dir.rva - s->virtual_address;
  const uint64_t span = s->virtual_size ? std::min(s->virtual_size, s->raw_size) : s->raw_size;
  tree.size = size_t(std::min<uint64_t>(span - in_section, image.size() - tree.base));
  tree.entries_left = tree.size / EntrySize;
  tree.out = &found;
  if (PeProblem p = tree.ReadTable(0, 0, Resource{})) return p;
  *out = std::move(found);
  return std::nullopt;
}

namespace {

constexpr uint32_t InitializedData = 0x00000040;  // a section characteristic
// The largest resource section written: far beyond any icon, version or
// manifest, and far from wrapping 32-bit RVAs.
constexpr uint64_t MostResourceBytes = uint64_t(1) << 30;

constexpr size_t SectionHeaderSize = 40;

uint64_t SpanOf(const PeSection& s) { return s.virtual_size ? s.virtual_size : s.raw_size; }

uint64_t AlignUp(uint64_t v, uint32_t alignment) { return (v + alignment - 1) & ~uint64_t(alignment - 1); }

void Set16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8);
}

void Set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Set16(b, at, v & 0xFFFF), Set16(b, at + 2, v >> 16);
}

// The order of a table's entries: names first, compared as UTF-16 code
// units, then IDs ascending.
bool Before(const ResourceId& a, const ResourceId& b) {
  if (a.name.empty() != b.name.empty()) return !a.name.empty();
  return a.name.empty() ? a.id < b.id : a.name < b.name;
}

bool TreeOrder(const Resource* a, const Resource* b) {
  if (!(a->type == b->type)) return Before(a->type, b->type);
  if (!(a->name == b->name)) return Before(a->name, b->name);
  return a->language < b->language;
}

// A range [first, end) of the sorted resources that share a type, or a
// type and a name.
struct Run {
  size_t first = 0, end = 0;
  size_t table_at = 0;   // the table of its children
  size_t string_at = 0;  // its name's string, when it has one
};

// Splits [first, end) into runs whose resources agree by same.
template <typename Same>
std::vector<Run> RunsOf(const std::vector<const Resource*>& sorted, size_t first, size_t end, Same same) {
  std::vector<Run> runs;
  for (size_t i = first; i < end; ++i)
    if (runs.empty() || !same(*sorted[runs.back().first], *sorted[i])) runs.push_back({i, i + 1});
    else runs.back().end = i + 1;
  return runs;
}

size_t NamedCount(const std::vector<Run>& runs, const std::vector<const Resource*>& sorted,
                  const ResourceId Resource::*which) {
  size_t n = 0;
  for (const Run& r : runs) n += !((*sorted[r.first]).*which).name.empty();
  return n;
}

// Writes a table header and returns where its entries begin.
size_t PutTable(std::vector<uint8_t>& b, size_t at, size_t named, size_t ids) {
  Set16(b, at + 12, uint32_t(named)), Set16(b, at + 14, uint32_t(ids));
  return at + TableSize;
}

uint32_t NameField(const ResourceId& id, size_t string_at) {
  return id.name.empty() ? id.id : HighBit | uint32_t(string_at);
}

// The resource section for resources placed at rva: every table first
// (types, then each type's names, then each name's languages), the names'
// strings, the data entries, then the data, each piece aligned to 8 bytes.
PeProblem BuildSection(const std::vector<Resource>& resources, uint32_t rva, std::vector<uint8_t>* out) {
  std::vector<const Resource*> sorted;
  for (const Resource& r : resources) sorted.push_back(&r);
  std::sort(sorted.begin(), sorted.end(), TreeOrder);
  for (size_t i = 1; i < sorted.size(); ++i)
    if (!TreeOrder(sorted[i - 1], sorted[i])) return "two resources have the same type, name and language";
  for (const Resource* r : sorted)
    if (r->type.name.size() > 0xFFFF || r->name.name.size() > 0xFFFF) return "a resource name is too long";

  auto same_type = [](const Resource& a, const Resource& b) { return a.type == b.type; };
  auto same_name = [](const Resource& a, const Resource& b) { return a.type == b.type && a.name == b.name; };
  std::vector<Run> types = RunsOf(sorted, 0, sorted.size(), same_type);
  std::vector<std::vector<Run>> names;
  for (const Run& t : types) names.push_back(RunsOf(sorted, t.first, t.end, same_name));

  // Tables.
  uint64_t at = TableSize + EntrySize * types.size();
  for (size_t t = 0; t < types.size(); ++t) {
    types[t].table_at = size_t(at);
    at += TableSize + EntrySize * names[t].size();
  }
  for (size_t t = 0; t < types.size(); ++t)
    for (Run& n : names[t]) {
      n.table_at = size_t(at);
      at += TableSize + EntrySize * (n.end - n.first);
    }
  // Strings: a 16-bit length, then UTF-16 code units.
  for (size_t t = 0; t < types.size(); ++t) {
    const ResourceId& type = sorted[types[t].first]->type;
    if (!type.name.empty()) types[t].string_at = size_t(at), at += 2 + 2 * type.name.size();
    for (Run& n : names[t]) {
      const ResourceId& name = sorted[n.first]->name;
      if (!name.name.empty()) n.string_at = size_t(at), at += 2 + 2 * name.name.size();
    }
  }
  // Data entries, then data.
  at = AlignUp(at, 8);
  const uint64_t entries_at = at;
  at += DataEntrySize * sorted.size();
  std::vector<uint64_t> data_at;
  for (const Resource* r : sorted) {
    at = AlignUp(at, 8);
    data_at.push_back(at);
    at += r->data.size();
    if (at > MostResourceBytes) return "the resources are too large";
  }
  // Data of no bytes still points into the section: readers look its
  // address up there, and the section's end lies in no section.
  if (!sorted.empty() && sorted.back()->data.empty()) at += 8;

  std::vector<uint8_t>& b = *out;
  b.assign(size_t(at), 0);
  const size_t named_types = NamedCount(types, sorted, &Resource::type);
  size_t e = PutTable(b, 0, named_types, types.size() - named_types);
  for (size_t t = 0; t < types.size(); ++t, e += EntrySize) {
    const Run& type = types[t];
    Set32(b, e, NameField(sorted[type.first]->type, type.string_at));
    Set32(b, e + 4, HighBit | uint32_t(type.table_at));
    const size_t named = NamedCount(names[t], sorted, &Resource::name);
    size_t ne = PutTable(b, type.table_at, named, names[t].size() - named);
    for (const Run& n : names[t]) {
      Set32(b, ne, NameField(sorted[n.first]->name, n.string_at));
      Set32(b, ne + 4, HighBit | uint32_t(n.table_at));
      ne += EntrySize;
      size_t le = PutTable(b, n.table_at, 0, n.end - n.first);
      for (size_t i = n.first; i < n.end; ++i, le += EntrySize) {
        Set32(b, le, sorted[i]->language);
        Set32(b, le + 4, uint32_t(entries_at + DataEntrySize * i));
      }
    }
  }
  auto put_string = [&](const ResourceId& id, size_t string_at) {
    if (id.name.empty()) return;
    Set16(b, string_at, uint32_t(id.name.size()));
    for (size_t k = 0; k < id.name.size(); ++k) Set16(b, string_at + 2 + 2 * k, id.name[k]);
  };
  for (size_t t = 0; t < types.size(); ++t) {
    put_string(sorted[types[t].first]->type, types[t].string_at);
    for (const Run& n : names[t]) put_string(sorted[n.first]->name, n.string_at);
  }
  for (size_t i = 0; i < sorted.size(); ++i) {
    const size_t d = size_t(entries_at + DataEntrySize * i);
    Set32(b, d, rva + uint32_t(data_at[i]));
    Set32(b, d + 4, uint32_t(sorted[i]->data.size()));
    Set32(b, d + 8, sorted[i]->code_page);
    std::copy(sorted[i]->data.begin(), sorted[i]->data.end(), b.begin() + ptrdiff_t(data_at[i]));
  }
  return std::nullopt;
}

// Whether a base relocation patches a byte from rva on: the loader would
// write into a section that is about to be rebuilt.
PeProblem RelocationsPatchFrom(const std::vector<uint8_t>& f, const PeHeaders& h, uint32_t rva) {
  const PeDirectory d = h.Directory(DirectoryBaseRelocation);
  if (d.rva == 0 || d.size == 0) return std::nullopt;
  const std::optional<size_t> at = h.OffsetOf(d.rva, d.size, f.size());
  if (!at) return "its base relocations lie outside the file";
  // Blocks: a page's RVA, the block's size, then 16-bit entries whose low
  // 12 bits are an offset in the page and whose top 4 bits are a type.
  for (size_t block = 0; block + 8 <= d.size;) {
    const uint32_t page = Get32(f.data() + *at + block), size = Get32(f.data() + *at + block + 4);
    if (size < 8 || size > d.size - block) return "its base relocations are damaged";
    for (size_t k = 8; k + 2 <= size; k += 2) {
      const uint16_t entry = Get16(f.data() + *at + block + k);
      const int type = entry >> 12, width = type == 10 ? 8 : 4;  // 10: a 64-bit address
      if (type != 0 && uint64_t(page) + (entry & 0xFFF) + width > rva)
        return "its base relocations patch bytes in or after its resource section";
    }
    block += size;
  }
  return std::nullopt;
}

// The sections that may follow the resource section, moved as a whole:
// only base relocations, which no code refers to by address.
bool Movable(const PeSection& s, const PeHeaders& h) {
  const PeDirectory d = h.Directory(DirectoryBaseRelocation);
  return std::string(s.name) == ".reloc" && (d.rva == 0 || h.SectionOf(d.rva) == &s || d.size == 0);
}

}  // namespace

PeProblem ReplaceResources(std::vector<uint8_t>* image, const std::vector<Resource>& resources) {
  const std::vector<uint8_t>& f = *image;
  PeHeaders h;
  if (PeProblem p = ReadPeHeaders(f, &h)) return p;
  const PeDirectory res = h.Directory(DirectoryResource);
  if (res.rva == 0) return "it has no resource section";
  const PeDirectory security = h.Directory(DirectorySecurity);
  if (security.rva != 0 || security.size != 0)
    return "it is signed; sign it after its resources are replaced";
  size_t r = 0;
  while (r < h.sections.size() && h.sections[r].virtual_address != res.rva) ++r;
  if (r == h.sections.size()) return "its resources do not begin a section of their own";

  // The sections in address order, their bytes inside the file after the
  // headers, and the resource section and those after it last in the file.
  const uint64_t table_end = h.sections_at + SectionHeaderSize * h.sections.size();
  uint64_t file_end = std::max<uint64_t>(h.size_of_headers, table_end), before_resources = 0;
  for (size_t i = 0; i < h.sections.size(); ++i) {
    const PeSection& s = h.sections[i];
    if (i > 0 && s.virtual_address < uint64_t(h.sections[i - 1].virtual_address) + SpanOf(h.sections[i - 1]))
      return "its sections are not in address order";
    if (uint64_t(s.virtual_address) + SpanOf(s) > 0xFFFFFFFFu) return "a section lies beyond 4 GiB";
    if (i == r) before_resources = file_end;
    if (s.raw_size == 0) continue;
    if (uint64_t(s.raw_offset) + s.raw_size > f.size())
      return "a section's bytes run past the end of the file";
    if (i >= r && s.raw_offset < file_end)
      return "its resource section and those after it are not the last in the file, in address order";
    file_end = std::max<uint64_t>(file_end, uint64_t(s.raw_offset) + s.raw_size);
  }
  if (f.size() > file_end) return "it has data after its last section";
  for (size_t i = r + 1; i < h.sections.size(); ++i)
    if (!Movable(h.sections[i], h))
      return "its section '" + std::string(h.sections[i].name) +
             "' follows the resource section and might be referred to by address";
  for (size_t d = 0; d < h.directories.size(); ++d)
    if (d != DirectoryResource && d != DirectorySecurity && h.directories[d].rva != 0 &&
        h.SectionOf(h.directories[d].rva) == &h.sections[r])
      return "its data directory " + std::to_string(d) + " lies in the resource section";
  if (PeProblem p = RelocationsPatchFrom(f, h, res.rva)) return p;

  std::vector<uint8_t> section;
  if (PeProblem p = BuildSection(resources, res.rva, &section)) return p;

  // The new layout: the resource section where it was, grown or shrunk,
  // and every later section right after it in the file and in memory.
  std::vector<PeSection> moved(h.sections.begin() + ptrdiff_t(r), h.sections.end());
  PeSection& rs = moved[0];
  if (rs.raw_size == 0) rs.raw_offset = uint32_t(AlignUp(before_resources, h.file_alignment));
  const uint64_t old_raw = h.sections[r].raw_size;
  rs.virtual_size = uint32_t(section.size());
  rs.raw_size = uint32_t(AlignUp(section.size(), h.file_alignment));
  uint64_t next_raw = AlignUp(uint64_t(rs.raw_offset) + rs.raw_size, h.file_alignment);
  uint64_t image_end = AlignUp(uint64_t(rs.virtual_address) + rs.virtual_size, h.section_alignment);
  for (size_t i = 1; i < moved.size(); ++i) {
    moved[i].raw_offset = moved[i].raw_size ? uint32_t(next_raw) : 0;
    moved[i].virtual_address = uint32_t(image_end);
    next_raw = AlignUp(next_raw + moved[i].raw_size, h.file_alignment);
    image_end = AlignUp(image_end + SpanOf(moved[i]), h.section_alignment);
    if (image_end > 0xFFFFFFFFu || next_raw > 0xFFFFFFFFu) return "the resources are too large";
  }
  // Sections before the resources may end later in memory than those moved.
  for (size_t i = 0; i < r; ++i) {
    const PeSection& s = h.sections[i];
    image_end = std::max(image_end, AlignUp(uint64_t(s.virtual_address) + SpanOf(s), h.section_alignment));
  }
  if (image_end > 0xFFFFFFFFu) return "the resources are too large";

  // The headers lie before rs.raw_offset, and so are copied here whole.
  std::vector<uint8_t> out(f.begin(), f.begin() + ptrdiff_t(std::min<size_t>(rs.raw_offset, f.size())));
  out.resize(rs.raw_offset + size_t(rs.raw_size), 0);
  std::copy(section.begin(), section.end(), out.begin() + ptrdiff_t(rs.raw_offset));
  for (size_t i = 1; i < moved.size(); ++i) {
    const PeSection& old = h.sections[r + i];
    if (old.raw_size == 0) continue;
    out.resize(moved[i].raw_offset, 0);
    const auto from = f.begin() + ptrdiff_t(old.raw_offset);
    out.insert(out.end(), from, from + ptrdiff_t(old.raw_size));
  }
  // Header fields: the moved sections' headers, every directory into a
  // moved section, the resource directory's size, the image's sizes.
  for (const PeSection& s : moved) {
    Set32(out, s.header_at + 8, s.virtual_size);
    Set32(out, s.header_at + 12, s.virtual_address);
    Set32(out, s.header_at + 16, s.raw_size);
    Set32(out, s.header_at + 20, s.raw_offset);
  }
  for (size_t d = 0; d < h.directories.size(); ++d) {
    const PeSection* s = h.SectionOf(h.directories[d].rva);
    if (d == DirectorySecurity || h.directories[d].rva == 0 || !s) continue;
    const size_t index = size_t(s - h.sections.data());
    if (index <= r) continue;
    const PeSection& to = moved[index - r];
    Set32(out, h.directories_at + 8 * d, h.directories[d].rva - s->virtual_address + to.virtual_address);
  }
  Set32(out, h.directories_at + 8 * DirectoryResource + 4, uint32_t(section.size()));
  Set32(out, h.optional_at + 56, uint32_t(image_end));
  if (h.sections[r].characteristics & InitializedData)
    Set32(out, h.optional_at + 8, uint32_t(h.size_of_initialized_data - old_raw + rs.raw_size));
  PeChecksum sum(h.checksum_at);
  sum.Add(out.data(), out.size());
  Set32(out, h.checksum_at, sum.Value());
  *image = std::move(out);
  return std::nullopt;
}
