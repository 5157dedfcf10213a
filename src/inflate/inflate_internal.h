// Shared state and procedures of the deflate decoder. Only the decoder's own
// files and its tests include this; the rest of the stub sees inflate.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/stream.h"

// ---- Output window and bit input (inflate.cpp) ----------------------------

constexpr uint32_t WindowSize = 0x8000;

// The output buffer and, at the same time, the history that matches copy
// from: below WindowPos the latest output, from WindowPos up the output of
// the previous filling.
extern uint8_t OutputWindow[WindowSize + 2];
extern uint16_t WindowPos;
// True once a full window has been written in this entry: from then on the
// whole window is history, and every distance up to 32768 is valid.
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

// Writes the first n bytes of the window to OutputHandle in one call.
void FlushWindow(uint32_t n);

// Writes the window out once it is full, right after the byte that filled
// it; returns where the next byte goes.
inline uint32_t FlushIfFull(uint32_t pos) {
  if (pos != WindowSize) return pos;
  FlushWindow(WindowSize);
  return 0;
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

// Roots of the fixed codes' tables, built by the first fixed block of an
// entry and kept until the next entry; null while not built.
extern HuffmanEntry* FixedLiteralTable;
extern HuffmanEntry* FixedDistanceTable;

constexpr int32_t CodesEndOfBlock = 0;
constexpr int32_t CodesFailed = 1;

// The fast loop takes its input straight from the read-ahead and writes
// straight into the window. It goes on while this many input bytes are at
// hand (one step uses at most 48 bits, and a look at the input loads a word
// from where the step stands), and while a 258-byte match after up to three
// literals, and the word that a short copy reads and writes back, fit below
// the window's end without filling it. It is entered with more input than
// that, so that it always makes progress.
constexpr int32_t FastInputMargin = 16;
constexpr int32_t FastInputEntry = 32;
constexpr uint32_t FastOutputLimit = WindowSize - 2 - 3 - 258 - 8 - 1;

// Decodes from the read-ahead into the window while both margins hold
// (fast.cpp). `acc` and `count` come in as NextByte left them, their bits
// being the last ones taken from the read-ahead, and go out the same way.
// Returns -1 when a margin ended the run, otherwise the block's result.
int32_t DecodeFast(const HuffmanEntry* literalTable, const HuffmanEntry* distanceTable, uint32_t ml, uint32_t md,
                   int32_t available, uint32_t& acc, uint32_t& count, uint32_t& pos);

// Decodes literals and matches up to the end-of-block code.
int32_t InflateCodes(const HuffmanEntry* literalTable, const HuffmanEntry* distanceTable,
                     int32_t literalBits, int32_t distanceBits);
bool InflateFixed();
bool InflateDynamic();
