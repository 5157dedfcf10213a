// The resources of a PE file: read as a flat list, and written back as a
// rebuilt resource section.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "pe_image.h"

// A resource type or name: a 16-bit ID, or a string when name is not empty.
struct ResourceId {
  uint16_t id = 0;
  std::u16string name;

  bool operator==(const ResourceId& o) const { return id == o.id && name == o.name; }
};

// Resource types this tool reads or writes.
constexpr uint16_t ResourceIcon = 3;
constexpr uint16_t ResourceGroupIcon = 14;
constexpr uint16_t ResourceVersion = 16;
constexpr uint16_t ResourceManifest = 24;

struct Resource {
  ResourceId type;
  ResourceId name;
  uint16_t language = 0;
  uint32_t code_page = 0;
  std::vector<uint8_t> data;
};

// Every resource of the PE image (a whole file's bytes), in the order of
// its resource tree.
PeProblem ReadResources(const std::vector<uint8_t>& image, std::vector<Resource>* out);

// Rebuilds image's resource section to hold exactly resources, in the order
// Windows requires (named entries first, sorted; then IDs ascending), with
// every header field that depends on it updated and the checksum field
// recomputed. The image's other bytes keep their meaning.
PeProblem ReplaceResources(std::vector<uint8_t>* image, const std::vector<Resource>& resources);
