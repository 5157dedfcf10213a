// sfxidentity FILE: what Windows' own calls read from a program's
// resources, its version information, icons and manifest, one "key: value"
// line each on standard output in UTF-8, between the lines "begin: FILE" and
// "end: FILE", so that a test can compare it with what was compiled in.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

HANDLE g_out = INVALID_HANDLE_VALUE;

std::string Utf8(const wchar_t* s, size_t n) {
  if (n == 0) return "";
  const int len = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string out(len > 0 ? len : 0, '\0');
  if (len > 0) WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(n), &out[0], len, nullptr, nullptr);
  return out;
}

std::string Utf8(const wchar_t* s) { return Utf8(s, wcslen(s)); }

void Line(const std::string& key, const std::string& value) {
  const std::string text = key + ": " + value + "\n";
  DWORD written = 0;
  WriteFile(g_out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Hex(const BYTE* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string Hex32(DWORD v) {
  char text[16];
  wsprintfA(text, "%08lx", v);
  return text;
}

// "major.minor.build.revision" from the two halves of a fixed version.
std::string Quad(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) +
         "." + std::to_string(LOWORD(low));
}

// The string values a version block commonly holds.
const wchar_t* const StringNames[] = {
    L"Comments",         L"CompanyName",  L"FileDescription", L"FileVersion",  L"InternalName",
    L"LegalCopyright",   L"LegalTrademarks", L"OriginalFilename", L"PrivateBuild", L"ProductName",
    L"ProductVersion",   L"SpecialBuild",
};

void VersionInfo(const wchar_t* file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
  if (size == 0) {
    Line("version", "none");
    return;
  }
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(file, 0, size, data.data())) {
    Line("version", "unreadable, error " + std::to_string(GetLastError()));
    return;
  }
  Line("version", "present");
  void* p = nullptr;
  UINT len = 0;
  if (VerQueryValueW(data.data(), L"\\", &p, &len) && len >= sizeof(VS_FIXEDFILEINFO)) {
    const VS_FIXEDFILEINFO* f = static_cast<const VS_FIXEDFILEINFO*>(p);
    Line("fixed.signature", Hex32(f->dwSignature));
    Line("fixed.file_version", Quad(f->dwFileVersionMS, f->dwFileVersionLS));
    Line("fixed.product_version", Quad(f->dwProductVersionMS, f->dwProductVersionLS));
    Line("fixed.file_flags_mask", Hex32(f->dwFileFlagsMask));
    Line("fixed.file_flags", Hex32(f->dwFileFlags));
    Line("fixed.file_os", Hex32(f->dwFileOS));
    Line("fixed.file_type", Hex32(f->dwFileType));
  }
  if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &p, &len)) {
    const WORD* pairs = static_cast<const WORD*>(p);
    std::string list;
    for (UINT i = 0; i + 1 < len / 2; i += 2) {
      char one[16];
      wsprintfA(one, "%04x%04x", pairs[i], pairs[i + 1]);
      list += (list.empty() ? "" : " ") + std::string(one);
    }
    Line("translation", list);
  }
  for (const wchar_t* name : StringNames) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(data.data(), path.c_str(), &p, &len)) continue;
    // len counts characters; the value may or may not include its zero.
    const wchar_t* value = static_cast<const wchar_t*>(p);
    size_t n = 0;
    while (n < len && value[n]) ++n;
    Line("string." + Utf8(name), Utf8(value, n));
  }
}

std::string IconSize(HICON icon) {
  ICONINFO info = {};
  if (!GetIconInfo(icon, &info)) return "unreadable";
  BITMAP bm = {};
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
  const LONG height = info.hbmColor ? bm.bmHeight : bm.bmHeight / 2;
  if (info.hbmColor) DeleteObject(info.hbmColor);
  if (info.hbmMask) DeleteObject(info.hbmMask);
  return std::to_string(bm.bmWidth) + "x" + std::to_string(height);
}

void Icons(const wchar_t* file) {
  const UINT groups = ExtractIconExW(file, -1, nullptr, nullptr, 0);
  Line("icon.groups", std::to_string(groups));
  if (groups == 0) return;
  HICON large = nullptr, small = nullptr;
  const UINT got = ExtractIconExW(file, 0, &large, &small, 1);
  Line("icon.extracted", std::to_string(got));
  if (large) {
    Line("icon.large", IconSize(large));
    DestroyIcon(large);
  }
  if (small) {
    Line("icon.small", IconSize(small));
    DestroyIcon(small);
  }
}

BOOL CALLBACK FirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
  std::wstring& out = *reinterpret_cast<std::wstring*>(found);
  out = IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : std::wstring(name);
  return FALSE;
}

// The bytes of a resource, or false when the module has none of that name.
bool ResourceBytes(HMODULE h, LPCWSTR name, LPCWSTR type, const BYTE** data, DWORD* size) {
  HRSRC found = FindResourceW(h, name, type);
  if (!found) return false;
  HGLOBAL loaded = LoadResource(h, found);
  *size = SizeofResource(h, found);
  *data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  return *data != nullptr;
}

// The first icon group as its directory lists it: width x height x bits of
// each image (a width or height of 0 means 256).
void FirstIconGroup(HMODULE h) {
  std::wstring name;
  EnumResourceNamesW(h, MAKEINTRESOURCEW(14), FirstName, reinterpret_cast<LONG_PTR>(&name));
  if (name.empty()) return;
  LPCWSTR id = name[0] == L'#' ? MAKEINTRESOURCEW(_wtoi(name.c_str() + 1)) : name.c_str();
  const BYTE* data = nullptr;
  DWORD size = 0;
  if (!ResourceBytes(h, id, MAKEINTRESOURCEW(14), &data, &size) || size < 6) return;
  Line("icon.first_group", Utf8(name.c_str()));
  const unsigned count = data[4] | data[5] << 8;
  std::string images;
  for (unsigned i = 0; i < count && 6 + (i + 1) * 14 <= size; ++i) {
    const BYTE* e = data + 6 + i * 14;
    const unsigned width = e[0] ? e[0] : 256, height = e[1] ? e[1] : 256, bits = e[6] | e[7] << 8;
    images += (images.empty() ? "" : " ") + std::to_string(width) + "x" + std::to_string(height) + "x" +
              std::to_string(bits);
  }
  Line("icon.first_group_images", images);
}

void Manifest(HMODULE h) {
  const BYTE* data = nullptr;
  DWORD size = 0;
  if (!ResourceBytes(h, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24), &data, &size)) {
    Line("manifest", "none");
    return;
  }
  Line("manifest.size", std::to_string(size));
  Line("manifest.hex", Hex(data, size));
}

}  // namespace

int main() {
  g_out = GetStdHandle(STD_OUTPUT_HANDLE);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc != 2) {
    Line("usage", "sfxidentity FILE");
    return 2;
  }
  const wchar_t* file = argv[1];
  Line("begin", Utf8(file));
  VersionInfo(file);
  Icons(file);
  HMODULE h = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (h) {
    FirstIconGroup(h);
    Manifest(h);
    FreeLibrary(h);
  } else {
    Line("load", "error " + std::to_string(GetLastError()));
  }
  Line("end", Utf8(file));
  return 0;
}
