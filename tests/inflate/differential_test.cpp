// Streams from real encoders (zlib, libdeflate, GNU gzip) must decode to the
// original bytes, written in whole windows; damaged streams must decode as
// zlib decodes them where zlib accepts them, and otherwise may only fail.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <random>

#include "inflate_support.h"

namespace {

struct Encoder {
  std::string name;
  std::function<Bytes(const Bytes&)> encode;
  bool allSamples;  // otherwise text and binary only
};

std::vector<Encoder> Encoders() {
  std::vector<Encoder> e;
  for (int level = 0; level <= 9; level++)
    e.push_back({"zlib" + std::to_string(level), [=](const Bytes& d) { return ZlibDeflate(d, level, Z_DEFAULT_STRATEGY, 15); }, true});
  for (auto [name, strategy] : {std::pair{"filtered", Z_FILTERED}, {"huffman", Z_HUFFMAN_ONLY}, {"rle", Z_RLE}, {"fixed", Z_FIXED}})
    for (int level : {1, 6, 9})
      e.push_back({std::string("zlib_") + name + std::to_string(level), [=](const Bytes& d) { return ZlibDeflate(d, level, strategy, 15); }, level == 6});
  for (int bits : {9, 12})  // small windows
    for (int level : {6, 9})
      e.push_back({"zlib_window" + std::to_string(bits) + "_" + std::to_string(level), [=](const Bytes& d) { return ZlibDeflate(d, level, Z_DEFAULT_STRATEGY, bits); }, false});
  for (int level = 0; level <= 12; level++)
    e.push_back({"libdeflate" + std::to_string(level), [=](const Bytes& d) { return LibdeflateDeflate(d, level); }, true});
  for (int level : {1, 6, 9})
    e.push_back({"gzip" + std::to_string(level), [=](const Bytes& d) { return GzipDeflate(d, level); }, false});
  return e;
}

void PrintTo(const Encoder& e, std::ostream* os) { *os << e.name; }
class EncoderTest : public ::testing::TestWithParam<Encoder> {};

TEST_P(EncoderTest, DecodesToTheOriginal) {
  static const std::pair<const char*, Bytes> samples[] = {
      {"text", TextSample(70000, 1)},  {"binary", BinarySample(200000, 2)}, {"empty", ""},
      {"one", "x"}, {"zeros", Bytes(100000, '\0')}, {"noise", [] { Bytes b; std::mt19937 r(3); for (int i = 0; i < 40000; i++) b += (char)r(); return b; }()}};
  for (const auto& [name, data] : samples) {
    if (!GetParam().allSamples && std::string(name) != "text" && std::string(name) != "binary") continue;
    const Bytes packed = GetParam().encode(data);
    Bytes reference;
    ASSERT_TRUE(ZlibInflate(packed, reference) && reference == data) << name;  // the encoder itself is sound
    const InflateRun run = RunInflate(packed);
    EXPECT_TRUE(run.output == data) << name;
    EXPECT_TRUE(WindowedWrites(run.writes, data.size())) << name;
    EXPECT_LE(run.inputEnd, (int64_t)packed.size()) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Encoders, EncoderTest, ::testing::ValuesIn(Encoders()), [](const auto& i) { return i.param.name; });

// Reads cut into small pieces move every boundary of the read-ahead.
TEST(Differential, ShortReads) {
  const Bytes data = BinarySample(150000, 9) + TextSample(50000, 9);
  const Bytes packed = LibdeflateDeflate(data, 9);
  for (uint32_t piece : {1u, 7u, 31u, 32u, 33u, 100u, 4099u}) {
    const InflateRun run = RunInflate(packed, -1, piece);
    EXPECT_TRUE(run.output == data && WindowedWrites(run.writes, data.size())) << piece;
  }
}

TEST(Differential, DamagedStreams) {
  std::mt19937 rng(2024);
  const Bytes text = TextSample(3000, 4);
  const Bytes seeds[] = {ZlibDeflate(text, 6, Z_DEFAULT_STRATEGY, 15), ZlibDeflate(text, 6, Z_FIXED, 15),
                         ZlibDeflate(text.substr(0, 300), 0, Z_DEFAULT_STRATEGY, 15), LibdeflateDeflate(BinarySample(40000, 5), 12)};
  int agreed = 0;
  for (int round = 0; round < 1000; round++) {
    Bytes d = seeds[round % 4];
    for (int k = 1 + (int)(rng() % 4); k > 0 && !d.empty(); k--) {
      const size_t at = rng() % d.size();
      switch (rng() % 4) {
        case 0: d[at] = (char)(d[at] ^ (1 << (rng() % 8))); break;
        case 1: d[at] = (char)rng(); break;
        case 2: d.resize(at); break;
        default: d.insert(at, 1, (char)rng());
      }
    }
    const InflateRun run = RunInflate(d);
    EXPECT_TRUE(WindowedWrites(run.writes, run.output.size())) << round;
    EXPECT_LE(run.inputEnd, (int64_t)d.size()) << round;
    Bytes reference;
    if (ZlibInflate(d, reference)) {
      agreed++;
      EXPECT_TRUE(run.output == reference) << round;
    }
  }
  EXPECT_GT(agreed, 20);  // the comparison above was not vacuous
}

}  // namespace
