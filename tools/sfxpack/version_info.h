// A program's version information (the RT_VERSION resource): built from
// the publisher's values, and read back for list. Windows shows it in a
// file's properties.
#pragma once

#include <stdint.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "pe_image.h"

using VersionNumber = std::array<uint16_t, 4>;

struct VersionInfo {
  VersionNumber file_version = {};
  VersionNumber product_version = {};
  // Key and value, UTF-8, in the order they were given.
  std::vector<std::pair<std::string, std::string>> strings;

  // The value of key, or nullptr.
  const std::string* Find(const std::string& key) const;
};

// The one language and code page written: US English, UTF-16.
constexpr uint16_t VersionLanguage = 0x0409;
constexpr uint16_t VersionCodePage = 1200;

// One to four numbers from 0 to 65535 between dots; the missing ones are 0.
PeProblem ParseVersionNumber(const std::string& text, VersionNumber* out);
// "A.B.C.D".
std::string VersionNumberText(const VersionNumber& v);

// "KEY=VALUE": the key is not empty and the value is valid UTF-8.
PeProblem ParseVersionString(const std::string& key_value, std::pair<std::string, std::string>* out);

// What the version options ask for: the strings as given (each key once),
// then FileVersion and ProductVersion from the numbers given (or the
// numbers from those strings, when they spell one), and OriginalFilename
// from the output's name, unless given.
struct VersionRequest {
  std::vector<std::string> strings;  // "KEY=VALUE"
  std::string file_version, product_version;
  std::string output_name;
};
PeProblem VersionInfoFor(const VersionRequest& request, VersionInfo* out);

// The resource's bytes: VS_VERSIONINFO with VS_FIXEDFILEINFO, one string
// table for VersionLanguage and VersionCodePage, and the translation that
// names it. A problem when a length does not fit its 16-bit field.
PeProblem BuildVersionInfo(const VersionInfo& info, std::vector<uint8_t>* out);

// Reads a resource's bytes back: the fixed numbers and the strings of
// every string table, checked against every length field.
PeProblem ReadVersionInfo(const std::vector<uint8_t>& data, VersionInfo* out);
