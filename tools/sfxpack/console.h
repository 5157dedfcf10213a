// Messages on stderr: warnings always, progress only on a terminal.
#pragma once

#include <stdint.h>

#include <stdexcept>
#include <string>
#include <vector>

// A refusal or failure that ends the command with a non-zero exit.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Refuse(const std::string& message);
void Warn(const std::string& message);

// Progress lines overwrite each other on the terminal. Without a terminal on
// stderr they are dropped, so that scripts and logs stay quiet.
void ShowProgress(const std::string& line);
void EndProgress();

// -q: no progress and no summary; warnings and errors are still shown.
void SetQuiet(bool quiet);
bool Quiet();

// Up to limit names, each in quotes, then how many more: "'a', 'b' and 3
// more".
std::string NameList(const std::vector<std::string>& names, size_t limit);

// A name or path in single quotes, as messages show it. A control character
// is shown as the shell writes it, outside the quotes: "a\nb" becomes
// 'a'$'\n''b'; tabs and carriage returns as \t and \r, others as \xHH.
std::string Quote(const std::string& s);

// A path in quotes, with the system's own separators.
std::string QuotePath(const std::string& path);

// "1 entry", "2 entries".
std::string Plural(uint64_t n, const char* one, const char* many);

// "archive 20.4% of the input": part as a share of whole, or "" when whole
// is 0.
std::string Share(const std::string& part_name, uint64_t part, const std::string& whole_name,
                  uint64_t whole);

// The line printed on stdout when create or extract finishes, unless quiet:
// "what: N entries, X bytes in, Y bytes out (share), S s"; no parentheses
// when share is "".
void Summary(const std::string& what, uint64_t entries, uint64_t bytes_in, uint64_t bytes_out,
             double seconds, const std::string& share = "");
// Seconds on a monotonic clock, for the summary.
double Now();
