#include "console.h"

#include <inttypes.h>
#include <stdio.h>

#include <chrono>

#include "platform.h"

namespace {

bool progress_shown = false;
bool quiet = false;

}  // namespace

void Refuse(const std::string& message) { throw Refusal(message); }

void Warn(const std::string& message) {
  EndProgress();
  fprintf(stderr, "sfxpack: warning: %s\n", message.c_str());
}

void ShowProgress(const std::string& line) {
  if (quiet || !sys::StderrIsConsole()) return;
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

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Share(const std::string& part_name, uint64_t part, const std::string& whole_name,
                  uint64_t whole) {
  if (whole == 0) return "";
  const double percent = 100.0 * double(part) / double(whole);
  // Three digits or so: "0.0031%", "4.5%", "20.4%", "2400%".
  char text[32];
  snprintf(text, sizeof text, percent >= 99.95 ? "%.0f%%" : percent >= 0.995 ? "%.1f%%" : "%.2g%%",
           percent);
  return part_name + " " + text + " of " + whole_name;
}

void Summary(const std::string& what, uint64_t entries, uint64_t bytes_in, uint64_t bytes_out,
             double seconds, const std::string& share) {
  if (quiet) return;
  printf("%s: %s, %" PRIu64 " bytes in, %" PRIu64 " bytes out%s, %.2f s\n", what.c_str(),
         Plural(entries, "entry", "entries").c_str(), bytes_in, bytes_out,
         share.empty() ? "" : (" (" + share + ")").c_str(), seconds);
  fflush(stdout);
}

double Now() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      out += ch;
      continue;
    }
    char escaped[8];
    if (c == '\n')
      snprintf(escaped, sizeof escaped, "\\n");
    else if (c == '\t')
      snprintf(escaped, sizeof escaped, "\\t");
    else if (c == '\r')
      snprintf(escaped, sizeof escaped, "\\r");
    else
      snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(c));
    out += "'$'";
    out += escaped;
    out += "''";
  }
  return out + "'";
}

std::string QuotePath(const std::string& path) { return Quote(sys::ShownPath(path)); }

std::string NameList(const std::vector<std::string>& names, size_t limit) {
  std::string list;
  for (size_t i = 0; i < names.size() && i < limit; i++) list += (i ? ", " : "") + Quote(names[i]);
  if (names.size() > limit) list += " and " + std::to_string(names.size() - limit) + " more";
  return list;
}
