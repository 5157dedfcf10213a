// Unit tests of the PE reader and the resource-section rebuild: hand-made
// images with a hand-written resource tree, and damaged ones.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive_bytes.h"
#include "pe_checksum.h"
#include "pe_resources.h"
#include "test_support.h"

namespace {

// A resource tree written out by hand, for RVA 0x2000: type 3, name "AB",
// language 1033, code page 1252, data "DATA".
std::vector<uint8_t> Tree() {
  std::vector<uint8_t> t(100, 0);
  PutLe(t, 14, 1, 2), PutLe(t, 16, 3), PutLe(t, 20, 0x80000000u | 24);                      // root
  PutLe(t, 24 + 12, 1, 2), PutLe(t, 40, 0x80000000u | 72), PutLe(t, 44, 0x80000000u | 48);  // types
  PutLe(t, 48 + 14, 1, 2), PutLe(t, 64, 1033), PutLe(t, 68, 80);                            // names
  PutLe(t, 72, 2, 2), PutLe(t, 74, 'A', 2), PutLe(t, 76, 'B', 2);
  PutLe(t, 80, 0x2000 + 96), PutLe(t, 84, 4), PutLe(t, 88, 1252);
  memcpy(&t[96], "DATA", 4);
  return t;
}

// A relocation block for the page at 0x1000: one 32-bit address at 0x10.
std::vector<uint8_t> Relocations() {
  std::vector<uint8_t> r(12, 0);
  PutLe(r, 0, 0x1000), PutLe(r, 4, 12), PutLe(r, 8, 0x3010, 2);
  return r;
}

std::vector<uint8_t> Sample() {
  return ImageOfSections({{".text", std::vector<uint8_t>(0x300, 0xC3)}, {".rsrc", Tree()}, {".reloc", Relocations()}});
}

ResourceId Named(const char16_t* s) { return ResourceId{0, s}; }
ResourceId Id(uint16_t id) { return ResourceId{id, u""}; }

TEST(PeImage, HeadersOfBothFormsAreRead) {
  for (bool plus : {false, true}) {
    PeHeaders h;
    ASSERT_EQ(ReadPeHeaders(ImageOfSections({{".text", {1, 2}}, {".rsrc", Tree()}}, plus), &h), std::nullopt);
    EXPECT_EQ(h.machine, plus ? 0x8664 : 0x14C);
    EXPECT_EQ(h.magic, plus ? 0x20B : 0x10B);
    EXPECT_EQ(h.image_base, 0x400000u);
    EXPECT_EQ(h.checksum_at, 0x40 + 24 + 64u);
    EXPECT_EQ(h.directories.size(), 16u);
    EXPECT_EQ(h.Directory(DirectoryResource).rva, 0x2000u);
    ASSERT_EQ(h.sections.size(), 2u);
    EXPECT_STREQ(h.sections[1].name, ".rsrc");
    EXPECT_EQ(h.sections[1].raw_offset, 0x400u);
    EXPECT_EQ(h.OffsetOf(0x2000 + 96, 4, 0x600), 0x400u + 96);
    EXPECT_EQ(h.OffsetOf(0x2000 + 98, 4, 0x600), std::nullopt);  // past the section's size
    EXPECT_EQ(h.OffsetOf(0x2000, 4, 0x402), std::nullopt);       // past the file's end
  }
}

TEST(PeImage, HandWrittenTreeIsRead) {
  std::vector<Resource> got;
  ASSERT_EQ(ReadResources(Sample(), &got), std::nullopt);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, Id(3));
  EXPECT_EQ(got[0].name, Named(u"AB"));
  EXPECT_EQ(got[0].language, 1033);
  EXPECT_EQ(got[0].code_page, 1252u);
  EXPECT_EQ(got[0].data, std::vector<uint8_t>({'D', 'A', 'T', 'A'}));
}

// Damaged images: each gives a problem naming what is wrong, and reads no
// byte outside the vector (the sanitizer build checks).
TEST(PeImage, DamagedImagesGiveAProblem) {
  constexpr size_t Rsrc = 0x600, Opt = 0x58;  // file offsets of the tree, the optional header
  struct Damage {
    const char* what;
    size_t at;         // where a value is written, or the length kept when value is ~0
    uint32_t value;
    int bytes;
    const char* problem;
  } damages[] = {
      {"cut before e_lfanew", 0x3F, ~0u, 0, "MZ"},
      {"PE header far away", 0x3C, 0xFFFFFFF0u, 4, "no PE header"},
      {"file header cut", 0x50, ~0u, 0, "PE header is cut short"},
      {"optional header cut", Opt + 100, ~0u, 0, "optional header is cut short"},
      {"unknown magic", Opt, 0x107, 2, "neither PE32"},
      {"odd file alignment", Opt + 36, 0x300, 4, "power of two"},
      {"directories past the header", 0x54, 96 + 8, 2, "do not fit"},
      {"huge section count", 0x46, 0xFFFF, 2, "section table runs past"},
      {"resources outside every section", Opt + 96 + 16, 0x9000, 4, "outside its sections"},
      {"root leads to itself", Rsrc + 20, 0x80000000u, 4, "leads back"},
      {"type table leads to the root", Rsrc + 44, 0x80000000u, 4, "leads back"},
      {"root counts 65535 entries", Rsrc + 14, 0xFFFF, 2, "runs past"},
      {"ID above 16 bits", Rsrc + 16, 0x10003, 4, "above 65535"},
      {"name outside the section", Rsrc + 40, 0xFFFF0000u, 4, "name lies outside"},
      {"name longer than the section", Rsrc + 72, 0x7FFF, 2, "name runs past"},
      {"language given as a name", Rsrc + 64, 0x80000000u | 72, 4, "language is given as a name"},
      {"leaf on the name level", Rsrc + 44, 80, 4, "lacks a name or a language"},
      {"fourth level", Rsrc + 68, 0x80000000u | 48, 4, "deeper than"},
      {"data entry outside", Rsrc + 68, 0xFFFF0, 4, "data entry lies outside"},
      {"data RVA out of range", Rsrc + 80, 0x70000, 4, "data lies outside the file"},
      {"huge data size", Rsrc + 84, 0xFFFFFFF0u, 4, "data lies outside the file"},
  };
  for (const Damage& d : damages) {
    std::vector<uint8_t> f = Sample();
    if (d.value == ~0u) f.resize(d.at);
    else PutLe(f, d.at, d.value, d.bytes);
    std::vector<Resource> got;
    const PeProblem p = ReadResources(f, &got);
    ASSERT_TRUE(p.has_value()) << d.what;
    EXPECT_NE(p->find(d.problem), std::string::npos) << d.what << ": " << *p;
    // Headers it cannot read, it does not rebuild either.
    PeHeaders h;
    std::vector<uint8_t> copy = f;
    if (ReadPeHeaders(f, &h)) {
      EXPECT_TRUE(ReplaceResources(&copy, {}).has_value()) << d.what;
    }
    EXPECT_EQ(copy, f) << d.what;
  }
}

std::vector<std::u16string> TypeNamesInTreeOrder(const std::vector<Resource>& rs) {
  std::vector<std::u16string> order;
  for (const Resource& r : rs)
    order.push_back(r.type.name.empty() ? u"#" + std::u16string(1, char16_t('0' + r.type.id)) : r.type.name);
  return order;
}

TEST(PeResources, RebuiltTreeIsSortedAsWindowsLooksItUp) {
  // Names before IDs; names by UTF-16 code units (upper case before lower
  // case, U+00E9 after both), IDs ascending; given in any order. The last
  // one has no data.
  const std::vector<Resource> given = {
      ResourceOf(Id(9), Id(1), 0, {9}),           ResourceOf(Named(u"b"), Id(1), 0, {1}),
      ResourceOf(Id(3), Id(1), 0, {3}),           ResourceOf(Named(u"\u00e9"), Id(1), 0, {2}),
      ResourceOf(Named(u"B"), Id(1), 0, {4}),     ResourceOf(Named(u"Ba"), Id(1), 0, {5}),
      ResourceOf(Id(9), Id(2), 0, {})};
  const std::vector<std::u16string> expected = {u"B", u"Ba", u"b", u"\u00e9", u"#3", u"#9", u"#9"};
  std::vector<uint8_t> first;
  for (size_t rotate = 0; rotate < given.size(); ++rotate) {
    std::vector<Resource> order(given.begin() + ptrdiff_t(rotate), given.end());
    order.insert(order.end(), given.begin(), given.begin() + ptrdiff_t(rotate));
    std::vector<uint8_t> f = Sample();
    ASSERT_EQ(ReplaceResources(&f, order), std::nullopt);
    std::vector<Resource> got;
    ASSERT_EQ(ReadResources(f, &got), std::nullopt);
    EXPECT_EQ(TypeNamesInTreeOrder(got), expected);
    // The same bytes whatever the order given.
    if (rotate == 0) first = f;
    EXPECT_EQ(f, first) << rotate;
  }
}

TEST(PeResources, RebuildRefusesWhatItCannotDoSafely) {
  const std::vector<uint8_t> text(0x300, 0xC3);
  std::vector<uint8_t> overlay = Sample();
  overlay.push_back(0);
  std::vector<uint8_t> signed_image = Sample();
  PutLe(signed_image, 0x58 + 96 + 8 * 4, 0x1000);
  std::vector<uint8_t> patched = ImageOfSections({{".text", text}, {".rsrc", Tree()}, {".reloc", Relocations()}});
  PutLe(patched, 0x800, 0x2000);  // the relocation block's page: the resources
  struct Refusal {
    const char* what;
    std::vector<uint8_t> image;
    const char* problem;
  } refusals[] = {
      {"no resources", ImageOfSections({{".text", text}, {".reloc", Relocations()}}), "no resource section"},
      {"data after the last section", overlay, "after its last section"},
      {"signed", signed_image, "signed"},
      {"a data section after the resources", ImageOfSections({{".text", text}, {".rsrc", Tree()}, {".data", text}}),
       "'.data'"},
      {"relocations into the resources", patched, "patch bytes in"},
      {"duplicate resources", Sample(), "same type, name and language"},
  };
  for (Refusal& r : refusals) {
    const std::vector<uint8_t> before = r.image;
    std::vector<Resource> twice(2, ResourceOf(Id(3), Id(1), 0, {1}));
    const PeProblem p = ReplaceResources(&r.image, twice);
    ASSERT_TRUE(p.has_value()) << r.what;
    EXPECT_NE(p->find(r.problem), std::string::npos) << r.what << ": " << *p;
    EXPECT_EQ(r.image, before) << r.what;
  }
}

// The checksum the image's field should hold.
uint32_t ChecksumOf(const std::vector<uint8_t>& f) {
  PeChecksum sum(PeChecksumFieldAt(f));
  sum.Add(f.data(), f.size());
  return sum.Value();
}

TEST(PeResources, GrowingTheSectionMovesTheRelocations) {
  // Sizes around the old section's room: the same, one byte over the
  // file alignment, and over the section alignment many times.
  for (size_t size : {size_t(4), size_t(600), size_t(100000)}) {
    const std::vector<uint8_t> before = Sample();
    std::vector<uint8_t> f = before;
    const std::vector<Resource> wanted = {ResourceOf(Id(10), Named(u"BIG"), 0, std::vector<uint8_t>(size, 0xAB))};
    ASSERT_EQ(ReplaceResources(&f, wanted), std::nullopt) << size;
    PeHeaders old, h;
    ASSERT_EQ(ReadPeHeaders(before, &old), std::nullopt);
    ASSERT_EQ(ReadPeHeaders(f, &h), std::nullopt);
    const PeSection &rsrc = h.sections[1], &reloc = h.sections[2];
    // Three tables of one entry, "BIG", the data entry, then the data.
    const uint32_t rsrc_size = uint32_t(3 * 24 + 8 + 16 + size);
    EXPECT_EQ(rsrc.virtual_size, rsrc_size) << size;
    EXPECT_EQ(rsrc.raw_size, (rsrc_size + 0x1FFu) & ~0x1FFu) << size;
    EXPECT_EQ(h.Directory(DirectoryResource).size, rsrc_size);
    EXPECT_EQ(reloc.raw_offset, rsrc.raw_offset + rsrc.raw_size) << size;
    EXPECT_EQ(reloc.virtual_address, 0x2000 + ((rsrc_size + 0xFFFu) & ~0xFFFu)) << size;
    EXPECT_EQ(h.Directory(DirectoryBaseRelocation).rva, reloc.virtual_address);
    EXPECT_EQ(h.size_of_image, reloc.virtual_address + 0x1000) << size;
    EXPECT_EQ(h.size_of_initialized_data, old.size_of_initialized_data + rsrc.raw_size - 0x200) << size;
    EXPECT_EQ(f.size(), size_t(reloc.raw_offset) + 0x200) << size;
    EXPECT_TRUE(std::equal(before.begin() + 0x800, before.end(), f.begin() + reloc.raw_offset));
    EXPECT_TRUE(std::equal(before.begin() + 0x200, before.begin() + 0x600, f.begin() + 0x200));  // .text
    EXPECT_EQ(Get32(f.data() + h.checksum_at), ChecksumOf(f)) << size;
    std::vector<Resource> got;
    ASSERT_EQ(ReadResources(f, &got), std::nullopt);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, wanted[0].data);
  }
}

}  // namespace
