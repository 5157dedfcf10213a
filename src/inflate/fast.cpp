// The decoding loop for the bulk of a Huffman-coded block: symbols taken
// straight from the read-ahead, output written straight into the window,
// matches copied a word at a time. Built for speed, while the rest of the
// stub is built for size.
#include "inflate/inflate_internal.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the fast bit input loads little-endian words");

// ---- Match copying ------------------------------------------------------

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
static inline uint64_t LoadPair(const uint8_t* p) {
  uint64_t v;
  __builtin_memcpy(&v, p, 8);
  return v;
}

// Stores the low `n` (1..PieceSize) bytes of v at p and leaves the other
// bytes of the word as they are.
static inline __attribute__((always_inline)) void StorePart(uint8_t* p, BitWord v, uint32_t n) {
  const BitWord keep = ~(BitWord)0 >> (WordBits - 8 * n);
  StorePiece(p, (v & keep) | (LoadPiece(p) & ~keep));
}

// Copies `length` (more than PieceSize) bytes forward from `from` to `to` in
// pieces and a last piece that ends exactly at the match's end. Right when
// every piece reads bytes that are final or not yet overwritten: the source
// lies at least a piece behind, or at least a piece ahead of, the
// destination.
static inline __attribute__((always_inline)) void CopyPieces(uint8_t* to, const uint8_t* from, uint32_t length) {
  uint8_t* const end = to + length;
  const uint8_t* const fromEnd = from + length;
  do {
    StorePiece(to, LoadPiece(from));
    to += PieceSize;
    from += PieceSize;
  } while (to + PieceSize < end);
  StorePiece(end - PieceSize, LoadPiece(fromEnd - PieceSize));
}

// Copies `length` bytes forward in pieces, for a source at least a piece
// behind or ahead of the destination.
static inline __attribute__((always_inline)) void CopyFar(uint8_t* to, const uint8_t* from, uint32_t length) {
  if (length <= PieceSize) {
    StorePart(to, LoadPiece(from), length);
  } else {
    CopyPieces(to, from, length);
  }
}

// Copies a match whose source lies `distance` bytes behind `to` in the
// window, writing exactly `length` (1..258) bytes: nothing past the match
// may change, since after the first filling the window beyond it is history.
// The piece from `to` on must lie inside the window.
static inline __attribute__((always_inline)) void CopyBehind(uint8_t* to, uint32_t length, uint32_t distance) {
  const uint8_t* from = to - distance;
  if (distance >= PieceSize) {
    if (length <= PieceSize) {
      StorePart(to, LoadPiece(from), length);
      return;
    }
    uint8_t* const end = to + length;
    const uint8_t* const fromEnd = from + length;
    if (length <= 2 * PieceSize) {
      // A first and a last piece, overlapping; the last one reads at most
      // what the first has just written.
      StorePiece(to, LoadPiece(from));
      StorePiece(end - PieceSize, LoadPiece(fromEnd - PieceSize));
      return;
    }
    if (distance < 2 * PieceSize) {
      CopyPieces(to, from, length);
      return;
    }
    // Two pieces a step, and the last two ending at the match's end: each
    // step reads only bytes behind it, final already.
    do {
      const BitWord first = LoadPiece(from);
      const BitWord second = LoadPiece(from + PieceSize);
      StorePiece(to, first);
      StorePiece(to + PieceSize, second);
      to += 2 * PieceSize;
      from += 2 * PieceSize;
    } while (to + 2 * PieceSize < end);
    const BitWord first = LoadPiece(fromEnd - 2 * PieceSize);
    const BitWord second = LoadPiece(fromEnd - PieceSize);
    StorePiece(end - 2 * PieceSize, first);
    StorePiece(end - PieceSize, second);
    return;
  }
  if (distance == 1) {
    const BitWord run = from[0] * (~(BitWord)0 / 0xFF);
    if (length < PieceSize) {
      StorePart(to, run, length);
      return;
    }
    uint8_t* const end = to + length;
    for (; to + PieceSize <= end; to += PieceSize) StorePiece(to, run);
    StorePiece(end - PieceSize, run);
    return;
  }
  // Short distances repeat a short pattern: write its first repetitions
  // byte by byte up to a whole multiple of the distance of at least a
  // piece, then copy from that far back in pieces.
  uint32_t period = distance;
  while (period < PieceSize) period += distance;
  const uint32_t head = length < period ? length : period;
  for (uint32_t i = 0; i < head; i++) to[i] = from[i];
  if (length > period) CopyFar(to + period, to, length - period);
}

// ---- The fast loop --------------------------------------------------------

// Its margins, FastInputMargin, FastInputEntry and FastOutputLimit, are in
// inflate_internal.h, where the caller checks them before each run.

// Copies a match of the fast loop to `out`, where `written` bytes of this
// filling of the window lie behind it. False for a distance that reaches
// before the entry's first byte.
static inline __attribute__((always_inline)) bool CopyMatch(uint8_t* out, uint32_t written, uint32_t length,
                                                            uint32_t distance, bool wrapped) {
  if (distance <= written) {
    CopyBehind(out, length, distance);
    return true;
  }
  // The source lies in the previous filling, ahead of the destination, and
  // may run on over the window's end.
  if (!wrapped) return false;
  const uint32_t back = distance - written;
  const uint8_t* from = OutputWindow + WindowSize - back;
  const uint32_t first = length < back ? length : back;
  if (WindowSize - distance >= PieceSize && back >= PieceSize) {
    CopyFar(out, from, first);
  } else {
    __builtin_memmove(out, from, first);
  }
  if (length > back) CopyBehind(out + back, length - back, distance);
  return true;
}

#if UINTPTR_MAX > 0xFFFFFFFFu && !defined(SFX_INFLATE_WORD32)

// 64-bit: a bit buffer of a machine word, refilled without a branch: each
// refill brings it to at least 56 bits, enough for up to three literals or
// a whole match.
int32_t DecodeFast(const HuffmanEntry* literalTable, const HuffmanEntry* distanceTable, uint32_t ml, uint32_t md,
                   int32_t available, uint32_t& acc, uint32_t& count, uint32_t& pos) {
  const uint8_t* const inStart = ReadAhead + ReadAheadPos;
  const uint8_t* const inLimit = inStart + available - FastInputMargin;
  const uint8_t* in = inStart;
  uint8_t* out = OutputWindow + pos;
  uint8_t* const outLimit = OutputWindow + FastOutputLimit;
  BitWord bits = acc;
  uint32_t have = count;
  const bool wrapped = WindowWrapped;
  int32_t result = -1;
  // Bits above `have` already hold the next input bytes, so OR-ing a word
  // in again is harmless.
#define SFX_REFILL()                             \
  do {                                           \
    BitWord word_;                               \
    __builtin_memcpy(&word_, in, sizeof(word_)); \
    bits |= word_ << have;                       \
    in += (WordBits - 1 - have) >> 3;            \
    have |= WordBits - 8;                        \
  } while (0)
#define SFX_DROP(n) \
  do {              \
    bits >>= (n);   \
    have -= (n);    \
  } while (0)
  // The entry for the next symbol is looked up as soon as its bits are
  // there, so that its load overlaps the work on the current one; its Op,
  // Bits and Value are kept in a register.
  const HuffmanEntry* t;
  uint32_t f;
#define SFX_LOOKUP(table, index)       \
  do {                                 \
    t = (table) + (index);             \
    __builtin_memcpy(&f, t, sizeof f); \
  } while (0)
#define SFX_OP (f & 0xFF)
#define SFX_BITS ((f >> 8) & 0xFF)
#define SFX_VALUE (f >> 16)
// Walks down the sub-tables of a code longer than its table's root; an
// invalid code ends the block as a failure (result set, walk left).
#define SFX_SUBTABLES()                                     \
  do {                                                      \
    if (SFX_OP == OpInvalid) {                              \
      result = CodesFailed;                                 \
      break;                                                \
    }                                                       \
    SFX_DROP(SFX_BITS);                                     \
    SFX_LOOKUP(t->Next, bits & BitMask[SFX_OP - OpSymbol]); \
  } while (SFX_OP > OpSymbol)
  SFX_REFILL();
  SFX_LOOKUP(literalTable, bits & ml);
  while (in <= inLimit && out <= outLimit) {
    if (SFX_OP == OpSymbol) {
      // A literal root is at most 9 bits wide (asked for 9 at most, and a
      // complete code of at most 288 symbols has a code of 8 bits or less),
      // so a refill holds three root literals.
      SFX_DROP(SFX_BITS);
      *out++ = (uint8_t)SFX_VALUE;
      SFX_LOOKUP(literalTable, bits & ml);
      if (SFX_OP == OpSymbol) {
        SFX_DROP(SFX_BITS);
        *out++ = (uint8_t)SFX_VALUE;
        SFX_LOOKUP(literalTable, bits & ml);
        if (SFX_OP == OpSymbol) {
          SFX_DROP(SFX_BITS);
          *out++ = (uint8_t)SFX_VALUE;
          SFX_REFILL();
          SFX_LOOKUP(literalTable, bits & ml);
          continue;
        }
      }
      SFX_REFILL();
    }
    if (SFX_OP > OpSymbol) {
      // A longer code: walk down its sub-tables.
      SFX_SUBTABLES();
      if (result >= 0) break;
      if (SFX_OP == OpSymbol) {
        SFX_DROP(SFX_BITS);
        *out++ = (uint8_t)SFX_VALUE;
        SFX_REFILL();
        SFX_LOOKUP(literalTable, bits & ml);
        continue;
      }
    }
    if (SFX_OP == OpEndOfBlock) {
      SFX_DROP(SFX_BITS);
      result = CodesEndOfBlock;
      break;
    }
    // A length, then a distance: codes and extra bits of at most 48 bits.
    SFX_DROP(SFX_BITS);
    const uint32_t length = SFX_VALUE + ((uint32_t)bits & BitMask[SFX_OP]);
    SFX_DROP(SFX_OP);
    SFX_LOOKUP(distanceTable, bits & md);
    if (SFX_OP > OpSymbol) {
      SFX_SUBTABLES();
      if (result >= 0) break;
    }
    SFX_DROP(SFX_BITS);
    const uint32_t distance = SFX_VALUE + ((uint32_t)bits & BitMask[SFX_OP]);
    SFX_DROP(SFX_OP);
    SFX_REFILL();
    SFX_LOOKUP(literalTable, bits & ml);
    if (!CopyMatch(out, (uint32_t)(out - OutputWindow), length, distance, wrapped)) {
      result = CodesFailed;
      break;
    }
    out += length;
  }
#undef SFX_LOOKUP
#undef SFX_OP
#undef SFX_BITS
#undef SFX_VALUE
#undef SFX_REFILL
#undef SFX_DROP
#undef SFX_SUBTABLES
  pos = (uint32_t)(out - OutputWindow);
  // Hand the whole bytes taken ahead back to the read-ahead, so that the
  // accumulator is back to at most 23 bits, as NextByte would have left it.
  uint32_t taken = (uint32_t)(in - inStart);
  uint32_t giveBack = have >> 3;
  if (giveBack > taken) giveBack = taken;
  taken -= giveBack;
  have -= giveBack * 8;
  ReadAheadPos = (uint16_t)(ReadAheadPos + taken);
  EntryRemaining -= (int32_t)taken;
  acc = (uint32_t)(bits & (((BitWord)1 << have) - 1));
  count = have;
  return result;
}

#else

// 32-bit: no bit buffer is kept between symbols. The loop reads its bits at
// a bit position in the read-ahead: a word loaded at the byte the position
// is in, shifted by the bits already used of that byte, holds at least 25
// unused bits. So the position, the output pointer and the current entry
// fit in i386's few registers.
int32_t DecodeFast(const HuffmanEntry* literalTable, const HuffmanEntry* distanceTable, uint32_t ml, uint32_t md,
                   int32_t available, uint32_t& acc, uint32_t& count, uint32_t& pos) {
  uint32_t bp = (uint32_t)ReadAheadPos * 8 - count;
  uint8_t* out = OutputWindow + pos;
  // One limit serves both margins: no step takes more than 16 input bits
  // for each byte it writes (a literal at most 15, a match at most 48 for
  // at least 3 bytes), so while the output has grown by at most half the
  // spare input, the input has not run past it. A run of literals tests
  // the room only every second literal and may leave one more, so up to
  // three literals may follow the last test that passed; the limit keeps
  // room for them too.
  uint32_t room = FastOutputLimit - pos;
  const uint32_t spare = (uint32_t)(available - FastInputMargin) / 2 - 4;
  if (room > spare) room = spare;
  uint8_t* const outLimit = out + room;
  const bool wrapped = WindowWrapped;
  int32_t result = -1;
#define SFX_PEEK() (LoadPiece(ReadAhead + (bp >> 3)) >> (bp & 7))
// A distance code and its extra bits take up to 28 bits: two words,
// shifted together, give 32.
#define SFX_PEEK_WIDE() ((uint32_t)(LoadPair(ReadAhead + (bp >> 3)) >> (bp & 7)))
#define SFX_USE(n) \
  do {             \
    bits >>= (n);  \
    bp += (n);     \
  } while (0)
// Walks down the sub-tables of a code longer than its table's root; an
// invalid code ends the block as a failure (result set, walk left).
#define SFX_SUBTABLES()                               \
  do {                                                \
    if (t->Op == OpInvalid) {                         \
      result = CodesFailed;                           \
      break;                                          \
    }                                                 \
    SFX_USE(t->Bits);                                 \
    t = t->Next + (bits & BitMask[t->Op - OpSymbol]); \
  } while (t->Op > OpSymbol)

  uint32_t bits = SFX_PEEK();
  const HuffmanEntry* t = literalTable + (bits & ml);
  for (;;) {
    // A run of literals, two a pass: a literal root is at most 9 bits wide
    // (asked for 9 at most, and a complete code of at most 288 symbols has
    // a code of 8 bits or less), so one look holds two root literals. Each
    // pass ends with one test for the next literal and the room left.
    if (t->Op == OpSymbol) {
      do {
        SFX_USE(t->Bits);
        *out++ = (uint8_t)t->Value;
        t = literalTable + (bits & ml);
        if (t->Op != OpSymbol) {
          // Found with input bits; a fresh look gives the bits for the
          // rest of its code and its extra bits.
          bits = SFX_PEEK();
          break;
        }
        SFX_USE(t->Bits);
        *out++ = (uint8_t)t->Value;
        bits = SFX_PEEK();
        t = literalTable + (bits & ml);
      } while ((t->Op == OpSymbol) & (out <= outLimit));
    }
    if (t->Op >= OpEndOfBlock) {
      // Less often: a code longer than the root, the end of the block, or
      // a literal that a run left when the room ran out. Links are told
      // from the rest with one test, so that a long literal costs few
      // branches; an invalid code ends the walk and then the block.
      while ((uint32_t)(t->Op - (OpSymbol + 1)) < 16) {
        SFX_USE(t->Bits);
        t = t->Next + (bits & BitMask[t->Op - OpSymbol]);
      }
      SFX_USE(t->Bits);
      if (t->Op == OpSymbol) {
        *out++ = (uint8_t)t->Value;
        if (out > outLimit) break;
        bits = SFX_PEEK();
        t = literalTable + (bits & ml);
        continue;
      }
      if (t->Op == OpEndOfBlock) {
        result = CodesEndOfBlock;
        break;
      }
      if (t->Op == OpInvalid) {
        result = CodesFailed;
        break;
      }
    } else {
      SFX_USE(t->Bits);
    }
    // A length: its code and extra bits, at most 20, came with one look.
    const uint32_t length = t->Value + (bits & BitMask[t->Op]);
    bp += t->Op;
    bits = SFX_PEEK_WIDE();
    t = distanceTable + (bits & md);
    if (t->Op > OpSymbol) {
      SFX_SUBTABLES();
      if (result >= 0) break;
    }
    SFX_USE(t->Bits);
    const uint32_t distance = t->Value + (bits & BitMask[t->Op]);
    bp += t->Op;
    const uint32_t written = (uint32_t)(out - OutputWindow);
    if ((int32_t)((written - distance) | (distance - 2 * PieceSize) | (4 * PieceSize - length)) >= 0) {
      // The common match, at most 16 bytes from at least 8 bytes back in
      // this filling, with one test: 16 bytes are copied in four pieces,
      // and the bytes past the match, history that must not change, are
      // put back. A piece reads only bytes that are final or lie past the
      // match, where nothing it writes stays.
      uint8_t* const end = out + length;
      const uint8_t* const from = out - distance;
      const BitWord keep0 = LoadPiece(end), keep1 = LoadPiece(end + PieceSize);
      const BitWord keep2 = LoadPiece(end + 2 * PieceSize), keep3 = LoadPiece(end + 3 * PieceSize);
      const BitWord a = LoadPiece(from), b = LoadPiece(from + PieceSize);
      StorePiece(out, a);
      StorePiece(out + PieceSize, b);
      const BitWord c = LoadPiece(from + 2 * PieceSize), d = LoadPiece(from + 3 * PieceSize);
      StorePiece(out + 2 * PieceSize, c);
      StorePiece(out + 3 * PieceSize, d);
      StorePiece(end, keep0);
      StorePiece(end + PieceSize, keep1);
      StorePiece(end + 2 * PieceSize, keep2);
      StorePiece(end + 3 * PieceSize, keep3);
      out = end;
    } else {
      if (!CopyMatch(out, written, length, distance, wrapped)) {
        result = CodesFailed;
        break;
      }
      out += length;
    }
    if (out > outLimit) break;
    bits = SFX_PEEK();
    t = literalTable + (bits & ml);
  }
#undef SFX_PEEK
#undef SFX_PEEK_WIDE
#undef SFX_USE
#undef SFX_SUBTABLES
  pos = (uint32_t)(out - OutputWindow);
  // Back to NextByte's terms: the bytes up to the one the position is in
  // are taken, and the unused bits of that byte are in the accumulator.
  // Bytes that the accumulator held on entry and the loop did not reach go
  // back to the read-ahead.
  const uint32_t taken = (bp + 7) >> 3;
  count = taken * 8 - bp;
  acc = count ? (uint32_t)ReadAhead[taken - 1] >> (8 - count) : 0;
  EntryRemaining -= (int32_t)taken - (int32_t)ReadAheadPos;
  ReadAheadPos = (uint16_t)taken;
  return result;
}

#endif
