// Unit tests of sfxpack's pieces: names, time stamps, the marker scan, entry
// bytes, the codec (against zlib), the installer walk and the entry order.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <zlib.h>

#include <string>
#include <vector>

#include "archive_bytes.h"
#include "codec.h"
#include "console.h"
#include "entry_check.h"
#include "input_file.h"
#include "pack.h"
#include "platform.h"
#include "sha256.h"
#include "test_support.h"
#include "unpack.h"
#include "winnames.h"

namespace {

using namespace std::string_literals;

TEST(Windows1252, ConvertsWhatItCanHoldAndRefusesTheRest) {
  struct Case {
    const char* utf8;
    bool ok;
    const char* stored;
  } cases[] = {
      {"setup.EXE", true, "setup.EXE"},
      {"caf\xC3\xA9 \xC3\xBF", true, "caf\xE9 \xFF"},
      {"\xE2\x82\xAC \xE2\x84\xA2 \xC5\xB8", true, "\x80 \x99 \x9F"},  // euro, TM, Y diaeresis
      {"\xE6\x97\xA5.txt", false, ""},                                // a CJK character
      {"\xC2\x81", false, ""},                                        // U+0081, no 1252 byte
      {"\xF0\x9F\x98\x80", false, ""},                                // beyond the BMP
      {"\xC0\xAF", false, ""},                                        // overlong '/'
      {"\xED\xA0\x80", false, ""},                                    // a surrogate
      {"ab\xE2\x82", false, ""},                                      // cut short
      {"\xFF", false, ""},
  };
  for (const Case& c : cases) {
    std::string out, bad;
    EXPECT_EQ(Utf8ToWindows1252(c.utf8, out, &bad), c.ok) << c.utf8;
    if (c.ok) {
      EXPECT_EQ(out, c.stored);
    } else {
      EXPECT_FALSE(bad.empty());
    }
  }
}

TEST(Windows1252, EveryDefinedByteSurvivesTheRoundTrip) {
  const std::string undefined = "\x81\x8D\x8F\x90\x9D";
  for (int b = 1; b < 256; b++) {
    const std::string one(1, char(b));
    std::string back;
    const bool ok = Utf8ToWindows1252(Windows1252ToUtf8(one), back, nullptr);
    if (undefined.find(char(b)) != std::string::npos) {
      EXPECT_FALSE(ok) << b;
    } else {
      EXPECT_TRUE(ok && back == one) << b;
    }
  }
}

TEST(Utf8, EncodedCharactersDecodeBackAndMalformedOnesAreRefused) {
  struct Case {
    uint32_t cp;
    size_t length;
    bool strict;  // whether the strict decoder takes it
  } cases[] = {{0x41, 1, true},     {0xE9, 2, true},    {0x20AC, 3, true},
               {0x1F600, 4, true},  {0x10FFFF, 4, true}, {0xD800, 3, false}};
  for (const Case& c : cases) {
    std::string text;
    AppendUtf8(text, c.cp);
    EXPECT_EQ(text.size(), c.length) << c.cp;
    uint32_t cp = 0;
    EXPECT_EQ(DecodeUtf8(text, 0, cp), c.strict ? c.length : 0) << c.cp;
    ASSERT_EQ(DecodeUtf8(text, 0, cp, true), c.length) << c.cp;
    EXPECT_EQ(cp, c.cp);
  }
  uint32_t cp = 0;
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xF8"})
    EXPECT_EQ(DecodeUtf8(bad, 0, cp, true), 0u) << bad;
}

TEST(EntryNames, VerdictsFollowWhatTheStubAndWindowsAccept) {
  struct Case {
    std::string name;
    NameVerdict verdict;
  } cases[] = {
      {"a.txt", NameVerdict::Ok},
      {"dir\\sub\\file.bin", NameVerdict::Ok},
      {"dir/sub/file.bin", NameVerdict::Ok},
      {"..a\\b..c", NameVerdict::Ok},
      {std::string(258, 'n'), NameVerdict::Ok},
      {std::string(259, 'n'), NameVerdict::Refused},
      {"", NameVerdict::Refused},
      {"C:\\evil.txt", NameVerdict::Refused},
      {"file.txt:stream", NameVerdict::Refused},
      {"\\abs.txt", NameVerdict::Refused},
      {"/abs.txt", NameVerdict::Refused},
      {"..", NameVerdict::Refused},
      {"..\\up.txt", NameVerdict::Refused},
      {"a\\..\\b", NameVerdict::Refused},
      {"a/..", NameVerdict::Refused},
      {"folder\\", NameVerdict::Unwritable},
      {"a\\\\b", NameVerdict::Unwritable},
      {"a\\.\\b", NameVerdict::Unwritable},
      {"what?.txt", NameVerdict::Unwritable},
      {"a*b", NameVerdict::Unwritable},
      {"tab\there", NameVerdict::Unwritable},
      {"trailing.", NameVerdict::Unwritable},
      {"dir \\x", NameVerdict::Unwritable},
      {"NUL.txt", NameVerdict::Unwritable},
      {"sub\\com7", NameVerdict::Unwritable},
      {"console.txt", NameVerdict::Ok},
      {"COM0", NameVerdict::Unwritable},
      {"lpt0.log", NameVerdict::Unwritable},
      {"CONIN$", NameVerdict::Unwritable},
      {"d\\conout$.txt", NameVerdict::Unwritable},
      {"Clock$", NameVerdict::Unwritable},
      {"COM\xB9", NameVerdict::Unwritable},  // superscript digits
      {"lpt\xB2.txt", NameVerdict::Unwritable},
      {"COM\xB4", NameVerdict::Ok},  // an acute accent
      {"COM10", NameVerdict::Ok},
      {"CONIN", NameVerdict::Ok},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(CheckEntryName(c.name, &why), c.verdict) << "'" << c.name << "'";
    EXPECT_EQ(why.empty(), c.verdict == NameVerdict::Ok) << c.name;
  }
}

TEST(EntryNames, ExeRulesAndCaseFolding) {
  struct Case {
    const char* name;
    bool started, unstarted;
  } cases[] = {
      {"setup.EXE", true, false},   {"bin\\x.EXE.txt", true, false}, {"setup.exe", false, true},
      {"Setup.Exe", false, true},   {"a.EXE\\b.exe", true, false},   {"readme.txt", false, false},
      {"exe", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ContainsUpperExe(c.name), c.started) << c.name;
    EXPECT_EQ(LooksLikeUnstartedExe(c.name), c.unstarted) << c.name;
  }
  EXPECT_EQ(FoldNameCase("dir/\xE4.txt"), FoldNameCase("DIR\\\xC4.TXT"));
  EXPECT_EQ(FoldNameCase("\x9C\x9A\xFF"), FoldNameCase("\x8C\x8A\x9F"));
  EXPECT_NE(FoldNameCase("\xF7"), FoldNameCase("\xD7"));  // division and multiplication signs
}

TEST(EntryNames, PairsWindowsTakesForOneFile) {
  using Pairs = std::vector<std::pair<size_t, size_t>>;
  struct Case {
    std::vector<std::string> names;
    Pairs same;
  } cases[] = {
      {{"a.txt", "b.txt"}, {}},
      {{"b.txt", "A.TXT", "a.txt"}, {{1, 2}}},
      {{"x\\\xE4", "X/\xC4", "x\\\xC4"}, {{0, 1}, {1, 2}}},  // three alike: each next pair
      {{"d\\a", "D\\B", "e"}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SameNameOnWindows(c.names), c.same) << c.names[0];
}

// Names as messages show them: control characters outside the quotes, as a
// shell writes them, and stored Windows-1252 names in UTF-8.
TEST(Messages, NamesAreShownReadably) {
  const struct {
    std::string shown, expected;
  } cases[] = {
      {Quote("a.txt"), "'a.txt'"},
      {Quote("a\nb"), "'a'$'\\n''b'"},
      {Quote("tab\there\r"), "'tab'$'\\t''here'$'\\r'''"},
      {Quote(std::string("x\x1b") + "\x7f"), "'x'$'\\x1B'''$'\\x7F'''"},
      {NameList({"a\nb"}, 3), "'a'$'\\n''b'"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.shown, c.expected);
  try {
    StoredNameFor("sub/COM\xC2\xB9.txt", "the test");
    ADD_FAILURE() << "a device name was accepted";
  } catch (const Refusal& r) {
    EXPECT_NE(std::string(r.what()).find("'COM\xC2\xB9.txt' is a Windows device name"),
              std::string::npos)
        << r.what();
  }
  // Decomposed letters: a hint when composing them would fit Windows-1252.
  const struct {
    const char* name;
    bool hinted;
  } decomposed[] = {
      {"cafe\xCC\x81.txt", true},        // e + acute
      {"Sa\xCC\x83o/Z\xCC\x8C.txt", true},  // a + tilde, Z + caron
      {"x\xCC\x81.txt", false},          // no such letter in Windows-1252
  };
  for (const auto& c : decomposed) {
    try {
      StoredNameFor(c.name, "the test");
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const Refusal& r) {
      EXPECT_EQ(std::string(r.what()).find("would fit") != std::string::npos, c.hinted) << r.what();
    }
  }
}

TEST(Messages, NameListStopsAtItsLimit) {
  EXPECT_EQ(NameList({}, 3), "");
  EXPECT_EQ(NameList({"a"}, 3), "'a'");
  EXPECT_EQ(NameList({"a", "b", "c"}, 3), "'a', 'b', 'c'");
  EXPECT_EQ(NameList({"a", "b", "c", "d", "e"}, 3), "'a', 'b', 'c' and 2 more");
}

TEST(EntryNames, PathsTooLongBelowTheExtractionFolder) {
  // The stored name below a folder of 53 characters: 259 for the whole
  // path, 247 for its folder.
  struct Case {
    std::string name;
    bool too_long;
  } cases[] = {
      {std::string(206, 'n'), false},
      {std::string(207, 'n'), true},
      {std::string(194, 'd') + "\\x", false},
      {std::string(195, 'd') + "\\x", true},
      {"a\\" + std::string(200, 'b') + "\\c", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TooLongUnder(c.name, TypicalExtractionFolderLength), c.too_long) << c.name.size();
  EXPECT_TRUE(HasNonAscii("caf\xE9"));
  EXPECT_FALSE(HasNonAscii("cafe~"));
}

TEST(DosStamps, ConvertClampAndValidate) {
  struct Case {
    int year, mon, day, hour, min, sec;
    uint16_t time, date;
  } cases[] = {
      {1980, 1, 1, 0, 0, 0, 0x0000, 0x0021},
      {2024, 2, 29, 13, 45, 59, (13 << 11) | (45 << 5) | 29, (44 << 9) | (2 << 5) | 29},
      {1970, 6, 1, 12, 0, 0, 0x0000, 0x0021},                                     // before 1980
      {2200, 1, 1, 0, 0, 0, (23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31},
  };
  for (const Case& c : cases) {
    struct tm tm {};
    tm.tm_year = c.year - 1900, tm.tm_mon = c.mon - 1, tm.tm_mday = c.day;
    tm.tm_hour = c.hour, tm.tm_min = c.min, tm.tm_sec = c.sec;
    const DosStamp s = DosStampFromTm(tm);
    EXPECT_EQ(s.time, c.time) << c.year;
    EXPECT_EQ(s.date, c.date) << c.year;
  }
  setenv("TZ", "XYZ-3", 1);  // three hours east of UTC, no daylight saving
  tzset();
  const time_t when = 1700000001;  // 2023-11-14 22:13:21 UTC
  const DosStamp s = DosStampFromTime(when);
  EXPECT_EQ(FormatDosStamp(s), "2023-11-15 01:13:20");
  time_t back = 0;
  ASSERT_TRUE(TimeFromDosStamp(s, back));
  EXPECT_EQ(back, when - 1);
  const DosStamp invalid[] = {{0, 0}, {0, (1 << 5) | 0}, {0, (13 << 5) | 1},
                              {0, (2 << 5) | 30}, {24 << 11, 0x21}, {60 << 5, 0x21}, {30, 0x21}};
  for (const DosStamp& bad : invalid) EXPECT_FALSE(TimeFromDosStamp(bad, back)) << bad.date;
}

std::vector<uint8_t> Marker() {
  std::vector<uint8_t> m;
  for (int k = 0; k < ArchiveMarkerLength; k++) m.push_back(MarkerByte(k));
  return m;
}

std::vector<uint8_t> BytesWith(size_t size, size_t at, const std::vector<uint8_t>& insert) {
  std::vector<uint8_t> v(size, 0x11);
  std::copy(insert.begin(), insert.end(), v.begin() + long(at));
  return v;
}

TEST(MarkerScan, FindsTheMarkerExactlyAsTheStubDoes) {
  const std::vector<uint8_t> m = Marker();
  std::vector<uint8_t> doubled_start = m;
  doubled_start.insert(doubled_start.begin(), m[0]);  // F5 F5 EE ...
  std::vector<uint8_t> broken_four(m.begin(), m.begin() + 4);
  broken_four.insert(broken_four.end(), m.begin(), m.end());
  struct Case {
    std::vector<uint8_t> data;
    int64_t found;
    int partial;
  } cases[] = {
      {BytesWith(40, 20, m), 20, 0},
      {BytesWith(40, 19, m), -1, 0},  // begins before the scan does
      {BytesWith(200, 150, m), 150, 0},
      {BytesWith(40, 34, m), 34, 0},  // ends on the last byte
      // The byte that breaks a partial match is compared again, so a
      // marker right after its own first byte is found, as the stub finds it.
      {BytesWith(60, 30, doubled_start), 31, 0},
      {BytesWith(60, 30, broken_four), 34, 0},
      {BytesWith(40, 37, std::vector<uint8_t>(m.begin(), m.begin() + 3)), -1, 3},
      {std::vector<uint8_t>(10, 0), -1, 0},
  };
  for (const Case& c : cases) {
    int partial = -1;
    EXPECT_EQ(ScanForMarker(c.data.data(), c.data.size(), &partial), c.found);
    EXPECT_EQ(partial, c.partial);
  }
  EXPECT_TRUE(StubProblem(std::vector<uint8_t>(64, 0x11)).empty());
  EXPECT_FALSE(StubProblem(std::vector<uint8_t>(19, 0x11)).empty());
  EXPECT_FALSE(StubProblem(BytesWith(64, 30, m)).empty());
  EXPECT_FALSE(StubProblem(BytesWith(64, 63, {m[0]})).empty());
}

TEST(EntryBytes, HeaderLayoutAndMarker) {
  EntryFields f{0, MethodDeflated, {0x1234, 0x5678}, 0xCAFEBABE, 77, 99};
  std::vector<uint8_t> h;
  AppendLocalHeader(h, f, "a\\b.txt");
  ASSERT_EQ(h.size(), size_t(EntryHeaderSize) + 7);
  EXPECT_EQ(Get32(&h[OffsetSignature]), SignatureLocal);
  EXPECT_EQ(Get16(&h[OffsetVersionNeeded]), 20);
  EXPECT_EQ(Get16(&h[OffsetMethod]), MethodDeflated);
  EXPECT_EQ(Get16(&h[OffsetDosTime]), 0x1234);
  EXPECT_EQ(Get16(&h[OffsetDosDate]), 0x5678);
  EXPECT_EQ(Get32(&h[OffsetCrc32]), 0xCAFEBABEu);
  EXPECT_EQ(Get32(&h[OffsetCompressedSize]), 77u);
  EXPECT_EQ(Get32(&h[OffsetUncompressedSize]), 99u);
  EXPECT_EQ(Get16(&h[OffsetNameLength]), 7);
  EXPECT_EQ(Get16(&h[OffsetExtraLength]), 0);
  Scramble(h.data(), h.size());
  EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.begin() + 6), Marker());
}

std::vector<uint8_t> ZlibRawDeflate(const std::vector<uint8_t>& in) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<uint8_t> out(deflateBound(&z, uLong(in.size())));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TEST(Codec, InflateRawAgainstZlibAndPackingChoice) {
  std::vector<uint8_t> text;
  for (int i = 0; i < 50000; i++) text.push_back(uint8_t("installer "[i % 10] + (i / 997) % 3));
  const std::vector<uint8_t> z = ZlibRawDeflate(text);
  std::vector<uint8_t> out;
  ASSERT_TRUE(InflateRaw(z.data(), z.size(), out, text.size()));
  EXPECT_EQ(out, text);
  EXPECT_FALSE(InflateRaw(z.data(), z.size(), out, text.size() - 1));  // more than allowed
  EXPECT_FALSE(InflateRaw(z.data(), z.size() / 2, out, text.size()));  // cut short
  std::vector<uint8_t> bad = z;
  bad[0] |= 0x06;  // block type 3 does not exist
  EXPECT_FALSE(InflateRaw(bad.data(), bad.size(), out, text.size()));

  std::vector<uint8_t> noise(4096);
  uint32_t x = 12345;
  for (uint8_t& b : noise) b = uint8_t((x = x * 1103515245 + 12345) >> 24);
  struct Case {
    const std::vector<uint8_t>* data;
    int level;
    uint16_t method;
  } cases[] = {{&text, 13, MethodDeflated}, {&text, 12, MethodDeflated}, {&text, 1, MethodDeflated},
               {&text, 0, MethodStored},    {&noise, 13, MethodStored},   {&noise, 12, MethodStored}};
  for (const Case& c : cases) {
    std::vector<uint8_t> packed;
    ASSERT_EQ(PackEntryData(*c.data, c.level, packed), c.method) << c.level;
    if (c.method == MethodStored) {
      EXPECT_EQ(packed, *c.data);
    } else {
      EXPECT_LT(packed.size(), c.data->size());
      ASSERT_TRUE(InflateRaw(packed.data(), packed.size(), out, c.data->size()));
      EXPECT_EQ(out, *c.data);
    }
  }
}

TEST(Codec, InflateBoundedGrowsWithRealOutput) {
  std::vector<uint8_t> text(300000);
  for (size_t i = 0; i < text.size(); i++) text[i] = uint8_t("abcabd"[i % 6] + (i >> 14));
  const std::vector<uint8_t> z = ZlibRawDeflate(text);
  struct Case {
    size_t limit;
    bool ok;
    const char* why;
  } cases[] = {
      {text.size(), true, ""},
      {0xFFFFFFFFu, true, ""},  // a claim far beyond the data
      {text.size() - 1, false, "more than"},
      {1000, false, "more than"},
  };
  for (const Case& c : cases) {
    Bytes out;
    std::string why;
    EXPECT_EQ(InflateBounded(z.data(), z.size(), c.limit, out, &why), c.ok) << c.limit;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    if (c.ok) {
      ASSERT_EQ(out.size, text.size());
      EXPECT_EQ(memcmp(out.data.get(), text.data(), text.size()), 0);
      // Never more room than twice the output, whatever the claim.
      EXPECT_LE(out.capacity, 2 * text.size());
    }
  }
  // A few bytes claiming 4 GiB: the buffer follows the data, not the claim.
  const std::vector<uint8_t> tiny = ZlibRawDeflate(std::vector<uint8_t>(5, 'x'));
  Bytes out;
  std::string why;
  ASSERT_TRUE(InflateBounded(tiny.data(), tiny.size(), 0xFFFFFFFFu, out, &why));
  EXPECT_EQ(out.size, 5u);
  EXPECT_LE(out.capacity, MostInflatedFrom(tiny.size()));
  std::vector<uint8_t> cut(z.begin(), z.begin() + z.size() / 3);
  EXPECT_FALSE(InflateBounded(cut.data(), cut.size(), text.size(), out, &why));
  EXPECT_NE(why.find("damaged"), std::string::npos);
}

TEST(Codec, StreamInflaterWhateverThePieces) {
  std::vector<uint8_t> text(400000);
  for (size_t i = 0; i < text.size(); i++) text[i] = uint8_t("stream"[i % 6] + (i >> 15));
  const std::vector<uint8_t> z = ZlibRawDeflate(text);
  std::vector<uint8_t> bad = z, tail = z;
  bad[0] |= 0x06;                      // block type 3 does not exist
  tail.insert(tail.end(), 100, 0xEE);  // bytes after the stream's end are not read
  const std::vector<uint8_t> cut(z.begin(), z.begin() + z.size() / 2);
  using S = StreamInflater::State;
  struct Case {
    const std::vector<uint8_t>* in;
    size_t piece;
    S last;
    size_t stop_at_block;  // put says stop at this block; 0: never
  } cases[] = {{&z, 1, S::Ended, 0},     {&z, 777, S::Ended, 0},   {&z, z.size(), S::Ended, 0},
               {&tail, 4096, S::Ended, 0}, {&cut, 4096, S::More, 0}, {&bad, 10, S::Damaged, 0},
               {&z, 4096, S::Stopped, 1}};
  for (const Case& c : cases) {
    StreamInflater inflater;
    std::vector<uint8_t> out;
    size_t blocks = 0;
    S state = S::More;
    for (size_t at = 0; state == S::More && at < c.in->size(); at += c.piece) {
      state = inflater.Feed(c.in->data() + at, std::min(c.piece, c.in->size() - at),
                            [&](const uint8_t* p, size_t n) {
                              EXPECT_LE(n, StreamInflater::OutputBlock);
                              out.insert(out.end(), p, p + n);
                              return ++blocks != c.stop_at_block;
                            });
    }
    EXPECT_EQ(state, c.last) << c.piece;
    ASSERT_LE(out.size(), text.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), text.begin()));
    EXPECT_EQ(out.size() == text.size(), c.last == S::Ended);
  }
}

TEST(Codec, ByteQueueKeepsOrderAcrossTheRingsEnd) {
  // Pieces of sizes that do not divide the capacity, so that writes and
  // reads straddle the ring's end at every place.
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 7 + i / 251);
  const size_t sizes[][3] = {{10, 3, 7}, {10, 7, 3}, {13, 13, 5}, {1, 1, 1}, {64, 50, 64}};
  for (const auto& c : sizes) {
    const size_t capacity = c[0], write = c[1], read = c[2];
    ByteQueue q(capacity);
    std::vector<uint8_t> out;
    size_t in = 0, held = 0;
    while (out.size() < data.size()) {
      // Writes only what fits, so that nothing waits on this one thread.
      const size_t w = std::min({write, capacity - held, data.size() - in});
      ASSERT_TRUE(q.Write(data.data() + in, w));
      in += w, held += w;
      if (in == data.size()) q.EndWriting();
      uint8_t block[64];
      const size_t r = std::min(read, held);
      const int64_t got = q.Read(block, in == data.size() ? read : r);
      ASSERT_GE(got, 0);
      out.insert(out.end(), block, block + got);
      held -= size_t(got);
      if (got == 0) break;
    }
    EXPECT_EQ(out, data) << capacity << " " << write << " " << read;
    uint8_t b;
    EXPECT_EQ(q.Read(&b, 1), 0);  // ended and empty
    q.Break();
    EXPECT_EQ(q.Read(&b, 1), -1);
    EXPECT_FALSE(q.Write(&b, 1));
  }
}

TEST(Codec, StubDecodingComparesItsOutput) {
  // Four bits a byte: its deflated form is larger than the queues between
  // the threads, and a short piece of it smaller than SmallStubInput.
  std::vector<uint8_t> long_text(3 * StubQueueBytes);
  uint32_t x = 7;
  for (uint8_t& b : long_text) b = uint8_t('a' + ((x = x * 1103515245 + 12345) >> 28));
  for (size_t length : {long_text.size(), size_t(3000)}) {
    const std::vector<uint8_t> text(long_text.begin(), long_text.begin() + length);
    const std::vector<uint8_t> z = ZlibRawDeflate(text);
    if (length == long_text.size()) {
      ASSERT_GT(z.size(), StubQueueBytes);
    }
    // Scrambled at offset 100 of a file, as in an installer.
    std::vector<uint8_t> file(100 + z.size(), 0);
    std::copy(z.begin(), z.end(), file.begin() + 100);
    Scramble(file.data() + 100, z.size());
    const decoder_host::ReadAt read = ReaderOf(file, 100);
    std::vector<uint8_t> changed = text, shorter(text.begin(), text.end() - 1), longer = text;
    changed[length / 2] ^= 1;
    longer.push_back('x');
    const std::pair<const std::vector<uint8_t>*, bool> cases[] = {
        {&text, true}, {&changed, false}, {&shorter, false}, {&longer, false}};
    for (const auto& c : cases) {
      {
        StubDecoding d(read, uint32_t(z.size()));
        const bool same = d.Expect(c.first->data(), c.first->size());
        EXPECT_EQ(same && d.Finish(), c.second) << c.first->size();
      }
      EXPECT_EQ(StubAgrees(read, uint32_t(z.size()), c.first->data(), c.first->size()), c.second)
          << c.first->size() << " from " << z.size();
      EXPECT_EQ(StubAgreesOnRaw(z.data(), z.size(), c.first->data(), c.first->size()), c.second);
    }
    // Given up half way, before or after taking output: the decoder is
    // stopped and nothing waits for it.
    for (size_t taken : {size_t(0), size_t(1000), length / 2}) {
      StubDecoding d(read, uint32_t(z.size()));
      EXPECT_TRUE(d.Expect(text.data(), taken));
    }
    // Data cut short gives less output; with bytes after the stream's end,
    // more than the queue holds, the decoder ends at the stream's end.
    const std::vector<uint8_t> cut(file.begin(), file.begin() + 100 + z.size() / 2);
    file.resize(file.size() + 2 * StubQueueBytes, 0x55);
    const std::pair<decoder_host::ReadAt, uint32_t> reads[] = {
        {ReaderOf(cut, 100), uint32_t(z.size())}, {read, uint32_t(file.size() - 100)}};
    for (const auto& r : reads) {
      StubDecoding d(r.first, r.second);
      EXPECT_EQ(d.Expect(text.data(), text.size()) && d.Finish(), &r == &reads[1]);
      EXPECT_EQ(StubAgrees(r.first, r.second, text.data(), text.size()), &r == &reads[1]);
    }
  }
}

// Each fault gets one message whether the stub's decoder takes part or not,
// small entries and large ones alike.
TEST(EntryChecker, OneVerdictWhateverTheStubsPart) {
  std::vector<uint8_t> large(600000);
  uint32_t x = 11;
  for (uint8_t& b : large) b = uint8_t('a' + ((x = x * 1103515245 + 12345) >> 28));
  for (size_t length : {size_t(3000), large.size()}) {
    const std::vector<uint8_t> text(large.begin(), large.begin() + length);
    const std::vector<uint8_t> z = ZlibRawDeflate(text);
    const EntryClaim sound{MethodDeflated, uint32_t(z.size()), uint32_t(text.size()),
                           Crc32(text.data(), text.size())};
    struct Case {
      const char* label;
      EntryClaim claim;
      size_t fed;          // bytes of z given
      bool break_type;     // block type 3, which does not exist
      const char* verdict;  // nullptr: sound
    } cases[] = {
        {"sound", sound, z.size(), false, nullptr},
        {"crc", {sound.method, sound.packed_size, sound.size, sound.crc ^ 1}, z.size(), false,
         "its CRC-32 is"},
        {"size above", {sound.method, sound.packed_size, sound.size + 1, sound.crc}, z.size(),
         false, "it holds"},
        {"size below", {sound.method, sound.packed_size, sound.size - 1, sound.crc}, z.size(),
         false, "decodes to more than"},
        {"cut", sound, z.size() / 2, false, "runs past the end"},
        {"unfinished", {sound.method, uint32_t(z.size() / 2), sound.size, sound.crc},
         z.size() / 2, false, "ends before its last block"},
        {"damaged", sound, z.size(), true, "deflate data is damaged"},
    };
    for (const Case& c : cases) {
      std::vector<uint8_t> data(z.begin(), z.begin() + c.fed);
      if (c.break_type) data[0] |= 0x06;
      std::vector<uint8_t> scrambled = data;
      Scramble(scrambled.data(), scrambled.size());
      for (const bool by_stub : {false, true}) {
        std::vector<uint8_t> plain;
        EntryChecker checker(c.claim, by_stub ? ReaderOf(scrambled, 0) : nullptr,
                             [&](const uint8_t* p, size_t n) {
          plain.insert(plain.end(), p, p + n);
          return true;
        });
        for (size_t at = 0; at < data.size(); at += 4099)
          checker.Feed(data.data() + at, std::min<size_t>(4099, data.size() - at));
        const EntryProblem problem = checker.Finish();
        const std::string where = std::string(c.label) + ", " + std::to_string(length) +
                                  " bytes" + (by_stub ? ", by the stub too" : "");
        if (!c.verdict) {
          EXPECT_FALSE(problem) << where << ": " << *problem;
          EXPECT_EQ(plain, text) << where;
        } else {
          ASSERT_TRUE(problem) << where;
          EXPECT_NE(problem->find(c.verdict), std::string::npos) << where << ": " << *problem;
        }
      }
    }
  }
}

// Stored data is passed on as it is and held to its claimed size and CRC-32.
TEST(EntryChecker, StoredDataIsCountedAndPassedOn) {
  const std::string hello = "hello, world";
  const std::vector<uint8_t> data(hello.begin(), hello.end());
  const uint32_t crc = Crc32(data.data(), data.size());
  struct Case {
    EntryClaim claim;
    size_t fed;
    const char* verdict;
  } cases[] = {
      {{MethodStored, 12, 12, crc}, 12, nullptr},
      {{MethodStored, 12, 11, crc}, 12, "it holds 12 bytes, its header says 11"},
      {{MethodStored, 12, 12, crc + 1}, 12, "its CRC-32 is"},
      {{MethodStored, 12, 12, crc}, 5, "runs past the end"},
  };
  for (const Case& c : cases) {
    std::string passed;
    EntryChecker checker(c.claim, ReaderOf(data, 0), [&](const uint8_t* p, size_t n) {
      passed.append(reinterpret_cast<const char*>(p), n);
      return true;
    });
    checker.Feed(data.data(), c.fed);
    const EntryProblem problem = checker.Finish();
    EXPECT_EQ(passed, hello.substr(0, c.fed));
    if (!c.verdict) {
      EXPECT_FALSE(problem) << *problem;
    } else {
      ASSERT_TRUE(problem) << c.verdict;
      EXPECT_NE(problem->find(c.verdict), std::string::npos) << *problem;
    }
  }
  // A receiver that refuses stops the check and fails it.
  EntryChecker refused(cases[0].claim, nullptr, [](const uint8_t*, size_t) { return false; });
  EXPECT_FALSE(refused.Feed(data.data(), data.size()));
  EXPECT_TRUE(refused.Finish());
}

// A folder of its own for a test's files, removed with them.
struct Scratch {
  std::string folder = [] {
    std::string p = (std::filesystem::temp_directory_path() / "sfxpack-test-XXXXXX").string();
    return mkdtemp(&p[0]) ? p : std::string();
  }();
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  // Writes n bytes that differ from page to page into folder/in.bin: them.
  std::vector<uint8_t> Write(size_t n) const {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; i++) data[i] = uint8_t(i * 131 + (i >> 12));
    std::ofstream(folder + "/in.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(n));
    return data;
  }
};

// A file of the planned size is taken whole, read or mapped; one that has
// grown or shrunk before its bytes are taken, or by the time they have been
// used, is refused.
TEST(InputFile, TakesThePlannedBytesOrSaysTheSizeChanged) {
  Scratch scratch;
  const std::string path = scratch.folder + "/in.bin";
  const std::string changed = "in.bin' changed size while being packed";
  const size_t big = MapFrom + 5000;  // its last page only partly used
  struct Case {
    size_t bytes;            // in the file when it is loaded
    int64_t planned, later;  // the size planned, less bytes; bytes added (cut) once loaded
    bool loads, done;
  } cases[] = {{0, 0, 0, true, true},      {100, 0, 0, true, true},   {100, -1, 0, false, false},
               {100, 1, 0, false, false},  {100, 0, 1, true, false},  {big, 0, 0, true, true},
               {big, -1, 0, false, false}, {big, 1, 0, false, false}, {big, 0, 7, true, false},
               {big, 0, -1, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + " " + std::to_string(c.planned) + " " +
                 std::to_string(c.later));
    const std::vector<uint8_t> data = scratch.Write(c.bytes);
    InputFile file;
    const std::optional<std::string> loaded = file.Load(path, uint64_t(int64_t(c.bytes) + c.planned));
    ASSERT_EQ(!loaded, c.loads) << loaded.value_or("");
    if (loaded) {
      EXPECT_NE(loaded->find(changed), std::string::npos) << *loaded;
      continue;
    }
    EXPECT_EQ(file.Mapped(), c.bytes >= MapFrom);
    EXPECT_EQ(std::vector<uint8_t>(file.Data(), file.Data() + file.Size()), data);
    ASSERT_TRUE(c.later == 0 || truncate(path.c_str(), off_t(int64_t(c.bytes) + c.later)) == 0);
    const std::optional<std::string> done = file.Done();
    EXPECT_EQ(!done, c.done) << done.value_or("");
    EXPECT_NE(done.value_or(changed).find(changed), std::string::npos) << done.value_or("");
  }
}

// A mapped file cut short while its bytes are read: the program ends with
// exit code 1 and says which file, and the temporary output is gone.
TEST(InputFileDeathTest, CutShortWhileMappedEndsTheProgramCleanly) {
  Scratch scratch;
  const size_t size = 3 * MapFrom;
  scratch.Write(size);
  const std::string path = scratch.folder + "/in.bin";
  EXPECT_EXIT(
      {
        std::string temp;
        if (sys::CreateUnique(scratch.folder + "/.out.exe.sfxpack-partial-", &temp) < 0) exit(3);
        InputFile file;
        if (file.Load(path, size) || !file.Mapped() || truncate(path.c_str(), 0) != 0) exit(4);
        exit(file.Data()[size - 1] == 0 ? 5 : 6);
      },
      testing::ExitedWithCode(1), "sfxpack: error: '.*/in\\.bin' changed size while being packed\n");
  using Listing = std::filesystem::directory_iterator;
  EXPECT_EQ(std::distance(Listing(scratch.folder), Listing()), 1);  // in.bin alone
}

TEST(Codec, DeflateIntoRespectsTheRoom) {
  std::vector<uint8_t> text(100000, 'q');
  Bytes out;
  const size_t packed = DeflateInto(text.data(), text.size(), 6, text.size(), out);
  ASSERT_GT(packed, 0u);
  EXPECT_EQ(DeflateInto(text.data(), text.size(), 6, packed - 1, out), 0u);  // no room
  EXPECT_EQ(DeflateInto(text.data(), text.size(), 6, packed, out), packed);
  EXPECT_EQ(DeflateInto(text.data(), text.size(), 0, text.size(), out), 0u);  // level 0 stores
}

// Raw deflate data decoded by zlib, the whole of it.
std::vector<uint8_t> ZlibInflated(const uint8_t* in, size_t n) {
  std::vector<uint8_t> out;
  StreamInflater z;
  if (z.Feed(in, n, [&](const uint8_t* p, size_t k) {
        out.insert(out.end(), p, p + k);
        return true;
      }) != StreamInflater::State::Ended)
    out.assign(1, 0xFF);  // a marker no expected row has
  return out;
}

TEST(Codec, LevelThirteenKeepsTheSmallerDeflateWithinTheRoom) {
  const char* const words[] = {"the ", "installer ", "copies ", "files ", "into ", "a ", "folder ",
                               "and ", "starts ", "its ", "wizard.\n"};
  uint32_t x = 7;
  std::vector<uint8_t> prose, noise(3000), tiny{'a', 'b'};
  while (prose.size() < 60000) {
    const char* w = words[(x = x * 1103515245 + 12345) >> 16 & 7 ? (x >> 20) % 11 : 10];
    prose.insert(prose.end(), w, w + strlen(w));
  }
  for (uint8_t& b : noise) b = uint8_t((x = x * 1103515245 + 12345) >> 24);
  std::vector<uint8_t> table(40000);  // a binary file's structures
  for (size_t i = 0; i < table.size(); i++) table[i] = uint8_t(i % 16 < 4 ? i / 64 : i % 16 < 8 ? 0 : i * 7);
  struct Case {
    const std::vector<uint8_t>* in;
    bool deflated, smaller_than_12;
  } cases[] = {{&prose, true, true}, {&table, true, true}, {&noise, false, false}, {&tiny, false, false}};
  for (const Case& c : cases) {
    const std::vector<uint8_t>& in = *c.in;
    Bytes at12, at13;
    const size_t p12 = DeflateInto(in.data(), in.size(), 12, in.size(), at12);
    const size_t p13 = DeflateInto(in.data(), in.size(), ZopfliLevel, in.size(), at13);
    ASSERT_EQ(p13 > 0, c.deflated) << in.size();
    if (!c.deflated) continue;
    EXPECT_LT(p13, in.size());
    EXPECT_EQ(p13 < p12, c.smaller_than_12) << p13 << " " << p12;
    EXPECT_LE(p13, p12);
    EXPECT_EQ(ZlibInflated(at13.data.get(), p13), in);
    std::vector<uint8_t> out;
    ASSERT_TRUE(InflateRaw(at13.data.get(), p13, out, in.size()));  // libdeflate, then the stub
    EXPECT_EQ(out, in);
    // One byte less room than its result: stored; exactly its result: the same bytes.
    const std::vector<uint8_t> kept(at13.data.get(), at13.data.get() + p13);
    Bytes again;
    EXPECT_EQ(DeflateInto(in.data(), in.size(), ZopfliLevel, p13 - 1, again), 0u);
    ASSERT_EQ(DeflateInto(in.data(), in.size(), ZopfliLevel, p13, again), p13);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), again.data.get()));
  }
}

// Parts far smaller than zopfli's own, so that the joins end on every bit of
// a byte: packed alone or with processors lent, the bytes are the same and
// decode to the input.
TEST(Codec, ZopfliPartsDoNotDependOnTheProcessorsLent) {
  std::vector<uint8_t> in;
  uint32_t x = 11;
  while (in.size() < 80000) {
    x = x * 1103515245 + 12345;
    const std::string word = "w" + std::to_string(x >> 22) + ((x >> 8) & 3 ? " " : ".\n");
    in.insert(in.end(), word.begin(), word.end());
  }
  std::vector<std::vector<uint8_t>> results;
  for (int lent : {0, 3}) {
    IdleProcessors idle(lent);
    Bytes out;
    ZopfliDeflateParts(in.data(), in.size(), 2000, &idle, out);
    results.emplace_back(out.data.get(), out.data.get() + out.size);
  }
  EXPECT_EQ(results[1], results[0]);
  EXPECT_EQ(ZlibInflated(results[0].data(), results[0].size()), in);
}

TEST(Options, ExcludeMatchesRelativePathOrBareName) {
  struct Case {
    std::vector<std::string> patterns;
    std::string path;
    bool folder, excluded;
  } cases[] = {
      {{".git"}, ".git", true, true},
      {{".git"}, "sub/.git", true, true},
      {{".git"}, "sub/.github", true, false},
      {{"*.pdb"}, "a/b/c.pdb", false, true},
      {{"*.pdb"}, "c.pdb.txt", false, false},
      {{"*.pdb"}, "APP.PDB", false, true},  // without case, as on Windows
      {{"caf\xC3\xA9*"}, "CAF\xC3\x89.txt", false, true},
      {{"\xE6\x97\xA5*"}, "\xE6\x97\xA5.txt", false, true},
      {{"a/*.pdb"}, "a/b/c.pdb", false, true},  // '*' crosses folders
      {{"a/*.pdb"}, "b/c.pdb", false, false},
      {{"a\\*.pdb"}, "a/c.pdb", false, true},  // '\' as the separator
      {{"bin/"}, "x/bin", true, true},          // a trailing '/': folders only
      {{"bin/"}, "bin", false, false},
      {{"./bin"}, "bin", true, true},  // a leading "./": from the input's top only
      {{"./bin"}, "x/bin", true, false},
      {{"docs"}, "docs/readme", false, false},  // the folder itself is skipped by the walk
      {{"x", "read?e"}, "docs/readme", false, true},
      {{}, "anything", false, false},
  };
  for (const Case& c : cases) {
    Exclusions x(c.patterns);
    EXPECT_EQ(x.Excludes(c.path, c.folder), c.excluded) << c.path;
    EXPECT_EQ(x.Unused().size(), c.patterns.size() - (c.excluded ? 1 : 0)) << c.path;
  }
}

// The portable matcher agrees with the C library's fnmatch (no flags but
// FNM_NOESCAPE) on ASCII, and takes a whole UTF-8 character for '?'.
TEST(Options, GlobAgreesWithFnmatch) {
  const char* patterns[] = {"*", "a*", "*.txt", "a?c", "[abc]x", "[!abc]x", "[^a]x", "[a-c]*",
                            "[]a]", "[!]]", "[a-]", "[", "a[b", "**x", "*a*b*", "a\\b", "?",
                            "[z-a]", "*[0-9]", ""};
  const char* texts[] = {"",    "a",   "abc", "a.txt", "x.txt.bak", "bx",  "dx",  "ax",
                         "]",   "-",   "[",   "a[b",   "a/b/x",     "aXb", "a\\b", "ab1", "?"};
  for (const char* pattern : patterns)
    for (const char* text : texts)
      EXPECT_EQ(GlobMatches(pattern, text), fnmatch(pattern, text, FNM_NOESCAPE) == 0)
          << pattern << " / " << text;
  EXPECT_TRUE(GlobMatches("caf?.txt", "caf\xC3\xA9.txt"));
  EXPECT_TRUE(GlobMatches("?", "\xE6\x97\xA5"));
  EXPECT_FALSE(GlobMatches("??", "\xE6\x97\xA5"));
}

TEST(DosStamps, SourceDateEpochClampsAndUsesUtc) {
  const char* zone = getenv("TZ");
  const std::string saved = zone ? zone : "";
  setenv("TZ", "XYZ-5", 1);
  tzset();
  const time_t epoch = 1600000000;  // 2020-09-13 12:26:40 UTC
  const StampRule local{}, fixed{true, epoch};
  EXPECT_EQ(FormatDosStamp(StampFor(local, epoch)), "2020-09-13 17:26:40");
  EXPECT_EQ(FormatDosStamp(StampFor(fixed, epoch)), "2020-09-13 12:26:40");
  EXPECT_EQ(FormatDosStamp(StampFor(fixed, epoch + 86400)), "2020-09-13 12:26:40");
  EXPECT_EQ(FormatDosStamp(StampFor(fixed, epoch - 3600)), "2020-09-13 11:26:40");
  // A ZIP entry's stamp, as libzip hands it over (read as local time).
  struct tm tm {};
  tm.tm_year = 120, tm.tm_mon = 8, tm.tm_mday = 13, tm.tm_hour = 14, tm.tm_isdst = -1;
  const time_t zip_time = mktime(&tm);
  EXPECT_EQ(FormatDosStamp(ZipStampFor(local, zip_time)), "2020-09-13 14:00:00");
  EXPECT_EQ(FormatDosStamp(ZipStampFor(fixed, zip_time)), "2020-09-13 12:26:40");
  tm.tm_hour = 9;
  EXPECT_EQ(FormatDosStamp(ZipStampFor(fixed, mktime(&tm))), "2020-09-13 09:00:00");
  if (zone) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(Stub, OnlyA32BitWindowsProgramIsTaken) {
  // Headers without sections: machine, optional header size, magic,
  // alignments and 16 data directories.
  std::vector<uint8_t> pe(512, 0);
  pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x80;
  memcpy(&pe[0x80], "PE\0\0\x4c\x01", 6);
  pe[0x80 + 20] = 0xE0;
  pe[0x80 + 24] = 0x0B, pe[0x80 + 25] = 0x01;
  pe[0x80 + 24 + 33] = 0x10, pe[0x80 + 24 + 37] = 0x02, pe[0x80 + 24 + 92] = 16;
  EXPECT_EQ(NotAWindowsProgram(pe), "");
  std::vector<uint8_t> amd64 = pe;
  amd64[0x84] = 0x64, amd64[0x85] = 0x86;
  std::vector<uint8_t> far = pe;
  far[0x3D] = 0x10;  // PE header beyond the end
  std::vector<uint8_t> text(512, 'a');
  for (const auto& bad : {amd64, far, text, std::vector<uint8_t>(pe.begin(), pe.begin() + 40)})
    EXPECT_NE(NotAWindowsProgram(bad), "");
  // The wizard may be any Windows program: "MZ", a PE signature and whole
  // headers.
  EXPECT_EQ(NotAnyWindowsProgram(amd64), "");
  std::vector<uint8_t> headers_only(pe.begin(), pe.begin() + 0x80 + 24 + 0xE0);
  EXPECT_EQ(NotAnyWindowsProgram(headers_only), "");
  headers_only.pop_back();
  std::vector<uint8_t> signature_only(pe.begin(), pe.begin() + 0x84);
  for (const auto& bad : {far, text, headers_only, signature_only})
    EXPECT_NE(NotAnyWindowsProgram(bad), "");
}

TEST(Sha256, KnownDigests) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    Sha256 sha;
    // Fed in uneven pieces, to cross the block boundaries.
    for (size_t i = 0; i < c.first.size(); i += 37)
      sha.Add(reinterpret_cast<const uint8_t*>(c.first.data()) + i,
              std::min<size_t>(37, c.first.size() - i));
    EXPECT_EQ(sha.HexDigest(), c.second);
  }
}

// A stub, then scrambled entries made by hand, then a central directory
// signature that ends the walk.
struct HandEntry {
  std::string name;
  uint16_t flags, method;
  std::string data;
};

std::vector<uint8_t> HandInstaller(const std::vector<HandEntry>& entries) {
  std::vector<uint8_t> file(32, 'S'), archive;
  for (const HandEntry& e : entries) {
    const std::vector<uint8_t> d(e.data.begin(), e.data.end());
    EntryFields f{e.flags, e.method, {0, 0x21}, Crc32(d.data(), d.size()), uint32_t(d.size()),
                  uint32_t(d.size())};
    AppendLocalHeader(archive, f, e.name);
    archive.insert(archive.end(), d.begin(), d.end());
  }
  AppendEndRecord(archive, 0, 0, 0);
  Scramble(archive.data(), archive.size());
  file.insert(file.end(), archive.begin(), archive.end());
  return file;
}

TEST(InstallerWalk, StopsWhereTheStubStops) {
  struct Case {
    std::vector<HandEntry> entries;
    size_t walked;
    bool stops;
  } cases[] = {
      {{{"a.txt", 0, 0, "one"}, {"b\\c.txt", 0, 0, "two"}}, 2, false},
      {{{"a.txt", 0, 0, "x"}, {"..\\up.txt", 0, 0, "x"}, {"c", 0, 0, "x"}}, 1, true},
      {{{"a", 0, 0, "x"}, {"b", 0, 0, "x"}, {"c", FlagEncrypted, 0, "x"}}, 2, true},
      {{{"a", 0, 12, "x"}}, 0, true},
      {{{std::string(259, 'n'), 0, 0, "x"}}, 0, true},
      {{{"ok", 0, 0, "x"}, {"", 0, 0, "x"}}, 1, true},
      {{{"data\\cfg.ini\0junk"s, 0, 0, "x"}}, 1, false},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> file = HandInstaller(c.entries);
    const InstallerWalk w = WalkInstaller(file.data(), file.size());
    EXPECT_EQ(w.archive_offset, 32);
    EXPECT_EQ(w.entries.size(), c.walked) << c.entries[0].name;
    EXPECT_EQ(w.stop.has_value(), c.stops) << w.stop.value_or("");
  }
  // The stub cuts a name at its first zero byte.
  const std::vector<uint8_t> nul = HandInstaller(cases[6].entries);
  EXPECT_EQ(WalkInstaller(nul.data(), nul.size()).entries.at(0).name, "data\\cfg.ini");
}

TEST(InstallerWalk, DecodeCatchesDamageAndTruncation) {
  std::vector<uint8_t> file = HandInstaller({{"a.txt", 0, 0, "hello"}, {"b.txt", 0, 0, "world"}});
  std::vector<uint8_t> data;
  std::string why;
  InstallerWalk w = WalkInstaller(file.data(), file.size());
  ASSERT_EQ(w.entries.size(), 2u);
  ASSERT_TRUE(DecodeEntry(w.entries[1], InstallerInMemory(file.data(), file.size()), data, &why)) << why;
  EXPECT_EQ(std::string(data.begin(), data.end()), "world");
  file[w.entries[1].data_pos + 2] ^= 0x40;
  EXPECT_FALSE(DecodeEntry(w.entries[1], InstallerInMemory(file.data(), file.size()), data, &why));
  EXPECT_NE(why.find("CRC-32"), std::string::npos) << why;
  // Cut inside the second entry's data: it is walked but cannot be decoded.
  file.resize(w.entries[1].data_pos + 3);
  w = WalkInstaller(file.data(), file.size());
  ASSERT_EQ(w.entries.size(), 2u);
  EXPECT_EQ(w.entries[1].data_present, 3u);
  EXPECT_FALSE(DecodeEntry(w.entries[1], InstallerInMemory(file.data(), file.size()), data, &why));
}

PlannedEntry Planned(const std::string& name, uint64_t zip_size = 0) {
  PlannedEntry e;
  e.name = name, e.shown = name, e.size = zip_size, e.known_packed = zip_size;
  if (zip_size) e.zip_index = 0;
  return e;
}

TEST(EntryOrder, WizardFirstThenSortedAndCollisionsRefused) {
  std::vector<PlannedEntry> v = {Planned("b.txt"), Planned("bin\\setup.EXE"), Planned("A.txt"),
                                 Planned("a\\z")};
  EXPECT_EQ(OrderEntries(v, "bin\\setup.EXE"), 0u);
  std::vector<std::string> names;
  for (const PlannedEntry& e : v) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"bin\\setup.EXE", "A.txt", "a\\z", "b.txt"}));

  const std::vector<std::vector<PlannedEntry>> refused = {
      {Planned("Readme.TXT"), Planned("readme.txt")},
      {Planned("docs"), Planned("DOCS\\a.txt")},
      {Planned("x.EXE")},  // the wizard below is missing
  };
  for (std::vector<PlannedEntry> r : refused) EXPECT_THROW(OrderEntries(r, "setup.EXE"), Refusal);
  std::vector<PlannedEntry> none = {Planned("a.txt"), Planned("setup.exe")};
  EXPECT_EQ(OrderEntries(none, ""), none.size());
}

TEST(EntryOrder, SizeLimitIsTheStubsSignedOffsets) {
  // One copied entry whose data makes stub + archive exactly the limit.
  const uint64_t stub = 1000;
  const uint64_t overhead = EndRecordSize + EntryArchiveBytes(5, 0);
  const uint64_t fits = MaxInstallerSize - stub - overhead;
  EXPECT_EQ(CheckArchiveCanFit({Planned("a.bin", fits)}, stub, false), MaxInstallerSize - stub);
  EXPECT_THROW(CheckArchiveCanFit({Planned("a.bin", fits + 1)}, stub, false), Refusal);
  // Files that may still shrink count only their headers, unless stored.
  PlannedEntry file = Planned("a.bin");
  file.size = fits + 1;
  EXPECT_NO_THROW(CheckArchiveCanFit({file}, stub, false));
  EXPECT_THROW(CheckArchiveCanFit({file}, stub, true), Refusal);
  EXPECT_THROW(CheckArchiveCanFit(std::vector<PlannedEntry>(70000, Planned("x")), 0, false), Refusal);
  // A copied ZIP entry counts the data it stores, not what it decodes to.
  PlannedEntry zipped = Planned("z.bin", 1 << 20);
  zipped.size = 3ull << 30;
  EXPECT_NO_THROW(CheckArchiveCanFit({zipped}, stub, false));
}

}  // namespace
