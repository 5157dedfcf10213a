// The decoder's driver: one entry's block loop, the block header, the bit
// input, the output window and stored blocks.
#include "inflate/inflate.h"

#include "archive/extract.h"
#include "inflate/inflate_internal.h"

uint8_t OutputWindow[RingSize + RingSlack];
uint16_t WindowPos = 0;
bool WindowWrapped = false;
uint32_t Accumulator = 0;
uint16_t BitCount = 0;
uint16_t ExhaustedBits = 0;

// Writes n bytes of the ring from `start`. Write failures are not looked
// at: decoding goes on as if written.
static void WriteOut(uint32_t start, uint32_t n) {
  DWORD written = 0;
  WriteFile(OutputHandle, OutputWindow + start, n, &written, nullptr);
}

void FlushWindow(uint32_t end) {
  WriteOut(end - WindowSize, WindowSize);
  WindowWrapped = true;
}

void InflateEntry() {
  ResetReadAhead();
  WindowPos = 0;
  WindowWrapped = false;
  BitCount = 0;
  Accumulator = 0;
  ExhaustedBits = 0;
  // Tables of the last entry are not trusted: the pool starts empty, and
  // the first fixed block builds its tables again.
  ResetHuffmanPool();
  FastTablesFixed = false;

  uint16_t last = 0;
  do {
    // A failed block ends the entry; what is still in the window is
    // dropped, so only whole windows of good output reach the file.
    if (!InflateBlock(&last)) return;
  } while (!last);
  // The output of the window being written, if any.
  const uint32_t start = WindowPos & ~(WindowSize - 1);
  if (WindowPos > start) WriteOut(start, WindowPos - start);
  WindowPos = 0;
}

bool InflateBlock(uint16_t* last) {
  uint32_t acc = Accumulator;
  uint32_t count = BitCount;
  NeedBits(3, acc, count);
  *last = (uint16_t)(acc & 1);
  const uint32_t type = (acc >> 1) & 3;
  DropBits(3, acc, count);
  // A header may lie past the end of the data: its 1-bits make it a last
  // block of type 3, which ends the entry without a failure.
  if (ExhaustedBits > count) ExhaustedBits = (uint16_t)count;
  Accumulator = acc;
  BitCount = (uint16_t)count;
  switch (type) {
    case 0:
      return InflateStored();
    case 1:
      return InflateFixed();
    case 2:
      return InflateDynamic();
    default:
      return true;  // type 3: an empty block
  }
}

bool InflateStored() {
  uint32_t acc = Accumulator;
  uint32_t count = BitCount;
  uint32_t pos = WindowPos;
  DropBits(count & 7, acc, count);
  NeedBits(16, acc, count);
  uint32_t length = acc & 0xFFFF;
  DropBits(16, acc, count);
  NeedBits(16, acc, count);
  const uint32_t check = acc & 0xFFFF;
  DropBits(16, acc, count);
  if (RanPastEnd(count) || check != (~length & 0xFFFF)) return false;

  // Whole bytes already in the accumulator come first.
  while (length > 0 && count >= 8) {
    if (RanPastEnd(count - 8)) return false;
    OutputWindow[pos++] = (uint8_t)acc;
    DropBits(8, acc, count);
    length--;
    pos = FlushIfFull(pos);
  }
  // The rest straight from the read-ahead, as many bytes at a time as it
  // holds; NextByte refills it when it is empty.
  while (length > 0) {
    int32_t available = ReadAheadCount - (int32_t)ReadAheadPos;
    if (available > EntryRemaining) available = EntryRemaining;
    if (available <= 0) {
      const int32_t b = NextByte();
      // Cut short by the end of the data: no filler byte is written.
      if (b < 0) return false;
      OutputWindow[pos++] = (uint8_t)b;
      length--;
    } else {
      uint32_t n = length < (uint32_t)available ? length : (uint32_t)available;
      // Up to the end of the window being written.
      const uint32_t room = WindowSize - (pos & (WindowSize - 1));
      if (n > room) n = room;
      __builtin_memcpy(OutputWindow + pos, ReadAhead + ReadAheadPos, n);
      ReadAheadPos = (uint16_t)(ReadAheadPos + n);
      EntryRemaining -= (int32_t)n;
      pos += n;
      length -= n;
    }
    pos = FlushIfFull(pos);
  }
  Accumulator = acc;
  BitCount = (uint16_t)count;
  WindowPos = (uint16_t)pos;
  return true;
}
