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

int32_t BuildHuffmanTable(const uint16_t* lengths, uint16_t n, uint16_t s, const uint16_t* base,
                          const uint8_t* extra, HuffmanEntry** root, HuffmanEntry** releaseList,
                          int32_t* lookupBits) {
  // Tables stop where the end-of-block code ends, so that it never needs a
  // lookup wider than itself.
  const uint32_t endLength = n > 256 ? lengths[256] : 16;

  uint32_t count[17];
  for (int k = 0; k <= 16; k++) count[k] = 0;
  for (uint32_t v = 0; v < n; v++) count[lengths[v]]++;
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

  // Coded symbols in canonical order: by length, then by symbol.
  uint16_t order[288];
  uint32_t start[17];
  uint32_t coded = 0;
  for (uint32_t k = 1; k <= 16; k++) {
    start[k] = coded;
    coded += (k == longest) ? count[k] - (uint32_t)spare : count[k];
  }
  for (uint32_t v = 0; v < n; v++) {
    if (lengths[v] != 0) order[start[lengths[v]]++] = (uint16_t)v;
  }

  const uint32_t mark = PoolTop;
  HuffmanEntry* list = *releaseList;
  HuffmanEntry* rootTable = nullptr;
  HuffmanEntry* table[17];
  uint32_t width[17];   // index bits of the table at each level
  uint32_t prefix[17];  // code bits below the table at each level
  prefix[0] = 0;
  int32_t h = -1;       // current level
  uint32_t w = 0;       // code bits resolved above the current level
  uint32_t code = 0;    // current code, bit-reversed: its first bit is bit 0
  uint32_t used = 0;    // coded symbols given out so far

  for (uint32_t k = shortest; k <= longest; k++) {
    for (uint32_t left = count[k]; left != 0; left--) {
      const uint32_t after = left - 1;  // codes of this length still to come
      while (k > w + (h < 0 ? 0 : width[h])) {
        w += h < 0 ? 0 : width[h];
        h++;
        // Width: enough for this code, widened while the codes that follow
        // would still use up the slots, up to the wanted width.
        uint32_t limit = longest - w;
        if (limit > rootLimit) limit = rootLimit;
        uint32_t b = k - w;
        uint32_t f = 1u << b;
        if (f > after + 1) {
          f -= after + 1;
          uint32_t next = k;
          for (;;) {
            b++;
            if (b >= limit) break;
            f <<= 1;
            next++;
            if (f <= count[next]) break;
            f -= count[next];
          }
        }
        if (w + b > endLength && w < endLength) b = endLength - w;
        HuffmanEntry* block = AllocateTable((1u << b) + 1);
        if (!block) {
          PoolTop = mark;
          return BuildNoMemory;
        }
        block->Op = 0;
        block->Bits = 0;
        block->Value = 0;
        block->Next = list;
        list = block + 1;
        width[h] = b;
        table[h] = block + 1;
        if (!rootTable) rootTable = block + 1;
        if (h > 0) {
          prefix[h] = code;
          HuffmanEntry link;
          link.Op = (uint8_t)(OpSymbol + b);
          link.Bits = (uint8_t)width[h - 1];
          link.Value = 0;
          link.Next = block + 1;
          table[h - 1][(code & ((1u << w) - 1)) >> (w - width[h - 1])] = link;
        }
      }

      HuffmanEntry entry;
      entry.Bits = (uint8_t)(k - w);
      entry.Next = nullptr;
      entry.Value = 0;
      if (used >= coded) {
        entry.Op = OpInvalid;
      } else {
        const uint16_t v = order[used++];
        if (v < s) {
          entry.Op = v < 256 ? OpSymbol : OpEndOfBlock;
          entry.Value = v;
        } else {
          entry.Op = extra[v - s];
          entry.Value = base[v - s];
        }
      }
      const uint32_t size = 1u << width[h];
      for (uint32_t index = code >> w; index < size; index += 1u << (k - w)) table[h][index] = entry;

      // Next code of this length, counted in reversed bit order.
      uint32_t m = 1u << (k - 1);
      while (code & m) {
        code ^= m;
        m >>= 1;
      }
      code |= m;
      while (h > 0 && (code & ((1u << w) - 1)) != prefix[h]) {
        h--;
        w -= width[h];
      }
    }
  }

  *root = rootTable;
  *releaseList = list;
  *lookupBits = (int32_t)width[0];
  return (spare > 0 && longest != 1) ? BuildIncomplete : BuildComplete;
}
