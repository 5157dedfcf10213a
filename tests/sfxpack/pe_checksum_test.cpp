// Unit tests of the PE checksum pieces: where the field is, sums taken in
// pieces, and a value that would put the marker into the stub.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "archive_bytes.h"
#include "pe_checksum.h"

namespace {

// "MZ", the PE header at 0x80, and room for the optional header.
std::vector<uint8_t> StandInStub() {
  std::vector<uint8_t> s(512, 0x90);
  s[0] = 'M', s[1] = 'Z';
  s[0x3C] = 0x80, s[0x3D] = s[0x3E] = s[0x3F] = 0;
  s[0x80] = 'P', s[0x81] = 'E', s[0x82] = s[0x83] = 0;
  return s;
}

TEST(PeChecksum, FieldOnlyInAPeHeaderThatReachesIt) {
  const std::vector<uint8_t> good = StandInStub();
  EXPECT_EQ(PeChecksumFieldAt(good), 0x80u + 88);
  struct Case {
    size_t at;
    uint8_t value;
    size_t size;
  } spoiled[] = {{0, 'Z', 512}, {0x3D, 0x7F, 512}, {0x3C, 0x20, 512}, {0x81, 'X', 512}, {0, 'M', 0x80 + 91}};
  for (const Case& c : spoiled) {
    std::vector<uint8_t> s = good;
    s[c.at] = c.value;
    s.resize(c.size);
    EXPECT_EQ(PeChecksumFieldAt(s), 0u) << c.at << " " << c.size;
  }
}

TEST(PeChecksum, PiecesOfAnyLengthGiveTheSameSum) {
  std::vector<uint8_t> file = StandInStub();
  for (int i = 0; i < 3001; ++i) file.push_back(uint8_t(i * 7 + (i >> 3)));
  PeChecksum whole(0x80 + 88);
  whole.Add(file.data(), file.size());
  for (size_t piece : {1, 2, 3, 5, 64, 1001}) {
    PeChecksum parts(0x80 + 88);
    for (size_t at = 0; at < file.size(); at += piece)
      parts.Add(file.data() + at, std::min(piece, file.size() - at));
    EXPECT_EQ(parts.Value(), whole.Value()) << piece;
  }
  // The field's own bytes do not count.
  file[0x80 + 88] ^= 0x5A, file[0x80 + 91] ^= 0xA5;
  PeChecksum changed(0x80 + 88);
  changed.Add(file.data(), file.size());
  EXPECT_EQ(changed.Value(), whole.Value());
  file[0x80 + 92] ^= 1;
  PeChecksum outside(0x80 + 88);
  outside.Add(file.data(), file.size());
  EXPECT_NE(outside.Value(), whole.Value());
}

TEST(PeChecksum, AValueThatWouldFormTheMarkerIsNotWritten) {
  // The four bytes before the field are the marker's first four: a value
  // whose low bytes are its last two would complete it.
  std::vector<uint8_t> stub = StandInStub();
  const size_t at = 0x80 + 88;
  for (int k = 0; k < 4; ++k) stub[at - 4 + k] = MarkerByte(k);
  const uint32_t completes = MarkerByte(4) | uint32_t(MarkerByte(5)) << 8 | 0x12340000u;
  EXPECT_EQ(StubWithChecksum(stub, completes), stub);
  const std::vector<uint8_t> set = StubWithChecksum(stub, completes + 1);
  EXPECT_EQ(Get32(set.data() + at), completes + 1);
  EXPECT_TRUE(std::equal(set.begin(), set.begin() + at, stub.begin()));
}

}  // namespace
