// The table builder, checked by decoding: every bit string as long as the
// longest code must walk the built tables to the symbol whose canonical code
// (computed here independently) starts it, using exactly that many bits, or
// to an invalid entry when no code starts it.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "inflate/inflate_internal.h"
#include "inflate_support.h"

namespace {

enum Lists { Plain, Literal, Distance };

struct Built {
  int32_t result, bits;
  HuffmanEntry* root = nullptr;
  HuffmanEntry* list = nullptr;
};

Built Build(const std::vector<uint16_t>& lengths, Lists kind, int32_t wanted, HuffmanEntry* list = nullptr) {
  Built b{0, wanted, nullptr, list};
  const uint16_t s = kind == Literal ? 257 : kind == Distance ? 0 : (uint16_t)lengths.size();
  b.result = BuildHuffmanTable(lengths.data(), (uint16_t)lengths.size(), s, kind == Literal ? LengthBase : DistanceBase,
                               kind == Literal ? LengthExtra : DistanceExtra, &b.root, &b.list, &b.bits);
  return b;
}

void ExpectDecodes(const Built& b, const std::vector<uint16_t>& lengths, Lists kind) {
  const std::vector<uint32_t> codes = CanonicalCodes(lengths);
  std::map<std::pair<int, uint32_t>, int> byCode;  // (length, code bits in stream order) -> symbol
  int longest = 0;
  for (size_t v = 0; v < lengths.size(); v++) {
    uint32_t reversed = 0;
    for (int i = 0; i < lengths[v]; i++) reversed |= ((codes[v] >> i) & 1) << (lengths[v] - 1 - i);
    if (lengths[v]) byCode[{lengths[v], reversed}] = (int)v, longest = std::max<int>(longest, lengths[v]);
  }
  ASSERT_NE(b.root, nullptr);
  std::mt19937 rng(7);
  for (uint32_t x = 0; x < (1u << longest); x++) {
    // Walk the tables; the bits after the code are arbitrary.
    uint64_t stream = x | (uint64_t)rng() << longest;
    const HuffmanEntry* t = b.root + (stream & ((1u << b.bits) - 1));
    int used = 0;
    while (t->Op > OpSymbol && t->Op != OpInvalid) {
      used += t->Bits, stream >>= t->Bits;
      t = t->Next + (stream & ((1u << (t->Op - OpSymbol)) - 1));
    }
    int symbol = -1, length = 0;
    for (int l = 1; l <= longest && symbol < 0; l++) {
      auto it = byCode.find({l, x & ((1u << l) - 1)});
      if (it != byCode.end()) symbol = it->second, length = l;
    }
    if (symbol < 0) {
      ASSERT_EQ(t->Op, OpInvalid) << "unassigned bit string " << x;
      continue;
    }
    ASSERT_EQ(used + t->Bits, length) << "symbol " << symbol;
    const int s = kind == Literal ? 257 : kind == Distance ? 0 : (int)lengths.size();
    const int op = symbol < s ? (symbol < 256 ? OpSymbol : OpEndOfBlock) : (kind == Literal ? LengthExtra : DistanceExtra)[symbol - s];
    ASSERT_EQ(t->Op, op) << "symbol " << symbol;
    if (op != OpInvalid) {
      ASSERT_EQ(t->Value, symbol < s ? symbol : (kind == Literal ? LengthBase : DistanceBase)[symbol - s]);
    }
  }
}

struct Case {
  const char* name;
  std::vector<uint16_t> lengths;
  Lists kind;
  int32_t wanted, result, bits;  // bits: the root width that comes back
};

const Case Cases[] = {
    // One 1-bit code: its other half is invalid, and the result is still 0.
    {"OneOneBitCode", Lengths({{3, 0}, {1, 1}, {15, 0}}), Plain, 7, 0, 1},
    {"EndOfBlockAlone", Lengths({{256, 0}, {1, 1}}), Literal, 9, 0, 1},
    // Codes 30 and 31 are left over.
    {"FixedDistance", Lengths({{30, 5}}), Distance, 5, 1, 5},
    {"FixedLiteral", FixedLiterals().lengths, Literal, 7, 0, 7},
    // The root ends where the 7-bit end-of-block code does.
    {"FixedLiteralWantedWider", FixedLiterals().lengths, Literal, 9, 0, 7},
    {"EndOfBlockCut", Lengths({{221, 8}, {35, 9}, {1, 7}, {31, 9}}), Literal, 9, 0, 7},
    {"NarrowerThanWanted", Lengths({{1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 5}}), Plain, 9, 0, 5},
    // The 5-bit codes do not fill a 5-bit root, so it takes 6 bits.
    {"WidenedRoot", Lengths({{20, 5}, {8, 6}, {2, 7}}), Plain, 5, 1, 6},
    // Incomplete distance codes far from what encoders make.
    {"Distance13And15", Lengths({{1, 13}, {1, 15}}), Distance, 6, 1, 14},
    {"DistanceOne15", Lengths({{1, 15}}), Distance, 6, 1, 15},
    {"Distance32Of5", Lengths({{32, 5}}), Distance, 6, 0, 5},
    {"Deepest", Lengths({{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11}, {1, 12},
                         {1, 13}, {1, 14}, {2, 15}}),
     Plain, 9, 0, 9},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
class BuildTest : public ::testing::TestWithParam<Case> {};

TEST_P(BuildTest, ResultWidthAndDecoding) {
  const Case& c = GetParam();
  ResetHuffmanPool();
  const Built b = Build(c.lengths, c.kind, c.wanted);
  EXPECT_EQ(b.result, c.result);
  EXPECT_EQ(b.bits, c.bits);
  ExpectDecodes(b, c.lengths, c.kind);
  FreeHuffmanTables(b.list);
  EXPECT_EQ(HuffmanPoolInUse(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Codes, BuildTest, ::testing::ValuesIn(Cases), [](const auto& i) { return i.param.name; });

TEST(Build, NoCodesAndOversubscribedCodesBuildNothing) {
  ResetHuffmanPool();
  HuffmanEntry sentinel[2] = {};
  for (auto [lengths, result] : {std::pair{Lengths({{19, 0}}), 0}, {Lengths({{2, 1}, {1, 2}}), 2}, {Lengths({{5, 2}}), 2}}) {
    HuffmanEntry* root = sentinel;
    HuffmanEntry* list = sentinel + 1;
    int32_t bits = 7;
    EXPECT_EQ(BuildHuffmanTable(lengths.data(), (uint16_t)lengths.size(), (uint16_t)lengths.size(), nullptr, nullptr, &root,
                                &list, &bits),
              result);
    EXPECT_EQ(root, result == 0 ? nullptr : sentinel);  // no table, or nothing written
    EXPECT_EQ(list, sentinel + 1);
    if (result == 0) {
      EXPECT_EQ(bits, 0);
    }
    EXPECT_EQ(HuffmanPoolInUse(), 0u);
  }
}

// Next to a literal/length code, distance codes of lengths j and 15, which
// spread over the most table entries, must build (result 1, never out of
// pool), decode, and give all entries back.
TEST(Build, WorstDistanceCodesFitThePool) {
  for (int j = 1; j <= 15; j++) {
    ResetHuffmanPool();
    const Built lit = Build(FixedLiterals().lengths, Literal, 9);
    std::vector<uint16_t> dist(32, 0);
    dist[0] = (uint16_t)j, dist[31] = 15;
    const Built b = Build(dist, Distance, 6, lit.list);
    EXPECT_EQ(b.result, 1) << j;
    ExpectDecodes(b, dist, Distance);
    FreeHuffmanTables(b.list);
    EXPECT_EQ(HuffmanPoolInUse(), 0u);
  }
}

// Random codes, complete and incomplete, over all three kinds of symbols.
TEST(Build, RandomCodes) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; round++) {
    ResetHuffmanPool();
    const Lists kind = (Lists)(round % 3);
    const int n = kind == Literal ? 257 + (int)(rng() % 32) : kind == Distance ? 1 + (int)(rng() % 32) : 1 + (int)(rng() % 288);
    const int maxLength = 1 + (int)(rng() % 15);
    // Split random leaves of a code tree for a complete code; maybe drop some.
    std::vector<int> leaves = {0};
    for (int want = 1 + (int)(rng() % std::min(n, 1 << std::min(maxLength, 9))), tries = 0; (int)leaves.size() < want && tries < 100000; tries++) {
      const size_t k = rng() % leaves.size();
      if (leaves[k] < maxLength) {
        const int depth = ++leaves[k];
        leaves.push_back(depth);
      }
    }
    if (leaves.size() == 1) leaves[0] = 1;
    if (round % 2) leaves.resize(1 + rng() % leaves.size());
    std::vector<uint16_t> lengths(n, 0);
    std::vector<int> symbols(n);
    for (int v = 0; v < n; v++) symbols[v] = v;
    std::shuffle(symbols.begin(), symbols.end(), rng);
    double kraft = 0;
    int longest = 0;
    for (size_t i = 0; i < leaves.size() && i < symbols.size(); i++) {
      lengths[symbols[i]] = (uint16_t)leaves[i];
      kraft += 1.0 / (1 << leaves[i]), longest = std::max(longest, leaves[i]);
    }
    const Built b = Build(lengths, kind, 1 + (int32_t)(rng() % 9));
    ASSERT_EQ(b.result, kraft < 1.0 && longest > 1 ? 1 : 0) << "round " << round;
    ExpectDecodes(b, lengths, kind);
    FreeHuffmanTables(b.list);
    ASSERT_EQ(HuffmanPoolInUse(), 0u);
  }
}

}  // namespace
