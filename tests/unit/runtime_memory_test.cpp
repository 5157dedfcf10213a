// The stub's own memcpy, memmove, memset and memcmp (src/runtime/memory.cpp),
// built here under the names stub_* beside the C library's, checked against
// the C library over sizes around the word size, every alignment, and every
// overlap a short move can have.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

extern "C" {
void* stub_memcpy(void* destination, const void* source, size_t count);
void* stub_memmove(void* destination, const void* source, size_t count);
void* stub_memset(void* destination, int value, size_t count);
int stub_memcmp(const void* a, const void* b, size_t count);
}

namespace {

std::vector<unsigned char> Pattern(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; i++) v[i] = (unsigned char)(i * 37 + 11);
  return v;
}

}  // namespace

TEST(RuntimeMemory, CopyLeavesEverythingElseAlone) {
  for (size_t from = 0; from < 4; from++) {
    for (size_t to = 0; to < 4; to++) {
      for (size_t n = 0; n <= 41; n++) {
        SCOPED_TRACE(testing::Message() << "from +" << from << ", to +" << to << ", " << n << " bytes");
        const std::vector<unsigned char> source = Pattern(64);
        std::vector<unsigned char> ours(64, 0xEE), expected(64, 0xEE);
        EXPECT_EQ(stub_memcpy(ours.data() + 8 + to, source.data() + from, n), ours.data() + 8 + to);
        std::memcpy(expected.data() + 8 + to, source.data() + from, n);
        EXPECT_EQ(ours, expected);
      }
    }
  }
}

TEST(RuntimeMemory, MoveIsRightForEveryOverlap) {
  // Destination below, on and above the source, by less and more than a
  // word: the cases where a word-wise move could read bytes it has already
  // overwritten.
  for (int shift = -9; shift <= 9; shift++) {
    for (size_t n = 0; n <= 41; n++) {
      SCOPED_TRACE(testing::Message() << "shift " << shift << ", " << n << " bytes");
      std::vector<unsigned char> ours = Pattern(80), expected = Pattern(80);
      const size_t from = 20;
      const size_t to = (size_t)((int)from + shift);
      EXPECT_EQ(stub_memmove(ours.data() + to, ours.data() + from, n), ours.data() + to);
      std::memmove(expected.data() + to, expected.data() + from, n);
      EXPECT_EQ(ours, expected);
    }
  }
}

TEST(RuntimeMemory, SetAndCompare) {
  for (size_t n = 0; n <= 13; n++) {
    SCOPED_TRACE(testing::Message() << n << " bytes");
    std::vector<unsigned char> ours(20, 1), expected(20, 1);
    EXPECT_EQ(stub_memset(ours.data() + 3, 0x1AB, n), ours.data() + 3);
    std::memset(expected.data() + 3, 0x1AB, n);
    EXPECT_EQ(ours, expected);
  }
  const unsigned char a[] = {1, 2, 3, 200};
  const unsigned char b[] = {1, 2, 4, 100};
  EXPECT_EQ(stub_memcmp(a, b, 0), 0);
  EXPECT_EQ(stub_memcmp(a, b, 2), 0);
  EXPECT_LT(stub_memcmp(a, b, 4), 0);
  EXPECT_GT(stub_memcmp(b, a, 3), 0);
  // Bytes compare as unsigned.
  EXPECT_GT(stub_memcmp(a + 3, b + 3, 1), 0);
}
