#include "elevation.h"

#include <algorithm>

#include "archive_bytes.h"
#include "console.h"
#include "pe_resources.h"
#include "winnames.h"

namespace {

// Windows' installer detection: a 32-bit program whose manifest asks for no
// execution level is started with administrator rights when its file name or
// a version string holds one of these words, in any case.
const char* const InstallerWords[] = {"install", "setup", "update", "patch"};

// The DLLs Windows always loads from its system folder, never from the
// program's: the names listed under the registry key
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs on current
// Windows (the same for the 32-bit programs of 64-bit Windows), and ntdll.dll,
// which every process has before its imports are looked for.
const char* const KnownDlls[] = {
    "advapi32.dll", "clbcatq.dll",  "combase.dll",  "comdlg32.dll", "coml2.dll",   "difxapi.dll",
    "gdi32.dll",    "gdiplus.dll",  "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",
    "msvcrt.dll",   "normaliz.dll", "nsi.dll",      "ole32.dll",    "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shcore.dll",   "shell32.dll",  "shlwapi.dll",
    "user32.dll",   "wldap32.dll",  "ws2_32.dll",   "ntdll.dll",
};

// API set names are resolved by the loader from its schema, never as files.
const char* const ApiSetPrefixes[] = {"api-ms-win-", "ext-ms-win-"};

// An import descriptor: five 32-bit fields, the DLL's name RVA the fourth.
constexpr uint32_t ImportDescriptorSize = 20;
constexpr uint32_t ImportNameField = 12;
// Bounds on what a hostile file can make us read.
constexpr uint32_t MaxImportedDlls = 4096;
constexpr uint32_t MaxDllName = 256;
// DLLs a warning names before "and N more".
constexpr size_t NamedDlls = 3;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::string BaseName(const std::string& path) {
  const size_t at = path.find_last_of("\\/");
  return at == std::string::npos ? path : path.substr(at + 1);
}

// The folder part of a stored name, with its final separator; "" at the top.
std::string FolderOf(const std::string& path) {
  const size_t at = path.find_last_of("\\/");
  return at == std::string::npos ? "" : path.substr(0, at + 1);
}

// The installer-detection word text holds, or nullptr.
const char* InstallerWordIn(const std::string& text) {
  const std::string lower = Lower(text);
  for (const char* word : InstallerWords)
    if (lower.find(word) != std::string::npos) return word;
  return nullptr;
}

bool IsKnownDll(const std::string& name) {
  const std::string lower = Lower(name);
  for (const char* known : KnownDlls)
    if (lower == known) return true;
  for (const char* prefix : ApiSetPrefixes)
    if (lower.compare(0, std::string(prefix).size(), prefix) == 0) return true;
  return false;
}

// The zero-ended string at rva, when the file holds it whole and it is no
// longer than MaxDllName.
std::optional<std::string> StringAt(const std::vector<uint8_t>& image, const PeHeaders& h, uint32_t rva) {
  std::string s;
  for (uint32_t i = 0; i < MaxDllName && rva + i >= rva; ++i) {
    const std::optional<size_t> at = h.OffsetOf(rva + i, 1, image.size());
    if (!at) return std::nullopt;
    if (image[*at] == 0) return s;
    s.push_back(char(image[*at]));
  }
  return std::nullopt;
}

// The names of the DLLs the import directory lists, each once, in order. The
// list ends at the all-zero descriptor, or where the file stops holding it.
std::vector<std::string> ImportedDlls(const std::vector<uint8_t>& image, const PeHeaders& h) {
  std::vector<std::string> names;
  const uint32_t first = h.Directory(DirectoryImport).rva;
  if (first == 0) return names;
  for (uint32_t k = 0; k < MaxImportedDlls; ++k) {
    const uint64_t rva = uint64_t(first) + uint64_t(k) * ImportDescriptorSize;
    if (rva + ImportDescriptorSize > UINT32_MAX) break;
    const std::optional<size_t> at = h.OffsetOf(uint32_t(rva), ImportDescriptorSize, image.size());
    if (!at) break;
    const uint8_t* d = image.data() + *at;
    if (std::all_of(d, d + ImportDescriptorSize, [](uint8_t b) { return b == 0; })) break;
    const std::optional<std::string> name = StringAt(image, h, Get32(d + ImportNameField));
    if (!name || name->empty()) continue;
    const bool seen = std::any_of(names.begin(), names.end(),
                                  [&](const std::string& n) { return Lower(n) == Lower(*name); });
    if (!seen) names.push_back(*name);
  }
  return names;
}

// The level the wizard's own manifest (RT_MANIFEST 1) asks for; a problem
// when that manifest is one Windows refuses.
PeProblem WizardManifestLevel(const std::vector<uint8_t>& image, std::optional<ExecutionLevel>* level) {
  level->reset();
  std::vector<Resource> resources;
  if (ReadResources(image, &resources)) return std::nullopt;
  for (const Resource& r : resources)
    if (r.type == ResourceId{ResourceManifest, {}} && r.name == ResourceId{1, {}})
      return ReadManifest(r.data, level);
  return std::nullopt;
}

// How the installer runs: with administrator rights, with them only for an
// administrator, or with the rights of whoever starts it.
enum class Runs { Elevated, ElevatedForAdministrators, AsStarted };

std::string Shown(const std::string& stored) { return Quote(Windows1252ToUtf8(stored)); }

}  // namespace

std::vector<std::string> ElevationWarnings(const ElevationFacts& facts) {
  std::vector<std::string> warnings;
  const std::string installer = Quote(BaseName(facts.installer_name));

  // The installer: detection applies when it has no manifest.
  const char* installer_word = nullptr;
  std::string installer_word_place;
  if (!facts.installer_level) {
    installer_word = InstallerWordIn(BaseName(facts.installer_name));
    installer_word_place = "its name";
    for (size_t i = 0; !installer_word && i < facts.version_strings.size(); ++i) {
      installer_word = InstallerWordIn(facts.version_strings[i]);
      installer_word_place = "its version information";
    }
  }
  Runs runs = Runs::AsStarted;
  if (facts.installer_level == ExecutionLevel::RequireAdministrator || installer_word)
    runs = Runs::Elevated;
  else if (facts.installer_level == ExecutionLevel::HighestAvailable)
    runs = Runs::ElevatedForAdministrators;
  if (installer_word)
    warnings.push_back("Windows will ask for administrator rights before " + installer + " starts: " +
                       installer_word_place + " holds \"" + installer_word +
                       "\", by which Windows recognises installers; choose how it starts with "
                       "--execution-level asInvoker, highestAvailable or requireAdministrator");

  PeHeaders headers;
  if (facts.wizard.empty() || ReadPeHeaders(facts.wizard, &headers)) return warnings;
  const std::string wizard = Shown(facts.wizard_name);

  // The wizard: what its manifest asks for, or what detection gives it.
  std::optional<ExecutionLevel> wants;
  if (PeProblem problem = WizardManifestLevel(facts.wizard, &wants)) {
    warnings.push_back("Windows will not start the wizard " + wizard + ": its manifest is refused (" +
                       *problem + ")");
    return warnings;
  }
  std::string why_elevated;
  if (wants == ExecutionLevel::RequireAdministrator || wants == ExecutionLevel::HighestAvailable) {
    why_elevated = std::string("its manifest asks for ") + ExecutionLevelName(*wants);
  } else if (!wants && headers.magic == 0x10B) {
    if (const char* word = InstallerWordIn(BaseName(facts.wizard_name))) {
      wants = ExecutionLevel::RequireAdministrator;
      why_elevated = std::string("it is a 32-bit program without an execution level whose name holds \"") +
                     word + "\", by which Windows recognises installers";
    }
  }

  // CreateProcess fails with error 740 when the new program needs rights the
  // installer's process does not have.
  const std::string refused = "Windows will refuse to start the wizard " + wizard + " from " + installer;
  if (wants == ExecutionLevel::RequireAdministrator && runs == Runs::AsStarted)
    warnings.push_back(refused + " (error 740, elevation required): " + why_elevated +
                       ", but the installer runs without administrator rights; give the installer "
                       "--execution-level requireAdministrator");
  else if (wants == ExecutionLevel::RequireAdministrator && runs == Runs::ElevatedForAdministrators)
    warnings.push_back(refused + " when a user without administrator rights runs it (error 740, "
                       "elevation required): " + why_elevated +
                       ", but highestAvailable gives such a user none; give the installer "
                       "--execution-level requireAdministrator");
  else if (wants == ExecutionLevel::HighestAvailable && runs == Runs::AsStarted)
    warnings.push_back(refused + " when an administrator runs it (error 740, elevation required): " +
                       why_elevated + ", but the installer runs without administrator rights; "
                       "give the installer --execution-level highestAvailable");

  // An elevated wizard loads the DLLs it imports from its own folder first.
  const bool elevated = runs != Runs::AsStarted || wants == ExecutionLevel::RequireAdministrator ||
                        wants == ExecutionLevel::HighestAvailable;
  if (!elevated) return warnings;
  const std::string folder = FoldNameCase(FolderOf(facts.wizard_name));
  std::vector<std::string> missing;
  for (const std::string& dll : ImportedDlls(facts.wizard, headers)) {
    if (IsKnownDll(dll)) continue;
    const std::string wanted = folder + FoldNameCase(dll);
    const bool carried = std::any_of(facts.payload_names.begin(), facts.payload_names.end(),
                                     [&](const std::string& n) { return FoldNameCase(n) == wanted; });
    if (!carried) missing.push_back(Windows1252ToUtf8(dll));
  }
  if (!missing.empty())
    warnings.push_back("the wizard " + wizard + " runs with administrator rights and imports " +
                       NameList(missing, NamedDlls) +
                       ", which the installer does not carry: Windows looks for " +
                       (missing.size() == 1 ? "it" : "them") +
                       " first in the wizard's folder under the user's temporary folder, where "
                       "other programs of the user can write");
  return warnings;
}
