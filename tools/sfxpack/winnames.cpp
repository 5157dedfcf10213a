#include "winnames.h"

#include <stdio.h>

#include <algorithm>

#include "format/archive_format.h"

namespace {

// Unicode code points of Windows-1252 bytes 0x80..0x9F; 0 where the code page
// defines no character.
const uint16_t HighControlBlock[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

// Windows opens these devices instead of files, whatever the extension. The
// serial and parallel ports take a digit 0 to 9 or a superscript 1, 2 or 3
// (Windows-1252 bytes 0xB9, 0xB2, 0xB3).
// Wider on purpose than the list platform_windows.cpp uses for the paths
// sfxpack opens itself: an entry is refused when any Windows version may
// take its name for a device, while sfxpack's own paths are read as the
// Windows it runs on reads them.
bool IsDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = UpperAscii(c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
    if (base == device) return true;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
    const uint8_t last = uint8_t(base[3]);
    return (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
  }
  return false;
}

// Folds one Windows-1252 byte to upper case for name comparison.
uint8_t FoldCase(uint8_t c) {
  if (c >= 'a' && c <= 'z') return uint8_t(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return uint8_t(c - 32);
  switch (c) {
    case 0x9A: return 0x8A;  // s caron
    case 0x9C: return 0x8C;  // oe
    case 0x9E: return 0x8E;  // z caron
    case 0xFF: return 0x9F;  // y diaeresis
  }
  return c;
}

}  // namespace

size_t DecodeUtf8(const std::string& text, size_t i, uint32_t& cp, bool keep_surrogates) {
  const uint8_t b0 = uint8_t(text[i]);
  size_t len;
  uint32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; k++) {
    const uint8_t b = uint8_t(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (!keep_surrogates && cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

bool Utf8ToWindows1252(const std::string& utf8, std::string& out, std::string* bad) {
  out.clear();
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp = 0;
    const size_t len = DecodeUtf8(utf8, i, cp);
    if (len == 0) {
      if (bad) {
        char hex[8];
        snprintf(hex, sizeof hex, "0x%02X", unsigned(uint8_t(utf8[i])));
        *bad = std::string("byte ") + hex + " that is not valid UTF-8";
      }
      return false;
    }
    int byte = -1;
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      byte = int(cp);
    } else {
      for (int k = 0; k < 32; k++)
        if (HighControlBlock[k] != 0 && HighControlBlock[k] == cp) byte = 0x80 + k;
    }
    if (byte < 0) {
      if (bad) {
        char code[16];
        snprintf(code, sizeof code, "U+%04X", unsigned(cp));
        *bad = "'" + utf8.substr(i, len) + "' (" + code + ")";
      }
      return false;
    }
    out += char(byte);
    i += len;
  }
  return true;
}

std::string Windows1252ToUtf8(const std::string& text) {
  std::string out;
  for (char ch : text) {
    const uint8_t c = uint8_t(ch);
    uint32_t cp = c;
    if (c >= 0x80 && c <= 0x9F && HighControlBlock[c - 0x80] != 0) cp = HighControlBlock[c - 0x80];
    AppendUtf8(out, cp);
  }
  return out;
}

NameVerdict CheckEntryName(const std::string& name, std::string* why) {
  auto verdict = [&](NameVerdict v, const std::string& r) {
    if (why) *why = r;
    return v;
  };
  if (name.empty()) return verdict(NameVerdict::Refused, "the name is empty");
  if (name.size() > size_t(MaxNameLength))
    return verdict(NameVerdict::Refused, "the name is " + std::to_string(name.size()) +
                                             " bytes long; at most " +
                                             std::to_string(MaxNameLength) + " fit");
  if (name.find(':') != std::string::npos)
    return verdict(NameVerdict::Refused, "the name holds ':' (a drive letter or a stream)");
  if (IsSeparator(name[0])) return verdict(NameVerdict::Refused, "the name starts with a separator");

  // Split into components at either separator; a trailing separator leaves
  // an empty last component, judged below.
  bool unwritable = false;
  std::string unwritable_why;
  size_t start = 0;
  while (true) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) end++;
    const std::string part = name.substr(start, end - start);
    if (part == "..") return verdict(NameVerdict::Refused, "the name has a '..' component");
    if (!unwritable) {
      if (part.empty() && end == name.size()) {
        unwritable = true, unwritable_why = "the name ends in a separator (it names a folder)";
      } else if (part.empty() || part == ".") {
        unwritable = true, unwritable_why = "the name has an empty or '.' component";
      } else if (part.back() == '.' || part.back() == ' ') {
        unwritable = true, unwritable_why = "a component ends in '.' or ' ', which Windows drops";
      } else if (IsDeviceName(part)) {
        unwritable = true, unwritable_why = "'" + Windows1252ToUtf8(part) + "' is a Windows device name";
      } else {
        for (char ch : part) {
          const uint8_t c = uint8_t(ch);
          if (c < 0x20 || ch == '<' || ch == '>' || ch == '"' || ch == '|' || ch == '?' ||
              ch == '*') {
            char shown[16];
            if (c < 0x20)
              snprintf(shown, sizeof shown, "0x%02X", unsigned(c));
            else
              snprintf(shown, sizeof shown, "'%c'", ch);
            unwritable = true;
            unwritable_why = std::string("Windows forbids the character ") + shown + " in file names";
            break;
          }
        }
      }
    }
    if (end == name.size()) break;
    start = end + 1;
  }
  if (unwritable) return verdict(NameVerdict::Unwritable, unwritable_why);
  return NameVerdict::Ok;
}

bool ContainsUpperExe(const std::string& name) { return name.find(".EXE") != std::string::npos; }

bool LooksLikeUnstartedExe(const std::string& name) {
  if (name.size() < 4 || ContainsUpperExe(name)) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = UpperAscii(c);
  return tail == ".EXE";
}

std::string FoldNameCase(const std::string& name) {
  std::string out = name;
  for (char& c : out) c = IsSeparator(c) ? '\\' : char(FoldCase(uint8_t(c)));
  return out;
}

bool HasNonAscii(const std::string& name) {
  for (char c : name)
    if (uint8_t(c) >= 0x80) return true;
  return false;
}

bool TooLongUnder(const std::string& name, size_t folder_length) {
  if (folder_length + name.size() > MaxWindowsPath) return true;
  size_t folder_end = name.size();
  while (folder_end > 0 && !IsSeparator(name[folder_end - 1])) folder_end--;
  // CreateDirectoryA keeps room for an 8.3 name below the folder it makes.
  return folder_end > 1 && folder_length + folder_end - 1 > MaxWindowsFolderPath;
}

std::string FoldUtf8Case(const std::string& utf8) {
  std::string out, stored;
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp = 0;
    const size_t len = DecodeUtf8(utf8, i, cp);
    const std::string one = utf8.substr(i, len ? len : 1);
    i += one.size();
    if (len && Utf8ToWindows1252(one, stored, nullptr))
      out += Windows1252ToUtf8(std::string(1, char(FoldCase(uint8_t(stored[0])))));
    else
      out += one;
  }
  return out;
}

std::vector<std::pair<size_t, size_t>> SameNameOnWindows(const std::vector<std::string>& names) {
  std::vector<std::pair<std::string, size_t>> folded;
  for (size_t i = 0; i < names.size(); i++) folded.emplace_back(FoldNameCase(names[i]), i);
  std::sort(folded.begin(), folded.end());
  std::vector<std::pair<size_t, size_t>> same;
  for (size_t i = 1; i < folded.size(); i++) {
    if (folded[i].first == folded[i - 1].first) same.emplace_back(folded[i - 1].second, folded[i].second);
  }
  return same;
}
