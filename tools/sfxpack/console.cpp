#include "console.h"

#include <stdio.h>
#include <unistd.h>

namespace {

bool progress_shown = false;

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
  if (!StderrIsTerminal()) return;
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
