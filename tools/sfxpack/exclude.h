// The --exclude patterns of `sfxpack create`.
#pragma once

#include <string>
#include <vector>

// The --exclude patterns. Each is a glob (fnmatch, '*' also crossing '/')
// matched without case, as Windows compares names, against a path relative
// to its input with '/' separators, or against its bare name. '\' counts as
// '/'; a trailing '/' matches folders only; a leading "./" matches the
// relative path only.
// Whether text matches the glob pattern: '*' stands for any run of
// characters ('/' included), '?' for one character, "[...]" for one of a set
// ("[!...]" or "[^...]" for one not in it, "a-z" for a range); every other
// character, '\\' included, for itself. Both are UTF-8.
bool GlobMatches(const std::string& pattern, const std::string& text);

class Exclusions {
 public:
  Exclusions() = default;
  explicit Exclusions(const std::vector<std::string>& patterns);
  // Whether a file or folder is left out; remembers which patterns matched.
  bool Excludes(const std::string& relative, bool folder);
  // The patterns, as given, that have left out nothing so far.
  std::vector<std::string> Unused() const;

 private:
  struct Pattern {
    std::string given, glob;
    bool folders_only = false, anchored = false, used = false;
  };
  std::vector<Pattern> patterns_;
};
