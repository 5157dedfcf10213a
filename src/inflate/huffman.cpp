// Decoding tables for canonical Huffman codes (RFC 1951, 3.2.2): a root
// table indexed by the next few input bits and sub-tables for longer codes.
#include "inflate/inflate_internal.h"

// Tables live in one static pool used as a stack; nothing is taken from a
// heap. The decoder builds only the code-length codes of its blocks here
// (its literal/length and distance codes go to the fast tables, below), but
// the builder takes any code, and the pool's size covers the most it was
// made to hold at once: a pair of fixed tables plus the literal/length and
// distance tables of one dynamic block. Only the pages in use are touched.
// How many entries one build takes:
//
//  * Every table ends at most at the depth of the longest code, g: the
//    width rule below never goes past g, and the end-of-block rule only
//    narrows. So a code of length k is repeated in at most 2^(g-k) slots,
//    and together the codes (unassigned ones included, which fill the code
//    space up to exactly 1) take at most 2^g <= 2^15 slots. Every other slot
//    is a link, one per sub-table, and every table has one header entry:
//    entries <= 2^15 + 2 * tables.
//  * A literal/length code is used only when complete (or a single 1-bit
//    code). Each of its at most 288 codes opens at most two tables (the
//    end-of-block rule may cut one short and open another), so tables <= 576
//    and entries <= 2^15 + 1152 - 1.
//  * A distance code may be incomplete. Its at most 32 real codes open one
//    table each; a table opened by an unassigned code reaches exactly to
//    depth g and holds only unassigned codes, at least two of them, so there
//    are at most 2^14 - 1 such tables: entries <= 2^15 + 2 * (32 + 16383) - 1.
//    (Two codes of lengths 13 and 15 come close: 65531 entries.)
//  * The fixed tables take 497 + 33 entries.
// A literal/length build that is incomplete is refused by its caller
// anyway, so running out of pool there changes nothing.
constexpr uint32_t FixedTablesEntries = 497 + 33;
constexpr uint32_t LiteralTablesBound = (1u << 15) + 2 * 576 - 1;
constexpr uint32_t DistanceTablesBound = (1u << 15) + 2 * (32 + (1u << 14) - 1) - 1;
constexpr uint32_t PoolEntries = FixedTablesEntries + LiteralTablesBound + DistanceTablesBound;

static HuffmanEntry Pool[PoolEntries];
static uint32_t PoolTop = 0;
static uint32_t PoolHighWater = 0;

void ResetHuffmanPool() {
  PoolTop = 0;
  PoolHighWater = 0;
}

uint32_t HuffmanPoolInUse() { return PoolTop; }
uint32_t HuffmanPoolPeak() { return PoolHighWater; }
uint32_t HuffmanPoolCapacity() { return PoolEntries; }

void FreeHuffmanTables(HuffmanEntry* list) {
  while (list) {
    HuffmanEntry* block = list - 1;
    list = block->Next;
    // Lists are released newest first, so each block is the top of the pool.
    PoolTop = (uint32_t)(block - Pool);
  }
}

// Op, Bits and Value of an entry are written as one little-endian word, the
// way the decoder reads them.
static_assert(__builtin_offsetof(HuffmanEntry, Op) == 0 && __builtin_offsetof(HuffmanEntry, Bits) == 1 &&
                  __builtin_offsetof(HuffmanEntry, Value) == 2,
              "entry layout");
static inline void StoreEntry(HuffmanEntry* e, uint32_t fields, HuffmanEntry* next) {
  __builtin_memcpy(e, &fields, 4);
  e->Next = next;
}

// Stores one code's entry in every slot of its table that the code takes:
// from q on, a step apart, up to the table's end.
static inline void StoreEveryStep(HuffmanEntry* q, HuffmanEntry* end, uint32_t step, uint32_t fields) {
  do {
    StoreEntry(q, fields, nullptr);
    q += step;
  } while (q < end);
}

// The code after j among the codes of the bits in mask, both bit-reversed
// (the code's first bit is bit 0): the ones at the top of j, the code's last
// bits, clear and the zero below them is set. j must not be all ones.
static inline uint32_t NextCode(uint32_t j, uint32_t mask) {
  const uint32_t zero = (uint32_t)__builtin_clz(j ^ mask) ^ 31;
  return j ^ (mask >> zero << zero);
}

// The same, where all ones wraps to 0: after a table's last code.
static inline uint32_t WrapNextCode(uint32_t j, uint32_t mask) {
  const uint32_t zero = (uint32_t)__builtin_clz((j ^ mask) | 1) ^ 31;
  return j ^ (mask >> zero << zero);
}

// Op and Value of the symbols of one build, one list per code length, each
// in symbol order: the lists give the codes in canonical order. Static, as
// a build uses it only while it runs and builds do not overlap.
constexpr uint32_t MaxSymbols = 288;
static uint32_t SymbolFields[17 * MaxSymbols];

// A table of the current build at some level: its entries, index bits, the
// slots not yet given out, and the next code's slot (bit-reversed).
struct Level {
  HuffmanEntry* table;
  uint32_t width;
  uint32_t room;
  uint32_t slot;
};

int32_t BuildHuffmanTable(const uint16_t* lengths, uint16_t n, uint16_t s, const uint16_t* base,
                          const uint8_t* extra, HuffmanEntry** root, HuffmanEntry** releaseList,
                          int32_t* lookupBits) {
  // Tables stop where the end-of-block code ends, so that it never needs a
  // lookup wider than itself.
  const uint32_t endLength = n > 256 ? lengths[256] : 16;

  // Sort the symbols' Op and Value by length, and count them on the way:
  // the list of length k starts at k * MaxSymbols and ends at end[k]. One
  // loop per kind of symbol keeps the loops free of branches.
  uint32_t end[17];
#pragma GCC unroll 17
  for (uint32_t k = 0; k <= 16; k++) end[k] = k * MaxSymbols;
  {
    uint32_t v = 0;
    uint32_t stop = s < 256 ? s : 256;
    if (stop > n) stop = n;
    uint32_t f = OpSymbol;
    for (; v + 3 < stop; v += 4, f += 4u << 16) {
      SymbolFields[end[lengths[v]]++] = f;
      SymbolFields[end[lengths[v + 1]]++] = f + (1u << 16);
      SymbolFields[end[lengths[v + 2]]++] = f + (2u << 16);
      SymbolFields[end[lengths[v + 3]]++] = f + (3u << 16);
    }
    for (; v < stop; v++, f += 1u << 16) SymbolFields[end[lengths[v]]++] = f;
    stop = s < n ? s : n;
    for (f = OpEndOfBlock | v << 16; v < stop; v++, f += 1u << 16) SymbolFields[end[lengths[v]]++] = f;
    for (uint32_t i = 0; v < n; v++, i++) SymbolFields[end[lengths[v]]++] = extra[i] | (uint32_t)base[i] << 16;
  }
  uint32_t count[17];
#pragma GCC unroll 17
  for (uint32_t k = 0; k <= 16; k++) count[k] = end[k] - k * MaxSymbols;

  if (count[0] == n) {
    *root = nullptr;
    *lookupBits = 0;
    return BuildComplete;
  }
  uint32_t shortest = 1;
  while (count[shortest] == 0) shortest++;
  uint32_t longest = 16;
  while (count[longest] == 0) longest--;
  int32_t wanted = *lookupBits;
  if (wanted < (int32_t)shortest) wanted = (int32_t)shortest;
  if (wanted > (int32_t)longest) wanted = (int32_t)longest;
  *lookupBits = wanted;
  const uint32_t rootLimit = (uint32_t)wanted;

  // Kraft check; the codes left over at the longest length become
  // placeholders that decode as invalid.
  int32_t spare = 1 << shortest;
  for (uint32_t k = shortest; k < longest; k++) {
    spare -= (int32_t)count[k];
    if (spare < 0) return BuildOversubscribed;
    spare <<= 1;
  }
  spare -= (int32_t)count[longest];
  if (spare < 0) return BuildOversubscribed;
  count[longest] += (uint32_t)spare;

  // The codes are given out in canonical order: a run of codes of the same
  // length and table at a time, or a sub-table that codes of one length
  // fill at once. *left counts the codes of the current length still to
  // come (count[k] for length k), next points at the next one's Op and
  // Value, coded at the end of the length's symbols (the placeholders have
  // none). The current table is t, of `width` index bits and with `room`
  // slots not yet given out; kw is the current length less the bits that
  // the tables above it resolve; j is the next code's slot, bit-reversed
  // (the code's first bit is bit 0). The tables above wait in `up` while it
  // is filled.
  uint32_t top = PoolTop;  // the pool's top, written back at the end
  HuffmanEntry* chain = *releaseList;
  Level up[16];
  Level* above = up;
  uint32_t* left = count + shortest;  // the codes of the current length
  uint32_t kw = shortest;
  const uint32_t* next = SymbolFields + shortest * MaxSymbols;
  const uint32_t* coded = SymbolFields + end[shortest];
  HuffmanEntry* t = nullptr;
  uint32_t width = 0, room = 0, j = 0;

  for (;;) {
    if (kw <= width) {
      // The codes of this length that go to this table: each takes 2^spread
      // slots, and they come in order from its first free slot.
      const uint32_t spread = width - kw;
      uint32_t run = room >> spread;
      if (run > *left) run = *left;
      room -= run << spread;
      *left -= run;
      const uint32_t mask = (1u << kw) - 1;
      const uint32_t bitsField = kw << 8;
      if ((uint32_t)(coded - next) < run) {
        // The placeholders of an incomplete code, after its last symbols.
        for (;;) {
          const uint32_t e = next < coded ? *next++ | bitsField : OpInvalid | bitsField;
          for (uint32_t i = j; i < 1u << width; i += mask + 1) StoreEntry(t + i, e, nullptr);
          j = WrapNextCode(j, mask);
          if (--run == 0) break;
        }
      } else {
        const uint32_t* const stop = next + run;
        // Codes come in pairs that differ in their last bit alone, the top
        // bit of the slot: one step to the next code serves both. A code
        // whose last bit is 1 may come first, and one may be left over.
        const uint32_t last = (mask >> 1) + 1;
        const uint32_t step = mask + 1;
        HuffmanEntry* const end = t + (1u << width);
        if (j & last) {
          StoreEveryStep(t + j, end, step, *next++ | bitsField);
          j = WrapNextCode(j, mask);
        }
        const uint32_t* const pairs = next + ((stop - next) & ~1);
        if (spread == 0) {
          HuffmanEntry* const u = t + last;
          while (next != pairs) {
            const uint32_t e = next[0] | bitsField;
            const uint32_t g = next[1] | bitsField;
            next += 2;
            StoreEntry(t + j, e, nullptr);
            StoreEntry(u + j, g, nullptr);
            j = WrapNextCode(j, mask >> 1);
          }
        } else if (spread == 1) {
          // Two slots each, a step apart.
          while (next != pairs) {
            const uint32_t e = next[0] | bitsField;
            const uint32_t g = next[1] | bitsField;
            next += 2;
            HuffmanEntry* const q = t + j;
            StoreEntry(q, e, nullptr);
            StoreEntry(q + last, g, nullptr);
            StoreEntry(q + step, e, nullptr);
            StoreEntry(q + step + last, g, nullptr);
            j = WrapNextCode(j, mask >> 1);
          }
        } else {
          while (next != pairs) {
            const uint32_t e = next[0] | bitsField;
            const uint32_t g = next[1] | bitsField;
            next += 2;
            // Four or more slots each: two rounds at a time.
            HuffmanEntry* q = t + j;
            do {
              StoreEntry(q, e, nullptr);
              StoreEntry(q + last, g, nullptr);
              q += step;
              StoreEntry(q, e, nullptr);
              StoreEntry(q + last, g, nullptr);
              q += step;
            } while (q < end);
            j = WrapNextCode(j, mask >> 1);
          }
        }
        if (next != stop) {
          StoreEveryStep(t + j, end, step, *next++ | bitsField);
          j = WrapNextCode(j, mask);
        }
      }
    } else if (t && kw == width + 1 && coded - next >= 2) {
      // Pairs of codes one bit longer than this table resolves: each pair
      // fills a sub-table of one index bit (the width rule gives no more,
      // as the pair is there). Such tables follow each other at the slots
      // of this table. (Codes still to come of this length, *left, are at
      // least the symbols still to come, coded - next.)
      const uint32_t link = (OpSymbol + 1) | width << 8;
      const uint32_t mask = (1u << width) - 1;
      const uint32_t* const first = next;
      const uint32_t* const pairs = next + ((coded - next) & ~1);
      for (;;) {
        if (PoolEntries - top < 3) goto full;
        HuffmanEntry* const c = Pool + top + 1;
        top += 3;
        StoreEntry(c - 1, 0, chain);
        chain = c;
        StoreEntry(t + j, link, c);
        StoreEntry(c, next[0] | 1u << 8, nullptr);
        StoreEntry(c + 1, next[1] | 1u << 8, nullptr);
        next += 2;
        if (--room == 0) break;
        j = NextCode(j, mask);
        if (next == pairs) break;
      }
      *left -= (uint32_t)(next - first);
    } else {
      // The next code needs a table below this one (or the root). Its
      // width: enough for the code, widened while the codes that follow
      // would still use up the slots, up to the wanted width.
      const uint32_t below = kw - width;  // the code's bits in that table
      const uint32_t w = (uint32_t)(left - count) - below;
      uint32_t limit = longest - w;
      if (limit > rootLimit) limit = rootLimit;
      uint32_t b = below;
      uint32_t f = 1u << b;
      if (f > *left) {
        f -= *left;
        const uint32_t* later = left;
        for (;;) {
          b++;
          if (b >= limit) break;
          f <<= 1;
          later++;
          if (f <= *later) break;
          f -= *later;
        }
      }
      if (w + b > endLength && w < endLength) b = endLength - w;
      const uint32_t size = 1u << b;
      if (PoolEntries - top < size + 1) goto full;
      HuffmanEntry* const c = Pool + top + 1;
      top += size + 1;
      StoreEntry(c - 1, 0, chain);
      chain = c;
      if (!t) {
        t = c;
        width = b;
        room = size;
        j = 0;
        continue;
      }
      // It hangs below the current table at the next code's slot.
      StoreEntry(t + j, (OpSymbol + b) | width << 8, c);
      if (b == below && (uint32_t)(coded - next) >= size) {
        // Codes of this length fill it: store them, and the current table
        // goes on after the slot.
        const uint32_t bitsField = below << 8;
        const uint32_t* const stop = next + size;
        for (uint32_t i = 0;;) {
          StoreEntry(c + i, *next++ | bitsField, nullptr);
          if (next == stop) break;
          i = NextCode(i, size - 1);
        }
        *left -= size;
        if (--room != 0) j = NextCode(j, (1u << width) - 1);
      } else {
        above->table = t;
        above->width = width;
        above->room = room - 1;
        above->slot = j;
        above++;
        kw = below;
        t = c;
        width = b;
        room = size;
        j = 0;
        continue;
      }
    }

    // The next length that has codes.
    if (*left == 0) {
      do {
        left++;
        kw++;
        if (left > count + longest) goto done;
      } while (*left == 0);
      next = SymbolFields + (left - count) * MaxSymbols;
      coded = SymbolFields + end[left - count];
    }
    // A full table hands over to the one above it, which goes on after the
    // slot that leads to it.
    if (room == 0) {
      do {
        above--;
        t = above->table;
        width = above->width;
        room = above->room;
        kw += width;
      } while (room == 0);
      j = NextCode(above->slot, (1u << width) - 1);
    }
  }

done:
  // Every table is full now; the root is the oldest.
  PoolTop = top;
  if (top > PoolHighWater) PoolHighWater = top;
  if (above != up) {
    t = up[0].table;
    width = up[0].width;
  }
  *root = t;
  *releaseList = chain;
  *lookupBits = (int32_t)width;
  return (spare > 0 && longest != 1) ? BuildIncomplete : BuildComplete;

full:
  // Out of pool: what this build took goes back.
  if (top > PoolHighWater) PoolHighWater = top;
  return BuildNoMemory;
}

// ---- Tables of the fast loop --------------------------------------------

uint32_t FastLiteralTable[FastLiteralSlots];
uint32_t FastDistanceTable[FastDistanceSlots];
bool FastTablesFixed = false;

const uint32_t LowBits[32] = {
    0x0,       0x1,       0x3,       0x7,       0xF,        0x1F,       0x3F,       0x7F,
    0xFF,      0x1FF,     0x3FF,     0x7FF,     0xFFF,      0x1FFF,     0x3FFF,     0x7FFF,
    0xFFFF,    0x1FFFF,   0x3FFFF,   0x7FFFF,   0xFFFFF,    0x1FFFFF,   0x3FFFFF,   0x7FFFFF,
    0xFFFFFF,  0x1FFFFFF, 0x3FFFFFF, 0x7FFFFFF, 0xFFFFFFF,  0x1FFFFFFF, 0x3FFFFFFF, 0x7FFFFFFF};

// Reverses the low `length` bits of `code`: the code's first bit, its most
// significant, becomes bit 0, as the input delivers it.
static inline uint32_t Reversed(uint32_t code, uint32_t length) {
  uint32_t r = 0;
  for (uint32_t i = 0; i < length; i++, code >>= 1) r = r << 1 | (code & 1);
  return r;
}

// The next and the previous code of `mask`'s length, both reversed: adding
// one flips the code's trailing ones and the zero above them, which are
// the reversed code's top ones and the zero below them; taking one flips
// the top zeros and the one below them. j must not be all ones, or 0.
static inline uint32_t ReversedNext(uint32_t j, uint32_t mask) {
  const uint32_t zero = (uint32_t)__builtin_clz(j ^ mask) ^ 31;
  return j ^ (mask >> zero << zero);
}
static inline uint32_t ReversedPrevious(uint32_t j, uint32_t mask) {
  const uint32_t one = (uint32_t)__builtin_clz(j) ^ 31;
  return j ^ (mask >> one << one);
}

int32_t BuildFastTable(const uint16_t* lengths, uint32_t n, bool literals) {
  uint32_t* const table = literals ? FastLiteralTable : FastDistanceTable;
  const uint32_t rootBits = literals ? FastLiteralBits : FastDistanceBits;
  const uint32_t rootSize = 1u << rootBits;

  // start[k]: where the symbols of length k begin in canonical order, by
  // length and then by symbol; first[k]: the code of the first of them
  // (RFC 1951, 3.2.2); left: the code space no code takes.
  uint32_t count[16] = {0};
  for (uint32_t v = 0; v < n; v++) count[lengths[v]]++;
  count[0] = 0;
  uint32_t first[16], start[16], at[16];
  uint32_t code = 0, place = 0;
  int32_t left = 1;
  for (uint32_t k = 1; k <= 15; k++) {
    code = (code + count[k - 1]) << 1;
    first[k] = code;
    start[k] = at[k] = place;
    place += count[k];
    left = (left << 1) - (int32_t)count[k];
    if (left < 0) return BuildOversubscribed;
  }
  // The step of each symbol in canonical order, for a code of no bits:
  // adding 0x101 times the bits its code takes at its level completes it
  // (bits 8..11 matter to lengths and distances alone). Symbols that no
  // stream may use are invalid codes. One loop per kind of symbol.
  uint32_t steps[2 * 288];
  at[0] = 288;  // symbols without a code go where nobody reads
  {
    uint32_t v = 0;
    if (literals) {
      const uint32_t stop = n < 256 ? n : 256;
      uint32_t f = FastLiteral;
      for (; v + 3 < stop; v += 4, f += 4u << 16) {
        steps[at[lengths[v]]++] = f;
        steps[at[lengths[v + 1]]++] = f + (1u << 16);
        steps[at[lengths[v + 2]]++] = f + (2u << 16);
        steps[at[lengths[v + 3]]++] = f + (3u << 16);
      }
      for (; v < stop; v++, f += 1u << 16) steps[at[lengths[v]]++] = f;
      if (v < n) steps[at[lengths[v]]++] = FastSpecial | FastEnd, v++;
      for (; v < n && v < 286; v++) steps[at[lengths[v]]++] = (uint32_t)LengthBase[v - 257] << 16 | LengthExtra[v - 257];
    } else {
      for (; v < n && v < 30; v++) steps[at[lengths[v]]++] = (uint32_t)DistanceBase[v] << 16 | DistanceExtra[v];
    }
    for (; v < n; v++) steps[at[lengths[v]]++] = FastSpecial;
  }
  // The codes that the root resolves, shortest first. Invariant before
  // length k: the first 2^(k-1) slots hold, at the index of every code of
  // fewer bits, that code's step, and elsewhere an invalid step; a copy of
  // them to the next 2^(k-1) slots keeps it for the first 2^k slots, as the
  // index's bit k-1 does not touch a shorter code. The codes of length k
  // then take their own slots. Slots below codes longer than the root stay
  // invalid until those codes are stored.
  table[0] = FastSpecial;
  for (uint32_t k = 1; k <= rootBits; k++) {
    __builtin_memcpy(table + (1u << (k - 1)), table, sizeof(uint32_t) << (k - 1));
    if (count[k] == 0) continue;
    const uint32_t mask = (1u << k) - 1;
    uint32_t j = Reversed(first[k], k);
    for (uint32_t i = start[k];;) {
      table[j] = steps[i] + k * 0x101;
      if (++i == start[k] + count[k]) break;
      j = ReversedNext(j, mask);
    }
  }

  // The codes longer than the root, last code first. The codes that share
  // their first rootBits bits with a longer code come right before it in
  // canonical order and are no longer than it: going backwards, the first
  // code of each such group is its longest and sets the width of the
  // group's sub-table, and the group ends where the first bits change. An
  // incomplete code leaves slots that no code fills: they start invalid.
  const bool incomplete = left != 0;
  uint32_t next = rootSize;  // where the next sub-table goes
  uint32_t group = ~0u, sub = 0, width = 0;
  for (uint32_t k = 15; k > rootBits; k--) {
    if (count[k] == 0) continue;
    const uint32_t mask = (1u << k) - 1;
    const uint32_t bits = k - rootBits;
    uint32_t j = Reversed(first[k] + count[k] - 1, k);
    for (uint32_t i = start[k] + count[k]; i-- > start[k];) {
      const uint32_t prefix = j & (rootSize - 1);
      if (prefix != group) {
        group = prefix;
        width = bits;
        sub = next;
        next += 1u << width;
        table[prefix] = FastSpecial | FastLink | sub << 16 | width << 8 | rootBits;
        if (incomplete)
          for (uint32_t q = sub; q < next; q++) table[q] = FastSpecial;
      }
      const uint32_t step = steps[i] + bits * 0x101;
      for (uint32_t q = j >> rootBits; q < 1u << width; q += 1u << bits) table[sub + q] = step;
      if (i != start[k]) j = ReversedPrevious(j, mask);
    }
  }
  // A single code of one bit counts as complete, as a lone symbol needs
  // no more; a code without codes as incomplete.
  return incomplete && !(place == 1 && count[1] == 1) ? BuildIncomplete : BuildComplete;
}
