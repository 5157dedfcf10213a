#include "exclude.h"

#include <stdint.h>

#include <algorithm>

#include "winnames.h"

namespace {

// Whether the set at pattern[i] (just after '[') holds c; *end is set just
// past its ']'. False with *end = npos when the set is not closed, and the
// '[' is then an ordinary character.
bool SetHolds(const std::string& pattern, size_t i, unsigned char c, size_t* end) {
  bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) i++;
  bool held = false;
  // A ']' first in the set is one of its characters.
  for (size_t k = i; k < pattern.size(); k++) {
    if (pattern[k] == ']' && k > i) {
      *end = k + 1;
      return held != negated;
    }
    const unsigned char low = pattern[k];
    unsigned char high = low;
    if (k + 2 < pattern.size() && pattern[k + 1] == '-' && pattern[k + 2] != ']')
      high = pattern[k + 2], k += 2;
    if (c >= low && c <= high) held = true;
  }
  *end = std::string::npos;
  return false;
}

}  // namespace

bool GlobMatches(const std::string& pattern, const std::string& text) {
  // Invariant: pattern[0..p) matched text[0..t). On a mismatch the last
  // '*' takes one more character and the match resumes after it; earlier
  // stars need never take more, so this never backtracks further.
  size_t p = 0, t = 0;
  size_t star_p = std::string::npos, star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p, star_t = t;
      continue;
    }
    if (p < pattern.size()) {
      const unsigned char c = text[t];
      size_t end = 0;
      if (pattern[p] == '?') {
        // One character; a stray byte counts as one.
        uint32_t cp = 0;
        const size_t length = DecodeUtf8(text, t, cp);
        p++, t += length ? length : 1;
        continue;
      }
      if (pattern[p] == '[' && SetHolds(pattern, p + 1, c, &end)) {
        p = end, t++;
        continue;
      }
      if ((pattern[p] != '[' || end == std::string::npos) && pattern[p] == text[t]) {
        p++, t++;
        continue;
      }
    }
    if (star_p == std::string::npos) return false;
    p = star_p, t = ++star_t;
  }
  while (p < pattern.size() && pattern[p] == '*') p++;
  return p == pattern.size() && t == text.size();
}

Exclusions::Exclusions(const std::vector<std::string>& patterns) {
  for (const std::string& given : patterns) {
    Pattern p;
    p.given = given;
    p.glob = given;
    std::replace(p.glob.begin(), p.glob.end(), '\\', '/');
    while (p.glob.size() > 1 && p.glob.back() == '/') p.glob.pop_back(), p.folders_only = true;
    while (p.glob.compare(0, 2, "./") == 0) p.glob.erase(0, 2), p.anchored = true;
    p.glob = FoldUtf8Case(p.glob);
    patterns_.push_back(p);
  }
}

bool Exclusions::Excludes(const std::string& relative, bool folder) {
  if (patterns_.empty()) return false;
  const std::string path = FoldUtf8Case(relative);
  const size_t slash = path.rfind('/');
  const std::string bare = slash == std::string::npos ? path : path.substr(slash + 1);
  bool excluded = false;
  for (Pattern& p : patterns_) {
    if (p.folders_only && !folder) continue;
    if (GlobMatches(p.glob, path) || (!p.anchored && GlobMatches(p.glob, bare)))
      excluded = p.used = true;
  }
  return excluded;
}

std::vector<std::string> Exclusions::Unused() const {
  std::vector<std::string> unused;
  for (const Pattern& p : patterns_)
    if (!p.used) unused.push_back(p.given);
  return unused;
}
