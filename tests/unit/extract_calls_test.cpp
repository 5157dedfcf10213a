// Platform calls that the extraction makes per file, counted from the host
// layer's call log, and results that must not depend on which calls were
// left out.
#include <cstdio>
#include <filesystem>
#include <map>

#include "archive/extract.h"
#include "archive/stream.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/state.h"
#include "test_support.h"

namespace {

// One deflate stream of a single stored block holding `data`: a valid
// method-8 entry without a compressor.
Bytes StoredBlockStream(const Bytes& data) {
  Bytes s;
  s += '\x01';  // last block, type 0
  s += (char)(data.size() & 0xFF);
  s += (char)(data.size() >> 8);
  s += (char)(~data.size() & 0xFF);
  s += (char)((~data.size() >> 8) & 0xFF);
  return s + data;
}

RawEntry Deflated(const Bytes& name, const Bytes& data) {
  RawEntry e{name, StoredBlockStream(data)};
  e.method = MethodDeflated;
  return e;
}

Bytes Content(int i) { return "file number " + std::to_string(i) + Bytes(200 + i % 300, 'x'); }

using Counts = std::map<std::string, int>;

class ExtractCallsTest : public StubTest {
 protected:
  Counts Run(const std::vector<RawEntry>& entries) {
    StartOver();
    UseInstaller(MakeInstaller(entries));
    const size_t before = hostwin32::Calls().size();
    ExtractAll();
    Counts counts;
    const auto& calls = hostwin32::Calls();
    for (size_t i = before; i < calls.size(); i++) counts[calls[i].function]++;
    CloseHandle(ArchiveHandle);
    return counts;
  }
  // Calls per file once the run is going: the difference between runs of
  // 1 + n and of 1 entries, divided by n. Every call of an entry is whole,
  // so the division is exact.
  Counts PerFile(const std::function<RawEntry(int)>& make, int n = 40) {
    std::vector<RawEntry> one = {make(0)};
    std::vector<RawEntry> many;
    for (int i = 0; i <= n; i++) many.push_back(make(i));
    const Counts small = Run(one), large = Run(many);
    Counts per;
    for (auto& c : large) {
      const int extra = c.second - (small.count(c.first) ? small.at(c.first) : 0);
      EXPECT_EQ(extra % n, 0) << c.first;
      if (extra) per[c.first] = extra / n;
    }
    return per;
  }
  static std::string Show(const Counts& c) {
    std::string s;
    int total = 0;
    for (auto& e : c) {
      s += e.first + "=" + std::to_string(e.second) + " ";
      total += e.second;
    }
    return s + "total=" + std::to_string(total);
  }
};

TEST_F(ExtractCallsTest, CallsPerFile) {
  const struct {
    const char* what;
    std::function<RawEntry(int)> make;
    Counts expected;
  } cases[] = {
      {"deflated, one folder",
       [](int i) { return Deflated("data\\f" + std::to_string(i) + ".txt", Content(i)); },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"LocalFileTimeToFileTime", 1},
        {"SetFileTime", 1}, {"CloseHandle", 1}}},
      {"stored, top level",
       [](int i) { return RawEntry{"f" + std::to_string(i) + ".txt", Content(i)}; },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"LocalFileTimeToFileTime", 1},
        {"SetFileTime", 1}, {"CloseHandle", 1}}},
      {"stored, \"/\" separators, two levels",
       [](int i) { return RawEntry{"a/b/f" + std::to_string(i) + ".txt", Content(i)}; },
       {{"CreateFileA", 1}, {"ReadFile", 3}, {"WriteFile", 1}, {"LocalFileTimeToFileTime", 1},
        {"SetFileTime", 1}, {"CloseHandle", 1}}},
  };
  for (const auto& c : cases) {
    const Counts per = PerFile(c.make);
    std::printf("[ calls per file ] %s: %s\n", c.what, Show(per).c_str());
    EXPECT_EQ(per, c.expected) << c.what;
  }
}

}  // namespace
