#include "console.h"

#include <inttypes.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

namespace {

bool progress_shown = false;
bool quiet = false;

bool StderrIsTerminal() {
  static const int answer = isatty(2);
  return answer == 1;
}

}  // namespace

void Refuse(const std::string& message) { throw Refusal(message); }

void Warn(const std::string& message) {
  EndProgress();
  fprintf(stderr, "sfxpack: warning: %s\n", message.c_str());
}

void ShowProgress(const std::string& line) {
  if (quiet || !StderrIsTerminal()) return;
  // Carriage return, then clear to the end of the line.
  fprintf(stderr, "\r\033[K%s", line.c_str());
  fflush(stderr);
  progress_shown = true;
}

void EndProgress() {
  if (!progress_shown) return;
  fprintf(stderr, "\r\033[K");
  fflush(stderr);
  progress_shown = false;
}

void SetQuiet(bool q) { quiet = q; }
bool Quiet() { return quiet; }

void Summary(const std::string& what, uint64_t entries, uint64_t bytes_in, uint64_t bytes_out,
             double seconds) {
  if (quiet) return;
  const double ratio = bytes_in ? double(bytes_out) / double(bytes_in) : 0.0;
  printf("%s: %" PRIu64 " entries, %" PRIu64 " bytes in, %" PRIu64
         " bytes out, ratio %.3f, %.2f s\n",
         what.c_str(), entries, bytes_in, bytes_out, ratio, seconds);
  fflush(stdout);
}

double Now() {
  struct timespec t {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
