// Helpers of the unit tests: whole-buffer forms of what sfxpack reads and
// writes a block at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "decoder_host.h"
#include "installer_reader.h"
#include "pe_resources.h"

// Reads bytes[offset..] from position 0, as the stub's decoder reads an
// entry's data. bytes must outlive the reader.
decoder_host::ReadAt ReaderOf(const std::vector<uint8_t>& bytes, size_t offset);

// Whether the stub's decoder gives exactly expected for the raw (unscrambled)
// deflate data in[0..n), on the calling thread.
bool StubAgreesOnRaw(const uint8_t* in, size_t n, const uint8_t* expected, size_t expected_size);

// Decodes raw deflate data into out, producing at most limit bytes, with
// libdeflate and then the stub's own decoder. False when the data is not a
// complete, valid deflate stream, would decode to more than limit bytes, or
// the stub's decoder gives anything else.
bool InflateRaw(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit);

// Deflates data at level (1..12) into packed and returns MethodDeflated, or
// returns MethodStored, with packed a copy of data, when deflate would not
// make it smaller or level is 0.
uint16_t PackEntryData(const std::vector<uint8_t>& data, int level, std::vector<uint8_t>& packed);

// An installer held in memory; data must outlive it.
InstallerBytes InstallerInMemory(const uint8_t* data, size_t size);
InstallerWalk WalkInstaller(const uint8_t* data, size_t size);

// Decodes and checks one entry into out.
bool DecodeEntry(const FoundEntry& e, const InstallerBytes& file, std::vector<uint8_t>& out,
                 std::string* why);

// Stores v little-endian in b[at, at + bytes).
void PutLe(std::vector<uint8_t>& b, size_t at, uint32_t v, int bytes = 4);

struct SectionBytes {
  const char* name;
  std::vector<uint8_t> bytes;
};

// A PE image (PE32+ when plus) of the given sections, laid out back to back
// (file alignment 512, section alignment 4096, from RVA 0x1000), with the
// import, resource and base relocation directories on the sections named
// .idata, .rsrc and .reloc.
std::vector<uint8_t> ImageOfSections(const std::vector<SectionBytes>& sections, bool plus = false);

// A resource in code page 1252, as resource compilers write them.
Resource ResourceOf(ResourceId type, ResourceId name, uint16_t language, std::vector<uint8_t> data);
