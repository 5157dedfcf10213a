// Unit tests of the installer's identity: version information built and
// read back, icon files read into images and the stub's icon group
// replaced by them.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec.h"
#include "icon_file.h"
#include "test_support.h"
#include "version_info.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, uint64_t v, int bytes, bool big_endian = false) {
  for (int i = 0; i < bytes; i++) b.push_back(uint8_t(v >> 8 * (big_endian ? bytes - 1 - i : i)));
}
uint16_t Get16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// Where UTF-16 text first occurs in data, or npos.
size_t FindUtf16(const Bytes& data, const std::u16string& text) {
  Bytes needle;
  for (char16_t c : text) Put(needle, c, 2);
  const auto at = std::search(data.begin(), data.end(), needle.begin(), needle.end());
  return at == data.end() ? std::string::npos : size_t(at - data.begin());
}

// A problem that holds the expected text, or none when expected is "".
void ExpectProblem(const PeProblem& problem, const char* expected, const std::string& label) {
  if (*expected) {
    EXPECT_NE(problem.value_or("").find(expected), std::string::npos) << label << ": " << problem.value_or("none");
  } else {
    EXPECT_EQ(problem, std::nullopt) << label;
  }
}

TEST(VersionInfo, NumbersOfOneToFourParts) {
  struct Case {
    const char* text;
    VersionNumber number;
    const char* problem;
  } cases[] = {
      {"1", {1, 0, 0, 0}, ""},          {"65535.0.7", {65535, 0, 7, 0}, ""},
      {"0000012.1.2.3", {12, 1, 2, 3}, ""}, {"", {}, "empty"},
      {"1..2", {}, "empty number"},     {"1.2.3.4.5", {}, "more than four"},
      {"1.x", {}, "'x' is not a number"}, {"65536", {}, "65536 is larger than 65535"},
  };
  for (const Case& c : cases) {
    VersionNumber number;
    ExpectProblem(ParseVersionNumber(c.text, &number), c.problem, c.text);
    if (!*c.problem) {
      EXPECT_EQ(number, c.number) << c.text;
    }
  }
}

TEST(VersionInfo, BuiltThenReadBackWithTheLayoutWindowsReads) {
  VersionInfo info;
  info.file_version = {1, 2, 3, 4};
  info.product_version = {5, 6, 65535, 0};
  info.strings = {{"CompanyName", "Example Ltd"},
                  {"ProductName", "\xC5\x81\xC3\xB3\x64\xC5\xBA \xE6\x97\xA5\xE6\x9C\xAC"},  // Łódź 日本
                  {"Comments", "beyond the BMP: \xF0\x9F\x98\x80"},
                  {"LegalTrademarks", ""}};
  Bytes data;
  ASSERT_EQ(BuildVersionInfo(info, &data), std::nullopt);
  VersionInfo back;
  ASSERT_EQ(ReadVersionInfo(data, &back), std::nullopt);
  EXPECT_EQ(back.file_version, info.file_version);
  EXPECT_EQ(back.product_version, info.product_version);
  EXPECT_EQ(back.strings, info.strings);

  EXPECT_EQ(Get16(data, 0), data.size());  // wLength: all of it
  EXPECT_EQ(Get16(data, 2), 52);           // VS_FIXEDFILEINFO, aligned after the key
  EXPECT_EQ(Get16(data, 40) | uint32_t(Get16(data, 42)) << 16, 0xFEEF04BDu);
  EXPECT_EQ(Get16(data, 48), 2);  // the file version's high word: 1.2
  EXPECT_EQ((FindUtf16(data, u"040904B0") - 6) % 4, 0u);
  // CompanyName: header 6, key 24, padding 2, value 24 bytes; its
  // wValueLength counts UTF-16 units, the zero included.
  const size_t company = FindUtf16(data, u"CompanyName") - 6;
  EXPECT_EQ(company % 4, 0u);
  EXPECT_EQ(Get16(data, company), 6 + 24 + 2 + 24);
  EXPECT_EQ(Get16(data, company + 2), 12);
  // Comments: no padding, a surrogate pair.
  const size_t comments = FindUtf16(data, u"Comments") - 6;
  EXPECT_EQ(Get16(data, comments), 6 + 18 + 38);
  EXPECT_EQ(Get16(data, comments + 2), 19);
  // The translation ends the resource: US English, UTF-16.
  EXPECT_TRUE(std::equal(data.end() - 4, data.end(), Bytes{0x09, 0x04, 0xB0, 0x04}.begin()));
  // Strings that each fit but together pass the 16-bit length fields.
  info.strings = {{"A", std::string(20000, 'a')}, {"B", std::string(20000, 'b')}};
  ExpectProblem(BuildVersionInfo(info, &data), "its 16-bit length fields hold at most 65535", "40000 units");
}

TEST(VersionInfo, WhatTheOptionsAskFor) {
  using Strings = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::vector<std::string> strings;
    const char *file_version, *product_version;
    VersionNumber file_number, product_number;
    Strings expected;
    const char* problem;
  } cases[] = {
      {{"CompanyName=Example"}, "", "", {}, {}, {{"CompanyName", "Example"}, {"OriginalFilename", "Setup.exe"}}, ""},
      {{}, "1.2", "3", {1, 2, 0, 0}, {3, 0, 0, 0},
       {{"FileVersion", "1.2.0.0"}, {"ProductVersion", "3.0.0.0"}, {"OriginalFilename", "Setup.exe"}}, ""},
      // A string given keeps its text; one that spells a number sets it.
      {{"FileVersion=2.0 beta", "productversion=7.1", "OriginalFilename=x.exe", "A=b=c"}, "2", "",
       {2, 0, 0, 0}, {7, 1, 0, 0},
       {{"FileVersion", "2.0 beta"}, {"productversion", "7.1"}, {"OriginalFilename", "x.exe"}, {"A", "b=c"}}, ""},
      {{"=value"}, "", "", {}, {}, {}, "its key is empty"},
      {{"Comments=\xFF"}, "", "", {}, {}, {}, "not valid UTF-8"},
      {{}, "", "1.70000", {}, {}, {}, "--product-version '1.70000': 70000 is larger"},
  };
  for (const Case& c : cases) {
    VersionInfo info;
    const std::string label = c.strings.empty() ? c.file_version : c.strings[0];
    ExpectProblem(VersionInfoFor({c.strings, c.file_version, c.product_version, "Setup.exe"}, &info), c.problem,
                  label);
    if (*c.problem) continue;
    EXPECT_EQ(info.strings, c.expected) << label;
    EXPECT_EQ(info.file_version, c.file_number) << label;
    EXPECT_EQ(info.product_version, c.product_number) << label;
  }
}

// ---- Icons ----

// A bitmap icon image: header, palette, colour rows, mask rows.
Bytes Bitmap(uint32_t side, uint16_t bits) {
  Bytes b;
  for (uint32_t v : {40u, side, 2 * side}) Put(b, v, 4);
  Put(b, 1, 2);
  Put(b, bits, 2);
  b.resize(40, 0);
  b.resize(40 + (bits <= 8 ? 4 << bits : 0), 0x11);
  b.resize(b.size() + ((side * bits + 31) / 32 * 4 + (side + 31) / 32 * 4) * side, 0x22);
  return b;
}

// A PNG file: the signature, IHDR (8-bit RGBA), a stand-in IDAT and IEND.
Bytes Png(uint32_t width, uint32_t height) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  Put(header, width, 4, true);
  Put(header, height, 4, true);
  header.insert(header.end(), {8, 6, 0, 0, 0});
  for (const auto& [type, body] : {std::make_pair("IHDR", header), {"IDAT", Bytes(20, 0x33)}, {"IEND", {}}}) {
    Put(png, body.size(), 4, true);
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    png.insert(png.end(), typed.begin(), typed.end());
    Put(png, Crc32(typed.data(), typed.size()), 4, true);
  }
  return png;
}

struct Entry {
  uint32_t side;
  uint16_t bits;
  Bytes data;
};

// An .ico file holding the images, each entry sized as its data.
Bytes Ico(const std::vector<Entry>& images) {
  Bytes ico;
  for (uint64_t v : {0ul, 1ul, images.size()}) Put(ico, v, 2);
  uint32_t offset = uint32_t(6 + 16 * images.size());
  for (const Entry& e : images) {
    ico.insert(ico.end(), {uint8_t(e.side), uint8_t(e.side), uint8_t(e.bits == 4 ? 16 : 0), 0, 1, 0});
    Put(ico, e.bits, 2);
    Put(ico, e.data.size(), 4);
    Put(ico, offset, 4);
    offset += uint32_t(e.data.size());
  }
  for (const Entry& e : images) ico.insert(ico.end(), e.data.begin(), e.data.end());
  return ico;
}

const std::vector<Entry> ThreeImages = {{16, 4, Bitmap(16, 4)}, {48, 32, Bitmap(48, 32)}, {256, 32, Png(256, 256)}};

TEST(IconFile, EveryImageOfAnIconAndOnePngAreTaken) {
  std::vector<IconImage> images;
  ASSERT_EQ(ReadIconFile(Ico(ThreeImages), &images), std::nullopt);
  ASSERT_EQ(images.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(std::make_tuple(images[i].width, images[i].height, images[i].bit_count, images[i].data),
              std::make_tuple(ThreeImages[i].side, ThreeImages[i].side, ThreeImages[i].bits, ThreeImages[i].data));
  }
  ASSERT_EQ(ReadIconFile(Png(64, 64), &images), std::nullopt);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(std::make_tuple(images[0].width, images[0].bit_count, images[0].data), std::make_tuple(64, 32, Png(64, 64)));
}

TEST(IconFile, AnythingElseIsRefusedSayingWhy) {
  const auto changed = [](Bytes file, size_t at, std::vector<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), file.begin() + ptrdiff_t(at));
    return file;
  };
  const auto cut = [](Bytes file, size_t drop) { return Bytes(file.begin(), file.end() - ptrdiff_t(drop)); };
  Bytes long_bitmap = Bitmap(32, 8), trailing = Png(32, 32);
  long_bitmap.push_back(0);
  trailing.push_back(0);
  const Bytes three = Ico(ThreeImages);
  struct Case {
    const char* label;
    Bytes file;
    const char* problem;
  } cases[] = {
      {"empty", {}, "it is empty"},
      {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, "neither an icon (.ico) nor a PNG image"},
      {"cursor", changed(three, 2, {2}), "a cursor"},
      {"no images", changed(three, 4, {0}), "lists no images"},
      {"65 images", Ico(std::vector<Entry>(65, {16, 4, Bitmap(16, 4)})), "holds 65 images; at most 64"},
      {"directory cut", cut(three, three.size() - 6 - 32), "directory is cut short: 3 images need 54 bytes"},
      {"image past the end", changed(three, 6 + 32 + 12, {0, 0, 0, 0x7F}), "image 3 of 3 lies outside the file"},
      {"image in the directory", changed(three, 6 + 12, {6, 0, 0, 0}), "image 1 of 3 lies outside"},
      {"empty image", changed(three, 6 + 8, {0, 0, 0, 0}), "image 1 of 3 is empty"},
      {"bitmap too long", Ico({{32, 8, long_bitmap}}), "it is 2217 bytes, but its bitmap header describes 2216"},
      {"bitmap too short", Ico({{32, 8, cut(Bitmap(32, 8), 4)}}), "bitmap header describes 2216"},
      {"entry and bitmap disagree", Ico({{24, 4, Bitmap(16, 4)}}), "entry says 24x24, its bitmap header 16x16"},
      {"entry and PNG disagree", Ico({{128, 32, Png(256, 256)}}), "entry says 128x128, its PNG image 256x256"},
      {"PNG too wide", Png(300, 300), "300x300; an icon is at most 256x256"},
      {"PNG not square", Png(32, 16), "32x16, not square"},
      {"PNG IHDR damaged", changed(Png(32, 32), 20, {0xFF}), "fails its CRC"},
      {"PNG with bytes after IEND", trailing, "1 bytes follow"},
      {"PNG cut short", cut(Png(32, 32), 12), "ends before the IEND"},
  };
  for (const Case& c : cases) {
    std::vector<IconImage> images;
    ExpectProblem(ReadIconFile(c.file, &images), c.problem, c.label);
    EXPECT_TRUE(images.empty()) << c.label;
  }
}

Resource Icon(uint16_t id, uint16_t language) { return ResourceOf({ResourceIcon, u""}, {id, u""}, language, Bytes(8, uint8_t(id))); }
Resource Group(const std::u16string& name, uint16_t language, std::vector<uint16_t> ids) {
  Bytes d;
  for (uint64_t v : {0ul, 1ul, ids.size()}) Put(d, v, 2);
  for (uint16_t id : ids) d.insert(d.end(), {32, 32, 16, 0, 1, 0, 4, 0, 8, 0, 0, 0, uint8_t(id), uint8_t(id >> 8)});
  return ResourceOf({ResourceGroupIcon, u""}, {0, name}, language, d);
}

TEST(IconFile, OnlyTheFirstGroupsImagesAreReplaced) {
  std::vector<IconImage> images;
  ASSERT_EQ(ReadIconFile(Ico(ThreeImages), &images), std::nullopt);
  struct Case {
    const char* label;
    std::vector<Resource> before;
    std::vector<uint16_t> new_ids;  // the first group's, in order
    std::vector<uint16_t> kept;     // RT_ICON IDs left as they were
    uint16_t language;
    size_t groups;
  } cases[] = {
      // As the stub has them: groups of one image each.
      {"the stub's layout", {Icon(1, 0x409), Icon(2, 0x409), Group(u"A", 0x409, {1}), Group(u"B", 0x409, {2})},
       {1, 3, 4}, {2}, 0x409, 2},
      // An image the first group shares with another stays.
      {"a shared image", {Icon(1, 0x407), Icon(2, 0x407), Group(u"A", 0x407, {1, 2}), Group(u"B", 0x407, {2})},
       {1, 3, 4}, {2}, 0x407, 2},
      // Every language of the first group goes; the new one takes the first's.
      {"two languages", {Icon(1, 0x409), Icon(2, 0x407), Icon(3, 0x409), Group(u"A", 0x409, {1}),
                         Group(u"A", 0x407, {2}), Group(u"B", 0x409, {3})},
       {1, 2, 4}, {3}, 0x409, 2},
      {"no group yet", {Icon(1, 0x409)}, {2, 3, 4}, {1}, 0x409, 1},
  };
  for (Case& c : cases) {
    std::vector<Resource> r = c.before;
    ASSERT_EQ(ReplaceFirstIconGroup(&r, images), std::nullopt) << c.label;
    const auto of_type = [&](uint16_t type) {
      return size_t(std::count_if(r.begin(), r.end(), [&](const Resource& x) { return x.type.id == type; }));
    };
    EXPECT_EQ(of_type(ResourceGroupIcon), c.groups) << c.label;
    EXPECT_EQ(of_type(ResourceIcon), c.new_ids.size() + c.kept.size()) << c.label;
    const bool named = c.groups > 1;
    const auto group = std::find_if(r.begin(), r.end(), [&](const Resource& x) {
      return x.type.id == ResourceGroupIcon && (named ? x.name.name == u"A" : x.name.id == 1);
    });
    ASSERT_NE(group, r.end()) << c.label;
    EXPECT_EQ(group->language, c.language) << c.label;
    ASSERT_EQ(Get16(group->data, 4), 3) << c.label;
    const auto icon = [&](uint16_t id) {
      return std::find_if(r.begin(), r.end(), [&](const Resource& x) { return x.type.id == ResourceIcon && x.name.id == id; });
    };
    for (size_t i = 0; i < 3; i++) {
      const size_t at = 6 + 14 * i;
      EXPECT_EQ(Get16(group->data, at + 12), c.new_ids[i]) << c.label;
      EXPECT_EQ(std::make_tuple(group->data[at], Get16(group->data, at + 6), Get16(group->data, at + 8)),
                std::make_tuple(uint8_t(images[i].width), images[i].bit_count, uint16_t(images[i].data.size())));
      ASSERT_NE(icon(c.new_ids[i]), r.end()) << c.label;
      EXPECT_EQ(icon(c.new_ids[i])->data, images[i].data) << c.label;
      EXPECT_EQ(icon(c.new_ids[i])->language, c.language) << c.label;
    }
    for (uint16_t id : c.kept) {
      ASSERT_NE(icon(id), r.end()) << c.label;
      EXPECT_EQ(icon(id)->data, Bytes(8, uint8_t(id))) << c.label;
    }
  }
}

}  // namespace
