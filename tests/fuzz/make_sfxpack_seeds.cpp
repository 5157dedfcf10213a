// Writes the starting corpora of sfxpack's reader fuzz targets with sfxpack
// itself: installers of a small folder, stored and deflated, and the ZIPs
// they unwrap to.
//   make_sfxpack_seeds STUB READER-DIR ZIP-DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "pack.h"
#include "sfxpack_fuzz.h"
#include "unpack.h"

static void Save(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), (std::streamsize)bytes.size());
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: make_sfxpack_seeds STUB READER-DIR ZIP-DIR\n");
    return 2;
  }
  const std::filesystem::path payload = FuzzFolder() + "/payload";
  std::string text, noise;
  for (int i = 0; i < 200; i++) text += "line " + std::to_string(i) + " of a text that repeats\r\n";
  for (int i = 0; i < 3000; i++) noise += (char)((i * 2654435761u) >> 24);
  Save(payload / "readme.txt", text);
  Save(payload / "data" / "noise.bin", noise);
  Save(payload / "data" / "empty.dat", "");
  // The stub itself stands in for the wizard: a real Windows program.
  std::ifstream stub(argv[1], std::ios::binary);
  Save(payload / "SETUP.EXE", std::string(std::istreambuf_iterator<char>(stub), {}));
  for (int level : {0, 12}) {
    PackOptions options;
    options.stub = argv[1];
    options.level = level;
    options.threads = 1;
    options.inputs = {payload.string()};
    options.output = std::string(argv[2]) + "/level" + std::to_string(level) + ".exe";
    RunCreate(options);
    if (RunUnwrap(options.output, std::string(argv[3]) + "/level" + std::to_string(level) + ".zip") != 0) return 1;
  }
  return 0;
}
