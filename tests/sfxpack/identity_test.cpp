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
#include "version_info.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void PutBe32(Bytes& b, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(uint8_t(v >> shift));
}
uint16_t Get16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// Where UTF-16 text first occurs in data, or npos.
size_t FindUtf16(const Bytes& data, const std::u16string& text) {
  Bytes needle;
  for (char16_t c : text) Put16(needle, c);
  for (size_t i = 0; i + needle.size() <= data.size(); i++)
    if (memcmp(&data[i], needle.data(), needle.size()) == 0) return i;
  return std::string::npos;
}

TEST(VersionInfo, NumbersOfOneToFourParts) {
  struct Case {
    const char* text;
    bool ok;
    VersionNumber number;
    const char* problem;
  } cases[] = {
      {"1", true, {1, 0, 0, 0}, ""},
      {"1.2.3.4", true, {1, 2, 3, 4}, ""},
      {"65535.0.7", true, {65535, 0, 7, 0}, ""},
      {"0000012", true, {12, 0, 0, 0}, ""},
      {"", false, {}, "empty"},
      {"1..2", false, {}, "empty number"},
      {"1.2.", false, {}, "empty number"},
      {"1.2.3.4.5", false, {}, "more than four"},
      {"1.x", false, {}, "'x' is not a number"},
      {"-1", false, {}, "'-1' is not a number"},
      {"65536", false, {}, "65536 is larger than 65535"},
      {"1.99999999999", false, {}, "larger than 65535"},
  };
  for (const Case& c : cases) {
    VersionNumber number;
    const PeProblem problem = ParseVersionNumber(c.text, &number);
    EXPECT_EQ(!problem, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(number, c.number) << c.text;
      EXPECT_EQ(ParseVersionNumber(VersionNumberText(number), &number), std::nullopt);
      EXPECT_EQ(number, c.number) << c.text;
    } else {
      EXPECT_NE(problem.value_or("").find(c.problem), std::string::npos) << *problem;
    }
  }
}

TEST(VersionInfo, BuiltThenReadBackGivesTheSameValues) {
  VersionInfo info;
  info.file_version = {1, 2, 3, 4};
  info.product_version = {5, 6, 65535, 0};
  info.strings = {{"CompanyName", "Example Ltd"},
                  {"ProductName", "\xC5\x81\xC3\xB3\x64\xC5\xBA \xE6\x97\xA5\xE6\x9C\xAC"},  // Łódź 日本
                  {"Comments", "beyond the BMP: \xF0\x9F\x98\x80"},
                  {"LegalTrademarks", ""},
                  {"Private Build", "odd"}};
  Bytes data;
  ASSERT_EQ(BuildVersionInfo(info, &data), std::nullopt);
  VersionInfo back;
  ASSERT_EQ(ReadVersionInfo(data, &back), std::nullopt);
  EXPECT_EQ(back.file_version, info.file_version);
  EXPECT_EQ(back.product_version, info.product_version);
  EXPECT_EQ(back.strings, info.strings);

  // The layout Windows reads, checked here byte by byte.
  EXPECT_EQ(Get16(data, 0), data.size());                                // wLength: all of it
  EXPECT_EQ(Get16(data, 2), 52);                                         // VS_FIXEDFILEINFO
  EXPECT_EQ(FindUtf16(data, u"VS_VERSION_INFO"), 6u);
  EXPECT_EQ(Get16(data, 40) | uint32_t(Get16(data, 42)) << 16, 0xFEEF04BDu);  // aligned value
  EXPECT_EQ(Get16(data, 48), 2);  // file version, most significant word: 1.2
  EXPECT_EQ(Get16(data, 50), 1);
  const size_t table = FindUtf16(data, u"040904B0");
  ASSERT_NE(table, std::string::npos);
  EXPECT_EQ((table - 6) % 4, 0u);
  // CompanyName: header 6, key 24, padding 2, value 24 bytes.
  const size_t company = FindUtf16(data, u"CompanyName") - 6;
  EXPECT_EQ(company % 4, 0u);
  EXPECT_EQ(Get16(data, company), 6 + 24 + 2 + 24);
  EXPECT_EQ(Get16(data, company + 2), 12);  // in UTF-16 units, the zero included
  EXPECT_EQ(Get16(data, company + 4), 1);   // text
  // Comments: its value needs no padding and holds a surrogate pair.
  const size_t comments = FindUtf16(data, u"Comments") - 6;
  EXPECT_EQ(comments % 4, 0u);
  EXPECT_EQ(Get16(data, comments), 6 + 18 + 38);
  EXPECT_EQ(Get16(data, comments + 2), 19);
  // The translation ends the resource: US English, UTF-16.
  const Bytes translation = {0x09, 0x04, 0xB0, 0x04};
  EXPECT_TRUE(std::equal(translation.begin(), translation.end(), data.end() - 4));
  EXPECT_EQ(Get16(data, FindUtf16(data, u"Translation") - 6 + 2), 4);
}

TEST(VersionInfo, WhatTheOptionsAskFor) {
  struct Case {
    std::vector<std::string> strings;
    const char* file_version;
    const char* product_version;
    VersionNumber file_number, product_number;
    std::vector<std::pair<std::string, std::string>> expected;
    const char* problem;
  } cases[] = {
      {{"CompanyName=Example"}, "", "", {}, {},
       {{"CompanyName", "Example"}, {"OriginalFilename", "Setup.exe"}}, ""},
      {{}, "1.2", "3", {1, 2, 0, 0}, {3, 0, 0, 0},
       {{"FileVersion", "1.2.0.0"}, {"ProductVersion", "3.0.0.0"}, {"OriginalFilename", "Setup.exe"}},
       ""},
      // A string given keeps its text; one that spells a number sets it.
      {{"FileVersion=2.0 beta", "productversion=7.1", "OriginalFilename=x.exe", "A=b=c"}, "2", "", {2, 0, 0, 0},
       {7, 1, 0, 0},
       {{"FileVersion", "2.0 beta"}, {"productversion", "7.1"}, {"OriginalFilename", "x.exe"}, {"A", "b=c"}},
       ""},
      {{"Comments="}, "", "", {}, {}, {{"Comments", ""}, {"OriginalFilename", "Setup.exe"}}, ""},
      {{"CompanyName=a", "companyname=b"}, "", "", {}, {}, {}, "names the key 'companyname' twice"},
      {{"CompanyName"}, "", "", {}, {}, {}, "no '='"},
      {{"=value"}, "", "", {}, {}, {}, "its key is empty"},
      {{"Comments=\xFF"}, "", "", {}, {}, {}, "not valid UTF-8"},
      {{}, "1.2.3.4.5", "", {}, {}, {}, "--file-version '1.2.3.4.5': it has more than four"},
      {{}, "", "1.70000", {}, {}, {}, "--product-version '1.70000': 70000 is larger"},
  };
  for (const Case& c : cases) {
    VersionInfo info;
    const PeProblem problem =
        VersionInfoFor({c.strings, c.file_version, c.product_version, "Setup.exe"}, &info);
    if (*c.problem) {
      EXPECT_NE(problem.value_or("").find(c.problem), std::string::npos)
          << problem.value_or("no problem") << " / " << c.problem;
      continue;
    }
    ASSERT_EQ(problem, std::nullopt) << *problem;
    EXPECT_EQ(info.strings, c.expected) << c.strings.size();
    EXPECT_EQ(info.file_version, c.file_number);
    EXPECT_EQ(info.product_version, c.product_number);
  }
}

TEST(VersionInfo, LengthsBeyondSixteenBitsAreRefused) {
  struct Case {
    std::vector<size_t> value_lengths;
    const char* problem;  // "" when it fits
  } cases[] = {
      {{32000}, ""},
      {{32760}, "takes 65520 bytes in UTF-16"},
      {{40000}, "takes 80000 bytes"},
      {{20000, 20000}, "its 16-bit length fields hold at most 65535"},
  };
  for (const Case& c : cases) {
    VersionInfo info;
    for (size_t i = 0; i < c.value_lengths.size(); i++)
      info.strings.emplace_back("Key" + std::to_string(i), std::string(c.value_lengths[i], 'v'));
    Bytes data;
    const PeProblem problem = BuildVersionInfo(info, &data);
    if (*c.problem) {
      EXPECT_NE(problem.value_or("").find(c.problem), std::string::npos) << problem.value_or("none");
    } else {
      EXPECT_EQ(problem, std::nullopt);
      EXPECT_EQ(Get16(data, 0), data.size());
    }
  }
}

TEST(VersionInfo, DamagedResourcesAreNamedNotRead) {
  VersionInfo info;
  info.strings = {{"CompanyName", "Example"}};
  Bytes good;
  ASSERT_EQ(BuildVersionInfo(info, &good), std::nullopt);
  struct Case {
    const char* label;
    size_t cut;          // bytes kept
    size_t field;        // a 16-bit field set to value, if value != 0
    uint16_t value;
    const char* problem;
  } cases[] = {
      {"cut short", 4, 0, 0, "cut short"},
      {"length past the end", good.size(), 0, uint16_t(good.size() + 2), "claims"},
      {"other key", good.size(), 6, 'X', "does not begin with VS_VERSION_INFO"},
      {"wrong signature", good.size(), 40, 0x1234, "wrong signature"},
      {"string past its table", good.size(), FindUtf16(good, u"CompanyName") - 6, 500, "claims"},
  };
  for (const Case& c : cases) {
    Bytes damaged(good.begin(), good.begin() + ptrdiff_t(c.cut));
    if (c.value) damaged[c.field] = uint8_t(c.value), damaged[c.field + 1] = uint8_t(c.value >> 8);
    VersionInfo back;
    const PeProblem problem = ReadVersionInfo(damaged, &back);
    EXPECT_NE(problem.value_or("").find(c.problem), std::string::npos)
        << c.label << ": " << problem.value_or("none");
  }
}

// ---- Icons ----

// A bitmap icon image: header, palette, colour rows, mask rows.
Bytes Bitmap(uint32_t side, uint16_t bits) {
  Bytes b;
  Put32(b, 40);
  Put32(b, side);
  Put32(b, 2 * side);
  Put16(b, 1);
  Put16(b, bits);
  for (int i = 0; i < 6; i++) Put32(b, 0);
  if (bits <= 8) b.resize(b.size() + 4 * (size_t(1) << bits), 0x11);
  const size_t colour_row = (side * bits + 31) / 32 * 4, mask_row = (side + 31) / 32 * 4;
  b.resize(b.size() + (colour_row + mask_row) * side, 0x22);
  return b;
}

void Chunk(Bytes& png, const char* type, const Bytes& body) {
  PutBe32(png, uint32_t(body.size()));
  Bytes typed(type, type + 4);
  typed.insert(typed.end(), body.begin(), body.end());
  png.insert(png.end(), typed.begin(), typed.end());
  PutBe32(png, Crc32(typed.data(), typed.size()));
}

// A PNG file: the signature, IHDR (8-bit RGBA), a stand-in IDAT and IEND.
Bytes Png(uint32_t width, uint32_t height) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  PutBe32(header, width);
  PutBe32(header, height);
  header.insert(header.end(), {8, 6, 0, 0, 0});
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", Bytes(20, 0x33));
  Chunk(png, "IEND", {});
  return png;
}

struct Entry {
  uint32_t width, height;
  uint16_t bits;
  Bytes data;
};

// An .ico file holding the images, each entry sized as its data.
Bytes Ico(const std::vector<Entry>& images) {
  Bytes ico;
  Put16(ico, 0);
  Put16(ico, 1);
  Put16(ico, uint32_t(images.size()));
  uint32_t offset = uint32_t(6 + 16 * images.size());
  for (const Entry& e : images) {
    ico.push_back(uint8_t(e.width % 256));
    ico.push_back(uint8_t(e.height % 256));
    ico.push_back(e.bits == 4 ? 16 : 0);
    ico.push_back(0);
    Put16(ico, 1);
    Put16(ico, e.bits);
    Put32(ico, uint32_t(e.data.size()));
    Put32(ico, offset);
    offset += uint32_t(e.data.size());
  }
  for (const Entry& e : images) ico.insert(ico.end(), e.data.begin(), e.data.end());
  return ico;
}

const std::vector<Entry> ThreeImages = {
    {16, 16, 4, Bitmap(16, 4)}, {48, 48, 32, Bitmap(48, 32)}, {256, 256, 32, Png(256, 256)}};

TEST(IconFile, EveryImageOfAnIconAndOnePngAreTaken) {
  std::vector<IconImage> images;
  ASSERT_EQ(ReadIconFile(Ico(ThreeImages), &images), std::nullopt);
  ASSERT_EQ(images.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(images[i].width, ThreeImages[i].width);
    EXPECT_EQ(images[i].height, ThreeImages[i].height);
    EXPECT_EQ(images[i].bit_count, ThreeImages[i].bits);
    EXPECT_EQ(images[i].data, ThreeImages[i].data);
  }
  EXPECT_EQ(images[0].colours, 16);

  ASSERT_EQ(ReadIconFile(Png(64, 64), &images), std::nullopt);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].width, 64);
  EXPECT_EQ(images[0].bit_count, 32);
  EXPECT_EQ(images[0].data, Png(64, 64));
}

TEST(IconFile, AnythingElseIsRefusedSayingWhy) {
  const auto with = [](std::vector<Entry> images, size_t at, uint8_t value) {
    Bytes ico = Ico(images);
    ico[at] = value;
    return ico;
  };
  Bytes bad_crc = Png(32, 32);
  bad_crc[20] ^= 1;
  Bytes trailing = Png(32, 32);
  trailing.push_back(0);
  std::vector<Entry> many(65, {16, 16, 4, Bitmap(16, 4)});
  Bytes cut = Ico(ThreeImages);
  cut.resize(6 + 16 * 2);
  Bytes long_bitmap = Bitmap(32, 8), short_bitmap = Bitmap(32, 8);
  long_bitmap.push_back(0);
  short_bitmap.resize(short_bitmap.size() - 4);
  Bytes empty_image = Ico({{16, 16, 4, Bitmap(16, 4)}});
  empty_image[6 + 8] = empty_image[6 + 9] = 0;  // its size, 296
  Bytes cut_png = Png(32, 32);
  cut_png.resize(cut_png.size() - 12);
  struct Case {
    const char* label;
    Bytes file;
    const char* problem;
  } cases[] = {
      {"empty", {}, "it is empty"},
      {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, "neither an icon (.ico) nor a PNG image"},
      {"cursor", with(ThreeImages, 2, 2), "a cursor"},
      {"no images", with(ThreeImages, 4, 0), "lists no images"},
      {"65 images", Ico(many), "holds 65 images; at most 64"},
      {"directory cut", cut, "directory is cut short: 3 images need 54 bytes"},
      {"image past the end", with(ThreeImages, 6 + 16 * 2 + 13, 0x7F), "image 3 of 3 lies outside the file"},
      {"image in the directory", with(ThreeImages, 6 + 12, 6), "image 1 of 3 lies outside"},
      {"empty image", empty_image, "image 1 of 1 is empty"},
      {"bitmap too long", Ico({{32, 32, 8, long_bitmap}}), "it is 2217 bytes, but its bitmap header describes 2216"},
      {"bitmap too short", Ico({{32, 32, 8, short_bitmap}}),
       "bitmap header describes"},
      {"entry and bitmap disagree", Ico({{24, 24, 4, Bitmap(16, 4)}}), "entry says 24x24, its bitmap header 16x16"},
      {"entry and PNG disagree", Ico({{128, 128, 32, Png(256, 256)}}), "entry says 128x128, its PNG image 256x256"},
      {"PNG too wide", Png(300, 300), "300x300; an icon is at most 256x256"},
      {"PNG not square", Png(32, 16), "32x16, not square"},
      {"PNG IHDR damaged", bad_crc, "fails its CRC"},
      {"PNG with bytes after IEND", trailing, "1 bytes follow"},
      {"PNG cut short", cut_png, "ends before the IEND"},
  };
  for (const Case& c : cases) {
    std::vector<IconImage> images;
    const PeProblem problem = ReadIconFile(c.file, &images);
    EXPECT_NE(problem.value_or("").find(c.problem), std::string::npos)
        << c.label << ": " << problem.value_or("taken");
    EXPECT_TRUE(images.empty()) << c.label;
  }
}

Resource IconResource(uint16_t id, uint16_t language, uint8_t fill) {
  Resource r;
  r.type.id = ResourceIcon;
  r.name.id = id;
  r.language = language;
  r.data = Bytes(8, fill);
  return r;
}

Resource Group(const std::u16string& name, uint16_t language, std::vector<uint16_t> ids) {
  Resource r;
  r.type.id = ResourceGroupIcon;
  r.name.name = name;
  r.language = language;
  Put16(r.data, 0);
  Put16(r.data, 1);
  Put16(r.data, uint32_t(ids.size()));
  for (uint16_t id : ids) {
    r.data.insert(r.data.end(), {32, 32, 16, 0});
    Put16(r.data, 1);
    Put16(r.data, 4);
    Put32(r.data, 8);
    Put16(r.data, id);
  }
  return r;
}

// The image IDs a group resource names.
std::vector<uint16_t> GroupIds(const Resource& group) {
  std::vector<uint16_t> ids;
  for (size_t i = 0; i < Get16(group.data, 4); i++) ids.push_back(Get16(group.data, 6 + 14 * i + 12));
  return ids;
}

TEST(IconFile, OnlyTheFirstGroupsImagesAreReplaced) {
  std::vector<IconImage> images;
  ASSERT_EQ(ReadIconFile(Ico(ThreeImages), &images), std::nullopt);
  struct Case {
    const char* label;
    std::vector<Resource> before;
    std::vector<uint16_t> new_ids;     // the first group's, in order
    std::vector<uint16_t> kept_icons;  // RT_ICON IDs left as they were
    uint16_t language;
  } cases[] = {
      // As the stub has them: six groups of one image each.
      {"the stub's layout",
       {IconResource(1, 0x409, 1), IconResource(2, 0x409, 2), IconResource(3, 0x409, 3),
        Group(u"A", 0x409, {1}), Group(u"B", 0x409, {2}), Group(u"C", 0x409, {3})},
       {1, 4, 5}, {2, 3}, 0x409},
      // An image the first group shares with another stays.
      {"a shared image",
       {IconResource(1, 0x407, 1), IconResource(2, 0x407, 2), Group(u"A", 0x407, {1, 2}),
        Group(u"B", 0x407, {2})},
       {1, 3, 4}, {2}, 0x407},
      {"no group yet", {IconResource(1, 0x409, 1)}, {2, 3, 4}, {1}, 0x409},
  };
  for (Case& c : cases) {
    std::vector<Resource> resources = c.before;
    ASSERT_EQ(ReplaceFirstIconGroup(&resources, images), std::nullopt) << c.label;
    size_t groups_before = 0, groups_after = 0;
    for (const Resource& r : c.before) groups_before += r.type.id == ResourceGroupIcon;
    for (const Resource& r : resources) groups_after += r.type.id == ResourceGroupIcon;
    EXPECT_EQ(groups_after, std::max<size_t>(groups_before, 1)) << c.label;
    // The first group keeps its name; a new one is ID 1.
    const auto found = std::find_if(resources.begin(), resources.end(), [&](const Resource& r) {
      return r.type.id == ResourceGroupIcon &&
             (groups_before ? r.name.name == u"A" : r.name.name.empty() && r.name.id == 1);
    });
    ASSERT_NE(found, resources.end()) << c.label;
    const Resource& group = *found;
    EXPECT_EQ(group.language, c.language) << c.label;
    EXPECT_EQ(GroupIds(group), c.new_ids) << c.label;
    for (size_t i = 0; i < c.new_ids.size(); i++) {
      const auto icon = std::find_if(resources.begin(), resources.end(), [&](const Resource& r) {
        return r.type.id == ResourceIcon && r.name.id == c.new_ids[i];
      });
      ASSERT_NE(icon, resources.end()) << c.label;
      EXPECT_EQ(icon->data, images[i].data) << c.label;
      EXPECT_EQ(icon->language, c.language) << c.label;
      // The group's entry describes its image.
      EXPECT_EQ(group.data[6 + 14 * i], images[i].width % 256);
      EXPECT_EQ(Get16(group.data, 6 + 14 * i + 6), images[i].bit_count);
      EXPECT_EQ(Get16(group.data, 6 + 14 * i + 8), images[i].data.size());
    }
    for (uint16_t id : c.kept_icons) {
      const auto icon = std::find_if(resources.begin(), resources.end(), [&](const Resource& r) {
        return r.type.id == ResourceIcon && r.name.id == id;
      });
      ASSERT_NE(icon, resources.end()) << c.label << " " << id;
      EXPECT_EQ(icon->data, Bytes(8, uint8_t(id))) << c.label;
    }
    size_t icons = 0;
    for (const Resource& r : resources) icons += r.type.id == ResourceIcon;
    EXPECT_EQ(icons, c.new_ids.size() + c.kept_icons.size()) << c.label;
  }
  EXPECT_EQ(DescribeIcon({}), "none");
}

TEST(IconFile, DescribedAsListShowsIt) {
  std::vector<IconImage> images;
  ASSERT_EQ(ReadIconFile(Ico(ThreeImages), &images), std::nullopt);
  std::vector<Resource> resources = {Group(u"A", 0x409, {1})};
  ASSERT_EQ(ReplaceFirstIconGroup(&resources, images), std::nullopt);
  EXPECT_EQ(DescribeIcon(resources), "3 images (16x16 4-bit, 48x48 32-bit, 256x256 32-bit PNG)");
  EXPECT_EQ(DescribeIcon({Group(u"A", 0x409, {9})}), "1 image (32x32 4-bit (missing))");
  Resource damaged = Group(u"A", 0x409, {1, 2});
  damaged.data.resize(10);
  EXPECT_EQ(DescribeIcon({damaged}), "a damaged icon group");
}

}  // namespace
