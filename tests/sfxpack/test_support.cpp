#include "test_support.h"

#include <string.h>

#include <algorithm>

#include "codec.h"
#include "format/archive_format.h"

decoder_host::ReadAt ReaderOf(const std::vector<uint8_t>& bytes, size_t offset) {
  return [&bytes, offset](uint64_t pos, uint8_t* p, size_t n) -> int64_t {
    if (pos >= bytes.size() - offset) return 0;
    n = size_t(std::min<uint64_t>(n, bytes.size() - offset - pos));
    memcpy(p, bytes.data() + offset + pos, n);
    return int64_t(n);
  };
}

bool StubAgreesOnRaw(const uint8_t* in, size_t n, const uint8_t* expected, size_t expected_size) {
  if (n > 0x7FFFFFFF) return false;
  // Scrambled as it is read, as the decoder unscrambles it.
  return StubAgrees(
      [in, n](uint64_t at, uint8_t* p, size_t k) -> int64_t {
        if (at >= n) return 0;
        if (k > n - at) k = size_t(n - at);
        memcpy(p, in + at, k);
        Scramble(p, k);
        return int64_t(k);
      },
      uint32_t(n), expected, expected_size);
}

bool InflateRaw(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit) {
  out.clear();
  Bytes plain;
  std::string why;
  // libdeflate bounds the work on hostile data; the stub's own decoder then
  // decides, since its output is what an installer's user gets.
  if (!InflateBounded(in, n, limit, plain, &why) ||
      !StubAgreesOnRaw(in, n, plain.data.get(), plain.size))
    return false;
  out.assign(plain.data.get(), plain.data.get() + plain.size);
  return true;
}

uint16_t PackEntryData(const std::vector<uint8_t>& data, int level, std::vector<uint8_t>& packed) {
  Bytes out;
  const size_t n = DeflateInto(data.data(), data.size(), level, data.size(), out);
  if (n > 0) {
    packed.assign(out.data.get(), out.data.get() + n);
    return MethodDeflated;
  }
  packed = data;
  return MethodStored;
}

InstallerBytes InstallerInMemory(const uint8_t* data, size_t size) {
  InstallerBytes b;
  b.source = [data, size](uint64_t pos, uint8_t* out, size_t n) -> int64_t {
    if (pos >= size) return 0;
    n = size_t(std::min<uint64_t>(n, size - pos));
    memcpy(out, data + pos, n);
    return int64_t(n);
  };
  b.size = size;
  b.path = "(memory)";
  return b;
}

InstallerWalk WalkInstaller(const uint8_t* data, size_t size) {
  return WalkInstaller(InstallerInMemory(data, size));
}

bool DecodeEntry(const FoundEntry& e, const InstallerBytes& file, std::vector<uint8_t>& out,
                 std::string* why) {
  out.clear();
  EntrySinks sinks;
  sinks.plain = [&](const uint8_t* p, size_t n) {
    out.insert(out.end(), p, p + n);
    return true;
  };
  const EntryProblem problem = CheckEntryData(e, file, false, sinks);
  if (problem) *why = *problem;
  return !problem;
}

void PutLe(std::vector<uint8_t>& b, size_t at, uint32_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) b[at + k] = uint8_t(v >> (8 * k));
}

std::vector<uint8_t> ImageOfSections(const std::vector<SectionBytes>& sections, bool plus) {
  const size_t opt = 0x40 + 24, fixed = plus ? 112 : 96, table = opt + fixed + 128;
  std::vector<uint8_t> f(0x200, 0);
  f[0] = 'M', f[1] = 'Z', f[0x3C] = 0x40;
  memcpy(&f[0x40], "PE\0\0", 4);
  PutLe(f, 0x44, plus ? 0x8664 : 0x14C, 2);
  PutLe(f, 0x46, uint32_t(sections.size()), 2);
  PutLe(f, 0x54, uint32_t(fixed + 128), 2);
  PutLe(f, opt, plus ? 0x20B : 0x10B, 2);
  PutLe(f, opt + (plus ? 24 : 28), 0x400000);
  PutLe(f, opt + 32, 0x1000), PutLe(f, opt + 36, 0x200), PutLe(f, opt + 60, 0x200);
  PutLe(f, opt + fixed - 4, 16);
  uint32_t rva = 0x1000;
  for (size_t i = 0; i < sections.size(); ++i) {
    const SectionBytes& s = sections[i];
    const size_t h = table + 40 * i, raw = (s.bytes.size() + 0x1FF) & ~size_t(0x1FF);
    memcpy(&f[h], s.name, strlen(s.name));
    PutLe(f, h + 8, uint32_t(s.bytes.size())), PutLe(f, h + 12, rva);
    PutLe(f, h + 16, uint32_t(raw)), PutLe(f, h + 20, uint32_t(f.size())), PutLe(f, h + 36, 0x40000040);
    const int directory = !strcmp(s.name, ".idata") ? 1 : !strcmp(s.name, ".rsrc") ? 2
                          : !strcmp(s.name, ".reloc") ? 5 : -1;
    if (directory > 0) {
      PutLe(f, opt + fixed + 8 * directory, rva);
      PutLe(f, opt + fixed + 8 * directory + 4, uint32_t(s.bytes.size()));
    }
    f.insert(f.end(), s.bytes.begin(), s.bytes.end());
    f.resize(f.size() + raw - s.bytes.size(), 0);
    rva += uint32_t((s.bytes.size() + 0xFFF) & ~size_t(0xFFF));
  }
  PutLe(f, opt + 56, rva);
  return f;
}

Resource ResourceOf(ResourceId type, ResourceId name, uint16_t language, std::vector<uint8_t> data) {
  Resource r;
  r.type = std::move(type), r.name = std::move(name), r.language = language, r.code_page = 1252;
  r.data = std::move(data);
  return r;
}
