// The decoding loop for the bulk of a Huffman-coded block: symbols taken
// straight from the read-ahead through a bit buffer of a machine word,
// output written straight into the ring, matches copied a word at a time.
// Built for speed, while the rest of the stub is built for size.
#include "inflate/inflate_internal.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the fast bit input loads little-endian words");

// The word that the fast loop reads its input bits in, and the piece that
// matches are copied in: a machine word. SFX_INFLATE_WORD32 gives a 64-bit
// host the 32-bit stub's width, so that the tests cover both.
#ifdef SFX_INFLATE_WORD32
typedef uint32_t BitWord;
#else
typedef uintptr_t BitWord;
#endif
constexpr uint32_t WordBits = sizeof(BitWord) * 8;
constexpr uint32_t PieceSize = sizeof(BitWord);

// Word-sized moves that the compiler turns into single loads and stores.
static inline BitWord LoadPiece(const uint8_t* p) {
  BitWord v;
  __builtin_memcpy(&v, p, PieceSize);
  return v;
}
static inline void StorePiece(uint8_t* p, BitWord v) { __builtin_memcpy(p, &v, PieceSize); }

// ---- Match copying ------------------------------------------------------
//
// The ring lets a copy write past the match's end: those bytes are output
// to come, or lie ahead in the window being written, too old to be history
// (inflate_internal.h). So a copy goes in whole pieces, and stops at the
// first piece that reaches the match's end.

// Copies `length` bytes from `from`, at least a piece behind `to` or
// anywhere ahead of it, forward in pieces: each piece reads only bytes that
// are final by then. Writes up to PieceSize - 1 bytes past the end.
static inline __attribute__((always_inline)) void CopyForward(uint8_t* to, const uint8_t* from, uint32_t length) {
  uint8_t* const end = to + length;
  do {
    StorePiece(to, LoadPiece(from));
    to += PieceSize;
    from += PieceSize;
  } while (to < end);
}

// Copies a match whose source lies `distance` (1 or more) bytes behind `to`
// in memory.
static inline __attribute__((always_inline)) void CopyBehind(uint8_t* to, uint32_t length, uint32_t distance) {
  const uint8_t* from = to - distance;
  if (__builtin_expect(distance >= PieceSize, 1)) {
    // Most matches are short: four pieces without a test, then the rest.
    StorePiece(to, LoadPiece(from));
    StorePiece(to + PieceSize, LoadPiece(from + PieceSize));
    StorePiece(to + 2 * PieceSize, LoadPiece(from + 2 * PieceSize));
    StorePiece(to + 3 * PieceSize, LoadPiece(from + 3 * PieceSize));
    if (__builtin_expect(length > 4 * PieceSize, 0)) {
      // Then four pieces a round: a long match has few rounds.
      uint8_t* const end = to + length;
      do {
        to += 4 * PieceSize;
        from += 4 * PieceSize;
        StorePiece(to, LoadPiece(from));
        StorePiece(to + PieceSize, LoadPiece(from + PieceSize));
        StorePiece(to + 2 * PieceSize, LoadPiece(from + 2 * PieceSize));
        StorePiece(to + 3 * PieceSize, LoadPiece(from + 3 * PieceSize));
      } while (to + 4 * PieceSize < end);
    }
    return;
  }
  if (distance == 1) {
    // One byte over and over, four pieces a round.
    uint8_t* const end = to + length;
    const BitWord run = from[0] * (~(BitWord)0 / 0xFF);
    do {
      StorePiece(to, run);
      StorePiece(to + PieceSize, run);
      StorePiece(to + 2 * PieceSize, run);
      StorePiece(to + 3 * PieceSize, run);
      to += 4 * PieceSize;
    } while (to < end);
    return;
  }
  // A short pattern: its first repetitions byte by byte, up to a whole
  // multiple of the distance of at least a piece, then pieces from that
  // far back.
  uint32_t period = distance;
  while (period < PieceSize) period += distance;
  for (uint32_t i = 0; i < period; i++) to[i] = from[i];
  if (length > period) CopyForward(to + period, to, length - period);
}

// Copies a match to `out`, at `pos` in the ring. False for a distance that
// reaches before the entry's first byte.
static inline __attribute__((always_inline)) bool CopyMatch(uint8_t* out, uint32_t pos, uint32_t length,
                                                            uint32_t distance, bool wrapped) {
  if (__builtin_expect(distance <= pos, 1)) {
    CopyBehind(out, length, distance);
    return true;
  }
  // The source starts in the other window, at the ring's end, and runs on
  // at the ring's start. That window lies more than a match away from
  // `out`, and the ring's slack may be read past its end.
  if (!wrapped) return false;
  const uint32_t back = distance - pos;
  CopyForward(out, OutputWindow + RingSize - back, length < back ? length : back);
  if (length > back) CopyBehind(out + back, length - back, distance);
  return true;
}

// ---- The fast loop --------------------------------------------------------

int32_t DecodeFast(int32_t available, uint32_t& acc, uint32_t& count, uint32_t& pos) {
  const uint32_t* const literals = FastLiteralTable;
  const uint32_t* const distances = FastDistanceTable;
  uint8_t* out = OutputWindow + pos;
  // One limit serves both margins: no step takes more than 16 input bits
  // for each byte it writes (a literal at most 15, a match at most 48 for
  // at least 3 bytes), so while the output has grown by less than half
  // the input at hand beyond the margin, the bits used have not reached
  // the margin either.
  uint8_t* outLimit = OutputWindow + (pos | (WindowSize - 1)) + 1;
  const uint32_t room = (uint32_t)(available - FastInputMargin) / 2;
  if ((uint32_t)(outLimit - out) > room) outLimit = out + room;
  const bool wrapped = WindowWrapped;
  int32_t result = -1;

  // The bit buffer. It starts at the bit the accumulator's bits start at,
  // which lie in the read-ahead right before ReadAheadPos.
  const uint32_t startBit = (uint32_t)ReadAheadPos * 8 - count;
  // `have` bits of input in `bits` from bit 0 up, and above them zeros or
  // the input bits that follow, so that OR-ing a word of the following
  // input in again is harmless; `in` is where the bits after the buffer's
  // `have` begin. A refill, without a branch, loads the word there into
  // the buffer above `have`, and counts the whole bytes it took: `have`
  // becomes at least 56 or 24, while the whole buffer holds input. So
  // after a refill, the bits used since then (never more than `have`
  // counts) and the bits looked at next may add up to WordBits (64 or 32).
  const uint8_t* in = ReadAhead + (startBit >> 3);
  BitWord bits = 0;
  uint32_t have = 0;
#define SFX_REFILL()                  \
  do {                                \
    bits |= LoadPiece(in) << have;    \
    in += sizeof(BitWord) - 1 - (have >> 3); \
    have |= WordBits - 8;             \
  } while (0)
// Drops the bits of slot e; bits 5..7 of a slot are clear, so its low
// byte is the count, and the shift needs no mask of its own.
#define SFX_USE(e)                 \
  do {                             \
    bits >>= (e) & (WordBits - 1); \
    have -= (uint8_t)(e);          \
  } while (0)
  SFX_REFILL();
  SFX_USE(startBit & 7);
  SFX_REFILL();
// A length or distance of slot e, whose bits are still in `bits`: the base
// and the extra bits that follow the code.
#define SFX_VALUE(e) (((e) >> 16) + (((uint32_t)bits & LowBits[(e) & 31]) >> (((e) >> 8) & 31)))
#define SFX_LITERAL(e) ((int32_t)(e) < 0)

  // Each pass starts right after a refill, with the slot of the next code,
  // looked up in the literal/length root, in e: the lookup of each next
  // slot is issued as soon as its bits are there, so that its load overlaps
  // the work on the current one, and the refills follow lookups while they
  // load where the bits allow.
  uint32_t e = literals[bits & ((1u << FastLiteralBits) - 1)];
  while (out < outLimit) {
    if (SFX_LITERAL(e)) {
      // A root literal takes at most FastLiteralBits (11) bits: 64 bits
      // hold four of them and the lookup after them, 32 bits one, and a
      // refill after its lookup gives room for one more.
      SFX_USE(e);
      *out++ = (uint8_t)(e >> 16);
      e = literals[bits & ((1u << FastLiteralBits) - 1)];
      if (WordBits == 64) {
        if (SFX_LITERAL(e)) {
          SFX_USE(e);
          *out++ = (uint8_t)(e >> 16);
          e = literals[bits & ((1u << FastLiteralBits) - 1)];
          if (SFX_LITERAL(e)) {
            SFX_USE(e);
            *out++ = (uint8_t)(e >> 16);
            e = literals[bits & ((1u << FastLiteralBits) - 1)];
            if (SFX_LITERAL(e)) {
              SFX_USE(e);
              *out++ = (uint8_t)(e >> 16);
              e = literals[bits & ((1u << FastLiteralBits) - 1)];
            }
          }
        }
        SFX_REFILL();
        continue;
      }
      SFX_REFILL();
      if (SFX_LITERAL(e)) {
        SFX_USE(e);
        *out++ = (uint8_t)(e >> 16);
        e = literals[bits & ((1u << FastLiteralBits) - 1)];
        SFX_REFILL();
      }
      continue;
    }
    if (e & FastSpecial) {
      if (e & FastLink) {
        // A code longer than the root: its sub-table resolves the rest,
        // at most 4 bits, with at most 5 extra bits.
        SFX_USE(e);
        e = literals[(e >> 16) + ((uint32_t)bits & LowBits[(e >> 8) & 31])];
        if (SFX_LITERAL(e)) {
          SFX_USE(e);
          *out++ = (uint8_t)(e >> 16);
          e = literals[bits & ((1u << FastLiteralBits) - 1)];
          SFX_REFILL();
          continue;
        }
      }
      if (e & FastSpecial) {
        if (e & FastEnd) {
          SFX_USE(e);
          result = CodesEndOfBlock;
        } else {
          result = CodesFailed;
        }
        break;
      }
    }
    // A length: its code and extra bits take at most 20 bits, with a link
    // at most 11 + 9.
    const uint32_t length = SFX_VALUE(e);
    SFX_USE(e);
    // Then a distance: its root slot is looked up with the bits left. Its
    // code and extra bits take at most 8 + 13 bits, or with a link 8 and at
    // most 7 + 13: 64 bits hold them, while 32 need a refill (after the
    // lookup) and another one after a link.
    uint32_t d = distances[bits & ((1u << FastDistanceBits) - 1)];
    if (WordBits == 32) SFX_REFILL();
    if (d & FastSpecial) {
      if (!(d & FastLink)) {
        result = CodesFailed;
        break;
      }
      SFX_USE(d);
      if (WordBits == 32) SFX_REFILL();
      d = distances[(d >> 16) + ((uint32_t)bits & LowBits[(d >> 8) & 31])];
      if (d & FastSpecial) {
        result = CodesFailed;
        break;
      }
    }
    const uint32_t distance = SFX_VALUE(d);
    SFX_USE(d);
    // The bits left hold the lookup of the next slot: 64 - 48 with 64 bits,
    // 32 - 21 or 32 - 20 after a link with 32.
    e = literals[bits & ((1u << FastLiteralBits) - 1)];
    SFX_REFILL();
    if (!CopyMatch(out, (uint32_t)(out - OutputWindow), length, distance, wrapped)) {
      result = CodesFailed;
      break;
    }
    out += length;
  }
#undef SFX_REFILL
#undef SFX_USE
#undef SFX_VALUE
#undef SFX_LITERAL
  pos = (uint32_t)(out - OutputWindow);
  const uint32_t position = (uint32_t)(in - ReadAhead) * 8 - have;
  // Back to NextByte's terms: the bytes up to the one the bit position is
  // in are taken, and the unused bits of that byte are in the accumulator.
  // Bytes that the accumulator held on entry and the loop did not reach go
  // back to the read-ahead.
  const uint32_t taken = (position + 7) >> 3;
  count = taken * 8 - position;
  acc = count ? (uint32_t)ReadAhead[taken - 1] >> (8 - count) : 0;
  EntryRemaining -= (int32_t)taken - (int32_t)ReadAheadPos;
  ReadAheadPos = (uint16_t)taken;
  return result;
}
