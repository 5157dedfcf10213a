// sfxpack: turns a folder of files into an installer (the stub followed by a
// scrambled archive), and lists, tests and extracts such installers.
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <new>
#include <string>

#include "console.h"
#include "pack.h"
#include "unpack.h"

namespace {

// The stub that the build puts beside this program.
std::string DefaultStub() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "sfxstub.exe";
  std::string path(self, size_t(n));
  return path.substr(0, path.rfind('/') + 1) + "sfxstub.exe";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Builds installers from folders of files, and lists, tests and extracts them."};
  app.name("sfxpack");
  app.require_subcommand(1);

  PackOptions pack;
  CLI::App* create = app.add_subcommand("create", "Write an installer: the stub, then the archive");
  create->add_option("-o,--output", pack.output, "The installer to write")->required();
  create->add_option("--stub", pack.stub, "The bare stub (default: sfxstub.exe beside sfxpack)");
  create->add_option("--level", pack.level, "Deflate level, 0 (store) to 12")
      ->check(CLI::Range(0, 12))
      ->capture_default_str();
  create->add_option("--wizard", pack.wizard,
                     "The entry the stub starts; it goes first and must hold \".EXE\"");
  create->add_option("--from-zip", pack.from_zip,
                     "Copy every entry of this ZIP file as it is, without recompressing");
  create->add_option("inputs", pack.inputs, "Files, and folders whose files are packed");

  std::string installer, folder;
  CLI::App* list = app.add_subcommand("list", "List an installer's entries");
  list->add_option("installer", installer, "The installer")->required();
  CLI::App* test = app.add_subcommand("test", "Decode every entry and check its CRC-32");
  test->add_option("installer", installer, "The installer")->required();
  CLI::App* extract = app.add_subcommand("extract", "Extract every entry into a folder");
  extract->add_option("installer", installer, "The installer")->required();
  extract->add_option("-d,--directory", folder, "The folder to extract into")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  try {
    if (create->parsed()) {
      if (pack.stub.empty()) pack.stub = DefaultStub();
      RunCreate(pack);
      return 0;
    }
    if (list->parsed()) return RunList(installer);
    if (test->parsed()) return RunTest(installer);
    if (extract->parsed()) return RunExtract(installer, folder);
  } catch (const Refusal& e) {
    fprintf(stderr, "sfxpack: error: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "sfxpack: error: out of memory\n");
    return 1;
  }
  return 1;
}
