// Writes the starting corpora of the fuzz targets:
//   make_seeds <inflate-dir> <extract-dir>
// Inflate seeds are raw deflate streams of several kinds; extract seeds are
// small archives, given from the byte after the marker on.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

static std::string Deflate(const std::string& data, int level, int strategy) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy);
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = (Bytef*)data.data();
  z.avail_in = (uInt)data.size();
  z.next_out = (Bytef*)&out[0];
  z.avail_out = (uInt)out.size();
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

static void Save(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), (std::streamsize)bytes.size());
}

static void Put(std::string& b, uint32_t v, int width) {
  for (int i = 0; i < width; i++) b += (char)((v >> (8 * i)) & 0xFF);
}

// One entry; for the first one the signature and version are left out,
// since they are the marker.
static std::string Entry(const std::string& name, const std::string& data, bool deflate, bool first) {
  const std::string stored = deflate ? Deflate(data, 6, Z_DEFAULT_STRATEGY) : data;
  std::string b;
  if (!first) {
    Put(b, 0x04034B50u, 4);
    Put(b, 20, 2);
  }
  Put(b, 0, 2);                  // flags
  Put(b, deflate ? 8 : 0, 2);    // method
  Put(b, 0x6BB5, 2);             // time
  Put(b, 0x58CF, 2);             // date
  Put(b, 0, 4);                  // CRC-32, not checked
  Put(b, (uint32_t)stored.size(), 4);
  Put(b, (uint32_t)data.size(), 4);
  Put(b, (uint32_t)name.size(), 2);
  Put(b, 0, 2);
  return b + name + stored;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_seeds <inflate-dir> <extract-dir>\n");
    return 2;
  }
  const std::string inflateDir = argv[1], extractDir = argv[2];
  std::string text;
  for (int i = 0; i < 60; i++) text += "setup copies the files of the program " + std::to_string(i * 7919 % 1000) + "\r\n";
  std::string binary;
  for (int i = 0; i < 3000; i++) binary += (char)((i * i) >> 3 ^ (i % 7 ? 0 : 0x5A));

  int n = 0;
  auto seed = [&](const std::string& s) { Save(inflateDir + "/seed" + std::to_string(n++), s); };
  for (int level : {0, 1, 6, 9}) seed(Deflate(text, level, Z_DEFAULT_STRATEGY));
  seed(Deflate(text, 6, Z_FIXED));
  seed(Deflate(binary, 9, Z_DEFAULT_STRATEGY));
  seed(Deflate(binary, 6, Z_HUFFMAN_ONLY));
  seed(Deflate(binary + text, 4, Z_RLE));
  seed(Deflate("a", 6, Z_DEFAULT_STRATEGY));
  seed(std::string());

  Save(extractDir + "/one-stored", Entry("readme.txt", text, false, true));
  Save(extractDir + "/deflated-in-folders",
       Entry("data\\bin\\lib.dll", binary, true, true) + Entry("SETUP.EXE", text, true, false));
  Save(extractDir + "/mixed", Entry("a.txt", "", false, true) + Entry("b/c.txt", text, true, false) +
                                  Entry("b\\d.bin", binary, false, false));
  return 0;
}
