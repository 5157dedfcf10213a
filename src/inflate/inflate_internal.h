// Shared state and procedures of the deflate decoder. Only the decoder's own
// files and its tests include this; the rest of the stub sees inflate.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/stream.h"

// ---- Output window and bit input (inflate.cpp) ----------------------------

// The format's history, and the size of every write but an entry's last.
constexpr uint32_t WindowSize = 0x8000;
// Output and history share a ring of two windows. Output goes into one
// window while the other holds the older history; a window is written to
// OutputHandle once full, and the other one takes the output. So the bytes
// of its own window ahead of the write position are more than 32768 bytes
// old, and the fast loop may write past a match's end into them. Bytes the
// fast loop writes past the ring's end belong to its start.
constexpr uint32_t RingSize = 2 * WindowSize;
constexpr uint32_t RingSlack = 512;
extern uint8_t OutputWindow[RingSize + RingSlack];
// The write position in the ring, below RingSize between steps.
extern uint16_t WindowPos;
// True once a full window has been written in this entry: from then on
// every distance up to 32768 is valid.
extern bool WindowWrapped;

// Input bits not yet used; the next bit of the stream is bit 0. At most 23
// bits are held between block routines.
extern uint32_t Accumulator;
extern uint16_t BitCount;
// How many of the top bits of Accumulator were read past the end of the
// entry's data (each such byte reads as eight 1-bits). A block body that
// consumes any of them has run off its data.
extern uint16_t ExhaustedBits;

// Takes bytes through NextByte until `count` holds at least n bits (n <= 16).
// A byte past the end sets every bit from `count` upward.
inline void NeedBits(uint32_t n, uint32_t& accumulator, uint32_t& count) {
  while (count < n) {
    int32_t b = NextByte();
    if (b < 0) ExhaustedBits = (uint16_t)(ExhaustedBits + 8);
    accumulator |= (uint32_t)b << count;
    count += 8;
  }
}

// Takes whole bytes straight from the read-ahead, without a call, until the
// accumulator holds at least 25 bits, where the read-ahead holds enough of
// the entry's data; NeedBits takes over near the ends.
inline void TopUp(uint32_t& acc, uint32_t& count) {
  if (count >= 25) return;
  int32_t available = ReadAheadCount - (int32_t)ReadAheadPos;
  if (available > EntryRemaining) available = EntryRemaining;
  if (available < 4) return;
  uint32_t pos = ReadAheadPos;
  const uint32_t start = pos;
  while (count < 25) {
    acc |= (uint32_t)ReadAhead[pos++] << count;
    count += 8;
  }
  ReadAheadPos = (uint16_t)pos;
  EntryRemaining -= (int32_t)(pos - start);
}

inline void DropBits(uint32_t n, uint32_t& accumulator, uint32_t& count) {
  accumulator >>= n;
  count -= n;
}

// True when the bits dropped so far reached into the ones read past the end.
inline bool RanPastEnd(uint32_t count) { return count < ExhaustedBits; }

// Writes the window that ends at `end` (WindowSize or RingSize) to
// OutputHandle in one call.
void FlushWindow(uint32_t end);

// Writes a window out once it is full, right after the byte that filled it
// (pos above 0); returns where the next byte goes.
inline uint32_t FlushIfFull(uint32_t pos) {
  if (pos & (WindowSize - 1)) return pos;
  FlushWindow(pos);
  return pos & (RingSize - 1);
}

// Decodes one block; false when the block fails, which ends the entry.
bool InflateBlock(uint16_t* last);
bool InflateStored();

// ---- Decoding tables (huffman.cpp) -----------------------------------------

// One slot of a decoding table. Op: 0..13 a length or distance base with
// that many extra bits, 15 end of block, 16 a plain symbol (literal or
// code-length symbol), 17..32 a link to a sub-table of Op - 16 index bits,
// 99 no symbol has this code.
struct HuffmanEntry {
  uint8_t Op;
  uint8_t Bits;
  uint16_t Value;
  HuffmanEntry* Next;
};

constexpr uint8_t OpEndOfBlock = 15;
constexpr uint8_t OpSymbol = 16;
constexpr uint8_t OpInvalid = 99;

constexpr int32_t BuildComplete = 0;
constexpr int32_t BuildIncomplete = 1;
constexpr int32_t BuildOversubscribed = 2;
constexpr int32_t BuildNoMemory = 3;

// Builds the decoding tables of a canonical code from its code lengths.
// Symbols below s are plain (below 256: Op 16, others: Op 15); symbol s + i
// takes Op extra[i] and Value base[i]. On entry *lookupBits is the wanted
// root width, on return the width used. New tables are chained onto
// *releaseList, newest first.
int32_t BuildHuffmanTable(const uint16_t* lengths, uint16_t n, uint16_t s, const uint16_t* base,
                          const uint8_t* extra, HuffmanEntry** root, HuffmanEntry** releaseList,
                          int32_t* lookupBits);

// Releases every table on a release list. Tables come from a stack-like
// pool, so lists must be released newest first, which the decoder does.
void FreeHuffmanTables(HuffmanEntry* list);

// Empties the table pool at the start of an entry.
void ResetHuffmanPool();

// Entries of the pool in use now, and the most ever in use since the last
// reset; for tests and the benchmark.
uint32_t HuffmanPoolInUse();
uint32_t HuffmanPoolPeak();
uint32_t HuffmanPoolCapacity();

// ---- Code decoding (codes.cpp) -----------------------------------------------

extern const uint16_t LengthBase[31];
extern const uint8_t LengthExtra[31];
// 32 entries: distance symbols 30 and 31 may get code lengths in a dynamic
// header, and their 99s make them invalid codes.
extern const uint16_t DistanceBase[32];
extern const uint8_t DistanceExtra[32];
extern const uint16_t BitMask[17];
extern const uint8_t CodeLengthOrder[19];


constexpr int32_t CodesEndOfBlock = 0;
constexpr int32_t CodesFailed = 1;

// The fast loop takes its input straight from the read-ahead and writes
// straight into the ring. It starts a step while this many input bytes are
// at hand beyond the step's bit position (a step reads at most 22 bytes
// from there: it uses at most 6, and a refill loads a word from at most
// one word past the bits used), and while the write position has not
// reached the end of the window it started in. It is entered with more
// input than that, so that it always makes progress.
constexpr int32_t FastInputMargin = 32;
constexpr int32_t FastInputEntry = 64;

// Decodes from the read-ahead into the ring (fast.cpp) with the tables of
// BuildFastTable. `acc` and `count` come in as NextByte left them, their
// bits being the last ones taken from the read-ahead, and go out the same
// way. `pos` may go out past the end of its window by less than RingSlack.
// Returns -1 when a margin ended the run, otherwise the block's result.
int32_t DecodeFast(int32_t available, uint32_t& acc, uint32_t& count, uint32_t& pos);

// Decodes literals and matches up to the end-of-block code with the fast
// tables, the fast loop taking the bulk.
int32_t InflateCodes();
bool InflateFixed();
bool InflateDynamic();

// ---- Tables of the fast loop (huffman.cpp) -----------------------------------

// One word a slot, which holds a whole decoding step:
//   bits 0..4   bits the slot's code takes at its level, with the extra
//               bits for a length or distance
//   bits 8..11  for a length or distance, the bits of its code alone; for
//               a link, the index bits of the sub-table
//   bit 15      special: a link, the end of the block, or an invalid code
//   bit 14      with bit 15, a link to a sub-table
//   bit 13      with bit 15, the end of the block
//   bits 16..30 the literal, the length or distance base, or where the
//               sub-table starts in the table
//   bit 31      a literal
// A root is indexed by FastLiteralBits or FastDistanceBits input bits; a
// code longer than that has its own slot in a sub-table, which resolves the
// rest of it: no sub-table links further.
constexpr uint32_t FastLiteral = 0x80000000u;
constexpr uint32_t FastSpecial = 0x8000;
constexpr uint32_t FastLink = 0x4000;
constexpr uint32_t FastEnd = 0x2000;
constexpr uint32_t FastLiteralBits = 11;
constexpr uint32_t FastDistanceBits = 8;
// Roots and sub-tables. A complete literal/length code has at most 288
// codes; a sub-table of 2^w slots holds at least w + 1 of them, so the
// sub-tables take at most 16 * 288 / 5 slots. A distance code may be
// incomplete: each of its at most 32 codes opens at most one sub-table of
// at most 2^7 slots.
constexpr uint32_t FastLiteralSlots = (1u << FastLiteralBits) + 1024;
constexpr uint32_t FastDistanceSlots = (1u << FastDistanceBits) + 32 * 128;
extern uint32_t FastLiteralTable[FastLiteralSlots];
extern uint32_t FastDistanceTable[FastDistanceSlots];
// The low n bits of a word, for n from 0 to 31.
extern const uint32_t LowBits[32];

// Builds the table of a literal/length code (n up to 288) or a distance
// code (n up to 32) from its code lengths. Codes no symbol has, and symbols
// no stream may use, decode as invalid. Returns BuildOversubscribed, and
// builds nothing, for more codes than the lengths allow; BuildIncomplete
// for fewer, or none (a single one-bit code counts as complete); else
// BuildComplete.
int32_t BuildFastTable(const uint16_t* lengths, uint32_t n, bool literals);

// True while the fast tables hold the fixed codes, which a run of fixed
// blocks then need not build again. Cleared at the start of each entry.
extern bool FastTablesFixed;
