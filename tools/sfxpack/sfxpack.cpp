// sfxpack: turns a folder of files into an installer (the stub followed by a
// scrambled archive), and lists, tests, extracts and unwraps such installers.
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "manifest.h"
#include "pack.h"
#include "platform.h"
#include "sha256.h"
#include "unpack.h"
#include "version_info.h"

#ifndef SFXPACK_VERSION
#define SFXPACK_VERSION "unknown"
#endif

namespace {

// Where a stub is looked for when --stub names none: beside this program (the
// build tree, and the Windows ZIP), then where the installed layout keeps it,
// such as PREFIX/share/sfxpack/sfxstub.exe for PREFIX/bin/sfxpack.
std::vector<std::string> StubPlaces() {
  std::string folder = sys::OwnPath();
  if (folder.empty()) return {"sfxstub.exe"};
  folder = folder.substr(0, folder.rfind('/') + 1);
  std::vector<std::string> places = {folder + "sfxstub.exe"};
  if (!sys::InstalledStubFolder().empty())
    places.push_back(folder + sys::InstalledStubFolder() + "sfxstub.exe");
  return places;
}

std::string StubHelp() {
  const std::string installed = sys::InstalledStubFolder();
  return "The bare stub (default: sfxstub.exe beside sfxpack" +
         (installed.empty() ? std::string() : ", or in " + installed + " from it") + ")";
}

// The stub taken when --stub names none: the first place that holds one,
// or, when none does, the places looked at.
struct FoundStub {
  std::optional<std::string> path;
  std::string looked;  // "'a', 'b'"
};

FoundStub FindStub() {
  FoundStub found;
  for (const std::string& place : StubPlaces()) {
    sys::Status st;
    if (sys::Stat(place, &st) && st.kind == sys::Kind::Regular) {
      std::string full;
      found.path = sys::RealPath(place, &full) ? full : place;
      return found;
    }
    found.looked += (found.looked.empty() ? "" : ", ") + ("'" + sys::ShownPath(place) + "'");
  }
  return found;
}

std::string VersionText() {
  std::string text = std::string("sfxpack ") + SFXPACK_VERSION + "\n";
  const FoundStub found = FindStub();
  if (!found.path) return text + "stub: none found (looked at " + found.looked + ")";
  const std::string& stub = *found.path;
  std::string hash;
  uint64_t size = 0;
  const std::string shown = sys::ShownPath(stub);
  if (!Sha256OfFile(stub, &hash, &size)) return text + "stub: " + shown + " cannot be read";
  return text + "stub: " + shown + ", " + std::to_string(size) + " bytes, sha256 " +
         hash.substr(0, 16);
}

// Output names: "" names no file, and "-" would be a file named "-", not
// standard output. Both are usage errors, found before any work.
const CLI::Validator OutputName(
    [](std::string& name) {
      if (name.empty()) return std::string("an empty name is not a file");
      return name == "-" ? std::string("'-' (standard output) is not supported; write ./- for a "
                                       "file named '-'")
                         : std::string();
    },
    "", "");

// A whole number from lo to hi; text that is not a number is told apart from
// a number out of range.
CLI::Validator Number(long lo, long hi) {
  return CLI::Validator(
      [lo, hi](std::string& text) {
        const size_t digits = text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0);
        if (text.empty() || text == "-" || digits != std::string::npos)
          return "'" + text + "' is not a number";
        const bool small = text.size() < 10;
        const long value = small ? strtol(text.c_str(), nullptr, 10) : 0;
        if (!small || value < lo || value > hi)
          return text + " is not in the range " + std::to_string(lo) + " to " + std::to_string(hi);
        return std::string();
      },
      "", "");
}

// A version number: one to four numbers from 0 to 65535, between dots.
const CLI::Validator VersionNumberText(
    [](std::string& text) {
      VersionNumber ignored;
      const PeProblem problem = ParseVersionNumber(text, &ignored);
      return problem ? "'" + text + "' is not a version number (A.B.C.D): " + *problem : std::string();
    },
    "", "");

// KEY=VALUE with a key.
const CLI::Validator KeyValue(
    [](std::string& text) {
      std::pair<std::string, std::string> ignored;
      const PeProblem problem = ParseVersionString(text, &ignored);
      return problem ? "'" + text + "' is not KEY=VALUE: " + *problem : std::string();
    },
    "", "");

const CLI::Validator LevelName(
    [](std::string& text) {
      if (ExecutionLevelNamed(text)) return std::string();
      return "'" + text + "' is not an execution level: asInvoker, highestAvailable or " +
             "requireAdministrator";
    },
    "", "");

// Every usage error ends with this exit code; help and --version with 0.
constexpr int UsageExit = 2;

// What the command line sets, read by the commands when they run.
struct Settings {
  PackOptions pack;
  std::string installer, folder = ".", zip_output, topic;
  bool overwrite = false;
  CLI::App* app = nullptr;
};

// One command: its name and one line of help, the options it takes, and
// what it does once they are parsed. The parser, `help` and the usage
// errors all come from this table.
struct Command {
  const char* name;
  const char* summary;
  void (*options)(CLI::App& sub, Settings& s);
  int (*run)(Settings& s);
};

void AddInstaller(CLI::App& sub, Settings& s) {
  sub.add_option("INSTALLER", s.installer, "The installer")->required()->option_text(" ");
}

int ShowHelp(Settings& s);

const Command Commands[] = {
    {"create", "Write an installer: the stub, then the archive",
     [](CLI::App& sub, Settings& s) {
       PackOptions& p = s.pack;
       sub.add_option("-o,--output", p.output,
                      "The installer to write (a file; '-' for standard output is refused)")
           ->required()
           ->check(OutputName)
           ->option_text("FILE (required)");
       sub.add_option("--stub", p.stub, StubHelp())->option_text("FILE");
       sub.add_option("--level", p.level, "Deflate level, 0 (store) to 12 (the default), or 13: each file "
                      "the smaller of level 12 and zopfli, much slower")
           ->check(Number(0, 13))
           ->option_text("LEVEL");
       sub.add_option("--wizard", p.wizard,
                      "The entry the stub starts; it goes first and must hold \".EXE\"")
           ->option_text("NAME");
       sub.add_option("--from-zip", p.from_zip,
                      "Copy every entry of this ZIP file as it is, without recompressing")
           ->option_text("ZIP");
       sub.add_option("--exclude", p.excludes,
                      "Leave out files and folders whose relative path or bare name matches "
                      "this glob; may be repeated")
           ->expected(1)
           ->allow_extra_args(false)
           ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
           ->option_text("PATTERN");
       sub.add_option("--threads", p.threads,
                      "Files packed side by side, 1 to 256 (default: one per processor)")
           ->check(Number(1, 256))
           ->option_text("N");
       sub.add_option("--icon", p.icon,
                      "The installer's icon, as Explorer shows it: an .ico file (every image "
                      "it holds) or a square PNG image of at most 256 pixels")
           ->option_text("FILE");
       sub.add_option("--version-info", p.version_info,
                      "A string of the installer's version information, such as "
                      "CompanyName=..., FileDescription=..., ProductName=..., "
                      "LegalCopyright=...; may be repeated")
           ->expected(1)
           ->allow_extra_args(false)
           ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
           ->check(KeyValue)
           ->option_text("KEY=VALUE");
       sub.add_option("--file-version", p.file_version,
                      "The file version, one to four numbers from 0 to 65535; also the "
                      "FileVersion string unless given")
           ->check(VersionNumberText)
           ->option_text("A.B.C.D");
       sub.add_option("--product-version", p.product_version,
                      "The product version, as --file-version; also the ProductVersion string")
           ->check(VersionNumberText)
           ->option_text("A.B.C.D");
       CLI::Option* level =
           sub.add_option("--execution-level", p.execution_level,
                          "Add a manifest asking Windows to start the installer asInvoker, "
                          "highestAvailable or requireAdministrator")
               ->check(LevelName)
               ->option_text("LEVEL");
       sub.add_option("--manifest", p.manifest,
                      "Add this manifest instead; it must name a requestedExecutionLevel")
           ->excludes(level)
           ->option_text("FILE");
       sub.add_option("INPUT", p.inputs, "Files, and folders whose files are packed")
           ->option_text("...");
     },
     [](Settings& s) {
       if (s.pack.stub.empty()) {
         const FoundStub found = FindStub();
         if (!found.path)
           Refuse("no stub found: looked at " + found.looked +
                  "; name one with --stub FILE (a bare sfxstub.exe)");
         s.pack.stub = *found.path;
       }
       RunCreate(s.pack);
       return 0;
     }},
    {"list", "List an installer's entries", AddInstaller,
     [](Settings& s) { return RunList(s.installer); }},
    {"test", "Decode every entry and check its CRC-32", AddInstaller,
     [](Settings& s) { return RunTest(s.installer); }},
    {"extract", "Extract every entry into a folder",
     [](CLI::App& sub, Settings& s) {
       AddInstaller(sub, s);
       sub.add_option("-d,--directory", s.folder,
                      "The folder to extract into (default: the current folder)")
           ->option_text("DIR");
       sub.add_flag("--overwrite", s.overwrite, "Replace files that exist already");
     },
     [](Settings& s) { return RunExtract(s.installer, s.folder, s.overwrite); }},
    {"unwrap", "Write an installer's archive as a standard ZIP file",
     [](CLI::App& sub, Settings& s) {
       AddInstaller(sub, s);
       sub.add_option("-o,--output", s.zip_output,
                      "The ZIP file to write (a file; '-' for standard output is refused)")
           ->required()
           ->check(OutputName)
           ->option_text("FILE (required)");
     },
     [](Settings& s) { return RunUnwrap(s.installer, s.zip_output); }},
    {"help", "Show this help, or a command's",
     [](CLI::App& sub, Settings& s) {
       sub.add_option("COMMAND", s.topic, "The command whose help is shown")->option_text(" ");
     },
     ShowHelp},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands)
    if (name == c.name) return &c;
  return nullptr;
}

std::string CommandNames() {
  std::string names;
  for (const Command& c : Commands) names += std::string(names.empty() ? "" : ", ") + c.name;
  return names;
}

int ShowHelp(Settings& s) {
  CLI::App& app = *s.app;
  if (s.topic.empty()) {
    // App::help() would show the help of the parsed command, this one.
    printf("%s", app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal)
                     .c_str());
    return 0;
  }
  if (!FindCommand(s.topic)) {
    fprintf(stderr, "sfxpack: error: there is no command '%s'; the commands are %s\n",
            s.topic.c_str(), CommandNames().c_str());
    return UsageExit;
  }
  printf("%s", app.get_subcommand(s.topic)->help(app.get_name()).c_str());
  return 0;
}

// The first argument that is not one of the program's own options (which
// take no value): the command, unless it starts with '-'; "" for none.
std::string FirstWord(const CLI::App& app, const std::vector<std::string>& args) {
  const auto own = [&app](const std::string& arg) {
    for (const CLI::Option* o : app.get_options())
      if (o->check_name(arg)) return true;
    return false;
  };
  for (size_t i = 1; i < args.size(); i++) {
    if (args[i] == "--") return i + 1 < args.size() ? args[i + 1] : "";
    if (args[i].empty() || args[i][0] != '-' || !own(args[i])) return args[i];
  }
  return "";
}

// A usage error, said as every other error is, and where help is found.
int UsageError(const std::string& message, const std::string& command) {
  fprintf(stderr, "sfxpack: error: %s\n", message.c_str());
  fprintf(stderr, "'sfxpack help%s' shows how to use %s\n",
          command.empty() ? "" : (" " + command).c_str(),
          command.empty() ? "sfxpack" : "it");
  return UsageExit;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = sys::StartUp(argc, argv);
  CLI::App app{"Builds installers from folders of files, and lists, tests and extracts them."};
  app.name("sfxpack");
  app.require_subcommand(1);
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  app.get_formatter()->column_width(32);  // "-o,--output FILE (required)" and two spaces
  app.set_version_flag("--version", [] { return VersionText(); },
                       "Show the version and the default stub's size and hash");
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "Print nothing on success but warnings");

  Settings settings;
  settings.app = &app;
  std::vector<std::pair<CLI::App*, const Command*>> subs;
  for (const Command& c : Commands) {
    CLI::App* sub = app.add_subcommand(c.name, c.summary);
    sub->group("Commands");
    c.options(*sub, settings);
    // -q is also taken after the command's name; help has nothing to quiet.
    if (c.run != ShowHelp)
      sub->add_flag("-q,--quiet", quiet, "Print nothing on success but warnings");
    subs.emplace_back(sub, &c);
  }

  try {
    std::vector<char*> arg_pointers;
    for (std::string& a : args) arg_pointers.push_back(&a[0]);
    app.parse(int(arg_pointers.size()), arg_pointers.data());
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    const std::string named = FirstWord(app, args);
    if (named.empty())
      return UsageError("no command given; the commands are " + CommandNames(), "");
    if (named[0] == '-')
      return UsageError("'" + named + "' is not an option of sfxpack itself; a command's options " +
                            "follow its name, and the commands are " + CommandNames(),
                        "");
    if (!FindCommand(named))
      return UsageError("there is no command '" + named + "'; the commands are " + CommandNames(),
                        "");
    return UsageError(e.what(), named);
  }
  SetQuiet(quiet);
  PackOptions& pack = settings.pack;
  for (std::string* path : {&pack.output, &pack.stub, &pack.from_zip, &pack.icon, &pack.manifest,
                            &settings.installer, &settings.folder, &settings.zip_output})
    *path = sys::PathFromUser(*path);
  for (std::string& input : pack.inputs) input = sys::PathFromUser(input);

  try {
    for (const auto& sub : subs)
      if (sub.first->parsed()) return sub.second->run(settings);
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
