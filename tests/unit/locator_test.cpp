#include "archive/locator.h"

#include "hostwin32/hostwin32_control.h"
#include "test_support.h"

namespace {

// A filler that holds no marker byte run.
Bytes Filler(size_t n) { return Bytes(n, 'x'); }

struct LocatorCase {
  const char* what;
  Bytes file;
  int32_t expected;
};

class LocatorTest : public StubTest {
 protected:
  int32_t Locate(const Bytes& file) {
    WriteHostFile(temp / "f.bin", file);
    return LocateArchive(WinPath(temp / "f.bin").c_str());
  }
};

TEST_F(LocatorTest, FindsTheFirstMarkerFromByteTwenty) {
  const Bytes m = MarkerBytes();
  const Bytes first(1, m[0]);
  const std::vector<LocatorCase> cases = {
      {"at 20", Filler(20) + m + Filler(50), 20},
      {"before 20 only", Filler(10) + m + Filler(50), -1},
      {"straddling the first block boundary", Filler(20 + 4096 - 3) + m + Filler(10), 20 + 4096 - 3},
      {"straddling a later boundary", Filler(20 + 3 * 4096 - 1) + m, 20 + 3 * 4096 - 1},
      {"first of several", Filler(100) + m + Filler(7) + m + m, 100},
      {"last six bytes", Filler(5000) + m, 5000},
      {"ends inside a partial marker", Filler(40) + m.substr(0, 5), -1},
      {"shorter than 26 bytes", Filler(19) + m.substr(0, 5), -1},
      {"empty", Bytes(), -1},
      {"no marker at all", Filler(9000), -1},
      // A marker byte that breaks a partial match is tested again as a
      // possible start: the marker right behind its own first byte.
      {"behind its own first byte", Filler(30) + first + m + Filler(3), 31},
      {"behind a longer broken match", Filler(30) + m.substr(0, 4) + m, 34},
      {"broken match across a block boundary", Filler(20 + 4096 - 2) + first + m, 20 + 4096 - 1},
  };
  for (const LocatorCase& c : cases) EXPECT_EQ(Locate(c.file), c.expected) << c.what;
}

TEST_F(LocatorTest, MissingFileGivesMinusOne) {
  EXPECT_EQ(LocateArchive(WinPath(temp / "nothing-here.exe").c_str()), -1);
}

TEST_F(LocatorTest, ShortReadsStillFindTheMarker) {
  hostwin32::InjectedFaults().shortReadLimit = 7;
  EXPECT_EQ(Locate(Filler(20 + 4096 - 3) + MarkerBytes()), 20 + 4096 - 3);
}

TEST_F(LocatorTest, FailuresEndTheScanWithMinusOne) {
  const Bytes file = Filler(20 + 5000) + MarkerBytes();
  struct Fault {
    const char* what;
    void (*inject)(hostwin32::Faults&);
  };
  const Fault faults[] = {
      {"open fails", [](hostwin32::Faults& f) { f.createFileFails = [](const std::string&) { return true; }; }},
      {"positioning at 20 fails",
       [](hostwin32::Faults& f) { f.setFilePointerFails = [](int call) { return call == 0; }; }},
      {"every read fails", [](hostwin32::Faults& f) { f.readFileFails = [](int) { return true; }; }},
      {"the second read fails", [](hostwin32::Faults& f) { f.readFileFails = [](int call) { return call == 1; }; }},
      {"the size query fails", [](hostwin32::Faults& f) { f.getFileSizeFails = true; }},
      {"the position query fails",
       [](hostwin32::Faults& f) { f.setFilePointerFails = [](int call) { return call > 0; }; }},
  };
  for (const Fault& fault : faults) {
    hostwin32::Reset();
    fault.inject(hostwin32::InjectedFaults());
    EXPECT_EQ(Locate(file), -1) << fault.what;
    EXPECT_EQ(hostwin32::OpenHandleCount(), 0u) << fault.what;
  }
}

TEST_F(LocatorTest, ClosesItsHandleWhateverTheOutcome) {
  // A failing close after the marker was found does not change the result.
  hostwin32::InjectedFaults().closeHandleFails = [](const std::string&) { return true; };
  EXPECT_EQ(Locate(Filler(20) + MarkerBytes()), 20);
  EXPECT_EQ(hostwin32::OpenHandleCount(), 0u);
}

}  // namespace
