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
