// Unit tests of manifests (written and read back with the XML parser) and of
// the warnings about how Windows starts an installer and its wizard.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "elevation.h"
#include "manifest.h"
#include "pe_resources.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

constexpr ExecutionLevel AllLevels[] = {ExecutionLevel::AsInvoker, ExecutionLevel::HighestAvailable,
                                        ExecutionLevel::RequireAdministrator};

TEST(Manifest, EachLevelReadsBackFromItsManifest) {
  for (ExecutionLevel level : AllLevels) {
    const std::vector<uint8_t> m = ManifestFor(level);
    ExecutionLevel read = level == ExecutionLevel::AsInvoker ? ExecutionLevel::RequireAdministrator
                                                             : ExecutionLevel::AsInvoker;
    EXPECT_EQ(ReadExecutionLevel(m, &read), std::nullopt) << ExecutionLevelName(level);
    EXPECT_EQ(read, level);
    EXPECT_EQ(ExecutionLevelNamed(ExecutionLevelName(level)), level);
    // Only the trust block: nothing that changes how windows are drawn or
    // which Windows versions the program claims.
    const std::string text(m.begin(), m.end());
    EXPECT_NE(text.find("uiAccess=\"false\""), std::string::npos);
    for (const char* absent : {"dpiAware", "dependency", "compatibility", "supportedOS"})
      EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  }
  for (const char* name : {"", "asinvoker", "RequireAdministrator", "requireAdministrator "})
    EXPECT_EQ(ExecutionLevelNamed(name), std::nullopt) << name;
}

// A manifest whose trust block is body, inside an asm.v1 assembly.
std::string In(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">" +
         body + "</assembly>";
}

std::string Trust(const std::string& ns, const std::string& level_element) {
  return "<trustInfo xmlns=\"" + ns + "\"><security><requestedPrivileges>" + level_element +
         "</requestedPrivileges></security></trustInfo>";
}

const std::string V2 = "urn:schemas-microsoft-com:asm.v2";
const std::string V3 = "urn:schemas-microsoft-com:asm.v3";

TEST(Manifest, AcceptedSpellings) {
  struct Case {
    const char* what;
    std::string text;
    ExecutionLevel level;
  } cases[] = {
      {"asm.v3 default namespace", In(Trust(V3, "<requestedExecutionLevel level=\"highestAvailable\"/>")),
       ExecutionLevel::HighestAvailable},
      {"asm.v2 default namespace",
       In(Trust(V2, "<requestedExecutionLevel level='requireAdministrator' uiAccess='false'>"
                    "</requestedExecutionLevel>")),
       ExecutionLevel::RequireAdministrator},
      {"prefixed asm.v2",
       In("<v2:trustInfo xmlns:v2=\"" + V2 + "\"><v2:security><v2:requestedPrivileges>"
              "<v2:requestedExecutionLevel level=\"asInvoker\"/></v2:requestedPrivileges></v2:security>"
              "</v2:trustInfo>"),
       ExecutionLevel::AsInvoker},
      {"prefix declared on the assembly",
       "<a:assembly xmlns:a=\"urn:schemas-microsoft-com:asm.v1\" xmlns:t=\"" + V3 +
           "\"><t:trustInfo><t:security><t:requestedPrivileges><t:requestedExecutionLevel "
           "level=\"requireAdministrator\"/></t:requestedPrivileges></t:security></t:trustInfo></a:assembly>",
       ExecutionLevel::RequireAdministrator},
      {"comments, other sections and a byte order mark",
       "\xEF\xBB\xBF" + In("<!-- x --><description>d</description>" +
                           Trust(V3, "<!-- <requestedExecutionLevel level=\"bogus\"/> -->"
                                     "<requestedExecutionLevel level=\"highestAvailable\"/>")),
       ExecutionLevel::HighestAvailable},
  };
  for (const Case& c : cases) {
    ExecutionLevel read = c.level == ExecutionLevel::AsInvoker ? ExecutionLevel::HighestAvailable
                                                               : ExecutionLevel::AsInvoker;
    EXPECT_EQ(ReadExecutionLevel(Bytes(c.text), &read), std::nullopt) << c.what;
    EXPECT_EQ(read, c.level) << c.what;
  }
}

TEST(Manifest, RefusedManifestsSayWhy) {
  const std::string good = "<requestedExecutionLevel level=\"asInvoker\"/>";
  struct Case {
    const char* what;
    std::string text;
    const char* says;
  } cases[] = {
      {"not XML", "level=requireAdministrator", "not well-formed XML"},
      {"unclosed tag", In(Trust(V3, "<requestedExecutionLevel level=\"asInvoker\">")), "not well-formed XML"},
      {"no level element", In(Trust(V3, "")), "no requestedExecutionLevel"},
      {"no level attribute", In(Trust(V3, "<requestedExecutionLevel uiAccess=\"false\"/>")), "has no level"},
      {"unknown level", In(Trust(V3, "<requestedExecutionLevel level=\"administrator\"/>")),
       "unknown level \"administrator\""},
      {"level in another case", In(Trust(V3, "<requestedExecutionLevel level=\"AsInvoker\"/>")),
       "unknown level"},
      {"twice", In(Trust(V3, good + good)), "more than one"},
      {"level on the wrong element",
       In("<trustInfo xmlns=\"" + V3 +
          "\"><security><requestedPrivileges level=\"asInvoker\"/></security></trustInfo>"),
       "no requestedExecutionLevel"},
      {"element outside requestedPrivileges", In("<trustInfo xmlns=\"" + V3 + "\"><security>" + good +
                                                 "</security></trustInfo>"),
       "no requestedExecutionLevel"},
      {"trust block in the asm.v1 namespace", In(Trust("urn:schemas-microsoft-com:asm.v1", good)),
       "no requestedExecutionLevel"},
      {"no namespace at all",
       "<assembly><trustInfo><security><requestedPrivileges>" + good +
           "</requestedPrivileges></security></trustInfo></assembly>",
       "outermost element"},
      {"another root", "<trust xmlns=\"urn:schemas-microsoft-com:asm.v1\">" + Trust(V3, good) + "</trust>",
       "outermost element"},
      {"document type", "<!DOCTYPE assembly [<!ENTITY l \"asInvoker\">]>" +
                            In(Trust(V3, "<requestedExecutionLevel level=\"&l;\"/>")),
       "document type"},
  };
  for (const Case& c : cases) {
    ExecutionLevel read = ExecutionLevel::HighestAvailable;
    const PeProblem problem = ReadExecutionLevel(Bytes(c.text), &read);
    ASSERT_TRUE(problem.has_value()) << c.what;
    EXPECT_NE(problem->find(c.says), std::string::npos) << c.what << ": " << *problem;
    EXPECT_EQ(read, ExecutionLevel::HighestAvailable) << c.what;
  }
}

// ------------------------------------------------------------ warnings --

// A wizard of two sections: the import directory (one descriptor per DLL
// name, then the zero one, then the names) and the resources, which hold
// manifest as RT_MANIFEST 1 when it is not empty.
std::vector<uint8_t> WizardImage(int bits, const std::vector<std::string>& imports,
                                 const std::string& manifest) {
  std::vector<uint8_t> idata((imports.size() + 1) * 20, 0);
  for (size_t i = 0; i < imports.size(); ++i) {
    PutLe(idata, i * 20 + 12, 0x1000 + uint32_t(idata.size()));
    idata.insert(idata.end(), imports[i].begin(), imports[i].end());
    idata.push_back(0);
  }
  std::vector<uint8_t> image =
      ImageOfSections({{".idata", idata}, {".rsrc", std::vector<uint8_t>(16, 0)}}, bits == 64);
  if (!manifest.empty()) {
    EXPECT_EQ(ReplaceResources(&image, {ResourceOf({ResourceManifest, u""}, {1, u""}, 0x409, Bytes(manifest))}),
              std::nullopt);
  }
  return image;
}

std::string LevelManifest(const char* level) {
  return In(Trust(V3, std::string("<requestedExecutionLevel level=\"") + level + "\" uiAccess=\"false\"/>"));
}

TEST(Warnings, FromTheInstallersNameLevelAndTheWizard) {
  using L = ExecutionLevel;
  const std::optional<L> none;
  const std::string admin = LevelManifest("requireAdministrator"), highest = LevelManifest("highestAvailable"),
                    invoker = LevelManifest("asInvoker");
  struct Case {
    const char* what;
    std::string installer;
    std::vector<std::string> version_strings;
    std::optional<L> level;
    std::string wizard_name;
    std::vector<uint8_t> wizard;
    std::vector<std::string> payload;
    // Each warning, by the pieces it must hold.
    std::vector<std::vector<std::string>> expected;
  } cases[] = {
      {"plain name, no wizard", "tool.exe", {"Example Tools", "1.0"}, none, "", {}, {}, {}},
      {"detected by name", "out/MySetup.exe", {}, none, "", {}, {},
       {{"administrator rights before 'MySetup.exe' starts", "its name holds \"setup\"", "--execution-level"}}},
      {"detected by version string", "tool.exe", {"Example", "Product Installer"}, none, "", {}, {},
       {{"'tool.exe'", "its version information holds \"install\""}}},
      {"a level turns detection off", "setup-update.exe", {"Patch"}, L::AsInvoker, "", {}, {}, {}},
      {"a wizard that is no PE file", "UPDATE.EXE", {}, none, "WIZARD.EXE", Bytes("MZ but nothing more"),
       {"WIZARD.EXE"}, {{"\"update\""}}},
      {"wizard requires administrator, installer asInvoker", "tool.exe", {}, L::AsInvoker, "WIZARD.EXE",
       WizardImage(32, {"KERNEL32.dll", "USER32.dll"}, admin), {"WIZARD.EXE"},
       {{"refuse to start the wizard 'WIZARD.EXE' from 'tool.exe' (error 740",
         "asks for requireAdministrator", "--execution-level requireAdministrator"}}},
      {"64-bit wizard asks for the highest, installer without manifest", "tool.exe", {}, none, "bin\\W.EXE",
       WizardImage(64, {"kernel32.dll"}, highest), {"bin\\W.EXE"},
       {{"when an administrator runs it (error 740", "--execution-level highestAvailable"}}},
      {"wizard requires administrator, installer highestAvailable", "tool.exe", {}, L::HighestAvailable,
       "WIZARD.EXE", WizardImage(32, {}, admin), {"WIZARD.EXE"},
       {{"without administrator rights runs it", "--execution-level requireAdministrator"}}},
      {"both elevated, every DLL carried beside the wizard", "tool.exe", {}, L::RequireAdministrator,
       "Kit\\WIZARD.EXE", WizardImage(32, {"KERNEL32.dll", "version.dll", "Helper.DLL"}, admin),
       {"Kit\\WIZARD.EXE", "kit\\VERSION.DLL", "KIT/helper.dll"}, {}},
      {"32-bit wizard detected by its name", "tool.exe", {}, L::AsInvoker, "SETUP.EXE",
       WizardImage(32, {"KERNEL32.dll", "UxTheme.dll"}, ""), {"SETUP.EXE"},
       {{"(error 740", "32-bit program without an execution level", "\"setup\"",
         "--execution-level requireAdministrator"},
        {"'SETUP.EXE' runs with administrator rights and imports 'UxTheme.dll',", "looks for it first",
         "temporary folder"}}},
      {"64-bit wizard is never detected", "tool.exe", {}, L::AsInvoker, "SETUP.EXE",
       WizardImage(64, {"UxTheme.dll"}, ""), {"SETUP.EXE"}, {}},
      {"a manifest without a level leaves detection on", "tool.exe", {}, L::AsInvoker, "INSTALL.EXE",
       WizardImage(32, {}, In("<dependency/>")), {"INSTALL.EXE"}, {{"(error 740", "\"install\""}}},
      {"elevated installer, DLLs neither known nor beside the wizard", "tool.exe", {}, L::RequireAdministrator,
       "bin\\WIZARD.EXE",
       WizardImage(32,
                   {"version.dll", "User32.DLL", "uxtheme.dll", "api-ms-win-core-synch-l1-2-0.dll",
                    "dwmapi.dll", "VERSION.dll", "winmm.dll"},
                   invoker),
       {"bin\\WIZARD.EXE", "version.dll", "bin\\winmm.dll.txt"},
       {{"imports 'version.dll', 'uxtheme.dll', 'dwmapi.dll' and 1 more,", "looks for them first"}}},
      {"installer detected, wizard inherits its rights", "setup.exe", {}, none, "WIZARD.EXE",
       WizardImage(64, {"libgcc_s_seh-1.dll"}, ""), {"WIZARD.EXE"},
       {{"\"setup\""}, {"imports 'libgcc_s_seh-1.dll',"}}},
      {"nothing elevated, DLLs not looked at", "tool.exe", {}, L::AsInvoker, "WIZARD.EXE",
       WizardImage(32, {"version.dll"}, invoker), {"WIZARD.EXE"}, {}},
      {"a wizard manifest Windows refuses", "tool.exe", {}, L::AsInvoker, "WIZARD.EXE",
       WizardImage(32, {}, "<assembly"), {"WIZARD.EXE"},
       {{"Windows will not start the wizard 'WIZARD.EXE'", "not well-formed XML"}}},
  };
  for (const Case& c : cases) {
    ElevationFacts facts;
    facts.installer_name = c.installer;
    facts.version_strings = c.version_strings;
    facts.installer_level = c.level;
    facts.wizard_name = c.wizard_name;
    facts.wizard = c.wizard;
    facts.payload_names = c.payload;
    const std::vector<std::string> got = ElevationWarnings(facts);
    ASSERT_EQ(got.size(), c.expected.size()) << c.what << (got.empty() ? "" : ": " + got[0]);
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].find('\n'), std::string::npos) << c.what;
      EXPECT_NE(got[i].rfind("warning", 0), 0u) << c.what;
      for (const std::string& piece : c.expected[i])
        EXPECT_NE(got[i].find(piece), std::string::npos) << c.what << ": no \"" << piece << "\" in " << got[i];
    }
  }
}

// Cut anywhere, or with the import directory pointing anywhere, the wizard
// still gives a verdict: one-line warnings of the known kinds, nothing read
// outside the file (the sanitizers watch).
TEST(Warnings, ADamagedWizardIsReadSafely) {
  const std::vector<uint8_t> whole =
      WizardImage(32, {"version.dll", "kernel32.dll"}, LevelManifest("requireAdministrator"));
  const size_t import_rva_at = 0x40 + 24 + 96 + 8;
  std::vector<std::vector<uint8_t>> damaged;
  for (size_t n = 0; n < whole.size(); n += 7) damaged.emplace_back(whole.begin(), whole.begin() + n);
  for (uint32_t rva : {0x0u, 0x1u, 0xFFFu, 0x1001u, 0x10FFu, 0x11F0u, 0x11FFu, 0x7FFFFFFFu, 0xFFFFFFF0u}) {
    damaged.push_back(whole);
    PutLe(damaged.back(), import_rva_at, rva);
  }
  // A DLL name that runs to the section's end without its zero.
  damaged.push_back(whole);
  PutLe(damaged.back(), 0x200 + 12, 0x1000 + 0x1FF);
  damaged.back()[0x3FF] = 'x';
  auto warnings_for = [](const std::vector<uint8_t>& wizard) {
    ElevationFacts facts;
    facts.installer_name = "tool.exe";
    facts.installer_level = ExecutionLevel::AsInvoker;
    facts.wizard_name = "WIZARD.EXE";
    facts.wizard = wizard;
    return ElevationWarnings(facts);
  };
  const char* kinds[] = {"Windows will refuse to start", "Windows will not start",
                         "the wizard 'WIZARD.EXE' runs"};
  for (const std::vector<uint8_t>& wizard : damaged)
    for (const std::string& w : warnings_for(wizard))
      EXPECT_TRUE(w.find('\n') == std::string::npos &&
                  std::any_of(std::begin(kinds), std::end(kinds),
                              [&](const char* k) { return w.rfind(k, 0) == 0; }))
          << wizard.size() << ": " << w;
  // The whole file gives both: the 740 refusal and the DLL.
  const std::vector<std::string> got = warnings_for(whole);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[1].find("imports 'version.dll',"), std::string::npos) << got[1];
}

}  // namespace
