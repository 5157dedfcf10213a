// A test tool over sfxpack's PE reader and resource rebuild, for checks by
// independent readers:
//   pe_rewrite_tool list IN
//     one line per resource: type, name, language, code page, size
//     (names in double quotes, IDs in decimal)
//   pe_rewrite_tool rewrite IN OUT [TYPE NAME LANGUAGE FILE]...
//     IN's resources, with FILE's bytes added (or put in place of the one
//     with the same type, name and language), in a rebuilt resource section
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pe_resources.h"

namespace {

bool ReadFile(const char* path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// A decimal number is an ID; anything else an ASCII name.
ResourceId IdOf(const std::string& s) {
  ResourceId id;
  if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos && s.size() < 6) {
    id.id = uint16_t(std::stoul(s));
  } else {
    for (char c : s) id.name.push_back(char16_t(uint8_t(c)));
  }
  return id;
}

std::string Shown(const ResourceId& id) {
  if (id.name.empty()) return std::to_string(id.id);
  std::string s = "\"";
  for (char16_t c : id.name) {
    char buffer[8];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') s += char(c);
    else snprintf(buffer, sizeof buffer, "\\u%04x", unsigned(c)), s += buffer;
  }
  return s + "\"";
}

int Fail(const std::string& why) {
  fprintf(stderr, "pe_rewrite_tool: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  const bool list = mode == "list" && argc == 3;
  const bool rewrite = mode == "rewrite" && argc >= 4 && (argc - 4) % 4 == 0;
  if (!list && !rewrite) return Fail("usage: list IN | rewrite IN OUT [TYPE NAME LANGUAGE FILE]...");
  std::vector<uint8_t> image;
  if (!ReadFile(argv[2], &image)) return Fail(std::string("cannot read ") + argv[2]);
  std::vector<Resource> resources;
  if (PeProblem p = ReadResources(image, &resources)) return Fail(*p);
  if (list) {
    for (const Resource& r : resources)
      printf("%s %s %u %u %zu\n", Shown(r.type).c_str(), Shown(r.name).c_str(), unsigned(r.language),
             unsigned(r.code_page), r.data.size());
    return 0;
  }
  for (int i = 4; i + 3 < argc; i += 4) {
    Resource added;
    added.type = IdOf(argv[i]);
    added.name = IdOf(argv[i + 1]);
    added.language = uint16_t(strtoul(argv[i + 2], nullptr, 10));
    if (!ReadFile(argv[i + 3], &added.data)) return Fail(std::string("cannot read ") + argv[i + 3]);
    bool replaced = false;
    for (Resource& r : resources)
      if (r.type == added.type && r.name == added.name && r.language == added.language)
        r = added, replaced = true;
    if (!replaced) resources.push_back(added);
  }
  if (PeProblem p = ReplaceResources(&image, resources)) return Fail(*p);
  std::ofstream out(argv[3], std::ios::binary);
  out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  return out.good() ? 0 : Fail(std::string("cannot write ") + argv[3]);
}
