// The installer's icon: the images of an .ico file (or of one PNG image)
// made into the resources Windows shows, and the icon a program carries
// described for list.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "pe_resources.h"

// One image of an icon, with the fields its directory entries carry.
struct IconImage {
  uint16_t width = 0, height = 0;  // 1 to 256
  uint8_t colours = 0;             // palette entries; 0 for 256 or more
  uint16_t planes = 0, bit_count = 0;
  std::vector<uint8_t> data;       // a bitmap without its file header, or a PNG file
};

// More images than any icon needs: every standard size in every depth.
constexpr size_t MaxIconImages = 64;

// The images of an .ico file, or of a square PNG image of at most 256
// pixels; a problem that says what is wrong with any other file.
PeProblem ReadIconFile(const std::vector<uint8_t>& file, std::vector<IconImage>* out);

// Replaces the images of the first icon group (the one Explorer shows) by
// images: each one an RT_ICON resource with an ID no other image uses, and
// the group, in its own language, pointing at them. Images the group used
// that no other group uses are removed. Without a group, one is added
// with ID 1.
PeProblem ReplaceFirstIconGroup(std::vector<Resource>* resources, const std::vector<IconImage>& images);

// "2 images (16x16 32-bit, 256x256 32-bit PNG)" for the first icon group;
// "none" without one.
std::string DescribeIcon(const std::vector<Resource>& resources);
