// Decoding tables for canonical Huffman codes (RFC 1951, 3.2.2): a root
// table indexed by the next few input bits and sub-tables for longer codes.
#include "inflate/inflate_internal.h"

// Tables live in one static pool used as a stack; nothing is taken from a
// heap. Its size covers the most the decoder ever holds at once: the fixed
// tables of the entry plus the literal/length and distance tables of one
// dynamic block (the code-length tables are released before those are
// built). How many entries one build takes:
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

// A block of `entries` entries: the header followed by the table proper.
static HuffmanEntry* AllocateTable(uint32_t entries) {
  if (PoolEntries - PoolTop < entries) return nullptr;
  HuffmanEntry* block = Pool + PoolTop;
  PoolTop += entries;
  if (PoolTop > PoolHighWater) PoolHighWater = PoolTop;
  return block;
}

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

// Op and Value of the placeholders of an incomplete code.
static const uint32_t InvalidFields = OpInvalid;

// The code after j among the codes of the bits in mask, both bit-reversed
// (the code's first bit is bit 0): the ones at the top of j, the code's last
// bits, clear and the zero below them is set. All ones wraps to 0.
static inline uint32_t NextCode(uint32_t j, uint32_t mask) {
  const uint32_t zero = (uint32_t)__builtin_clz((j ^ mask) | 1) ^ 31;
  return j ^ (mask >> zero << zero);
}

// Stores `codes` consecutive codes of `bits` bits into a table of `width`
// index bits, from code j on. src gives each code's Op and Value, advancing
// by srcStep. A code is repeated in every slot whose low bits are the code.
// Returns the code after the last one.
static inline uint32_t StoreCodes(HuffmanEntry* t, uint32_t j, uint32_t bits, uint32_t width,
                                  const uint32_t* src, uint32_t srcStep, uint32_t codes) {
  const uint32_t mask = (1u << bits) - 1;
  const uint32_t bitsField = bits << 8;
  if (bits == width) {
    do {
      StoreEntry(t + j, *src | bitsField, nullptr);
      src += srcStep;
      j = NextCode(j, mask);
    } while (--codes);
  } else {
    const uint32_t step = 1u << bits;
    const uint32_t size = 1u << width;
    do {
      const uint32_t f = *src | bitsField;
      src += srcStep;
      uint32_t i = j;
      do {
        StoreEntry(t + i, f, nullptr);
        i += step;
      } while (i < size);
      j = NextCode(j, mask);
    } while (--codes);
  }
  return j;
}

int32_t BuildHuffmanTable(const uint16_t* lengths, uint16_t n, uint16_t s, const uint16_t* base,
                          const uint8_t* extra, HuffmanEntry** root, HuffmanEntry** releaseList,
                          int32_t* lookupBits) {
  // Tables stop where the end-of-block code ends, so that it never needs a
  // lookup wider than itself.
  const uint32_t endLength = n > 256 ? lengths[256] : 16;

  uint32_t count[17];
  for (int k = 0; k <= 16; k++) count[k] = 0;
  {
    uint32_t v = n & 1;
    if (v) count[lengths[0]]++;
    for (; v < n; v += 2) {
      count[lengths[v]]++;
      count[lengths[v + 1]]++;
    }
  }
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

  // Op and Value of every symbol, sorted by length and then by symbol: the
  // coded ones in canonical order after those without a code. One loop per
  // kind of symbol keeps the loops free of branches.
  uint32_t fields[288];
  {
    uint32_t start[17];
    start[0] = 0;
    for (uint32_t k = 0; k < longest; k++) start[k + 1] = start[k] + count[k];
    uint32_t v = 0;
    uint32_t end = s < 256 ? s : 256;
    if (end > n) end = n;
    for (uint32_t f = OpSymbol; v < end; v++, f += 1u << 16) fields[start[lengths[v]]++] = f;
    end = s < n ? s : n;
    for (uint32_t f = OpEndOfBlock | v << 16; v < end; v++, f += 1u << 16) fields[start[lengths[v]]++] = f;
    for (uint32_t i = 0; v < n; v++, i++) fields[start[lengths[v]]++] = extra[i] | (uint32_t)base[i] << 16;
  }
  const uint32_t* next = fields + count[0];
  uint32_t real = n - count[0];  // coded symbols not yet given out

  // The codes are given out in canonical order, one run of codes of the
  // same length and table at a time. The current table is t, of width
  // index bits, below tables that resolve the first w code bits; j is the
  // next code's rest in this table, bit-reversed (its first bit is bit 0),
  // and room counts the slots not yet given out. The tables above keep
  // theirs in the arrays while a sub-table is filled.
  const uint32_t mark = PoolTop;
  HuffmanEntry* list = *releaseList;
  HuffmanEntry* upTable[16];
  uint32_t upWidth[16], upRoom[16], upNext[16];
  uint32_t h = 0;  // level of the current table
  uint32_t w = 0;
  HuffmanEntry* t = nullptr;
  uint32_t width = 0, room = 0, j = 0;

  for (uint32_t k = shortest; k <= longest; k++) {
    uint32_t left = count[k];  // codes of this length still to come
    while (left != 0) {
      while (!t || k > w + width) {
        if (t) {
          // The new table hangs below the current one, at the next code's
          // slot, which it then takes.
          upTable[h] = t;
          upWidth[h] = width;
          upRoom[h] = room - 1;
          upNext[h] = NextCode(j, (1u << width) - 1);
          w += width;
          h++;
        }
        // Width: enough for this code, widened while the codes that follow
        // would still use up the slots, up to the wanted width.
        uint32_t limit = longest - w;
        if (limit > rootLimit) limit = rootLimit;
        uint32_t b = k - w;
        uint32_t f = 1u << b;
        if (f > left) {
          f -= left;
          uint32_t later = k;
          for (;;) {
            b++;
            if (b >= limit) break;
            f <<= 1;
            later++;
            if (f <= count[later]) break;
            f -= count[later];
          }
        }
        if (w + b > endLength && w < endLength) b = endLength - w;
        HuffmanEntry* block = AllocateTable((1u << b) + 1);
        if (!block) {
          PoolTop = mark;
          return BuildNoMemory;
        }
        StoreEntry(block, 0, list);
        list = block + 1;
        if (t) StoreEntry(t + j, (OpSymbol + b) | width << 8, list);
        t = list;
        width = b;
        room = 1u << b;
        j = 0;
      }

      // The codes of this length that go to the current table: each takes
      // 2^spread slots, and they come in order from its first free slot.
      const uint32_t bits = k - w;
      const uint32_t spread = width - bits;
      uint32_t run = room >> spread;
      if (run > left) run = left;
      room -= run << spread;
      left -= run;
      // Real symbols first, then placeholders.
      uint32_t some = run < real ? run : real;
      if (some) {
        j = StoreCodes(t, j, bits, width, next, 1, some);
        next += some;
        real -= some;
        run -= some;
      }
      if (run) j = StoreCodes(t, j, bits, width, &InvalidFields, 0, run);

      // A full table hands over to the one above it.
      while (room == 0 && h > 0) {
        h--;
        t = upTable[h];
        width = upWidth[h];
        room = upRoom[h];
        j = upNext[h];
        w -= width;
      }
    }
  }

  // Every table is full now, and the current one is the root.
  *root = t;
  *releaseList = list;
  *lookupBits = (int32_t)width;
  return (spare > 0 && longest != 1) ? BuildIncomplete : BuildComplete;
}
