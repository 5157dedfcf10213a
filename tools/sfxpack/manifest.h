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

// The level manifest asks for: a problem when it is not well-formed XML or
// names no valid requestedExecutionLevel.
PeProblem ReadExecutionLevel(const std::vector<uint8_t>& manifest, ExecutionLevel* level);
