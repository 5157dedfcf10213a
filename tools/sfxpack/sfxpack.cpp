// sfxpack: turns a folder of files into an installer (the stub followed by a
// scrambled archive), and lists, tests, extracts and unwraps such installers.
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "pack.h"
#include "platform.h"
#include "sha256.h"
#include "unpack.h"

#ifndef SFXPACK_VERSION
#define SFXPACK_VERSION "unknown"
#endif

namespace {

// Where a stub is looked for when --stub names none: beside this program (the
// build tree), then in the installed layout, PREFIX/bin/sfxpack beside
// PREFIX/share/sfxpack/sfxstub.exe.
std::vector<std::string> StubPlaces() {
  std::string folder = sys::OwnPath();
  if (folder.empty()) return {"sfxstub.exe"};
  folder = folder.substr(0, folder.rfind('/') + 1);
  return {folder + "sfxstub.exe", folder + "../share/sfxpack/sfxstub.exe"};
}

// The first place that holds a stub, or "" with *looked listing the places.
std::string FindStub(std::string* looked) {
  for (const std::string& place : StubPlaces()) {
    sys::Status st;
    if (sys::Stat(place, &st) && st.kind == sys::Kind::Regular) {
      std::string full;
      return sys::RealPath(place, &full) ? full : place;
    }
    *looked += (looked->empty() ? "" : ", ") + ("'" + place + "'");
  }
  return "";
}

std::string VersionText() {
  std::string text = std::string("sfxpack ") + SFXPACK_VERSION + "\n";
  std::string looked;
  const std::string stub = FindStub(&looked);
  if (stub.empty()) return text + "stub: none found (looked at " + looked + ")";
  std::string hash;
  uint64_t size = 0;
  if (!Sha256OfFile(stub, &hash, &size)) return text + "stub: " + stub + " cannot be read";
  return text + "stub: " + stub + ", " + std::to_string(size) + " bytes, sha256 " +
         hash.substr(0, 16);
}

// Output names: "-" would be a file named "-", not standard output.
const CLI::Validator NotStandardOutput(
    [](std::string& name) {
      return name == "-" ? std::string("'-' (standard output) is not supported; write ./- for a "
                                       "file named '-'")
                         : std::string();
    },
    "", "");

// Every usage error ends with this exit code; help and --version with 0.
constexpr int UsageExit = 2;

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = sys::StartUp(argc, argv);
  CLI::App app{"Builds installers from folders of files, and lists, tests and extracts them."};
  app.name("sfxpack");
  app.require_subcommand(1);
  app.set_version_flag("--version", [] { return VersionText(); },
                       "Show the version and the default stub's size and hash");
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "Print nothing on success but warnings");

  PackOptions pack;
  CLI::App* create = app.add_subcommand("create", "Write an installer: the stub, then the archive");
  create->add_option("-o,--output", pack.output,
                     "The installer to write (a file; '-' for standard output is refused)")
      ->required()
      ->check(NotStandardOutput);
  create->add_option("--stub", pack.stub,
                     "The bare stub (default: sfxstub.exe beside sfxpack, or in "
                     "../share/sfxpack/ from it)");
  create->add_option("--level", pack.level, "Deflate level, 0 (store) to 12")
      ->check(CLI::Range(0, 12))
      ->capture_default_str();
  create->add_option("--wizard", pack.wizard,
                     "The entry the stub starts; it goes first and must hold \".EXE\"");
  create->add_option("--from-zip", pack.from_zip,
                     "Copy every entry of this ZIP file as it is, without recompressing");
  create->add_option("--exclude", pack.excludes,
                     "Leave out files and folders whose relative path or bare name matches "
                     "this glob; may be repeated")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  create->add_option("--threads", pack.threads, "Files packed side by side (default: one per processor)")
      ->check(CLI::Range(1, 256));
  create->add_option("inputs", pack.inputs, "Files, and folders whose files are packed");

  std::string installer, folder, zip_output;
  CLI::App* list = app.add_subcommand("list", "List an installer's entries");
  list->add_option("installer", installer, "The installer")->required();
  CLI::App* test = app.add_subcommand("test", "Decode every entry and check its CRC-32");
  test->add_option("installer", installer, "The installer")->required();
  CLI::App* extract = app.add_subcommand("extract", "Extract every entry into a folder");
  extract->add_option("installer", installer, "The installer")->required();
  extract->add_option("-d,--directory", folder, "The folder to extract into")->required();
  bool overwrite = false;
  extract->add_flag("--overwrite", overwrite, "Replace files that exist already");
  CLI::App* unwrap = app.add_subcommand("unwrap", "Write an installer's archive as a standard ZIP file");
  unwrap->add_option("installer", installer, "The installer")->required();
  unwrap->add_option("-o,--output", zip_output,
                     "The ZIP file to write (a file; '-' for standard output is refused)")
      ->required()
      ->check(NotStandardOutput);
  // -q is also taken after the subcommand's name.
  for (CLI::App* sub : {create, list, test, extract, unwrap})
    sub->add_flag("-q,--quiet", quiet, "Print nothing on success but warnings");
  std::string topic;
  CLI::App* help = app.add_subcommand("help", "Show this help, or a command's");
  help->add_option("command", topic, "The command whose help is shown");

  try {
    std::vector<char*> arg_pointers;
    for (std::string& a : args) arg_pointers.push_back(&a[0]);
    app.parse(int(arg_pointers.size()), arg_pointers.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : UsageExit;
  }
  SetQuiet(quiet);
  for (std::string* path : {&pack.output, &pack.stub, &pack.from_zip, &installer, &folder,
                            &zip_output})
    *path = sys::PathFromUser(*path);
  for (std::string& input : pack.inputs) input = sys::PathFromUser(input);

  if (help->parsed()) {
    if (topic.empty()) {
      // App::help() would show the help of the parsed command, this one.
      const auto mode = CLI::AppFormatMode::Normal;
      printf("%s", app.get_formatter()->make_help(&app, app.get_name(), mode).c_str());
      return 0;
    }
    for (CLI::App* sub : {create, list, test, extract, unwrap, help}) {
      if (sub->get_name() == topic) {
        printf("%s", sub->help(app.get_name()).c_str());
        return 0;
      }
    }
    fprintf(stderr, "sfxpack: error: there is no command '%s'; 'sfxpack help' lists them\n",
            topic.c_str());
    return UsageExit;
  }

  try {
    if (create->parsed()) {
      if (pack.stub.empty()) {
        std::string looked;
        pack.stub = FindStub(&looked);
        if (pack.stub.empty())
          Refuse("no stub found: looked at " + looked +
                 "; name one with --stub FILE (a bare sfxstub.exe)");
      }
      RunCreate(pack);
      return 0;
    }
    if (list->parsed()) return RunList(installer);
    if (test->parsed()) return RunTest(installer);
    if (extract->parsed()) return RunExtract(installer, folder, overwrite);
    if (unwrap->parsed()) return RunUnwrap(installer, zip_output);
  } catch (const Refusal& e) {
    EndProgress();
    fprintf(stderr, "sfxpack: error: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    EndProgress();
    fprintf(stderr, "sfxpack: error: out of memory\n");
    return 1;
  }
  return 1;
}
