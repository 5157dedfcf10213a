// Huffman-coded blocks: the step-by-step decoding near the ends of the
// window and of the input, and the fixed and dynamic block types with the
// constant tables of the format. The bulk of each block goes through the
// fast loop (fast.cpp).
#include "inflate/inflate_internal.h"

// Symbols 257..285, then 286 and 287, which no stream may use (99: invalid).
const uint16_t LengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                                 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
const uint8_t LengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
const uint16_t DistanceBase[32] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,
                                   49,  65,  97,  129, 193, 257,  385,  513,  769,  1025, 1537,
                                   2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 0, 0};
const uint8_t DistanceExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2, 3,  3,  4,  4,  5,  5,  6,  6,
                                   7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 99, 99};
const uint16_t BitMask[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
                              0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};
const uint8_t CodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The slot of the next code in a fast table, through the root and, for a
// longer code, its sub-table, whose link's bits it drops.
static uint32_t CarefulSlot(const uint32_t* table, uint32_t rootBits, uint32_t& acc, uint32_t& count) {
  NeedBits(rootBits, acc, count);
  uint32_t e = table[acc & LowBits[rootBits]];
  if ((e & (FastSpecial | FastLink)) == (FastSpecial | FastLink)) {
    DropBits(rootBits, acc, count);
    const uint32_t width = (e >> 8) & 15;
    NeedBits(width, acc, count);
    e = table[(e >> 16) + (acc & LowBits[width])];
  }
  return e;
}

// Takes the extra bits of a length or distance slot e, whose code's bits
// are dropped already, and gives its value.
static uint32_t CarefulValue(uint32_t e, uint32_t& acc, uint32_t& count) {
  const uint32_t extra = (e & 31) - ((e >> 8) & 15);
  NeedBits(extra, acc, count);
  const uint32_t value = (e >> 16) + (acc & LowBits[extra]);
  DropBits(extra, acc, count);
  return value;
}

int32_t InflateCodes() {
  uint32_t acc = Accumulator;
  uint32_t count = BitCount;
  uint32_t pos = WindowPos;
  uint8_t* const window = OutputWindow;

  for (;;) {
    int32_t available = ReadAheadCount - (int32_t)ReadAheadPos;
    if (available > EntryRemaining) available = EntryRemaining;
    // Right after a refill the accumulator may still hold bits of the
    // previous filling of the read-ahead; the careful step takes them.
    if (available >= FastInputEntry && (uint32_t)ReadAheadPos * 8 >= count) {
      const uint32_t end = (pos | (WindowSize - 1)) + 1;
      const int32_t result = DecodeFast(available, acc, count, pos);
      if (result == CodesFailed) return CodesFailed;
      // Past the end of its window: that window is full. What went past
      // the ring's end belongs to its start.
      if (pos >= end) {
        FlushWindow(end);
        if (end == RingSize) {
          pos -= RingSize;
          __builtin_memcpy(window, window + RingSize, pos);
        }
      }
      if (result == CodesEndOfBlock) break;
      continue;
    }

    // Careful step: one symbol at a time, for the ends of the window and
    // of the read-ahead, and for the end of the data. Bytes come straight
    // from the read-ahead where it holds enough, else through NextByte.
    // A slot's bits 8..11 hold its code's bits, whatever its kind.
    TopUp(acc, count);
    const uint32_t e = CarefulSlot(FastLiteralTable, FastLiteralBits, acc, count);
    if ((e & (FastSpecial | FastEnd)) == FastSpecial) return CodesFailed;
    DropBits((e >> 8) & 15, acc, count);
    // Nothing decoded from bits past the end of the data is ever stored.
    if (e & FastLiteral) {
      if (RanPastEnd(count)) return CodesFailed;
      window[pos++] = (uint8_t)(e >> 16);
      pos = FlushIfFull(pos);
      continue;
    }
    if (e & FastEnd) {
      if (RanPastEnd(count)) return CodesFailed;
      break;
    }
    uint32_t length = CarefulValue(e, acc, count);

    TopUp(acc, count);
    const uint32_t d = CarefulSlot(FastDistanceTable, FastDistanceBits, acc, count);
    if (d & FastSpecial) return CodesFailed;
    DropBits((d >> 8) & 15, acc, count);
    const uint32_t distance = CarefulValue(d, acc, count);
    if (RanPastEnd(count)) return CodesFailed;
    // Nothing before the entry's first byte may be copied.
    if (distance > (WindowWrapped ? WindowSize : pos)) return CodesFailed;

    // Copy in pieces that end where the destination reaches the end of
    // its window, flushing it, or the source reaches the ring's end.
    uint32_t from = pos - distance;
    while (length > 0) {
      from &= RingSize - 1;
      uint32_t run = WindowSize - (pos & (WindowSize - 1));
      if (run > RingSize - from) run = RingSize - from;
      if (run > length) run = length;
      length -= run;
      if (from > pos || pos - from >= run) {
        // Apart: a source behind by the run or more, or one in the other
        // window, at least 32768 bytes ahead.
        __builtin_memcpy(window + pos, window + from, run);
        pos += run;
        from += run;
      } else {
        // Overlapping: byte by byte, which repeats the bytes just written.
        while (run--) window[pos++] = window[from++];
      }
      pos = FlushIfFull(pos);
    }
  }
  Accumulator = acc;
  BitCount = (uint16_t)count;
  WindowPos = (uint16_t)pos;
  return CodesEndOfBlock;
}

// ---- Block types --------------------------------------------------------

// The code lengths of the fixed literal/length code (RFC 1951, 3.2.6).
static void FixedLengths(uint16_t* lengths) {
  for (int v = 0; v < 144; v++) lengths[v] = 8;
  for (int v = 144; v < 256; v++) lengths[v] = 9;
  for (int v = 256; v < 280; v++) lengths[v] = 7;
  for (int v = 280; v < 288; v++) lengths[v] = 8;
}

bool InflateFixed() {
  if (!FastTablesFixed) {
    uint16_t lengths[288];
    FixedLengths(lengths);
    BuildFastTable(lengths, 288, true);
    // Distance codes 30 and 31 stay unassigned: an incomplete code.
    for (int v = 0; v < 30; v++) lengths[v] = 5;
    BuildFastTable(lengths, 30, false);
    FastTablesFixed = true;
  }
  return InflateCodes() == CodesEndOfBlock;
}

bool InflateDynamic() {
  uint32_t acc = Accumulator;
  uint32_t count = BitCount;
  NeedBits(5, acc, count);
  const uint32_t nl = (acc & 31) + 257;
  DropBits(5, acc, count);
  NeedBits(5, acc, count);
  const uint32_t nd = (acc & 31) + 1;
  DropBits(5, acc, count);
  NeedBits(4, acc, count);
  const uint32_t nb = (acc & 15) + 4;
  DropBits(4, acc, count);

  // Code lengths of the code-length code first, then, from index 0, the
  // literal/length lengths directly followed by the distance lengths.
  uint16_t CodeLengths[321];
  for (uint32_t j = 0; j < 19; j++) {
    uint16_t length = 0;
    if (j < nb) {
      NeedBits(3, acc, count);
      length = (uint16_t)(acc & 7);
      DropBits(3, acc, count);
    }
    CodeLengths[CodeLengthOrder[j]] = length;
  }
  if (RanPastEnd(count)) return false;

  HuffmanEntry* list = nullptr;
  HuffmanEntry* lengthTable = nullptr;
  int32_t lengthBits = 7;
  int32_t result = BuildHuffmanTable(CodeLengths, 19, 19, nullptr, nullptr, &lengthTable, &list, &lengthBits);
  if (result != BuildComplete || !lengthTable) {
    FreeHuffmanTables(list);
    return false;
  }
  const uint32_t total = nl + nd;
  const uint32_t mask = BitMask[lengthBits];
  uint32_t i = 0;
  uint32_t previous = 0;
  bool good = true;
  while (i < total) {
    // A code-length code and its repeat bits take at most 14 bits. Bits
    // taken past the end of the data are only a failure once used.
    if (count < 14) {
      TopUp(acc, count);
      NeedBits(14, acc, count);
    }
    const HuffmanEntry* t = lengthTable + (acc & mask);
    // Its root is as wide as its longest code, so every symbol is there;
    // a plain length is told from the rest with one test.
    if (((t->Op ^ OpSymbol) | (t->Value >> 4)) == 0) {
      DropBits(t->Bits, acc, count);
      CodeLengths[i++] = t->Value;
      previous = t->Value;
      continue;
    }
    if (t->Op != OpSymbol) {
      good = false;
      break;
    }
    DropBits(t->Bits, acc, count);
    const uint32_t symbol = t->Value;
    uint32_t repeat;
    uint32_t value = 0;
    if (symbol == 16) {
      NeedBits(2, acc, count);
      repeat = 3 + (acc & 3);
      DropBits(2, acc, count);
      value = previous;  // 0 when it comes first
    } else if (symbol == 17) {
      NeedBits(3, acc, count);
      repeat = 3 + (acc & 7);
      DropBits(3, acc, count);
    } else {
      NeedBits(7, acc, count);
      repeat = 11 + (acc & 127);
      DropBits(7, acc, count);
    }
    previous = value;
    // A repeat may run on from the literal/length lengths into the
    // distance lengths, but never past the last of them.
    if (repeat > total - i) {
      good = false;
      break;
    }
    while (repeat--) CodeLengths[i++] = (uint16_t)value;
  }
  FreeHuffmanTables(list);
  list = nullptr;
  if (!good || RanPastEnd(count)) return false;
  Accumulator = acc;
  BitCount = (uint16_t)count;

  // A literal/length code must be complete; a distance code may be
  // incomplete, or empty, when the block has no matches.
  FastTablesFixed = false;
  if (BuildFastTable(CodeLengths, nl, true) != BuildComplete) return false;
  if (BuildFastTable(CodeLengths + nl, nd, false) == BuildOversubscribed) return false;
  return InflateCodes() == CodesEndOfBlock;
}
