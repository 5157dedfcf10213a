#include "version_info.h"

#include <stddef.h>

#include "winnames.h"

namespace {

constexpr uint32_t FixedSignature = 0xFEEF04BDu;
constexpr uint32_t FixedStructVersion = 0x00010000u;
constexpr size_t FixedInfoSize = 52;
constexpr uint32_t FileFlagsMask = 0x3F;
constexpr uint32_t OsWindowsNt32 = 0x00040004u;
constexpr uint32_t FileTypeApp = 1;
constexpr uint16_t TypeBinary = 0;
constexpr uint16_t TypeText = 1;
// Every length field of the resource is 16 bits wide.
constexpr size_t MaxBlock = 0xFFFF;

const char16_t KeyRoot[] = u"VS_VERSION_INFO";
const char16_t KeyStrings[] = u"StringFileInfo";
const char16_t KeyVariables[] = u"VarFileInfo";
const char16_t KeyTranslation[] = u"Translation";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Windows looks keys up without regard to the case of ASCII letters.
bool SameKey(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// UTF-8 to UTF-16; false when the text is not valid UTF-8.
bool ToUtf16(const std::string& utf8, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    const size_t n = DecodeUtf8(utf8, i, cp);
    if (n == 0) return false;
    i += n;
    if (cp < 0x10000) {
      out->push_back(char16_t(cp));
    } else {
      cp -= 0x10000;
      out->push_back(char16_t(0xD800 + (cp >> 10)));
      out->push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    }
  }
  return true;
}

// UTF-16 to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, uint16_t(v));
  Put16(out, uint16_t(v >> 16));
}

void PutText(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t c : text) Put16(out, uint16_t(c));
  Put16(out, 0);
}

// Zero bytes up to the next 32-bit boundary of the resource.
void Pad(std::vector<uint8_t>& out) {
  while (out.size() % 4) out.push_back(0);
}

// Begins a block: wLength (set by Close), wValueLength, wType, the key and
// the padding that aligns the value or the first child. Returns where the
// block begins.
size_t Open(std::vector<uint8_t>& out, const std::u16string& key, uint16_t value_length,
            uint16_t type) {
  Pad(out);
  const size_t at = out.size();
  Put16(out, 0);
  Put16(out, value_length);
  Put16(out, type);
  PutText(out, key);
  Pad(out);
  return at;
}

// Sets the block's wLength: everything from its start, the padding after
// its last part left out. False when that does not fit in 16 bits.
bool Close(std::vector<uint8_t>& out, size_t at) {
  const size_t length = out.size() - at;
  if (length > MaxBlock) return false;
  out[at] = uint8_t(length);
  out[at + 1] = uint8_t(length >> 8);
  return true;
}

uint32_t High(const VersionNumber& v) { return uint32_t(v[0]) << 16 | v[1]; }
uint32_t Low(const VersionNumber& v) { return uint32_t(v[2]) << 16 | v[3]; }

std::u16string HexCodes(uint16_t language, uint16_t code_page) {
  static const char digits[] = "0123456789ABCDEF";
  const uint32_t both = uint32_t(language) << 16 | code_page;
  std::u16string text;
  for (int shift = 28; shift >= 0; shift -= 4) text.push_back(char16_t(digits[(both >> shift) & 15]));
  return text;
}

// One block as read: its extent, header fields and key.
struct Block {
  size_t at = 0, end = 0;
  uint16_t value_length = 0, type = 0;
  std::u16string key;
  size_t value_at = 0;
};

uint16_t Get16At(const std::vector<uint8_t>& d, size_t at) { return uint16_t(d[at] | d[at + 1] << 8); }
uint32_t Get32At(const std::vector<uint8_t>& d, size_t at) {
  return Get16At(d, at) | uint32_t(Get16At(d, at + 2)) << 16;
}

size_t Aligned(size_t at) { return (at + 3) & ~size_t(3); }

// Reads the block at at, which must end by limit.
PeProblem ReadBlock(const std::vector<uint8_t>& d, size_t at, size_t limit, Block* b) {
  if (at + 6 > limit) return "a block at offset " + std::to_string(at) + " is cut short";
  b->at = at;
  const size_t length = Get16At(d, at);
  if (length < 6 || length > limit - at)
    return "the block at offset " + std::to_string(at) + " claims " + std::to_string(length) +
           " bytes, which its parent does not hold";
  b->end = at + length;
  b->value_length = Get16At(d, at + 2);
  b->type = Get16At(d, at + 4);
  b->key.clear();
  size_t i = at + 6;
  for (;; i += 2) {
    if (i + 2 > b->end) return "the key of the block at offset " + std::to_string(at) + " has no end";
    const char16_t c = char16_t(Get16At(d, i));
    if (c == 0) break;
    b->key.push_back(c);
  }
  b->value_at = Aligned(i + 2);
  return std::nullopt;
}

// The text at the block's value: up to its zero or its end.
std::u16string TextValue(const std::vector<uint8_t>& d, const Block& b) {
  std::u16string text;
  for (size_t i = b.value_at; i + 2 <= b.end; i += 2) {
    const char16_t c = char16_t(Get16At(d, i));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

// The children of a block begin after its value, aligned.
size_t ChildrenAt(const Block& b, size_t value_bytes) { return Aligned(b.value_at + value_bytes); }

PeProblem ReadStringTable(const std::vector<uint8_t>& d, const Block& table, VersionInfo* out) {
  for (size_t at = ChildrenAt(table, 0); at < table.end; at = Aligned(at)) {
    Block s;
    if (PeProblem p = ReadBlock(d, at, table.end, &s)) return p;
    out->strings.emplace_back(ToUtf8(s.key), ToUtf8(TextValue(d, s)));
    at = s.end;
  }
  return std::nullopt;
}

}  // namespace

const std::string* VersionInfo::Find(const std::string& key) const {
  for (const auto& s : strings)
    if (SameKey(s.first, key)) return &s.second;
  return nullptr;
}

PeProblem ParseVersionNumber(const std::string& text, VersionNumber* out) {
  *out = {};
  if (text.empty()) return std::string("it is empty");
  size_t part = 0;
  for (size_t at = 0; at <= text.size(); part++) {
    size_t dot = text.find('.', at);
    if (dot == std::string::npos) dot = text.size();
    if (part == 4) return std::string("it has more than four numbers");
    const std::string number = text.substr(at, dot - at);
    if (number.empty()) return std::string("it has an empty number");
    if (number.find_first_not_of("0123456789") != std::string::npos)
      return "'" + number + "' is not a number";
    uint32_t value = 0;
    for (char c : number) {
      value = value * 10 + uint32_t(c - '0');
      if (value > 0xFFFF) return number + " is larger than 65535";
    }
    (*out)[part] = uint16_t(value);
    at = dot + 1;
  }
  return std::nullopt;
}

std::string VersionNumberText(const VersionNumber& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

PeProblem ParseVersionString(const std::string& key_value, std::pair<std::string, std::string>* out) {
  const size_t eq = key_value.find('=');
  if (eq == std::string::npos) return std::string("it has no '=' between the key and the value");
  if (eq == 0) return std::string("its key is empty");
  out->first = key_value.substr(0, eq);
  out->second = key_value.substr(eq + 1);
  std::u16string ignored;
  if (!ToUtf16(out->first, &ignored)) return std::string("its key is not valid UTF-8");
  if (!ToUtf16(out->second, &ignored)) return std::string("its value is not valid UTF-8");
  return std::nullopt;
}

PeProblem VersionInfoFor(const VersionRequest& r, VersionInfo* out) {
  *out = VersionInfo();
  for (const std::string& given : r.strings) {
    std::pair<std::string, std::string> s;
    if (PeProblem p = ParseVersionString(given, &s)) return "--version-info '" + given + "': " + *p;
    if (out->Find(s.first)) return "--version-info names the key '" + s.first + "' twice";
    out->strings.push_back(s);
  }
  // A number given sets its string unless that is given too; a string
  // given alone sets the number when it spells one.
  struct Pair {
    const char* option;
    const char* key;
    const std::string& text;
    VersionNumber& number;
  } pairs[] = {{"--file-version", "FileVersion", r.file_version, out->file_version},
               {"--product-version", "ProductVersion", r.product_version, out->product_version}};
  for (Pair& p : pairs) {
    if (!p.text.empty()) {
      if (PeProblem problem = ParseVersionNumber(p.text, &p.number))
        return std::string(p.option) + " '" + p.text + "': " + *problem;
      if (!out->Find(p.key)) out->strings.emplace_back(p.key, VersionNumberText(p.number));
    } else if (const std::string* s = out->Find(p.key)) {
      VersionNumber from_text;
      if (!ParseVersionNumber(*s, &from_text)) p.number = from_text;
    }
  }
  if (!out->Find("OriginalFilename")) out->strings.emplace_back("OriginalFilename", r.output_name);
  return std::nullopt;
}

PeProblem BuildVersionInfo(const VersionInfo& info, std::vector<uint8_t>* result) {
  std::vector<uint8_t> out;
  const size_t root = Open(out, KeyRoot, uint16_t(FixedInfoSize), TypeBinary);
  Put32(out, FixedSignature);
  Put32(out, FixedStructVersion);
  Put32(out, High(info.file_version));
  Put32(out, Low(info.file_version));
  Put32(out, High(info.product_version));
  Put32(out, Low(info.product_version));
  Put32(out, FileFlagsMask);
  Put32(out, 0);  // flags: none
  Put32(out, OsWindowsNt32);
  Put32(out, FileTypeApp);
  Put32(out, 0);  // subtype
  Put32(out, 0);  // date, high and low: none
  Put32(out, 0);

  const size_t strings = Open(out, KeyStrings, 0, TypeText);
  const size_t table = Open(out, HexCodes(VersionLanguage, VersionCodePage), 0, TypeText);
  for (const auto& s : info.strings) {
    std::u16string key, value;
    if (!ToUtf16(s.first, &key) || !ToUtf16(s.second, &value))
      return "the version string '" + s.first + "' is not valid UTF-8";
    if (key.size() + value.size() > MaxBlock)
      return "the value of '" + s.first + "' is too long for version information";
    // wValueLength counts UTF-16 units, the final zero included.
    const size_t at = Open(out, key, uint16_t(value.size() + 1), TypeText);
    PutText(out, value);
    if (!Close(out, at))
      return "the value of '" + s.first + "' takes " + std::to_string(2 * value.size()) +
             " bytes in UTF-16: with its key it must fit in 65535";
  }
  bool fits = Close(out, table) && Close(out, strings);

  const size_t variables = Open(out, KeyVariables, 0, TypeText);
  const size_t translation = Open(out, KeyTranslation, 4, TypeBinary);
  Put16(out, VersionLanguage);
  Put16(out, VersionCodePage);
  fits = fits && Close(out, translation) && Close(out, variables) && Close(out, root);
  if (!fits)
    return "the version information takes " + std::to_string(out.size()) +
           " bytes; its 16-bit length fields hold at most 65535";
  *result = std::move(out);
  return std::nullopt;
}

PeProblem ReadVersionInfo(const std::vector<uint8_t>& d, VersionInfo* out) {
  *out = VersionInfo();
  Block root;
  if (PeProblem p = ReadBlock(d, 0, d.size(), &root)) return p;
  if (root.key != KeyRoot) return std::string("it does not begin with VS_VERSION_INFO");
  size_t value_bytes = 0;
  if (root.value_length != 0) {
    if (root.value_length < FixedInfoSize || root.value_at + FixedInfoSize > root.end)
      return std::string("its fixed part is cut short");
    if (Get32At(d, root.value_at) != FixedSignature)
      return std::string("its fixed part has the wrong signature");
    const auto number = [&](size_t at) {
      const uint32_t high = Get32At(d, root.value_at + at), low = Get32At(d, root.value_at + at + 4);
      return VersionNumber{uint16_t(high >> 16), uint16_t(high), uint16_t(low >> 16), uint16_t(low)};
    };
    out->file_version = number(8);
    out->product_version = number(16);
    value_bytes = root.value_length;
  }
  for (size_t at = ChildrenAt(root, value_bytes); at < root.end; at = Aligned(at)) {
    Block child;
    if (PeProblem p = ReadBlock(d, at, root.end, &child)) return p;
    if (child.key == KeyStrings) {
      for (size_t t = ChildrenAt(child, 0); t < child.end; t = Aligned(t)) {
        Block table;
        if (PeProblem p = ReadBlock(d, t, child.end, &table)) return p;
        if (PeProblem p = ReadStringTable(d, table, out)) return p;
        t = table.end;
      }
    }
    at = child.end;
  }
  return std::nullopt;
}
