#include "archive/stream.h"

#include "hostwin32/hostwin32_control.h"
#include "test_support.h"

namespace {

class StreamTest : public StubTest {
 protected:
  // Opens a file holding `plain` scrambled after a 100-byte prefix, and
  // positions it at the data.
  void Open(const Bytes& plain) {
    WriteHostFile(temp / "a.bin", Bytes(100, 'p') + Scramble(plain));
    ArchiveHandle = CreateFileA(WinPath(temp / "a.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(ArchiveHandle, INVALID_HANDLE_VALUE);
    SeekArchive(100, FILE_BEGIN);
    ASSERT_EQ(SeekResult, 100);
    ResetReadAhead();
  }
  DWORD FilePosition() { return SetFilePointer(ArchiveHandle, 0, nullptr, FILE_CURRENT); }
  Bytes Take(int n) {
    Bytes out;
    for (int i = 0; i < n; i++) {
      int32_t b = NextByte();
      EXPECT_GE(b, 0) << "byte " << i;
      out += (char)b;
    }
    return out;
  }
  static Bytes Pattern(size_t n) {
    Bytes b(n, 0);
    for (size_t i = 0; i < n; i++) b[i] = (char)(i * 7 + i / 251);
    return b;
  }
};

TEST_F(StreamTest, EmptyEntryReadsNothing) {
  Open("abc");
  EntryRemaining = 0;
  EXPECT_EQ(NextByte(), -1);
  EXPECT_EQ(FilePosition(), 100u);
  EXPECT_EQ(EntryRemaining, 0);
}

TEST_F(StreamTest, FiveBytesThenTheEnd) {
  Open("hello, world");
  EntryRemaining = 5;
  EXPECT_EQ(Take(5), "hello");
  EXPECT_EQ(NextByte(), -1);
  EXPECT_EQ(FilePosition(), 105u);  // no read beyond the entry
}

TEST_F(StreamTest, LargeEntryRefillsInWholeBlocks) {
  const Bytes data = Pattern(40000);
  Open(data + "trailing");
  EntryRemaining = 40000;
  EXPECT_EQ(Take(1), data.substr(0, 1));
  EXPECT_EQ(FilePosition(), 100u + 32768);
  EXPECT_EQ(Take(32767), data.substr(1, 32767));
  EXPECT_EQ(FilePosition(), 100u + 32768);
  EXPECT_EQ(Take(1), data.substr(32768, 1));
  EXPECT_EQ(FilePosition(), 100u + 40000);
  EXPECT_EQ(Take(7231), data.substr(32769));
  EXPECT_EQ(NextByte(), -1);
}

TEST_F(StreamTest, FileEndingInsideTheEntry) {
  Open("xyz");
  EntryRemaining = 10;
  EXPECT_EQ(Take(3), "xyz");
  EXPECT_EQ(NextByte(), -1);
  EXPECT_EQ(EntryRemaining, -1);
  const DWORD position = FilePosition();
  EXPECT_EQ(NextByte(), -1);
  EXPECT_EQ(FilePosition(), position);
}

TEST_F(StreamTest, ShortReadsHandOutEveryByte) {
  const Bytes data = Pattern(1000);
  Open(data);
  hostwin32::InjectedFaults().shortReadLimit = 33;
  EntryRemaining = 1000;
  EXPECT_EQ(Take(1000), data);
  EXPECT_EQ(NextByte(), -1);
}

TEST_F(StreamTest, FailedReadEndsTheEntry) {
  Open("abcdef");
  hostwin32::InjectedFaults().readFileFails = [](int) { return true; };
  EntryRemaining = 6;
  EXPECT_EQ(NextByte(), -1);
  EXPECT_LE(EntryRemaining, 0);
}

TEST_F(StreamTest, ReadAtTheEndDeliversNothingAndKeepsTheDestination) {
  Open("ab");
  SeekArchive(102, FILE_BEGIN);
  char header[30];
  for (char& c : header) c = 'k';
  DWORD delivered = 99;
  ReadScrambled(ArchiveHandle, header, 30, &delivered);
  EXPECT_EQ(delivered, 0u);
  EXPECT_EQ(Bytes(header, 30), Bytes(30, 'k'));
}

TEST_F(StreamTest, ReadScrambledUndoesTheScramblingOfDeliveredBytesOnly) {
  Open("0123456789");
  char buffer[16];
  for (char& c : buffer) c = '#';
  DWORD delivered = 0;
  ReadScrambled(ArchiveHandle, buffer, 16, &delivered);
  EXPECT_EQ(delivered, 10u);
  EXPECT_EQ(Bytes(buffer, 16), "0123456789######");
}

TEST_F(StreamTest, FailedSeekRecordsMinusOne) {
  Open("abc");
  SeekArchive(-5, FILE_BEGIN);
  EXPECT_EQ(SeekResult, -1);
  SeekArchive(101, FILE_BEGIN);
  EXPECT_EQ(SeekResult, 101);
}

}  // namespace
