#include "stub_identity.h"

#include <algorithm>

#include "archive_bytes.h"
#include "console.h"

namespace {

bool OfType(const Resource& r, uint16_t type) { return r.type.name.empty() && r.type.id == type; }

bool IsFirstManifest(const Resource& r) {
  return OfType(r, ResourceManifest) && r.name.name.empty() && r.name.id == 1;
}

// Where the bytes hold the archive marker, if they do.
std::optional<size_t> MarkerIn(const std::vector<uint8_t>& data) {
  MarkerScan scan;
  const int64_t at = scan.Feed(data.data(), data.size(), 0);
  if (at < 0) return std::nullopt;
  return size_t(at);
}

std::string MarkerProblem(const std::string& what, size_t at) {
  return what + " holds the archive marker's six bytes (at its offset " + std::to_string(at) +
         "): the stub would take them for the archive's start";
}

Resource Made(uint16_t type, std::vector<uint8_t> data) {
  Resource r;
  r.type.id = type;
  r.name.id = 1;
  r.language = VersionLanguage;
  r.data = std::move(data);
  return r;
}

}  // namespace

PeProblem CustomiseStub(const std::vector<uint8_t>& stub, const StubIdentity& identity,
                        std::vector<uint8_t>* out) {
  std::vector<Resource> resources;
  if (PeProblem p = ReadResources(stub, &resources)) return "its resources cannot be read: " + *p;
  if (!identity.icon.empty()) {
    for (size_t i = 0; i < identity.icon.size(); i++) {
      if (const auto at = MarkerIn(identity.icon[i].data))
        return MarkerProblem("the icon's image " + std::to_string(i + 1), *at);
    }
    if (PeProblem p = ReplaceFirstIconGroup(&resources, identity.icon)) return p;
  }
  if (identity.version) {
    std::vector<uint8_t> data;
    if (PeProblem p = BuildVersionInfo(*identity.version, &data)) return p;
    if (const auto at = MarkerIn(data)) return MarkerProblem("the version information", *at);
    resources.erase(std::remove_if(resources.begin(), resources.end(),
                                   [](const Resource& r) { return OfType(r, ResourceVersion); }),
                    resources.end());
    resources.push_back(Made(ResourceVersion, std::move(data)));
  }
  if (!identity.manifest.empty()) {
    if (const auto at = MarkerIn(identity.manifest)) return MarkerProblem("the manifest", *at);
    resources.erase(std::remove_if(resources.begin(), resources.end(), IsFirstManifest),
                    resources.end());
    resources.push_back(Made(ResourceManifest, identity.manifest));
  }
  std::vector<uint8_t> image = stub;
  if (PeProblem p = ReplaceResources(&image, resources)) return "its resources cannot be rebuilt: " + *p;
  // The parts could still meet in the marker where they lie side by side.
  const std::string problem = StubProblem(image);
  if (!problem.empty()) return "with the new resources in it, " + problem;
  *out = std::move(image);
  return std::nullopt;
}

StubDescription DescribeStub(const std::vector<uint8_t>& stub) {
  StubDescription d;
  std::vector<Resource> resources;
  if (PeProblem p = ReadResources(stub, &resources)) {
    d.problem = p;
    return d;
  }
  d.icon = DescribeIcon(resources);
  const auto version = std::find_if(resources.begin(), resources.end(),
                                    [](const Resource& r) { return OfType(r, ResourceVersion); });
  if (version != resources.end()) {
    VersionInfo info;
    d.version_problem = ReadVersionInfo(version->data, &info);
    if (!d.version_problem) d.version = info;
  }
  const auto manifest = std::find_if(resources.begin(), resources.end(), IsFirstManifest);
  if (manifest != resources.end()) {
    d.has_manifest = true;
    d.manifest_problem = ReadManifest(manifest->data, &d.level);
  }
  return d;
}

std::vector<std::string> DescriptionLines(const StubDescription& d) {
  if (d.problem) return {"resources: cannot be read: " + *d.problem};
  std::vector<std::string> lines = {"icon: " + d.icon};
  if (d.version_problem) {
    lines.push_back("version: damaged: " + *d.version_problem);
  } else if (!d.version) {
    lines.push_back("version: none");
  } else {
    lines.push_back("version: file " + VersionNumberText(d.version->file_version) + ", product " +
                    VersionNumberText(d.version->product_version));
    for (const auto& s : d.version->strings)
      lines.push_back("  " + Quote(s.first) + ": " + Quote(s.second));
  }
  if (!d.has_manifest)
    lines.push_back("execution level: none (no manifest)");
  else if (d.manifest_problem)
    lines.push_back("execution level: none (the manifest: " + *d.manifest_problem + ")");
  else if (!d.level)
    lines.push_back("execution level: none (its manifest names none)");
  else
    lines.push_back(std::string("execution level: ") + ExecutionLevelName(*d.level));
  return lines;
}
