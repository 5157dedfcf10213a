// Decoding speed of the stub's inflater against zlib and libdeflate, over
// real files of a Debian machine (Wine's 32-bit PE DLLs and the plain-text
// copyright files), each compressed on its own by libdeflate at levels 6
// and 12, as the packer does with entries. All three decode the same raw
// deflate streams from memory into memory, in one process.
//
//   inflate_bench [--mb N] [--doc-mb N] [--reps N] [--level 6|12] [--dll-dir D]
//                 [--doc-dir D] [--only ours|zlib|libdeflate] [--clock wall|cpu]
//
// --mb: megabytes of DLLs to take; --doc-mb: megabytes of copyright files
// (all of them unless given); --level: one compression level instead of
// both; --only: time one decoder, for profiling; --clock cpu: time by the
// CPU time of the thread, so that on a busy machine the time the thread
// waits for a processor does not count (default: the wall clock).
//
// Every decoder's output is compared with the original before it is timed;
// any difference ends the program with exit code 1.
#include <libdeflate.h>
#include <malloc.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/stream.h"
#include "format/archive_format.h"
#include "inflate/inflate.h"
#include "inflate/inflate_internal.h"
#include "memory_win32.h"

// ---- Heap use while our decoder runs -----------------------------------

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

static bool Counting = false;
static size_t AllocCalls = 0, LiveBytes = 0, PeakBytes = 0;

static void Counted(void* p) {
  if (!Counting || !p) return;
  AllocCalls++;
  LiveBytes += malloc_usable_size(p);
  PeakBytes = std::max(PeakBytes, LiveBytes);
}

extern "C" void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  Counted(p);
  return p;
}
extern "C" void* calloc(size_t n, size_t m) {
  void* p = __libc_calloc(n, m);
  Counted(p);
  return p;
}
extern "C" void* realloc(void* old, size_t n) {
  if (Counting && old) LiveBytes -= malloc_usable_size(old);
  void* p = __libc_realloc(old, n);
  Counted(p);
  return p;
}
extern "C" void free(void* p) {
  if (Counting && p) LiveBytes -= std::min(LiveBytes, malloc_usable_size(p));
  __libc_free(p);
}

// ---- Corpus -------------------------------------------------------------

struct Entry {
  std::string path;
  std::vector<uint8_t> plain;
  std::vector<uint8_t> packed;     // raw deflate
  std::vector<uint8_t> scrambled;  // the same, as the archive stores it
};

static std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The files of `names` in order while their sizes stay within `bytes`, and
// the first one beyond.
static void TakeUpTo(const std::vector<std::string>& names, size_t bytes, std::vector<std::string>& files) {
  std::error_code ec;
  size_t total = 0;
  for (auto& d : names) {
    if (total >= bytes) break;
    total += std::filesystem::file_size(d, ec);
    files.push_back(d);
  }
}

static std::vector<std::string> CorpusFiles(const std::string& dllDir, const std::string& docDir, size_t dllBytes,
                                            size_t docBytes) {
  namespace fs = std::filesystem;
  std::vector<std::string> dlls, docs, files;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dllDir, ec)) {
    if (e.path().extension() == ".dll" && e.is_regular_file()) dlls.push_back(e.path().string());
  }
  for (auto& e : fs::directory_iterator(docDir, ec)) {
    fs::path c = e.path() / "copyright";
    if (fs::is_regular_file(c, ec)) docs.push_back(c.string());
  }
  std::sort(dlls.begin(), dlls.end());
  std::sort(docs.begin(), docs.end());
  TakeUpTo(dlls, dllBytes, files);
  TakeUpTo(docs, docBytes, files);
  return files;
}

// ---- Where 32-bit code runs -----------------------------------------------

// A qemu-i386 entry enabled in binfmt_misc takes every i386 program before
// the kernel's own loader does; without one, an x86 processor runs it.
static std::string HowThirtyTwoBitCodeRuns() {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (auto& e : fs::directory_iterator("/proc/sys/fs/binfmt_misc", ec)) {
    const std::string name = e.path().filename().string();
    if (name.find("i386") == std::string::npos && name.find("i486") == std::string::npos) continue;
    std::ifstream in(e.path());
    std::string first;
    std::getline(in, first);
    if (first == "enabled") return "through an emulator (binfmt_misc entry " + name + " enabled)";
  }
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, model;
  bool x86 = false;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("vendor_id", 0) == 0 && (line.find("GenuineIntel") != std::string::npos ||
                                             line.find("AuthenticAMD") != std::string::npos ||
                                             line.find("HygonGenuine") != std::string::npos))
      x86 = true;
    if (model.empty() && line.rfind("model name", 0) == 0) model = line.substr(line.find(':') + 2);
  }
  if (x86) return "natively (no qemu-i386 entry in binfmt_misc; CPU: " + model + ")";
  return "through an emulator or not at all (no x86 CPU in /proc/cpuinfo)";
}

// ---- Decoders -------------------------------------------------------------

static bool Ours(const Entry& e, uint8_t* out) {
  memfile::Use(e.scrambled.data(), e.scrambled.size(), out, e.plain.size());
  ArchiveHandle = (HANDLE)(intptr_t)0x100;
  SeekArchive(0, FILE_BEGIN);
  EntryRemaining = (int32_t)e.scrambled.size();
  OutputHandle = (HANDLE)(intptr_t)0x104;
  InflateEntry();
  return memfile::outputSize == e.plain.size();
}

static z_stream Zlib;
static bool ZlibDecode(const Entry& e, uint8_t* out) {
  inflateReset(&Zlib);
  Zlib.next_in = (Bytef*)e.packed.data();
  Zlib.avail_in = (uInt)e.packed.size();
  Zlib.next_out = out;
  Zlib.avail_out = (uInt)e.plain.size();
  return inflate(&Zlib, Z_FINISH) == Z_STREAM_END && Zlib.total_out == e.plain.size();
}

static libdeflate_decompressor* Libdeflate;
static bool LibdeflateDecode(const Entry& e, uint8_t* out) {
  size_t actual = 0;
  return libdeflate_deflate_decompress(Libdeflate, e.packed.data(), e.packed.size(), out, e.plain.size(),
                                       &actual) == LIBDEFLATE_SUCCESS &&
         actual == e.plain.size();
}

static bool CpuClock = false;

static double Now() {
  if (CpuClock) {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + t.tv_nsec * 1e-9;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <typename F>
static double TimeAll(const Entry* begin, const Entry* end, std::vector<uint8_t>& out, F decode) {
  const double start = Now();
  for (const Entry* p = begin; p != end; p++) {
    const Entry& e = *p;
    if (!decode(e, out.data())) {
      std::fprintf(stderr, "decode failed: %s\n", e.path.c_str());
      std::exit(1);
    }
  }
  return Now() - start;
}

static double Median(std::vector<double>& v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

int main(int argc, char** argv) {
  size_t dllMegabytes = 80;
  size_t docMegabytes = SIZE_MAX >> 20;
  int reps = 5;
  std::string dllDir = "/usr/lib/i386-linux-gnu/wine/i386-windows";
  std::string docDir = "/usr/share/doc";
  std::string only;
  int onlyLevel = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--mb") dllMegabytes = std::strtoul(argv[i + 1], nullptr, 10);
    else if (a == "--doc-mb") docMegabytes = std::strtoul(argv[i + 1], nullptr, 10);
    else if (a == "--reps") reps = std::atoi(argv[i + 1]);
    else if (a == "--dll-dir") dllDir = argv[i + 1];
    else if (a == "--doc-dir") docDir = argv[i + 1];
    else if (a == "--only") only = argv[i + 1];
    else if (a == "--level") onlyLevel = std::atoi(argv[i + 1]);
    else if (a == "--clock") CpuClock = std::string(argv[i + 1]) == "cpu";
  }

  // The heap counter must see an allocation made while it counts.
  Counting = true;
  void* volatile probe = malloc(100);
  free(probe);
  Counting = false;
  if (AllocCalls != 1 || LiveBytes != 0) {
    std::fprintf(stderr, "the heap counter does not work here\n");
    return 1;
  }
  AllocCalls = PeakBytes = 0;

  std::vector<Entry> entries;
  size_t plainTotal = 0, largest = 0;
  std::printf("%d-bit x86 code; 32-bit x86 code runs here %s\n", (int)(sizeof(void*) * 8),
              HowThirtyTwoBitCodeRuns().c_str());

  for (const std::string& path : CorpusFiles(dllDir, docDir, dllMegabytes << 20, docMegabytes << 20)) {
    Entry e;
    e.path = path;
    e.plain = ReadFileBytes(path);
    if (e.plain.empty() || e.plain.size() > 0x7FFFFFFF) continue;
    plainTotal += e.plain.size();
    largest = std::max(largest, e.plain.size());
    entries.push_back(std::move(e));
  }
  if (entries.empty()) {
    std::fprintf(stderr, "no corpus files found\n");
    return 1;
  }
  std::printf("timed by %s\n", CpuClock ? "the thread's CPU time" : "the wall clock");
  std::printf("corpus: %zu files, %.1f MB (DLLs from %s, copyright files from %s)\n", entries.size(),
              plainTotal / 1e6, dllDir.c_str(), docDir.c_str());

  inflateInit2(&Zlib, -15);
  Libdeflate = libdeflate_alloc_decompressor();
  std::vector<uint8_t> out(largest + 1);

  for (int level : {6, 12}) {
    if (onlyLevel != 0 && level != onlyLevel) continue;
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    size_t packedTotal = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (Entry& e : entries) {
      e.packed.resize(libdeflate_deflate_compress_bound(c, e.plain.size()));
      e.packed.resize(libdeflate_deflate_compress(c, e.plain.data(), e.plain.size(), e.packed.data(), e.packed.size()));
      e.scrambled = e.packed;
      for (uint8_t& b : e.scrambled) b ^= ScrambleKey;
      packedTotal += e.packed.size();
    }
    libdeflate_free_compressor(c);
    std::printf("\nlevel %d: %.1f MB compressed (%.1f%%), compressed in %.1f s\n", level, packedTotal / 1e6,
                100.0 * packedTotal / plainTotal,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());

    // Every decoder must give back every byte before it is timed.
    uint32_t poolPeak = 0;
    for (const Entry& e : entries) {
      Counting = true;
      bool ok = Ours(e, out.data());
      Counting = false;
      poolPeak = std::max(poolPeak, HuffmanPoolPeak());
      if (!ok || std::memcmp(out.data(), e.plain.data(), e.plain.size()) != 0 || !memfile::writeSizesWindowed) {
        std::fprintf(stderr, "our output differs: %s\n", e.path.c_str());
        return 1;
      }
      if (!ZlibDecode(e, out.data()) || std::memcmp(out.data(), e.plain.data(), e.plain.size()) != 0 ||
          !LibdeflateDecode(e, out.data()) || std::memcmp(out.data(), e.plain.data(), e.plain.size()) != 0) {
        std::fprintf(stderr, "a peer's output differs: %s\n", e.path.c_str());
        return 1;
      }
    }
    std::printf("  our heap use while decoding all entries: %zu allocations, peak %zu bytes\n", AllocCalls, PeakBytes);
    std::printf("  decoding-table pool: at most %u of %u entries in use (%zu bytes each)\n", poolPeak,
                HuffmanPoolCapacity(), sizeof(HuffmanEntry));

    // The corpus is timed in groups of a few megabytes, each decoder in turn
    // and each group several times; every group counts with the median of
    // its rounds, so that short bursts of other work on the machine spoil
    // single rounds only, and the decoders see the same conditions.
    double total[3] = {0, 0, 0};
    for (size_t first = 0; first < entries.size();) {
      size_t last = first, bytes = 0;
      while (last < entries.size() && bytes < (4u << 20)) bytes += entries[last++].plain.size();
      const Entry* b = entries.data() + first;
      const Entry* e = entries.data() + last;
      std::vector<double> rounds[3];
      for (int r = 0; r < reps; r++) {
        if (only.empty() || only == "ours") rounds[0].push_back(TimeAll(b, e, out, Ours));
        if (only.empty() || only == "zlib") rounds[1].push_back(TimeAll(b, e, out, ZlibDecode));
        if (only.empty() || only == "libdeflate") rounds[2].push_back(TimeAll(b, e, out, LibdeflateDecode));
      }
      for (int k = 0; k < 3; k++) total[k] += Median(rounds[k]);
      first = last;
    }
    const double mb = plainTotal / 1e6;
    std::printf("  ours       %7.1f MB/s\n", mb / total[0]);
    std::printf("  zlib       %7.1f MB/s   ours / zlib       = %.2f\n", mb / total[1], total[1] / total[0]);
    std::printf("  libdeflate %7.1f MB/s   ours / libdeflate = %.2f\n", mb / total[2], total[2] / total[0]);
  }
  inflateEnd(&Zlib);
  libdeflate_free_decompressor(Libdeflate);
  return 0;
}
