#include "icon_file.h"

#include <string.h>

#include <algorithm>
#include <set>

#include "codec.h"

namespace {

constexpr uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t IconDirectorySize = 6;
constexpr size_t IconEntrySize = 16;   // in an .ico file
constexpr size_t GroupEntrySize = 14;  // in an RT_GROUP_ICON resource
constexpr uint16_t TypeIcon = 1;
constexpr uint16_t TypeCursor = 2;
constexpr uint32_t MaxSide = 256;
constexpr uint16_t DefaultLanguage = 0x0409;

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | uint32_t(Le16(p + 2)) << 16; }
uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

bool IsPng(const uint8_t* p, size_t n) { return n >= 8 && memcmp(p, PngSignature, 8) == 0; }

std::string Dimensions(uint32_t width, uint32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// A PNG image's size from its IHDR chunk, after checking that its chunks
// run from the signature to IEND at exactly its last byte.
PeProblem ReadPng(const uint8_t* p, size_t n, uint32_t* width, uint32_t* height, uint16_t* bits) {
  if (n < 8 + 12 + 13 || Be32(p + 8) != 13 || memcmp(p + 12, "IHDR", 4) != 0)
    return std::string("its PNG data does not begin with an IHDR chunk");
  if (Crc32(p + 12, 4 + 13) != Be32(p + 12 + 4 + 13))
    return std::string("its PNG IHDR chunk fails its CRC");
  *width = Be32(p + 16);
  *height = Be32(p + 20);
  const uint8_t depth = p[24], colour = p[25];
  // Samples per pixel for each PNG colour type.
  const int samples = colour == 0 ? 1 : colour == 2 ? 3 : colour == 3 ? 1 : colour == 4 ? 2
                    : colour == 6 ? 4 : 0;
  if (samples == 0) return "its PNG colour type " + std::to_string(colour) + " does not exist";
  *bits = uint16_t(std::min(32, samples * depth));
  if (*width == 0 || *height == 0) return std::string("its PNG image has no pixels");
  for (size_t at = 8;;) {
    if (n - at < 12) return std::string("its PNG data ends before the IEND chunk");
    const uint32_t length = Be32(p + at);
    if (length > n - at - 12) return std::string("a PNG chunk reaches past the image's end");
    const bool end = memcmp(p + at + 4, "IEND", 4) == 0;
    at += 12 + size_t(length);
    if (end) {
      if (at != n)
        return std::to_string(n - at) + " bytes follow the PNG image's IEND chunk";
      return std::nullopt;
    }
  }
}

// The bytes a bitmap image with this header takes: the header, its
// palette or colour masks, then the colour and transparency masks.
PeProblem BitmapSize(const uint8_t* p, size_t n, uint32_t width, uint32_t height, size_t* size,
                     uint16_t* planes, uint16_t* bits) {
  if (n < 40 || Le32(p) < 40 || Le32(p) > n) return std::string("its bitmap header is cut short");
  const uint32_t header = Le32(p);
  const int32_t w = int32_t(Le32(p + 4)), h = int32_t(Le32(p + 8));
  *planes = Le16(p + 12);
  *bits = Le16(p + 14);
  const uint32_t compression = Le32(p + 16), used = Le32(p + 32);
  if (w != int32_t(width) || h != int32_t(2 * height))
    return "its directory entry says " + Dimensions(width, height) + ", its bitmap header " +
           Dimensions(uint32_t(w), uint32_t(h / 2));
  if (*planes != 1) return "its bitmap has " + std::to_string(*planes) + " planes, not 1";
  const uint16_t b = *bits;
  if (b != 1 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32)
    return "its bitmap has " + std::to_string(b) + " bits per pixel";
  const bool masks = compression == 3 && (b == 16 || b == 32);
  if (compression != 0 && !masks)
    return "its bitmap is compressed (method " + std::to_string(compression) + ")";
  uint64_t palette = b <= 8 ? (used ? used : 1u << b) : used;
  if (b <= 8 && palette > (1u << b))
    return "its bitmap's palette has " + std::to_string(palette) + " colours for " +
           std::to_string(b) + " bits per pixel";
  const uint64_t colour_row = (uint64_t(width) * b + 31) / 32 * 4;
  const uint64_t mask_row = (uint64_t(width) + 31) / 32 * 4;
  *size = size_t(header + 4 * palette + (masks && header == 40 ? 12 : 0) +
                 (colour_row + mask_row) * height);
  return std::nullopt;
}

// Checks one image against its directory entry (width and height as the
// entry gives them, 0 meaning 256) and fills in what the entry leaves out.
PeProblem CheckImage(IconImage* image) {
  const uint8_t* p = image->data.data();
  const size_t n = image->data.size();
  if (IsPng(p, n)) {
    uint32_t w = 0, h = 0;
    uint16_t bits = 0;
    if (PeProblem problem = ReadPng(p, n, &w, &h, &bits)) return problem;
    if (w > MaxSide || h > MaxSide)
      return "its PNG image is " + Dimensions(w, h) + "; an icon image is at most 256x256";
    if (w != image->width || h != image->height)
      return "its directory entry says " + Dimensions(image->width, image->height) +
             ", its PNG image " + Dimensions(w, h);
    if (image->bit_count == 0) image->planes = 1, image->bit_count = bits;
    return std::nullopt;
  }
  size_t size = 0;
  uint16_t planes = 0, bits = 0;
  if (PeProblem problem = BitmapSize(p, n, image->width, image->height, &size, &planes, &bits))
    return problem;
  if (size != n)
    return "it is " + std::to_string(n) + " bytes, but its bitmap header describes " +
           std::to_string(size);
  if (image->bit_count == 0) image->planes = planes, image->bit_count = bits;
  return std::nullopt;
}

PeProblem ReadIco(const std::vector<uint8_t>& file, std::vector<IconImage>* out) {
  const size_t count = Le16(&file[4]);
  if (count == 0) return std::string("its icon directory lists no images");
  if (count > MaxIconImages)
    return "it holds " + std::to_string(count) + " images; at most " +
           std::to_string(MaxIconImages) + " are taken";
  const size_t table_end = IconDirectorySize + IconEntrySize * count;
  if (file.size() < table_end)
    return "its icon directory is cut short: " + std::to_string(count) + " images need " +
           std::to_string(table_end) + " bytes, the file has " + std::to_string(file.size());
  for (size_t i = 0; i < count; i++) {
    const uint8_t* e = &file[IconDirectorySize + IconEntrySize * i];
    const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    IconImage image;
    image.width = e[0] ? e[0] : MaxSide;
    image.height = e[1] ? e[1] : MaxSide;
    image.colours = e[2];
    image.planes = Le16(e + 4);
    image.bit_count = Le16(e + 6);
    const uint64_t size = Le32(e + 8), offset = Le32(e + 12);
    if (size == 0) return which + " is empty";
    if (offset < table_end || offset + size > file.size())
      return which + " lies outside the file (bytes " + std::to_string(offset) + " to " +
             std::to_string(offset + size) + " of " + std::to_string(file.size()) + ", " +
             std::to_string(table_end) + " of them the directory's)";
    image.data.assign(file.begin() + ptrdiff_t(offset), file.begin() + ptrdiff_t(offset + size));
    if (PeProblem problem = CheckImage(&image)) return which + ": " + *problem;
    out->push_back(std::move(image));
  }
  return std::nullopt;
}

bool IsGroup(const Resource& r) { return r.type.name.empty() && r.type.id == ResourceGroupIcon; }
bool IsIcon(const Resource& r) { return r.type.name.empty() && r.type.id == ResourceIcon; }

// The entries of a group resource: width, height and bit count as the
// entry gives them, and the image's ID. False when the data is damaged.
struct GroupEntry {
  uint32_t width, height;
  uint16_t bit_count, id;
};
bool ReadGroup(const std::vector<uint8_t>& d, std::vector<GroupEntry>* out) {
  out->clear();
  if (d.size() < IconDirectorySize || Le16(&d[0]) != 0 || Le16(&d[2]) != TypeIcon) return false;
  const size_t count = Le16(&d[4]);
  if (d.size() < IconDirectorySize + GroupEntrySize * count) return false;
  for (size_t i = 0; i < count; i++) {
    const uint8_t* e = &d[IconDirectorySize + GroupEntrySize * i];
    out->push_back({e[0] ? e[0] : MaxSide, e[1] ? e[1] : MaxSide, Le16(e + 6), Le16(e + 12)});
  }
  return true;
}

}  // namespace

PeProblem ReadIconFile(const std::vector<uint8_t>& file, std::vector<IconImage>* out) {
  out->clear();
  if (file.empty()) return std::string("it is empty");
  if (IsPng(file.data(), file.size())) {
    IconImage image;
    uint32_t w = 0, h = 0;
    if (PeProblem problem = ReadPng(file.data(), file.size(), &w, &h, &image.bit_count))
      return problem;
    if (w != h) return "its PNG image is " + Dimensions(w, h) + ", not square";
    if (w > MaxSide) return "its PNG image is " + Dimensions(w, h) + "; an icon is at most 256x256";
    image.width = image.height = uint16_t(w);
    image.planes = 1;
    image.data = file;
    out->push_back(std::move(image));
    return std::nullopt;
  }
  if (file.size() < IconDirectorySize || Le16(&file[0]) != 0 ||
      (Le16(&file[2]) != TypeIcon && Le16(&file[2]) != TypeCursor))
    return std::string("it is neither an icon (.ico) nor a PNG image");
  if (Le16(&file[2]) == TypeCursor) return std::string("it is a cursor (.cur), not an icon");
  const PeProblem problem = ReadIco(file, out);
  if (problem) out->clear();
  return problem;
}

PeProblem ReplaceFirstIconGroup(std::vector<Resource>* resources, const std::vector<IconImage>& images) {
  if (images.empty() || images.size() > MaxIconImages)
    return "an icon holds 1 to " + std::to_string(MaxIconImages) + " images";
  const size_t first = size_t(std::find_if(resources->begin(), resources->end(), IsGroup) -
                              resources->begin());
  std::set<uint16_t> old_ids, kept_ids;
  std::vector<GroupEntry> entries;
  for (size_t i = first; i < resources->size(); i++) {
    if (!IsGroup((*resources)[i])) continue;
    if (!ReadGroup((*resources)[i].data, &entries)) {
      if (i == first) return std::string("the stub's first icon group is damaged");
      continue;
    }
    for (const GroupEntry& e : entries) (i == first ? old_ids : kept_ids).insert(e.id);
  }
  Resource group;
  if (first < resources->size()) {
    group = (*resources)[first];
  } else {
    group.type.id = ResourceGroupIcon;
    group.name.id = 1;
    group.language = DefaultLanguage;
  }
  // Drop the first group and the images only it used.
  std::vector<Resource> kept;
  std::set<uint16_t> taken;
  for (size_t i = 0; i < resources->size(); i++) {
    Resource& r = (*resources)[i];
    if (i == first) continue;
    if (IsIcon(r) && r.name.name.empty()) {
      if (old_ids.count(r.name.id) && !kept_ids.count(r.name.id)) continue;
      taken.insert(r.name.id);
    }
    kept.push_back(std::move(r));
  }
  group.data.clear();
  Put16(group.data, 0);
  Put16(group.data, TypeIcon);
  Put16(group.data, uint16_t(images.size()));
  uint32_t next = 1;
  for (const IconImage& image : images) {
    while (taken.count(uint16_t(next))) next++;
    if (next > 0xFFFF) return std::string("the stub has no icon IDs left");
    Resource icon;
    icon.type.id = ResourceIcon;
    icon.name.id = uint16_t(next);
    icon.language = group.language;
    icon.data = image.data;
    group.data.push_back(uint8_t(image.width % 256));
    group.data.push_back(uint8_t(image.height % 256));
    group.data.push_back(image.colours);
    group.data.push_back(0);
    Put16(group.data, image.planes);
    Put16(group.data, image.bit_count);
    const uint32_t size = uint32_t(image.data.size());
    Put16(group.data, uint16_t(size));
    Put16(group.data, uint16_t(size >> 16));
    Put16(group.data, uint16_t(next));
    taken.insert(uint16_t(next));
    kept.push_back(std::move(icon));
  }
  kept.push_back(std::move(group));
  *resources = std::move(kept);
  return std::nullopt;
}

std::string DescribeIcon(const std::vector<Resource>& resources) {
  const auto group = std::find_if(resources.begin(), resources.end(), IsGroup);
  if (group == resources.end()) return "none";
  std::vector<GroupEntry> entries;
  if (!ReadGroup(group->data, &entries)) return "a damaged icon group";
  std::string list;
  for (const GroupEntry& e : entries) {
    list += (list.empty() ? "" : ", ") + Dimensions(e.width, e.height) + " " +
            std::to_string(e.bit_count) + "-bit";
    const auto image = std::find_if(resources.begin(), resources.end(), [&](const Resource& r) {
      return IsIcon(r) && r.name.name.empty() && r.name.id == e.id;
    });
    if (image == resources.end())
      list += " (missing)";
    else if (IsPng(image->data.data(), image->data.size()))
      list += " PNG";
  }
  return std::to_string(entries.size()) + (entries.size() == 1 ? " image (" : " images (") + list +
         ")";
}
