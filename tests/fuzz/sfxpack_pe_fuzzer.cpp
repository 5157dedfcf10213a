// sfxpack's PE reader over arbitrary bytes: the headers and the resource
// tree are read, or refused with a problem, without reading outside the
// buffer; what reads back is rebuilt and must read back the same.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "pe_resources.h"

namespace {

bool Same(const std::vector<Resource>& a, const std::vector<Resource>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!(a[i].type == b[i].type) || !(a[i].name == b[i].name) || a[i].language != b[i].language ||
        a[i].code_page != b[i].code_page || a[i].data != b[i].data)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);
  PeHeaders h;
  if (ReadPeHeaders(image, &h)) return 0;
  for (const PeSection& s : h.sections) h.OffsetOf(s.virtual_address, s.raw_size, image.size());
  std::vector<Resource> resources;
  if (ReadResources(image, &resources)) return 0;
  if (ReplaceResources(&image, resources)) return 0;
  // A rebuilt tree holds the same resources, in the order Windows wants:
  // read again and rebuilt again, nothing changes.
  std::vector<Resource> again;
  if (ReadResources(image, &again)) abort();
  std::vector<uint8_t> twice = image;
  if (ReplaceResources(&twice, again) || twice != image) abort();
  if (again.size() != resources.size()) abort();
  std::vector<Resource> once_more;
  if (ReadResources(twice, &once_more) || !Same(again, once_more)) abort();
  return 0;
}
