#include "inflate_support.h"

#include <libdeflate.h>
#include <stdlib.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "archive/extract.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "hostwin32/hostwin32_control.h"
#include "inflate/inflate.h"

namespace {

const std::string& Scratch() {
  struct Dir {
    std::string path = (std::filesystem::temp_directory_path() / "sfxinflate-XXXXXX").string();
    Dir() {
      if (!mkdtemp(&path[0])) abort();
    }
    ~Dir() { std::filesystem::remove_all(path); }
  };
  static Dir dir;
  return dir.path;
}

Bytes ReadAll(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(b.data(), (std::streamsize)b.size());
}

uint32_t Next(uint32_t& s) {
  s ^= s << 13, s ^= s >> 17, s ^= s << 5;
  return s;
}

}  // namespace

InflateRun RunInflate(const Bytes& data, int64_t entrySize, uint32_t shortReads) {
  const std::string archive = Scratch() + "/archive.bin", output = Scratch() + "/output.bin";
  // Around the data, bytes that would decode as more blocks if read.
  Bytes file = Bytes(37, 'Z') + data + "\x00\x00\xFF\xFF" + Bytes(64, '\x03');
  for (size_t i = 37; i < file.size(); i++) file[i] = (char)(file[i] ^ ScrambleKey);
  WriteAll(archive, file);
  hostwin32::Reset();
  hostwin32::InjectedFaults().shortReadLimit = shortReads;
  ArchiveHandle = CreateFileA(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  SeekArchive(37, FILE_BEGIN);
  EntryRemaining = (int32_t)(entrySize < 0 ? (int64_t)data.size() : entrySize);
  OutputHandle = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (ArchiveHandle == INVALID_HANDLE_VALUE || OutputHandle == INVALID_HANDLE_VALUE) throw std::runtime_error("open");
  InflateEntry();
  CloseHandle(OutputHandle);
  InflateRun run;
  run.inputEnd = (int64_t)SetFilePointer(ArchiveHandle, 0, nullptr, FILE_CURRENT) - 37;
  CloseHandle(ArchiveHandle);
  for (const auto& w : hostwin32::Writes()) {
    if (w.first == output) run.writes.push_back(w.second);
  }
  run.output = ReadAll(output);
  hostwin32::Reset();
  return run;
}

bool WindowedWrites(const std::vector<uint32_t>& writes, size_t total) {
  size_t sum = 0;
  for (size_t i = 0; i < writes.size(); i++) {
    if (writes[i] == 0 || writes[i] > 32768 || (i + 1 < writes.size() && writes[i] != 32768)) return false;
    sum += writes[i];
  }
  return sum == total;
}

std::vector<uint16_t> Lengths(std::initializer_list<std::pair<int, int>> runs) {
  std::vector<uint16_t> l;
  for (auto [count, length] : runs) l.insert(l.end(), count, (uint16_t)length);
  return l;
}

std::vector<uint32_t> CanonicalCodes(const std::vector<uint16_t>& lengths) {
  uint32_t count[17] = {0}, next[17] = {0};
  for (uint16_t l : lengths) count[l]++;
  count[0] = 0;
  for (int bits = 1, code = 0; bits <= 16; bits++) next[bits] = code = (code + count[bits - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (size_t v = 0; v < lengths.size(); v++) {
    if (lengths[v]) codes[v] = next[lengths[v]]++;
  }
  return codes;
}

void BitWriter::Put(uint32_t value, int count) {
  for (int i = 0; i < count; i++, bits++) {
    if (bits % 8 == 0) bytes += '\0';
    bytes.back() = (char)(bytes.back() | (((value >> i) & 1) << (bits % 8)));
  }
}

void BitWriter::Sym(const Code& c, int symbol) {
  for (int i = c.lengths.at(symbol) - 1; i >= 0; i--) Put((c.codes[symbol] >> i) & 1, 1);
}

// RFC 1951, 3.2.5, once more for the tests.
static const int LengthBases[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const int DistanceBases[30] = {1,   2,   3,   4,   5,    7,    9,    13,   17,   25,   33,    49,    65,    97,    129,
                                      193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};

void BitWriter::Length(const Code& literals, int length) {
  int s = length == 258 ? 28 : 27;
  while (LengthBases[s] > length) s--;
  Sym(literals, 257 + s);
  Put((uint32_t)(length - LengthBases[s]), s < 8 || s == 28 ? 0 : (s - 4) / 4);
}

void BitWriter::Distance(const Code& distances, int distance) {
  int s = 29;
  while (DistanceBases[s] > distance) s--;
  Sym(distances, s);
  Put((uint32_t)(distance - DistanceBases[s]), s < 4 ? 0 : (s - 2) / 2);
}

void BitWriter::DynamicHeader(bool last, const Code& literals, const Code& distances) {
  Put(last, 1), Put(2, 2);
  Put((uint32_t)(literals.lengths.size() - 257), 5), Put((uint32_t)(distances.lengths.size() - 1), 5), Put(15, 4);
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  std::vector<uint16_t> cl(19, 4);
  cl[16] = cl[17] = cl[18] = 0;
  for (int j = 0; j < 19; j++) Put(cl[order[j]], 3);
  const Code clCode(cl);
  for (uint16_t l : literals.lengths) Sym(clCode, l);
  for (uint16_t l : distances.lengths) Sym(clCode, l);
}

const Code& FixedLiterals() {
  static const Code code([] {
    std::vector<uint16_t> l(288, 8);
    for (int v = 144; v < 280; v++) l[v] = v < 256 ? 9 : 7;
    return l;
  }());
  return code;
}

const Code& FixedDistances() {
  static const Code code(std::vector<uint16_t>(30, 5));
  return code;
}

Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int windowBits) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -windowBits, 8, strategy);
  Bytes out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = (Bytef*)data.data(), z.avail_in = (uInt)data.size();
  z.next_out = (Bytef*)&out[0], z.avail_out = (uInt)out.size();
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes LibdeflateDeflate(const Bytes& data, int level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  Bytes out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), &out[0], out.size()));
  libdeflate_free_compressor(c);
  return out;
}

Bytes GzipDeflate(const Bytes& data, int level) {
  const std::string in = Scratch() + "/plain", out = Scratch() + "/plain.gz";
  WriteAll(in, data);
  if (std::system(("gzip -n -f -" + std::to_string(level) + " '" + in + "'").c_str()) != 0) throw std::runtime_error("gzip");
  const Bytes gz = ReadAll(out);
  // RFC 1952: a 10-byte header (-n leaves out the name), the deflate data,
  // then CRC-32 and size.
  if (gz.size() < 18 || gz.compare(0, 3, "\x1F\x8B\x08") != 0 || gz[3] != 0) throw std::runtime_error("gzip header");
  return gz.substr(10, gz.size() - 18);
}

bool ZlibInflate(const Bytes& data, Bytes& output) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = (Bytef*)data.data(), z.avail_in = (uInt)data.size();
  output.clear();
  char buffer[65536];
  int r;
  do {
    z.next_out = (Bytef*)buffer, z.avail_out = sizeof buffer;
    r = inflate(&z, Z_NO_FLUSH);
    output.append(buffer, sizeof buffer - z.avail_out);
  } while (r == Z_OK && (z.avail_out == 0 || z.avail_in > 0));
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

Bytes TextSample(size_t n, uint32_t seed) {
  static const char* words[] = {"the", "setup", "archive", "of", "folder", "Windows", "a", "file", "copy", "license"};
  Bytes out;
  while (out.size() < n) {
    out += words[Next(seed) % 10];
    out += Next(seed) % 12 ? " " : ".\r\n";
  }
  return out.substr(0, n);
}

Bytes BinarySample(size_t n, uint32_t seed) {
  Bytes out;
  while (out.size() < n) {
    const uint32_t kind = Next(seed) % 4;
    uint32_t k = Next(seed);
    if (kind == 0) {
      for (uint32_t i = 0; i < 40; i++) out.append((const char*)&(k += 16), 4) += Bytes(4, (char)(i & 3));
    } else if (kind == 1) {
      out += Bytes(k % 300, '\0');
    } else if (kind == 2) {
      for (uint32_t i = k % 200; i > 0; i--) out += (char)Next(seed);
    } else if (out.size() > 1000) {  // a repeat from up to 40000 bytes back
      const size_t from = out.size() - 1 - k % std::min<size_t>(out.size() - 1, 40000);
      for (size_t i = 0, len = 3 + Next(seed) % 400; i < len; i++) out += out[from + i];
    }
  }
  return out.substr(0, n);
}
