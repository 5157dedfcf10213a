// Unit tests of manifests (written and read back with the XML parser) and of
// the warnings about how Windows starts an installer and its wizard.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elevation.h"
#include "manifest.h"

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
       In(Trust(V2, "<requestedExecutionLevel level='requireAdministrator' uiAccess='false'></requestedExecutionLevel>")),
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
      {"empty", "", "not well-formed XML"},
      {"not XML", "level=requireAdministrator", "not well-formed XML"},
      {"unclosed tag", In(Trust(V3, "<requestedExecutionLevel level=\"asInvoker\">")), "not well-formed XML"},
      {"text after the root", In(Trust(V3, good)) + "<x/>", "not well-formed XML"},
      {"no level element", In(Trust(V3, "")), "no requestedExecutionLevel"},
      {"no level attribute", In(Trust(V3, "<requestedExecutionLevel uiAccess=\"false\"/>")), "has no level"},
      {"unknown level", In(Trust(V3, "<requestedExecutionLevel level=\"administrator\"/>")),
       "unknown level \"administrator\""},
      {"level in another case", In(Trust(V3, "<requestedExecutionLevel level=\"AsInvoker\"/>")),
       "unknown level"},
      {"twice", In(Trust(V3, good + good)), "more than one"},
      {"level on the wrong element",
       In("<trustInfo xmlns=\"" + V3 + "\"><security><requestedPrivileges level=\"asInvoker\"/></security></trustInfo>"),
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

TEST(Manifest, AManifestWithoutALevelIsWellFormedButAsksForNone) {
  std::optional<ExecutionLevel> level = ExecutionLevel::AsInvoker;
  EXPECT_EQ(ReadManifest(Bytes(In("<dependency/>")), &level), std::nullopt);
  EXPECT_EQ(level, std::nullopt);
  level = ExecutionLevel::AsInvoker;
  EXPECT_TRUE(ReadManifest(Bytes(In("<dependency>")), &level).has_value());
  EXPECT_EQ(level, std::nullopt);
}

}  // namespace
