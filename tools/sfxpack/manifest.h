// Application manifests: the one an execution level asks for, and what a
// given manifest asks for, read with an XML parser.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "pe_image.h"

// The levels a manifest's requestedExecutionLevel may name.
enum class ExecutionLevel { AsInvoker, HighestAvailable, RequireAdministrator };

// "asInvoker", "highestAvailable" or "requireAdministrator".
const char* ExecutionLevelName(ExecutionLevel level);
// The level a name spells (as above, exactly), if any.
std::optional<ExecutionLevel> ExecutionLevelNamed(const std::string& name);

// A manifest holding only the trustInfo block that asks for level.
std::vector<uint8_t> ManifestFor(ExecutionLevel level);

// What manifest asks for: a problem when it is not well-formed XML, its
// outermost element is not an asm.v1 assembly, or its requestedExecutionLevel
// (in assembly/trustInfo/security/requestedPrivileges, those three and the
// element itself in the asm.v2 or asm.v3 namespace) is given twice or names
// no valid level; level is empty when there is no such element. Windows
// refuses to start a program whose manifest is not well-formed.
PeProblem ReadManifest(const std::vector<uint8_t>& manifest, std::optional<ExecutionLevel>* level);

// The level manifest asks for: a problem when it is not well-formed XML or
// names no valid requestedExecutionLevel.
PeProblem ReadExecutionLevel(const std::vector<uint8_t>& manifest, ExecutionLevel* level);
