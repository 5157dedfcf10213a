// `sfxpack list`, `test`, `extract` and `unwrap`: an installer read the way
// the stub reads it, a bounded piece at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "installer_reader.h"

// Each returns the process exit code.
int RunList(const std::string& installer);
int RunTest(const std::string& installer);
// Without overwrite, refuses before writing anything when a file to be
// extracted exists already.
int RunExtract(const std::string& installer, const std::string& folder, bool overwrite = false);
// Writes the entries the stub would extract as a standard ZIP file: names
// in UTF-8 with '/' separators, data as it is stored. Only an installer that
// passes `test` is unwrapped.
int RunUnwrap(const std::string& installer, const std::string& output);
