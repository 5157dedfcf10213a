#include "gather.h"

#include <algorithm>

#include "codec.h"
#include "console.h"

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + QuotePath(path) + ": " + sys::ErrorText();
}

namespace {

// A file or ZIP entry the stub cannot count is refused before it is read.
void RefuseOverEntryLimit(const std::string& what, uint64_t size) {
  if (size > MaxEntrySize)
    Refuse(what + " is " + std::to_string(size) +
           " bytes long; the stub counts an entry's bytes in signed 32-bit values, so an "
           "entry holds at most " + std::to_string(MaxEntrySize) + " bytes");
}

void AddFile(Gathering& g, const std::string& path, const std::string& relative,
             const sys::Status& st, const std::string& origin) {
  if (g.output_exists && st.id == g.output_id)
    Refuse("the output is the input file " + QuotePath(path) +
           ", which writing the installer would destroy; name another output, or leave it "
           "out with --exclude");
  // Refused before anything is read: such a file would only be refused
  // after being read and compressed whole.
  RefuseOverEntryLimit(QuotePath(path), st.size);
  PlannedEntry e;
  e.name = StoredNameFor(relative, origin);
  e.shown = relative;
  e.source_path = path;
  e.size = st.size;
  e.stamp = StampFor(g.stamps, time_t(st.mtime));
  g.entries.push_back(e);
}

// Files cannot be links in the installer: a link's target is packed in its
// place. Remembers whether the target lies outside the input folder, or
// inside it, where it is packed a second time.
void NoteLink(Gathering& g, const std::string& path) {
  std::string target;
  if (!sys::RealPath(path, &target)) return;
  const bool inside = g.root == "/" || target == g.root ||
                      target.compare(0, g.root.size() + 1, g.root + "/") == 0;
  (inside ? g.links_inside : g.links_out).push_back(path);
}

void AddFolder(Gathering& g, const std::string& folder, const std::string& relative,
               const std::string& origin) {
  sys::Status st;
  if (!sys::Stat(folder, &st)) Refuse(SystemError("cannot read", folder));
  const sys::FileId key = st.id;
  g.open_folders.insert(key);
  std::vector<std::string> names;
  if (!sys::ListFolder(folder, &names)) Refuse(SystemError("cannot read the folder", folder));
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    sys::Status lst, est;
    if (!sys::LinkStat(path, &lst)) Refuse(SystemError("cannot read", path));
    const bool link = lst.link;
    if (!sys::Stat(path, &est)) {
      if (!link) Refuse(SystemError("cannot read", path));
      const std::string why = sys::ErrorText();
      if (!g.excludes.Excludes(rel, false))
        Warn("skipping " + QuotePath(path) + ", a symbolic link that leads nowhere: " + why);
      continue;
    }
    const bool is_folder = est.kind == sys::Kind::Folder;
    if (g.excludes.Excludes(rel, is_folder)) continue;
    if (name.find('\\') != std::string::npos)
      Refuse("the name " + Quote(rel) + " from " + origin +
             " holds '\\', which Windows reads as a folder separator");
    // A name that cannot be packed is refused as such, whatever the system
    // takes it for: Windows opens a file named NUL.txt as its NUL device.
    if (!is_folder) StoredNameFor(rel, origin);
    if (is_folder && g.open_folders.count(est.id)) {
      g.links_back.push_back(path);
      continue;
    }
    if (link) NoteLink(g, path);
    if (is_folder) {
      AddFolder(g, path, rel, origin);
    } else if (est.kind == sys::Kind::Regular) {
      AddFile(g, path, rel, est, origin);
    } else {
      Warn("skipping " + QuotePath(path) + ": not a regular file or folder");
    }
  }
  g.open_folders.erase(key);
}

}  // namespace

void AddInput(Gathering& g, const std::string& input) {
  sys::Status st;
  if (!sys::Stat(input, &st)) Refuse(SystemError("cannot read", input));
  if (st.kind == sys::Kind::Folder) {
    if (!sys::RealPath(input, &g.root)) g.root = input;
    AddFolder(g, input, "", "the folder " + QuotePath(input));
  } else if (st.kind == sys::Kind::Regular) {
    // A file given by itself is named by its last path component.
    std::string base = input;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const size_t slash = base.rfind('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    if (g.excludes.Excludes(base, false)) return;
    if (base.find('\\') != std::string::npos)
      Refuse("the name " + Quote(base) + " holds '\\', which Windows reads as a folder separator");
    AddFile(g, input, base, st, "the command line");
  } else {
    Refuse(QuotePath(input) + " is not a regular file or folder");
  }
}

void WarnAboutLinks(const Gathering& g) {
  std::string parts;
  auto add = [&](const std::vector<std::string>& links, const std::string& what) {
    if (links.empty()) return;
    parts += (parts.empty() ? "" : "; ") + NameList(links, ListedNames) +
             (links.size() == 1 ? " leads" : " lead") + what;
  };
  add(g.links_out, " out of the input folder");
  add(g.links_inside, " to what the input folder holds, which is packed twice");
  add(g.links_back, " back into a folder being packed (not followed)");
  if (!parts.empty()) Warn("symbolic links were followed: " + parts);
}

zip_t* OpenZip(const std::string& path) {
  // Opened here, so that its name reaches the system as every other file's
  // does; libzip reads through the descriptor, and closes it.
  const int fd = sys::OpenRead(path);
  if (fd < 0) Refuse(SystemError("cannot read the ZIP file", path));
  int code = 0;
  zip_t* za = zip_fdopen(fd, 0, &code);
  if (!za) {
    sys::Close(fd);
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string message = "cannot read the ZIP file " + QuotePath(path) + ": " +
                                zip_error_strerror(&error);
    zip_error_fini(&error);
    Refuse(message);
  }
  return za;
}

namespace {

// Whether any folder above a ZIP entry, or the entry itself, is excluded.
bool ZipEntryExcluded(Exclusions& patterns, const std::string& name) {
  std::string path = name;
  std::replace(path.begin(), path.end(), '\\', '/');
  for (size_t k = path.find('/'); k != std::string::npos; k = path.find('/', k + 1)) {
    if (patterns.Excludes(path.substr(0, k), true)) return true;
  }
  return patterns.Excludes(path, false);
}

}  // namespace

void AddZipEntries(Gathering& g, zip_t* za, const std::string& zip_path) {
  sys::Status zst;
  if (!sys::Stat(zip_path, &zst)) Refuse(SystemError("cannot read", zip_path));
  const zip_int64_t count = zip_get_num_entries(za, 0);
  const std::string origin = "the ZIP file " + QuotePath(zip_path);
  for (zip_int64_t i = 0; i < count; i++) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, zip_uint64_t(i), 0, &st) != 0 || !st.name)
      Refuse("cannot read entry " + std::to_string(i) + " of " + origin + ": " +
             zip_strerror(za));
    const std::string name = st.name;
    const std::string where = "entry " + Quote(name) + " of " + origin;
    if (!name.empty() && (name.back() == '/' || name.back() == '\\')) {
      // A folder entry: the stub makes folders for the files inside them.
      if (st.size != 0) Refuse(where + " names a folder but holds data");
      continue;
    }
    if (ZipEntryExcluded(g.excludes, name)) continue;
    if (st.encryption_method != ZIP_EM_NONE)
      Refuse(where + " is encrypted; the stub cannot decrypt it");
    if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
      Refuse(where + " uses compression method " + std::to_string(st.comp_method) +
             "; only stored (0) and deflated (8) entries can be copied");
    if (st.size > 0xFFFFFFFFu || st.comp_size > 0xFFFFFFFFu)
      Refuse(where + " is too large for 32-bit sizes");
    // Sizes are only claims: data the file cannot hold is refused before
    // anything is read or allocated for it.
    if (st.comp_size > zst.size)
      Refuse(where + " claims " + std::to_string(st.comp_size) + " bytes of data, but the file " +
             "holds only " + std::to_string(zst.size));
    if (st.comp_method == ZIP_CM_STORE && st.size != st.comp_size)
      Refuse(where + " is damaged: it is stored, yet its two sizes differ");
    if (st.comp_method == ZIP_CM_DEFLATE && st.size > MostInflatedFrom(st.comp_size))
      Refuse(where + " is damaged: " + std::to_string(st.comp_size) +
             " bytes of deflate data cannot hold " + std::to_string(st.size) + " bytes");
    RefuseOverEntryLimit(where, st.size);
    PlannedEntry e;
    e.name = StoredNameFor(name, origin);
    e.shown = name;
    e.zip_index = i;
    e.size = st.size;
    e.known_packed = st.comp_size;
    e.zip_method = st.comp_method;
    e.zip_crc = st.crc;
    e.stamp = ZipStampFor(g.stamps, st.mtime);
    g.entries.push_back(e);
  }
}
