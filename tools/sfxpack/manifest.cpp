#include "manifest.h"

#include <expat.h>

#include <algorithm>

namespace {

constexpr char AsmV1[] = "urn:schemas-microsoft-com:asm.v1";
constexpr char AsmV2[] = "urn:schemas-microsoft-com:asm.v2";
constexpr char AsmV3[] = "urn:schemas-microsoft-com:asm.v3";

// expat joins an element's namespace and local name with this character,
// which no XML name holds.
constexpr char NamespaceSeparator = ' ';

const char* const LevelNames[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

struct Name {
  std::string space;  // empty: no namespace
  std::string local;
};

Name Split(const XML_Char* joined) {
  const std::string s = joined;
  const size_t at = s.rfind(NamespaceSeparator);
  if (at == std::string::npos) return {"", s};
  return {s.substr(0, at), s.substr(at + 1)};
}

bool IsTrustNamespace(const std::string& space) { return space == AsmV2 || space == AsmV3; }

// The elements above requestedExecutionLevel, outermost first.
const char* const LevelPath[] = {"assembly", "trustInfo", "security", "requestedPrivileges"};

struct Reading {
  XML_Parser parser = nullptr;
  std::vector<Name> open;  // the elements entered and not yet left
  std::optional<ExecutionLevel> level;
  PeProblem problem;

  void Fail(std::string why) {
    if (problem) return;
    problem = std::move(why);
    XML_StopParser(parser, XML_FALSE);
  }
};

// Whether the open elements are exactly the path to requestedExecutionLevel:
// an asm.v1 assembly, then trustInfo, security and requestedPrivileges in the
// asm.v2 or asm.v3 namespace.
bool AtLevelPlace(const std::vector<Name>& open) {
  if (open.size() != std::size(LevelPath)) return false;
  for (size_t i = 0; i < open.size(); ++i) {
    if (open[i].local != LevelPath[i]) return false;
    if (i == 0 ? open[i].space != AsmV1 : !IsTrustNamespace(open[i].space)) return false;
  }
  return true;
}

void XMLCALL OnStart(void* user, const XML_Char* element, const XML_Char** attributes) {
  Reading& r = *static_cast<Reading*>(user);
  const Name name = Split(element);
  if (r.open.empty() && (name.local != "assembly" || name.space != AsmV1)) {
    r.Fail("the outermost element is not an assembly of " + std::string(AsmV1));
    return;
  }
  if (name.local == "requestedExecutionLevel" && IsTrustNamespace(name.space) && AtLevelPlace(r.open)) {
    if (r.level) {
      r.Fail("more than one requestedExecutionLevel");
      return;
    }
    const XML_Char* value = nullptr;
    for (size_t i = 0; attributes[i]; i += 2)
      if (std::string(attributes[i]) == "level") value = attributes[i + 1];
    if (!value) {
      r.Fail("requestedExecutionLevel has no level");
      return;
    }
    r.level = ExecutionLevelNamed(value);
    if (!r.level) {
      r.Fail("requestedExecutionLevel names the unknown level \"" + std::string(value) + "\"");
      return;
    }
  }
  r.open.push_back(name);
}

void XMLCALL OnEnd(void* user, const XML_Char*) {
  Reading& r = *static_cast<Reading*>(user);
  if (!r.open.empty()) r.open.pop_back();
}

// Manifests declare no document type; refusing one also keeps entity
// definitions, and their expansion, out.
void XMLCALL OnDoctype(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  static_cast<Reading*>(user)->Fail("holds a document type declaration");
}

}  // namespace

const char* ExecutionLevelName(ExecutionLevel level) { return LevelNames[static_cast<int>(level)]; }

std::optional<ExecutionLevel> ExecutionLevelNamed(const std::string& name) {
  for (int i = 0; i < 3; ++i)
    if (name == LevelNames[i]) return static_cast<ExecutionLevel>(i);
  return std::nullopt;
}

std::vector<uint8_t> ManifestFor(ExecutionLevel level) {
  const std::string text =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n") +
      "<assembly xmlns=\"" + AsmV1 + "\" manifestVersion=\"1.0\">\r\n" +
      "  <trustInfo xmlns=\"" + AsmV3 + "\">\r\n" +
      "    <security>\r\n" +
      "      <requestedPrivileges>\r\n" +
      "        <requestedExecutionLevel level=\"" + ExecutionLevelName(level) +
      "\" uiAccess=\"false\"/>\r\n" +
      "      </requestedPrivileges>\r\n" +
      "    </security>\r\n" +
      "  </trustInfo>\r\n" +
      "</assembly>\r\n";
  return std::vector<uint8_t>(text.begin(), text.end());
}

PeProblem ReadManifest(const std::vector<uint8_t>& manifest, std::optional<ExecutionLevel>* level) {
  level->reset();
  Reading r;
  r.parser = XML_ParserCreateNS(nullptr, NamespaceSeparator);
  if (!r.parser) return "no memory for the XML parser";
  XML_SetUserData(r.parser, &r);
  XML_SetElementHandler(r.parser, OnStart, OnEnd);
  XML_SetStartDoctypeDeclHandler(r.parser, OnDoctype);
  // In pieces whose length fits the parser's int.
  constexpr size_t Piece = 1 << 20;
  size_t at = 0;
  XML_Status status = XML_STATUS_OK;
  do {
    const size_t n = std::min(Piece, manifest.size() - at);
    const char* p = reinterpret_cast<const char*>(manifest.data()) + at;
    at += n;
    status = XML_Parse(r.parser, p, static_cast<int>(n), at == manifest.size());
  } while (status == XML_STATUS_OK && at < manifest.size());
  if (status != XML_STATUS_OK && !r.problem)
    r.problem = "not well-formed XML (line " + std::to_string(XML_GetCurrentLineNumber(r.parser)) +
                ": " + XML_ErrorString(XML_GetErrorCode(r.parser)) + ")";
  XML_ParserFree(r.parser);
  if (r.problem) return r.problem;
  *level = r.level;
  return std::nullopt;
}

PeProblem ReadExecutionLevel(const std::vector<uint8_t>& manifest, ExecutionLevel* level) {
  std::optional<ExecutionLevel> found;
  if (PeProblem problem = ReadManifest(manifest, &found)) return problem;
  if (!found)
    return std::string("no requestedExecutionLevel in assembly/trustInfo/security/requestedPrivileges");
  *level = *found;
  return std::nullopt;
}
