// The table builder against a plain reference: the straightforward builder
// it replaced, one code at a time, kept here with a pool of its own. Both
// build the same code lengths from the same pool position, and every entry
// they write (Op, Bits, Value, and where Next points, as a pool position)
// must agree, as must the result, the root width, the root and release list,
// and the pool's use and peak, also when the pool runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "inflate/inflate_internal.h"
#include "inflate_support.h"

namespace {

// ---- The reference: one code at a time, levels checked for every code ----

// As large as the real pool; one store serves every test.
struct RefPool {
  HuffmanEntry* const entries = [] {
    static std::vector<HuffmanEntry> store(HuffmanPoolCapacity());
    return store.data();
  }();
  uint32_t top = 0, peak = 0;
  HuffmanEntry* Allocate(uint32_t n) {
    if (HuffmanPoolCapacity() - top < n) return nullptr;
    HuffmanEntry* block = entries + top;
    top += n;
    peak = std::max(peak, top);
    return block;
  }
};

int32_t ReferenceBuild(RefPool& pool, const uint16_t* lengths, uint16_t n, uint16_t s, const uint16_t* base,
                       const uint8_t* extra, HuffmanEntry** root, HuffmanEntry** releaseList, int32_t* lookupBits) {
  const uint32_t endLength = n > 256 ? lengths[256] : 16;
  uint32_t count[17] = {};
  for (uint32_t v = 0; v < n; v++) count[lengths[v]]++;
  if (count[0] == n) {
    *root = nullptr;
    *lookupBits = 0;
    return BuildComplete;
  }
  uint32_t shortest = 1, longest = 16;
  while (count[shortest] == 0) shortest++;
  while (count[longest] == 0) longest--;
  const int32_t wanted = std::clamp(*lookupBits, (int32_t)shortest, (int32_t)longest);
  *lookupBits = wanted;
  int32_t spare = 1 << shortest;
  for (uint32_t k = shortest; k < longest; k++) {
    spare -= (int32_t)count[k];
    if (spare < 0) return BuildOversubscribed;
    spare <<= 1;
  }
  spare -= (int32_t)count[longest];
  if (spare < 0) return BuildOversubscribed;
  count[longest] += (uint32_t)spare;

  uint16_t order[288];
  uint32_t start[17], coded = 0;
  for (uint32_t k = 1; k <= 16; k++) start[k] = coded, coded += k == longest ? count[k] - (uint32_t)spare : count[k];
  for (uint32_t v = 0; v < n; v++)
    if (lengths[v]) order[start[lengths[v]]++] = (uint16_t)v;

  const uint32_t mark = pool.top;
  HuffmanEntry* list = *releaseList;
  HuffmanEntry* rootTable = nullptr;
  HuffmanEntry* table[17];
  uint32_t width[17], prefix[17] = {};
  int32_t h = -1;
  uint32_t w = 0, code = 0, used = 0;
  for (uint32_t k = shortest; k <= longest; k++) {
    for (uint32_t left = count[k]; left != 0; left--) {
      while (k > w + (h < 0 ? 0 : width[h])) {
        w += h < 0 ? 0 : width[h];
        h++;
        const uint32_t limit = std::min(longest - w, (uint32_t)wanted);
        uint32_t b = k - w, f = 1u << b;
        if (f > left) {
          f -= left;
          for (uint32_t next = k;;) {
            if (++b >= limit) break;
            f <<= 1;
            if (f <= count[++next]) break;
            f -= count[next];
          }
        }
        if (w + b > endLength && w < endLength) b = endLength - w;
        HuffmanEntry* block = pool.Allocate((1u << b) + 1);
        if (!block) {
          pool.top = mark;
          return BuildNoMemory;
        }
        *block = {0, 0, 0, list};
        list = block + 1;
        width[h] = b;
        table[h] = block + 1;
        if (!rootTable) rootTable = block + 1;
        if (h > 0) {
          prefix[h] = code;
          table[h - 1][(code & ((1u << w) - 1)) >> (w - width[h - 1])] = {(uint8_t)(OpSymbol + b), (uint8_t)width[h - 1], 0, block + 1};
        }
      }
      HuffmanEntry entry = {OpInvalid, (uint8_t)(k - w), 0, nullptr};
      if (used < coded) {
        const uint16_t v = order[used++];
        entry.Op = v < s ? (v < 256 ? OpSymbol : OpEndOfBlock) : extra[v - s];
        entry.Value = v < s ? v : base[v - s];
      }
      for (uint32_t i = code >> w; i < (1u << width[h]); i += 1u << (k - w)) table[h][i] = entry;
      uint32_t m = 1u << (k - 1);
      for (; code & m; m >>= 1) code ^= m;
      code |= m;
      while (h > 0 && (code & ((1u << w) - 1)) != prefix[h]) w -= width[--h];
    }
  }
  *root = rootTable;
  *releaseList = list;
  *lookupBits = (int32_t)width[0];
  return spare > 0 && longest != 1 ? BuildIncomplete : BuildComplete;
}

// ---- Both builders side by side ----

enum Kind { Plain, Literal, Distance };

struct Input {
  std::vector<uint16_t> lengths;
  Kind kind;
  int32_t wanted;
};

std::string Describe(const Input& in) {
  std::ostringstream os;
  os << "kind " << in.kind << " wanted " << in.wanted << " n " << in.lengths.size() << " lengths";
  for (uint16_t l : in.lengths) os << ' ' << l;
  return os.str();
}

// Where the real pool starts: the first table after a reset sits right
// after its header at the pool's start.
HuffmanEntry* RealPoolStart() {
  static HuffmanEntry* start = [] {
    ResetHuffmanPool();
    const uint16_t two[2] = {1, 1};
    HuffmanEntry *root = nullptr, *list = nullptr;
    int32_t bits = 1;
    BuildHuffmanTable(two, 2, 2, nullptr, nullptr, &root, &list, &bits);
    ResetHuffmanPool();
    return root - 1;
  }();
  return start;
}

// A pointer as a pool position, the same for both pools; null is -1.
int64_t Position(const HuffmanEntry* p, const HuffmanEntry* poolStart) { return p ? p - poolStart : -1; }

struct Pair {
  RefPool ref;
  HuffmanEntry* realList = nullptr;  // what both pools hold, newest first
  HuffmanEntry* refList = nullptr;

  // Builds `in` with both builders on top of what both pools hold, and
  // compares everything either wrote. Returns the reference's result.
  int32_t BuildBoth(const Input& in) {
    HuffmanEntry* const start = RealPoolStart();
    HuffmanEntry* const refStart = ref.entries;
    const uint16_t n = (uint16_t)in.lengths.size();
    const uint16_t s = in.kind == Literal ? 257 : in.kind == Distance ? 0 : n;
    const uint16_t* base = in.kind == Literal ? LengthBase : in.kind == Distance ? DistanceBase : nullptr;
    const uint8_t* extra = in.kind == Literal ? LengthExtra : in.kind == Distance ? DistanceExtra : nullptr;
    EXPECT_EQ(HuffmanPoolInUse(), ref.top);
    const uint32_t mark = ref.top;
    // Outputs not written keep this, which lies in neither pool.
    static HuffmanEntry sentinel;
    HuffmanEntry *realRoot = &sentinel, *refRoot = &sentinel;
    HuffmanEntry *realOut = realList, *refOut = refList;
    int32_t realBits = in.wanted, refBits = in.wanted;
    const int32_t expected = ReferenceBuild(ref, in.lengths.data(), n, s, base, extra, &refRoot, &refOut, &refBits);
    // Both pools hold the same from earlier builds: a slot the real builder
    // left out would still match. So what it should write is spoilt first.
    for (uint32_t i = mark; expected <= BuildIncomplete && i < ref.top; i++) start[i] = {0xEE, 0xEE, 0xEEEE, &sentinel};
    const int32_t real = BuildHuffmanTable(in.lengths.data(), n, s, base, extra, &realRoot, &realOut, &realBits);
    const std::string what = Describe(in);
    auto position = [&](const HuffmanEntry* p, const HuffmanEntry* poolStart) { return p == &sentinel ? -2 : Position(p, poolStart); };
    EXPECT_EQ(real, expected) << what;
    EXPECT_EQ(realBits, refBits) << what;
    EXPECT_EQ(HuffmanPoolInUse(), ref.top) << what;
    EXPECT_EQ(HuffmanPoolPeak(), ref.peak) << what;
    EXPECT_EQ(position(realRoot, start), position(refRoot, refStart)) << what;
    EXPECT_EQ(position(realOut, start), position(refOut, refStart)) << what;
    if (real != expected || expected > BuildIncomplete) return expected;
    for (uint32_t i = mark; i < ref.top; i++) {
      const HuffmanEntry& a = start[i];
      const HuffmanEntry& b = refStart[i];
      if (a.Op != b.Op || a.Bits != b.Bits || a.Value != b.Value || Position(a.Next, start) != Position(b.Next, refStart)) {
        ADD_FAILURE() << "pool entry " << i << " (build from " << mark << "): Op " << (int)a.Op << "/" << (int)b.Op << " Bits "
                      << (int)a.Bits << "/" << (int)b.Bits << " Value " << a.Value << "/" << b.Value << " Next "
                      << Position(a.Next, start) << "/" << Position(b.Next, refStart) << "; " << what;
        break;
      }
    }
    realList = realOut;
    refList = refOut;
    return expected;
  }

  // Releases everything both pools hold.
  void FreeBoth() {
    FreeHuffmanTables(realList);
    for (HuffmanEntry* l = refList; l; l = (l - 1)->Next) ref.top = (uint32_t)(l - 1 - ref.entries);
    EXPECT_EQ(HuffmanPoolInUse(), ref.top);
    realList = refList = nullptr;
  }
};

// ---- Code lengths ----

// A complete code of `codes` codes no longer than maxLength (codes <=
// 2^maxLength), by splitting leaves of a code tree: a random one, or with
// probability `deep` the newest, which makes long chains.
std::vector<int> CompleteLengths(std::mt19937& rng, int codes, int maxLength, double deep) {
  std::vector<int> leaves = {0};
  std::uniform_real_distribution<double> coin(0, 1);
  for (int tries = 0; (int)leaves.size() < codes && tries < 200000; tries++) {
    const size_t i = coin(rng) < deep ? leaves.size() - 1 : rng() % leaves.size();
    if (leaves[i] >= maxLength) continue;
    leaves[i]++;
    leaves.push_back(leaves[i]);
  }
  if (leaves.size() == 1) leaves[0] = 1;
  return leaves;
}

enum Shape { Complete, Incomplete, Oversubscribed };

// n symbols, some of them given the leaves' lengths in random places.
std::vector<uint16_t> RandomLengths(std::mt19937& rng, int n, int maxLength, Shape shape) {
  const int most = std::min(n, maxLength >= 9 ? 288 : 1 << maxLength);
  const double deep = (rng() % 4) * 0.25;
  std::vector<int> leaves = CompleteLengths(rng, 1 + (int)(rng() % most), maxLength, deep);
  std::shuffle(leaves.begin(), leaves.end(), rng);
  if (shape == Incomplete && leaves.size() > 1) leaves.resize(1 + rng() % (leaves.size() - 1));
  if (shape == Incomplete && leaves.size() == 1 && leaves[0] == 1) leaves[0] = 1 + (int)(rng() % maxLength);
  if (shape == Oversubscribed) {
    if ((int)leaves.size() < n) leaves.push_back(1 + (int)(rng() % maxLength));  // one code too many
    else leaves[rng() % leaves.size()] = std::max(1, leaves[0] - 1);            // or one too short
  }
  std::vector<int> symbols(n);
  for (int v = 0; v < n; v++) symbols[v] = v;
  std::shuffle(symbols.begin(), symbols.end(), rng);
  std::vector<uint16_t> lengths(n, 0);
  for (size_t i = 0; i < leaves.size() && i < symbols.size(); i++) lengths[symbols[i]] = (uint16_t)leaves[i];
  return lengths;
}

struct Family {
  const char* name;
  Kind kind;
  int nLow, nHigh;          // symbols
  int maxLow, maxHigh;      // longest code allowed
  int wantedLow, wantedHigh;
  Shape shape;
  int builds;
  uint32_t seed;
};

const Family Families[] = {
    {"CodeLengthComplete", Plain, 19, 19, 1, 7, 1, 9, Complete, 1500, 1},
    {"CodeLengthIncomplete", Plain, 19, 19, 1, 7, 1, 9, Incomplete, 1000, 2},
    {"DistanceComplete", Distance, 30, 32, 1, 15, 5, 9, Complete, 2000, 3},
    {"DistanceIncomplete", Distance, 30, 32, 1, 15, 5, 9, Incomplete, 2000, 4},
    {"LiteralComplete", Literal, 257, 288, 8, 15, 5, 9, Complete, 3000, 5},
    {"LiteralIncomplete", Literal, 257, 288, 8, 15, 5, 9, Incomplete, 1000, 6},
    {"LiteralLength16", Literal, 257, 288, 12, 16, 5, 9, Complete, 500, 7},
    {"PlainAnyWidth", Plain, 1, 288, 1, 16, 1, 16, Complete, 1500, 8},
    {"PlainAnyWidthIncomplete", Plain, 1, 288, 1, 16, 1, 16, Incomplete, 1500, 9},
    {"DistanceOversubscribed", Distance, 30, 32, 1, 15, 5, 9, Oversubscribed, 500, 10},
    {"LiteralOversubscribed", Literal, 257, 288, 8, 15, 5, 9, Oversubscribed, 500, 11},
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }
class ReferenceTest : public ::testing::TestWithParam<Family> {};

// Random codes of one family, each built on top of a literal/length table
// of the same family, as a dynamic block builds them, and then released.
TEST_P(ReferenceTest, SameTablesAsTheReference) {
  const Family& f = GetParam();
  std::mt19937 rng(f.seed);
  int results[4] = {};
  for (int i = 0; i < f.builds && !HasFailure(); i++) {
    ResetHuffmanPool();
    Pair pair;
    auto draw = [&](int low, int high) { return low + (int)(rng() % (uint32_t)(high - low + 1)); };
    if (i % 3 == 0) pair.BuildBoth({FixedLiterals().lengths, Literal, 9});
    const int n = draw(f.nLow, f.nHigh);
    Input in{RandomLengths(rng, n, draw(f.maxLow, f.maxHigh), f.shape), f.kind, draw(f.wantedLow, f.wantedHigh)};
    results[pair.BuildBoth(in)]++;
    pair.FreeBoth();
  }
  // The family reaches what it is named for.
  const int32_t named = f.shape == Complete ? BuildComplete : f.shape == Incomplete ? BuildIncomplete : BuildOversubscribed;
  EXPECT_GT(results[named], f.builds / 2);
}

INSTANTIATE_TEST_SUITE_P(Families, ReferenceTest, ::testing::ValuesIn(Families), [](const auto& i) { return i.param.name; });

// Codes chosen by hand: the fixed codes, a single code of every length,
// codes whose end-of-block length cuts tables, all lengths 0, one code per
// length (the deepest tables), and every wanted width for each.
TEST(Reference, ChosenCodes) {
  auto runs = [](std::initializer_list<std::pair<int, int>> r) {
    std::vector<uint16_t> l;
    for (auto [count, length] : r) l.insert(l.end(), count, (uint16_t)length);
    return l;
  };
  std::vector<std::pair<std::vector<uint16_t>, Kind>> codes = {
      {FixedLiterals().lengths, Literal},
      {FixedDistances().lengths, Distance},
      {runs({{221, 8}, {35, 9}, {1, 7}, {31, 9}}), Literal},
      {runs({{20, 5}, {8, 6}, {2, 7}}), Plain},
      {runs({{19, 0}}), Plain},
      {runs({{257, 0}, {1, 1}}), Literal},
      {runs({{30, 0}, {1, 13}, {1, 15}}), Distance},
      {runs({{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 10}, {1, 11}, {1, 12}, {1, 13}, {1, 14},
             {1, 15}, {2, 16}}),
       Plain},
      {runs({{32, 5}}), Distance},
  };
  for (int length = 1; length <= 16; length++) {
    codes.push_back({runs({{1, length}}), Plain});
    codes.push_back({runs({{5, 0}, {1, length}, {24, 0}}), Distance});
    // End of block at this length, with everything else one length longer.
    std::vector<uint16_t> l(288, 0);
    l[256] = (uint16_t)length;
    for (int v = 0; v < 256 && length < 16; v++) l[v] = (uint16_t)(length + 1);
    codes.push_back({l, Literal});
  }
  for (const auto& [lengths, kind] : codes) {
    for (int32_t wanted = 0; wanted <= 17; wanted++) {
      ResetHuffmanPool();
      Pair pair;
      pair.BuildBoth({lengths, kind, wanted});
      pair.FreeBoth();
    }
  }
}

// Fills the real pool with single-code tables (2^b + 1 entries for a code
// of b bits) until exactly `left` entries remain: large ones first, then
// threes and fives for the last few. Returns the fill's release list.
HuffmanEntry* FillPool(uint32_t left) {
  HuffmanEntry* list = nullptr;
  bool built = true;
  auto take = [&](uint32_t b) {
    const uint16_t one = (uint16_t)b;
    HuffmanEntry* root = nullptr;
    int32_t bits = 15;
    built = built && BuildHuffmanTable(&one, 1, 1, nullptr, nullptr, &root, &list, &bits) <= BuildIncomplete;
  };
  auto rest = [&] { return HuffmanPoolCapacity() - HuffmanPoolInUse() - left; };
  for (uint32_t b = 15; b >= 1 && built; b--)
    while (built && rest() >= (1u << b) + 1 + 40) take(b);
  uint32_t fives = 0;
  while ((rest() - 5 * fives) % 3 != 0) fives++;
  for (uint32_t i = 0; i < fives && built; i++) take(2);
  while (built && rest() != 0) take(1);
  EXPECT_TRUE(built) << "a table that fits did not build";
  return list;
}

// With the pool nearly full, a build fails wherever it runs out, leaves the
// pool as it was and writes neither root nor list; else it builds as usual.
TEST(Reference, PoolRunsOut) {
  std::mt19937 rng(99);
  int failed = 0;
  for (int i = 0; i < 60 && !HasFailure(); i++) {
    const Kind kind = (Kind)(i % 3);
    const int n = kind == Literal ? 257 + (int)(rng() % 32) : kind == Distance ? 30 : 19;
    Input in{RandomLengths(rng, n, kind == Plain ? 7 : 15, i % 2 ? Complete : Incomplete), kind, 5 + (int32_t)(rng() % 5)};
    // What the build takes with pool enough.
    ResetHuffmanPool();
    uint32_t need;
    {
      Pair pair;
      if (pair.BuildBoth(in) > BuildIncomplete) continue;
      need = pair.ref.top;
    }
    for (uint32_t left : {0u, 1u, 2u, 3u, need / 2, need - 1, need, need + 1, (uint32_t)(rng() % (need + 1))}) {
      ResetHuffmanPool();
      Pair pair;
      pair.realList = FillPool(left);
      EXPECT_EQ(HuffmanPoolCapacity() - HuffmanPoolInUse(), left);
      pair.ref.top = pair.ref.peak = HuffmanPoolInUse();
      pair.refList = pair.realList ? pair.ref.entries + (pair.realList - RealPoolStart()) : nullptr;
      const bool fits = HuffmanPoolCapacity() - HuffmanPoolInUse() >= need;
      const int32_t result = pair.BuildBoth(in);
      EXPECT_EQ(result <= BuildIncomplete, fits) << left << " " << Describe(in);
      failed += result == BuildNoMemory;
    }
  }
  EXPECT_GT(failed, 100);
}

}  // namespace
