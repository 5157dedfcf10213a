#include "sfxpack_fuzz.h"

#include <stdlib.h>

#include <fstream>

const std::string& FuzzFolder() {
  static const std::string folder = [] {
    char name[] = "/tmp/sfxpack-fuzz-XXXXXX";
    if (!mkdtemp(name)) abort();
    return std::string(name);
  }();
  return folder;
}

std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = FuzzFolder() + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc).write((const char*)data, (std::streamsize)size);
  return path;
}
