// How Windows will start an installer and its wizard: warnings given at pack
// time, from the rules Windows applies (installer detection, manifests,
// where a program's DLLs are looked for).
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "manifest.h"

struct ElevationFacts {
  std::string installer_name;                   // the output's file name, UTF-8
  std::vector<std::string> version_strings;     // the version information's values, UTF-8
  std::optional<ExecutionLevel> installer_level;  // what its manifest asks for; none: no manifest
  std::string wizard_name;                      // the wizard's stored name (Windows-1252, '\' separators)
  std::vector<uint8_t> wizard;                  // the wizard's bytes; empty when there is none
  std::vector<std::string> payload_names;       // every entry's stored name, the same way
};

// One line per warning, without the "warning: " prefix; none when Windows
// will start both as the publisher expects.
std::vector<std::string> ElevationWarnings(const ElevationFacts& facts);
