// Helpers of the decoder tests: one entry run through InflateEntry over the
// host Win32 layer, hand-written bit streams, reference codecs and data.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::string;

struct InflateRun {
  Bytes output;                  // the output file afterwards
  std::vector<uint32_t> writes;  // size of every WriteFile call
  int64_t inputEnd = 0;          // archive file position afterwards, from the data's start
};

// Decodes `data`, stored scrambled in a file between other bytes, with
// EntryRemaining = entrySize (-1: the data's size); shortReads limits every
// ReadFile when non-zero.
InflateRun RunInflate(const Bytes& data, int64_t entrySize = -1, uint32_t shortReads = 0);

// Whole windows, then at most one shorter non-empty write, adding up to total.
bool WindowedWrites(const std::vector<uint32_t>& writes, size_t total);

// Code lengths given as runs of (count, length).
std::vector<uint16_t> Lengths(std::initializer_list<std::pair<int, int>> runs);

// Canonical codes of RFC 1951, 3.2.2, computed here independently.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint16_t>& lengths);

struct Code {
  std::vector<uint16_t> lengths;
  std::vector<uint32_t> codes;
  explicit Code(std::vector<uint16_t> l) : lengths(l), codes(CanonicalCodes(l)) {}
};

// A deflate bit stream: fields least significant bit first, Huffman codes
// most significant bit first.
struct BitWriter {
  Bytes bytes;
  size_t bits = 0;
  void Put(uint32_t value, int count);
  void Sym(const Code& c, int symbol);
  void Align() { Put(0, (int)((8 - bits % 8) % 8)); }
  void Length(const Code& literals, int length);  // symbol and extra bits
  void Distance(const Code& distances, int distance);
  // Block header of a dynamic block listing all lengths with a code-length
  // code of 4-bit codes for 0..15.
  void DynamicHeader(bool last, const Code& literals, const Code& distances);
};

const Code& FixedLiterals();
const Code& FixedDistances();

Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int windowBits);
Bytes LibdeflateDeflate(const Bytes& data, int level);
Bytes GzipDeflate(const Bytes& data, int level);  // the raw stream inside gzip's output
bool ZlibInflate(const Bytes& data, Bytes& output);  // true when the stream ends properly

Bytes TextSample(size_t n, uint32_t seed);
Bytes BinarySample(size_t n, uint32_t seed);  // records, runs, noise and repeats
