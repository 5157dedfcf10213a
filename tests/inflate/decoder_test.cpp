// Hand-built streams for what encoders rarely make, and for every way a
// stream can go wrong. Each case gives its data and the output file's
// expected content: after a failure only the full windows written before.
#include <gtest/gtest.h>

#include <functional>

#include "inflate_support.h"

namespace {

struct Item {
  int literal;  // -1: a match
  int length, distance;
};
Item L(int c) { return {c, 0, 0}; }
Item M(int length, int distance) { return {-1, length, distance}; }
using Items = std::vector<Item>;
Items operator+(Items items, Item more) {
  items.push_back(more);
  return items;
}

// The output of `items` after `before`: a match repeats, one byte at a
// time, the byte `distance` back.
Bytes Expand(Bytes out, const Items& items) {
  for (const Item& it : items) {
    if (it.literal >= 0) out += (char)it.literal;
    for (int i = 0; i < it.length; i++) out += out[out.size() - it.distance];
  }
  return out;
}

void Put(BitWriter& w, const Code& lit, const Code& dist, const Items& items, bool end = true) {
  for (const Item& it : items) {
    if (it.literal >= 0) w.Sym(lit, it.literal);
    else w.Length(lit, it.length), w.Distance(dist, it.distance);
  }
  if (end) w.Sym(lit, 256);
}
void Fixed(BitWriter& w, bool last, const Items& items, bool end = true) {
  w.Put(last, 1), w.Put(1, 2);
  Put(w, FixedLiterals(), FixedDistances(), items, end);
}
void Stored(BitWriter& w, bool last, const Bytes& data, int nlen = -1) {
  w.Put(last, 1), w.Put(0, 2), w.Align();
  w.Put((uint32_t)data.size(), 16), w.Put(nlen < 0 ? ~(uint32_t)data.size() : (uint32_t)nlen, 16);
  for (char c : data) w.Put((uint8_t)c, 8);
}
void Dynamic(BitWriter& w, bool last, const Code& lit, const Code& dist, const Items& items, bool end = true) {
  w.DynamicHeader(last, lit, dist);
  Put(w, lit, dist, items, end);
}
// A dynamic header written code-length symbol by symbol ({symbol, repeat
// bits}), with the code-length code `cl` of which hclen + 4 lengths are sent.
void RawHeader(BitWriter& w, int nl, int nd, const std::vector<uint16_t>& cl, int hclen,
               const std::vector<std::pair<int, int>>& seq) {
  static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  w.Put(1, 1), w.Put(2, 2), w.Put(nl - 257, 5), w.Put(nd - 1, 5), w.Put(hclen, 4);
  for (int j = 0; j < hclen + 4; j++) w.Put(cl[order[j]], 3);
  const Code code(cl);
  for (auto [symbol, extra] : seq) w.Sym(code, symbol), w.Put(extra, symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0);
}
Code Sparse(int n, std::initializer_list<std::pair<int, int>> set) {
  std::vector<uint16_t> l(n, 0);
  for (auto [symbol, length] : set) l[symbol] = (uint16_t)length;
  return Code(l);
}
std::vector<uint16_t> CodeLengthCode(std::initializer_list<std::pair<int, int>> set) { return Sparse(19, set).lengths; }
// The first stream from make(n), n = 1, 2, ..., that ends on a byte
// boundary, so that no zero padding can read as a 7-bit fixed end of block.
Bytes OnByte(const std::function<void(BitWriter&, int)>& make) {
  for (int n = 1;; n++) {
    BitWriter w;
    make(w, n);
    if (w.bits % 8 == 0) return w.bytes;
  }
}
Items Run(int n, int c) { return Items(n, L(c)); }  // 9-bit fixed codes for c >= 144
Items operator+(Items a, const Items& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// A fixed block: `before`, then what `bad` writes, then 60 more literals.
Bytes Invalid(const Items& before, void (*bad)(BitWriter&)) {
  BitWriter w;
  Fixed(w, true, before, false);
  bad(w);
  Put(w, FixedLiterals(), FixedDistances(), Run(60, 'z'));
  return w.bytes;
}

struct Stream {
  Bytes data, output;
  std::vector<uint32_t> writes;  // empty: whole windows and one shorter write
};
struct Case {
  const char* name;
  std::function<Stream()> make;
};

const Bytes Data32K = BinarySample(32768, 1);
const Code TinyLiterals = Sparse(258, {{'a', 1}, {256, 2}, {257, 2}});  // 'a', end, length 3

const std::vector<Case> Cases = {
    // ---- streams that decode whole
    {"EmptyData", [] { return Stream{"", "", {}}; }},
    {"StoredEmpty", [] { BitWriter w; Stored(w, true, ""); return Stream{w.bytes, "", {}}; }},
    {"StoredAfterMidByteHeader",
     [] { BitWriter w; Fixed(w, false, {L('a'), L('b')}); Stored(w, true, "hello"); return Stream{w.bytes, "abhello", {7}}; }},
    {"StoredFullWindow", [] { BitWriter w; Stored(w, true, Data32K); return Stream{w.bytes, Data32K, {32768}}; }},
    {"Entry32769Bytes",
     [] { BitWriter w; Stored(w, true, Data32K + "!"); return Stream{w.bytes, Data32K + "!", {32768, 1}}; }},
    {"TwoFixedAroundDynamic",
     [] {
       const Items a = {L('a'), L('b'), L('c')}, b = {L('d'), L('e'), M(3, 2), M(4, 4)}, c = {L('f'), M(6, 9), M(3, 1)};
       BitWriter w;
       Fixed(w, false, a);
       Dynamic(w, false, Sparse(259, {{'d', 2}, {'e', 2}, {256, 2}, {257, 3}, {258, 3}}), Code({2, 2, 2, 2}), b);
       Fixed(w, true, c);
       return Stream{w.bytes, Expand(Expand(Expand("", a), b), c), {}};
     }},
    {"NonFinalType3IsEmpty",
     [] { BitWriter w; w.Put(0, 1), w.Put(3, 2); Fixed(w, true, {L('x'), L('y')}); return Stream{w.bytes, "xy", {}}; }},
    {"Length10AtDistance1", [] { BitWriter w; Fixed(w, true, {L('X'), M(10, 1)}); return Stream{w.bytes, Bytes(11, 'X'), {11}}; }},
    {"MatchOverTheWindowEnd",
     [] {
       // 32766 bytes, then 5 at distance 3: the window fills after 2 of them.
       Items items = {L('q')};
       for (int i = 0; i < 126; i++) items.push_back(M(258, 1));
       for (Item it : {M(254, 1), L('x'), L('y'), L('z'), M(5, 3)}) items.push_back(it);
       BitWriter w;
       Fixed(w, true, items);
       return Stream{w.bytes, Expand("", items), {32768, 3}};
     }},
    {"SourcesInTheOlderPart",
     [] {
       // Sources above the write position, running over the window's end,
       // and at the longest distance.
       const Items items = {L('0'), L('1'), L('2'), L('3'), M(10, 9), M(258, 32768), M(100, 32700), M(3, 32768)};
       BitWriter w;
       Stored(w, false, Data32K);
       Fixed(w, true, items);
       return Stream{w.bytes, Expand(Data32K, items), {}};
     }},
    {"HistoryRightAfterShortMatches",
     [] {
       // Each short match is followed by one that reads, 32768 back, the
       // older bytes that lie right past it in the window.
       Items items = {L('0'), L('1'), L('2'), L('3'), L('4'), L('5'), L('6'), L('7')};
       for (int length = 3; length <= 17; length++) items = items + M(length, 8) + M(20, 32768) + M(length, 9);
       BitWriter w;
       Stored(w, false, Data32K);
       Fixed(w, true, items + Run(60, 'z'));
       return Stream{w.bytes, Expand(Data32K, items + Run(60, 'z')), {}};
     }},
    {"FirstCodeLengthSymbolIs16",
     [] {
       // 16 first repeats length 0. Distance lengths all 0: literals only.
       BitWriter w;
       RawHeader(w, 257, 1, CodeLengthCode({{16, 2}, {18, 2}, {1, 2}, {0, 2}}), 14,
                 {{16, 3}, {18, 48}, {1, 0}, {18, 127}, {18, 41}, {1, 0}, {0, 0}});
       Put(w, Sparse(257, {{'A', 1}, {256, 1}}), Code({0}), {L('A'), L('A'), L('A')});
       return Stream{w.bytes, "AAA", {}};
     }},
    {"RepeatSpansLiteralAndDistanceLengths",
     [] {
       // 'A' 1, 256 2, then a 16 gives 257 and both distance codes length 2.
       BitWriter w;
       RawHeader(w, 258, 2, CodeLengthCode({{16, 2}, {18, 2}, {1, 2}, {2, 2}}), 15,
                 {{18, 54}, {1, 0}, {18, 127}, {18, 41}, {2, 0}, {16, 0}});
       const Items items = {L('A'), M(3, 1), L('A'), M(3, 2)};
       Put(w, Sparse(258, {{'A', 1}, {256, 2}, {257, 2}}), Code({2, 2}), items);
       return Stream{w.bytes, Expand("", items), {}};
     }},
    {"SingleOneBitDistanceCode",
     [] {
       const Items items = {L('a'), L('a'), M(3, 1), L('a')};
       BitWriter w;
       Dynamic(w, true, TinyLiterals, Code({1}), items);
       return Stream{w.bytes, Expand("", items), {}};
     }},
    {"CodesThroughSubTables",
     [] {
       // Literal/length codes of 1..15 bits and distance codes of 1..14
       // and 15 bits: decoding goes through several levels of sub-tables.
       std::vector<uint16_t> l(288, 0), d(30, 0);
       const int symbols[16] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 257, 256, 285};
       for (int i = 0; i < 16; i++) l[symbols[i]] = (uint16_t)std::min(i + 1, 15);
       for (int i = 0; i < 14; i++) d[i] = (uint16_t)(i + 1);
       d[29] = 15;
       Items items;
       for (int r = 0; r < 200; r++) items.push_back(L("abcdefghijklm"[r % 13]));
       for (Item it : {M(258, 100), M(3, 1), M(3, 4), L('m'), M(258, 128)}) items.push_back(it);
       BitWriter w;
       Dynamic(w, true, Code(l), Code(d), items);
       return Stream{w.bytes, Expand("", items), {}};
     }},
    {"LongestLengthAndDistanceCodes",
     [] {
       // Lengths of 227 to 257 and distances of 24577 to 32768 with codes
       // of 15 bits: each match takes 48 bits, as many as a step can.
       std::vector<uint16_t> l(285, 0), d(30, 0);
       for (int i = 0; i < 14; i++) l['a' + i] = (uint16_t)(i + 1), d[i] = (uint16_t)(i + 1);
       l[256] = l[284] = 15;
       d[28] = d[29] = 15;
       Items items;
       for (int r = 0; r < 40; r++) items = items + M(227 + r % 31, 24577 + r * 199) + L('a' + r % 14);
       BitWriter w;
       Stored(w, false, Data32K);
       Dynamic(w, true, Code(l), Code(d), items);
       return Stream{w.bytes, Expand(Data32K, items), {}};
     }},
    {"MatchesAroundTheRingsEnds",
     [] {
       // Over 200,000 bytes of literals and matches that pass the ends of
       // both windows of the output ring many times: distances of 1 to 8
       // and at the very end of the history above all, lengths of 3 to
       // 258, and a long run of literals now and then.
       uint32_t seed = 77;
       auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
       Items items;
       size_t made = 0;
       while (made < 200000) {
         const uint32_t kind = next() % 8;
         if (made < 16 || kind == 0) {
           for (uint32_t i = 1 + next() % 40; i > 0; i--, made++) items.push_back(L((int)(next() & 0xFF)));
           continue;
         }
         const int most = (int)std::min<size_t>(made, 32768);
         const int distance = kind < 3   ? 1 + (int)(next() % std::min(8, most))
                              : kind < 5 ? most - (int)(next() % std::min(9, most))
                                         : 1 + (int)(next() % most);
         const int length = next() % 4 ? 3 + (int)(next() % 30) : 3 + (int)(next() % 256);
         items.push_back(M(length, distance));
         made += (size_t)length;
       }
       BitWriter w;
       Fixed(w, true, items);
       return Stream{w.bytes, Expand("", items), {}};
     }},
    {"EndsRightAfterNonFinalBlock",
     [] {
       // The next header lies past the end: it reads as an empty last block.
       const Bytes data = OnByte([](BitWriter& w, int n) { Fixed(w, false, Run(n, 200)); });
       Bytes out;
       ZlibInflate(data, out);  // the data alone is incomplete for zlib; the output so far is all there is
       return Stream{data, out, {}};
     }},
    {"LastCodeEndsAtTheLastBit",
     [] {
       const Bytes data = OnByte([](BitWriter& w, int n) { Fixed(w, true, Run(n, 200)); });
       Bytes out;
       EXPECT_TRUE(ZlibInflate(data, out));
       return Stream{data, out, {}};
     }},
    {"LookaheadPastTheEndIsNotUse",
     [] {
       // A 6-bit distance root while the last distance code is 1 bit and
       // the end of block 2: the lookup reads past the end, nothing uses it.
       const Bytes data = OnByte([](BitWriter& w, int n) {
         Dynamic(w, true, TinyLiterals, Code({1, 2, 3, 4, 5, 6, 6}), Items(n, L('a')) + M(3, 1));
       });
       Bytes out;
       EXPECT_TRUE(ZlibInflate(data, out));
       return Stream{data, out, {}};
     }},
    // ---- streams that fail
    // The failing codes are followed by more data, so that with whole reads
    // the word-at-a-time loop meets them, and with short reads the careful one.
    {"FixedLength286", [] { return Stream{Invalid({L('a')}, [](BitWriter& w) { w.Sym(FixedLiterals(), 286); }), "", {}}; }},
    {"FixedLength287", [] { return Stream{Invalid({L('a')}, [](BitWriter& w) { w.Sym(FixedLiterals(), 287); }), "", {}}; }},
    {"FixedDistance30",
     [] { return Stream{Invalid({L('a'), L('b')}, [](BitWriter& w) { w.Sym(FixedLiterals(), 257), w.Put(0x0F, 5); }), "", {}}; }},
    {"FixedDistance31",
     [] { return Stream{Invalid({L('a'), L('b')}, [](BitWriter& w) { w.Sym(FixedLiterals(), 257), w.Put(0x1F, 5); }), "", {}}; }},
    {"DistanceBeforeTheFirstByte",
     [] { BitWriter w; Fixed(w, true, Items{L('a'), L('b'), M(3, 3)} + Run(60, 'z')); return Stream{w.bytes, "", {}}; }},
    {"DistanceOneTooFar",
     [] { BitWriter w; Stored(w, false, Data32K.substr(0, 30000)); Fixed(w, true, Items{M(3, 30001)} + Run(60, 'z')); return Stream{w.bytes, "", {}}; }},
    {"RepeatPastTheLastLength",
     [] { BitWriter w; RawHeader(w, 257, 1, CodeLengthCode({{18, 1}, {1, 2}, {0, 2}}), 14, {{1, 0}, {18, 127}, {18, 127}}); return Stream{w.bytes, "", {}}; }},
    {"HuffmanBlockRunsOffTheData",
     [] { return Stream{OnByte([](BitWriter& w, int n) { Fixed(w, true, Run(n, 200), false); }), "", {}}; }},
    {"HuffmanBlockRunsOffAfterAFullWindow",
     [] {
       const Bytes data = OnByte([](BitWriter& w, int n) { Stored(w, false, Data32K); Fixed(w, true, Run(n, 200) + M(30, 1), false); });
       return Stream{data, Data32K, {32768}};
     }},
    {"StoredLengthCheckWrong", [] { BitWriter w; Stored(w, true, "abc", 0xFFFF); return Stream{w.bytes, "", {}}; }},
    {"StoredCutShort", [] { BitWriter w; Stored(w, true, Bytes(100, 'x')); return Stream{w.bytes.substr(0, 60), "", {}}; }},
    {"StoredCutShortAfterAFullWindow",
     [] { BitWriter w; Stored(w, true, Data32K + Data32K.substr(0, 5000)); return Stream{w.bytes.substr(0, 33000), Data32K, {32768}}; }},
    {"StoredHeaderCutShort", [] { BitWriter w; w.Put(1, 1), w.Put(0, 2), w.Align(), w.Put(0, 8); return Stream{w.bytes, "", {}}; }},
    {"LengthWithoutDistanceCode",
     [] { BitWriter w; Dynamic(w, true, TinyLiterals, Code({0}), {L('a'), M(3, 1)}); return Stream{w.bytes, "", {}}; }},
    {"UnassignedHalfOfOneBitDistanceCode",
     [] {
       BitWriter w;
       w.DynamicHeader(true, TinyLiterals, Code({1}));
       w.Sym(TinyLiterals, 'a'), w.Sym(TinyLiterals, 257), w.Put(1, 1), w.Sym(TinyLiterals, 256);
       return Stream{w.bytes, "", {}};
     }},
    {"HclenZeroGivesOnlyZeroLengths",
     [] { BitWriter w; RawHeader(w, 257, 1, CodeLengthCode({{16, 2}, {17, 2}, {18, 2}, {0, 2}}), 0, {{18, 127}, {18, 108}, {0, 0}}); return Stream{w.bytes, "", {}}; }},
    {"IncompleteCodeLengthCode", [] { BitWriter w; RawHeader(w, 257, 1, CodeLengthCode({{8, 1}, {0, 2}}), 1, {{8, 0}}); return Stream{w.bytes, "", {}}; }},
    {"IncompleteLiteralCode",
     [] { BitWriter w; Dynamic(w, true, Sparse(258, {{'a', 2}, {256, 2}, {257, 2}}), Code({1, 1}), {L('a')}); return Stream{w.bytes, "", {}}; }},
    {"OversubscribedDistanceCode",
     [] { BitWriter w; Dynamic(w, true, TinyLiterals, Code({1, 1, 1}), {L('a')}); return Stream{w.bytes, "", {}}; }},
    {"DynamicHeaderCutShort",
     [] { BitWriter w; w.DynamicHeader(true, TinyLiterals, Code({1})); return Stream{w.bytes.substr(0, w.bytes.size() / 2), "", {}}; }},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
class StreamTest : public ::testing::TestWithParam<Case> {};

TEST_P(StreamTest, OutputAndWrites) {
  const Stream s = GetParam().make();
  // Reads of 3 bytes move every boundary between the read-ahead and the
  // word-at-a-time loop.
  for (uint32_t shortReads : {0u, 3u}) {
    const InflateRun run = RunInflate(s.data, -1, shortReads);
    EXPECT_EQ(run.output.size(), s.output.size());
    EXPECT_TRUE(run.output == s.output);
    if (s.writes.empty()) {
      EXPECT_TRUE(WindowedWrites(run.writes, s.output.size()));
    } else {
      EXPECT_EQ(run.writes, s.writes);
    }
    EXPECT_LE(run.inputEnd, (int64_t)s.data.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamTest, ::testing::ValuesIn(Cases), [](const auto& i) { return i.param.name; });

// The fixed tables belong to one entry: the next entry's dynamic block takes
// their place in the pool, and its fixed block must build them anew.
TEST(Entries, FixedBlockInTheNextEntry) {
  BitWriter a, b;
  Fixed(a, true, {L('a'), L('b'), M(4, 2)});
  EXPECT_EQ(RunInflate(a.bytes).output, "ababab");
  const Items first = {L('x'), L('y'), M(3, 2)}, second = {L('z'), M(5, 4), L('!')};
  Dynamic(b, false, Sparse(259, {{'x', 2}, {'y', 2}, {256, 2}, {257, 3}, {258, 3}}), Code({1, 1}), first);
  Fixed(b, true, second);
  EXPECT_EQ(RunInflate(b.bytes).output, Expand(Expand("", first), second));
}

// Nothing of a failed entry carries over: a distance into the bytes it left
// in the window fails in the next entry.
TEST(Entries, FailedEntryLeavesNothingBehind) {
  BitWriter bad, next;
  Stored(bad, false, Data32K.substr(0, 20000));
  Fixed(bad, true, {L('a')}, false);
  EXPECT_EQ(RunInflate(bad.bytes).output, "");
  Fixed(next, true, {L('a'), M(3, 2)});
  EXPECT_TRUE(RunInflate(next.bytes).writes.empty());
}

// Every cut of an entry's size fails or yields nothing, and reads no further.
TEST(Entries, EntrySizeBoundsTheData) {
  BitWriter w;
  Fixed(w, true, {L('a'), L('b'), L('c'), L('d'), L('e'), L('f')});
  EXPECT_EQ(RunInflate(w.bytes).output, "abcdef");
  for (int64_t size = 0; size < (int64_t)w.bytes.size(); size++) {
    const InflateRun cut = RunInflate(w.bytes, size);
    EXPECT_EQ(cut.output, "") << size;
    EXPECT_LE(cut.inputEnd, size);
  }
}

}  // namespace
