// Unit tests of the PE checksum: where the field is, sums taken in pieces,
// and a value that would put the marker into the stub.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "archive_bytes.h"
#include "pe_checksum.h"

namespace {

constexpr size_t Field = 0x80 + 88;

// "MZ", then the PE header at 0x80: no sections, an optional header with
// its alignments and no data directories.
std::vector<uint8_t> StandInStub() {
  std::vector<uint8_t> s(512, 0x90);
  s[0] = 'M', s[1] = 'Z', s[0x3C] = 0x80, s[0x3D] = s[0x3E] = s[0x3F] = 0;
  s[0x80] = 'P', s[0x81] = 'E', s[0x82] = s[0x83] = 0;
  s[0x86] = s[0x87] = 0;                             // sections
  s[0x94] = 96, s[0x95] = 0;                         // optional header size
  s[0x98] = 0x0B, s[0x99] = 0x01;                    // PE32
  for (int k = 0; k < 8; ++k) s[0xB8 + k] = 0;       // alignments...
  s[0xB9] = 0x10, s[0xBD] = 0x02;                    // ...4096 and 512
  for (int k = 0; k < 4; ++k) s[0xF4 + k] = 0;       // data directories
  return s;
}

uint32_t SumOf(const std::vector<uint8_t>& file, size_t piece) {
  PeChecksum sum(Field);
  for (size_t at = 0; at < file.size(); at += piece)
    sum.Add(file.data() + at, std::min(piece, file.size() - at));
  return sum.Value();
}

TEST(PeChecksum, FieldOnlyInAPeHeaderThatReachesIt) {
  EXPECT_EQ(PeChecksumFieldAt(StandInStub()), Field);
  // No "MZ", a PE header past the end, no "PE", a file ending in the field.
  for (auto [at, value, size] : {std::tuple{0, 'Z', 512}, {0x3D, 0x7F, 512}, {0x81, 'X', 512},
                                 {0, 'M', int(Field) + 3}}) {
    std::vector<uint8_t> s = StandInStub();
    s[at] = uint8_t(value), s.resize(size);
    EXPECT_EQ(PeChecksumFieldAt(s), 0u) << at << " " << size;
  }
}

TEST(PeChecksum, PiecesOfAnyLengthGiveTheSameSumWithoutTheField) {
  std::vector<uint8_t> file = StandInStub();
  for (int i = 0; i < 3001; ++i) file.push_back(uint8_t(i * 7 + (i >> 3)));
  const uint32_t whole = SumOf(file, file.size());
  for (size_t piece : {1, 2, 3, 5, 1001}) EXPECT_EQ(SumOf(file, piece), whole) << piece;
  file[Field] ^= 0x5A, file[Field + 3] ^= 0xA5;
  EXPECT_EQ(SumOf(file, 3), whole);
  file[Field + 4] ^= 1;
  EXPECT_NE(SumOf(file, 3), whole);
}

TEST(PeChecksum, AValueThatWouldFormTheMarkerIsNotWritten) {
  // The four bytes before the field are the marker's first four: a value
  // whose low bytes are its last two would complete it.
  std::vector<uint8_t> stub = StandInStub();
  for (int k = 0; k < 4; ++k) stub[Field - 4 + k] = MarkerByte(k);
  const uint32_t completes = MarkerByte(4) | uint32_t(MarkerByte(5)) << 8 | 0x12340000u;
  EXPECT_EQ(StubWithChecksum(stub, completes), stub);
  const std::vector<uint8_t> set = StubWithChecksum(stub, completes + 1);
  EXPECT_EQ(Get32(set.data() + Field), completes + 1);
  EXPECT_TRUE(std::equal(set.begin(), set.begin() + Field, stub.begin()));
}

}  // namespace
