// `sfxpack create`: a stub followed by a scrambled archive of files.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "archive_bytes.h"
#include "exclude.h"
#include "plan.h"

struct PackOptions {
  std::string output;
  std::string stub;
  int level = 12;
  std::string wizard;    // entry name, UTF-8, either separator
  std::string from_zip;  // an existing ZIP whose entries are copied
  std::vector<std::string> inputs;
  std::vector<std::string> excludes;  // globs against relative paths and bare names
  unsigned threads = 0;               // 0: one per processor
  // What the installer carries of its publisher; empty: the stub's own.
  std::string icon;                       // an .ico file, or a PNG image
  std::vector<std::string> version_info;  // "KEY=VALUE", UTF-8
  std::string file_version, product_version;
  std::string execution_level;  // a level's name, for a manifest made here
  std::string manifest;         // a whole manifest file
};

// Whether a file looks like a 32-bit Windows program: "MZ", and a PE header
// for the i386 machine with a PE32 optional header. "" when it does.
std::string NotAWindowsProgram(const std::vector<uint8_t>& file);
// Whether the first bytes of a file begin a Windows program of any machine:
// "MZ" and a PE signature where its header points. "" when they do.
std::string NotAnyWindowsProgram(const std::vector<uint8_t>& head);


void RunCreate(const PackOptions& options);
