// The fast loop's tables, checked by decoding: every bit string as long as
// the longest code must lead, through the root and at most one sub-table,
// to a slot that holds the whole step of the symbol whose canonical code
// (computed here independently) starts it, or to an invalid slot when no
// code starts it or the symbol is one no stream may use.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "inflate/inflate_internal.h"
#include "inflate_support.h"

namespace {

// RFC 1951, 3.2.5: base and extra bits of lengths 257..285 and distances.
const int LengthBases[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int LengthExtras[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int DistanceBases[30] = {1,   2,   3,   4,   5,    7,    9,    13,   17,   25,   33,    49,    65,    97,    129,
                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int DistanceExtras[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Builds the table and walks it; returns the build's result.
int32_t ExpectSteps(const std::vector<uint16_t>& lengths, bool literals) {
  const int32_t result = BuildFastTable(lengths.data(), (uint32_t)lengths.size(), literals);
  if (result == BuildOversubscribed) return result;
  const uint32_t* table = literals ? FastLiteralTable : FastDistanceTable;
  const uint32_t rootBits = literals ? FastLiteralBits : FastDistanceBits;
  const std::vector<uint32_t> codes = CanonicalCodes(lengths);
  std::map<std::pair<int, uint32_t>, int> byCode;  // (length, code bits in stream order) -> symbol
  for (size_t v = 0; v < lengths.size(); v++) {
    uint32_t reversed = 0;
    for (int i = 0; i < lengths[v]; i++) reversed |= ((codes[v] >> i) & 1) << (lengths[v] - 1 - i);
    if (lengths[v]) byCode[{lengths[v], reversed}] = (int)v;
  }
  for (uint32_t x = 0; x < (1u << 15); x++) {
    uint32_t e = table[x & ((1u << rootBits) - 1)];
    int used = 0;
    if ((e & (FastLiteral | FastSpecial | FastLink)) == (FastSpecial | FastLink)) {
      EXPECT_EQ(e & 31, rootBits) << x;
      used = (int)rootBits;
      const uint32_t width = (e >> 8) & 15;
      EXPECT_GE(width, 1u) << x;
      EXPECT_LE(width, 15 - rootBits) << x;
      e = table[(e >> 16) + ((x >> rootBits) & ((1u << width) - 1))];
      EXPECT_NE(e & (FastLiteral | FastSpecial | FastLink), FastSpecial | FastLink) << "a link in a sub-table, " << x;
    }
    // The shift of the bit buffer takes the low byte of a slot whole.
    EXPECT_EQ(e & 0xE0, 0u) << x;
    int symbol = -1, length = 0;
    for (int l = 1; l <= 15 && symbol < 0; l++) {
      auto it = byCode.find({l, x & ((1u << l) - 1)});
      if (it != byCode.end()) symbol = it->second, length = l;
    }
    const bool invalid = symbol < 0 || (literals ? symbol >= 286 : symbol >= 30);
    if (invalid) {
      EXPECT_EQ(e & (FastLiteral | FastSpecial | FastLink | FastEnd), FastSpecial) << "bit string " << x;
      continue;
    }
    if (literals && symbol < 256) {
      EXPECT_TRUE(e & FastLiteral) << x;
      EXPECT_EQ((e >> 16) & 0x7FFF, (uint32_t)symbol) << x;
      EXPECT_EQ(used + (int)(e & 31), length) << x;
    } else if (literals && symbol == 256) {
      EXPECT_EQ(e & (FastLiteral | FastSpecial | FastLink | FastEnd), FastSpecial | FastEnd) << x;
      EXPECT_EQ(used + (int)(e & 31), length) << x;
    } else {
      const int s = literals ? symbol - 257 : symbol;
      EXPECT_EQ(e & (FastLiteral | FastSpecial), 0u) << x;
      EXPECT_EQ((int)(e >> 16), literals ? LengthBases[s] : DistanceBases[s]) << x;
      EXPECT_EQ(used + (int)((e >> 8) & 15), length) << "code bits, " << x;
      EXPECT_EQ((int)(e & 31) - (int)((e >> 8) & 15), literals ? LengthExtras[s] : DistanceExtras[s]) << x;
    }
    if (::testing::Test::HasFailure()) break;
  }
  return result;
}

struct Case {
  const char* name;
  std::vector<uint16_t> lengths;
  bool literals;
  int32_t result;
};

const Case Cases[] = {
    {"FixedLiteral", FixedLiterals().lengths, true, BuildComplete},
    // Codes 30 and 31 are left over.
    {"FixedDistance", Lengths({{30, 5}}), false, BuildIncomplete},
    // One 1-bit code: the other half of the code space is invalid, and the
    // code counts as complete.
    {"EndOfBlockAlone", Lengths({{256, 0}, {1, 1}}), true, BuildComplete},
    {"NoDistances", Lengths({{1, 0}}), false, BuildIncomplete},
    {"NoLiterals", Lengths({{257, 0}}), true, BuildIncomplete},
    {"Distance32Of5", Lengths({{32, 5}}), false, BuildComplete},
    // Incomplete distance codes far from what encoders make: sub-tables
    // that hold one code and invalid slots.
    {"Distance13And15", Lengths({{1, 13}, {1, 15}}), false, BuildIncomplete},
    {"DistanceOne15", Lengths({{1, 15}}), false, BuildIncomplete},
    {"DistanceDeepest", Lengths({{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11},
                                 {1, 12}, {1, 13}, {1, 14}, {2, 15}}),
     false, BuildComplete},
    // Codes just over the root: sub-tables of one index bit.
    {"Literals12Bits", Lengths({{254, 8}, {32, 12}}), true, BuildComplete},
    // A literal/length code that runs to 15 bits, over symbols 286 and 287.
    {"LiteralDeepest", [] {
       std::vector<uint16_t> l(288, 0);
       for (int v = 0; v < 14; v++) l[v * 20] = (uint16_t)(v + 1);
       l[286] = 15, l[287] = 15;
       return l;
     }(),
     true, BuildComplete},
    // Codes up to the root's width: no sub-table.
    {"LiteralsTo11Bits", Lengths({{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {2, 11}}),
     true, BuildComplete},
    {"LiteralsOneShort", Lengths({{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11}}),
     true, BuildIncomplete},
    // More codes than the lengths allow, first found at the longest length
    // or at once.
    {"OversubscribedAt15", Lengths({{2, 1}, {1, 15}}), false, BuildOversubscribed},
    {"OversubscribedAt1", Lengths({{3, 1}}), true, BuildOversubscribed},
    {"OversubscribedDeep", Lengths({{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11},
                                    {1, 12}, {1, 13}, {1, 14}, {3, 15}}),
     true, BuildOversubscribed},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
class FastTableTest : public ::testing::TestWithParam<Case> {};

TEST_P(FastTableTest, ResultAndEveryBitString) {
  EXPECT_EQ(ExpectSteps(GetParam().lengths, GetParam().literals), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Codes, FastTableTest, ::testing::ValuesIn(Cases), [](const auto& i) { return i.param.name; });

// Random codes: literal/length codes complete, as the decoder only builds
// those, distance codes also incomplete. Each builds over the tables that
// the one before left, so that no slot can keep an older code's step.
TEST(FastTable, RandomCodes) {
  std::mt19937 rng(4321);
  for (int round = 0; round < 200; round++) {
    const bool literals = round % 2 == 0;
    const int n = literals ? 257 + (int)(rng() % 32) : 1 + (int)(rng() % 32);
    const int maxLength = 1 + (int)(rng() % 15);
    std::vector<int> leaves = {0};
    for (int want = 2 + (int)(rng() % (n - 1 + !literals)), tries = 0; (int)leaves.size() < want && tries < 100000; tries++) {
      const size_t k = rng() % leaves.size();
      if (leaves[k] < maxLength) {
        const int depth = ++leaves[k];
        leaves.push_back(depth);
      }
    }
    if (leaves.size() == 1) leaves[0] = 1;
    if (!literals && round % 4 == 1) leaves.resize(1 + rng() % leaves.size());
    std::vector<uint16_t> lengths(n, 0);
    std::vector<int> symbols(n);
    for (int v = 0; v < n; v++) symbols[v] = v;
    std::shuffle(symbols.begin(), symbols.end(), rng);
    for (size_t i = 0; i < leaves.size() && i < symbols.size(); i++) lengths[symbols[i]] = (uint16_t)leaves[i];
    SCOPED_TRACE("round " + std::to_string(round));
    ExpectSteps(lengths, literals);
    if (HasFailure()) return;
  }
}

// Which codes a block may use is decided by the fast table's build alone:
// it must accept exactly the literal/length codes that the general table
// builder finds complete (and not empty) and the distance codes it does not
// find oversubscribed, over complete codes and codes one change away.
TEST(FastTable, AcceptsWhatTheTableBuilderAccepts) {
  std::mt19937 rng(99);
  int accepted[2] = {0, 0}, refused[2] = {0, 0};
  for (int round = 0; round < 4000; round++) {
    const bool literals = round % 2 == 0;
    const int n = literals ? 257 + (int)(rng() % 32) : 1 + (int)(rng() % 32);
    const int maxLength = 1 + (int)(rng() % 15);
    std::vector<int> leaves = {0};
    for (int want = 1 + (int)(rng() % n), tries = 0; (int)leaves.size() < want && tries < 10000; tries++) {
      const size_t k = rng() % leaves.size();
      if (leaves[k] < maxLength) leaves.push_back(++leaves[k]);
    }
    std::vector<uint16_t> lengths(n, 0);
    for (size_t i = 0; i < leaves.size(); i++) lengths[(i * 7919) % n] = (uint16_t)leaves[i];
    // Then one change: a code made shorter or longer, dropped, or added.
    const int v = (int)(rng() % n);
    switch (rng() % 5) {
      case 0: if (lengths[v] > 1) lengths[v]--; break;
      case 1: if (lengths[v] > 0 && lengths[v] < 15) lengths[v]++; break;
      case 2: lengths[v] = 0; break;
      case 3: lengths[v] = (uint16_t)(1 + rng() % 15); break;
      default: break;
    }
    ResetHuffmanPool();
    HuffmanEntry *root = nullptr, *list = nullptr;
    int32_t bits = literals ? 9 : 6;
    const int32_t general = BuildHuffmanTable(lengths.data(), (uint16_t)n, literals ? 257 : 0, literals ? LengthBase : DistanceBase,
                                              literals ? LengthExtra : DistanceExtra, &root, &list, &bits);
    FreeHuffmanTables(list);
    const bool expected = literals ? general == BuildComplete && root != nullptr : general != BuildOversubscribed;
    const int32_t result = BuildFastTable(lengths.data(), (uint32_t)n, literals);
    ASSERT_EQ(literals ? result == BuildComplete : result != BuildOversubscribed, expected) << "round " << round;
    (expected ? accepted : refused)[literals]++;
  }
  // Both answers came up often for both kinds.
  for (int k = 0; k < 2; k++) {
    EXPECT_GT(accepted[k], 200) << k;
    EXPECT_GT(refused[k], 200) << k;
  }
}

}  // namespace
