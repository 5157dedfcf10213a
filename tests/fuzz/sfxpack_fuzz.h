// Shared by the fuzz targets of sfxpack's readers: a private work folder,
// the fuzz input written there as a file, and a command run to its end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// A folder of this process's own, made once.
const std::string& FuzzFolder();

// Writes the bytes to FuzzFolder()/name and returns that path.
std::string WriteInput(const std::string& name, const uint8_t* data, size_t size);

// Runs one sfxpack command; a refusal of the input is an ordinary end.
template <typename Command>
void RunToItsEnd(Command command) {
  try {
    command();
  } catch (const std::exception&) {
  }
}
