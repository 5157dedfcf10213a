// Shared by the fuzz targets: a scratch folder for the files they make.
#pragma once

#include <string>

// A folder of this process, on a memory file system when there is one;
// removed at exit.
const std::string& FuzzScratch();

void WriteWhole(const std::string& path, const std::string& bytes);
std::string ReadWhole(const std::string& path);
