// Gathering the entries of `sfxpack create`: walking input folders, following
// links, listing the entries of a ZIP file.
#pragma once

#include <zip.h>

#include <set>
#include <string>
#include <vector>

#include "exclude.h"
#include "plan.h"
#include "platform.h"

struct Gathering {
  std::vector<PlannedEntry> entries;
  sys::FileId output_id;  // the existing output file, which must not be an input
  bool output_exists = false;
  std::set<sys::FileId> open_folders;  // guards against link loops
  std::string root;  // the real path of the input folder being walked
  std::vector<std::string> links_out, links_inside;  // links followed
  std::vector<std::string> links_back;  // links into a folder being walked, skipped
  Exclusions excludes;
  StampRule stamps;
};

// "what 'path': the system's reason".
std::string SystemError(const std::string& what, const std::string& path);

// Adds a file given on the command line, or every file below a folder.
void AddInput(Gathering& g, const std::string& input);
// One warning for the links that lead out of their input folder, to what is
// packed under another name too, or back into a folder being packed.
void WarnAboutLinks(const Gathering& g);

zip_t* OpenZip(const std::string& path);
// Adds the ZIP file's entries, refusing those the stub cannot extract.
void AddZipEntries(Gathering& g, zip_t* za, const std::string& zip_path);
