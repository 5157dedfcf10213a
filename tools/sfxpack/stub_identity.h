// The publisher's identity in the stub's resources: the icon Explorer
// shows, the version information of the file's properties and the manifest
// that tells Windows how to start it. Put in by create, read back by list.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "icon_file.h"
#include "manifest.h"
#include "pe_resources.h"
#include "version_info.h"

struct StubIdentity {
  std::vector<IconImage> icon;         // empty: the stub's own
  std::optional<VersionInfo> version;  // none: the stub's own, if it has any
  std::vector<uint8_t> manifest;       // empty: the stub's own, if it has one

  bool Empty() const { return icon.empty() && !version && manifest.empty(); }
};

// The stub with identity in its resources. A problem when its resources
// cannot be read or rebuilt, or when the new bytes would hold the archive
// marker: the stub would then take its own bytes for the archive's start.
PeProblem CustomiseStub(const std::vector<uint8_t>& stub, const StubIdentity& identity,
                        std::vector<uint8_t>* out);

// What a stub carries: the description of its icon, its version
// information and the level its manifest asks for, each with why it could
// not be read.
struct StubDescription {
  std::optional<std::string> problem;  // the resources themselves cannot be read
  std::string icon;
  std::optional<VersionInfo> version;
  std::optional<std::string> version_problem;
  bool has_manifest = false;
  std::optional<ExecutionLevel> level;
  std::optional<std::string> manifest_problem;
};
StubDescription DescribeStub(const std::vector<uint8_t>& stub);

// The description as list and test print it: "icon: ...", "version: ...",
// "execution level: ..." lines.
std::vector<std::string> DescriptionLines(const StubDescription& d);
