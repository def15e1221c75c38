// voxl: the command-line host of the VOXL310K recorder.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"
#include "meter.h"

namespace voxl::cli {

namespace {

// Letters to insert, delete, change or swap with a neighbour to turn `a` into `b`.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

// The commands in the order of the help, each with the names its adder sets up.
struct CommandAdder {
  const char* names[2];
  void (*add)(CLI::App&, int&);
};
constexpr CommandAdder kAdders[] = {
    {{"devices"}, AddDevicesCommand},
    {{"stream"}, AddStreamCommand},
    {{"record"}, AddRecordCommand},
    {{"formats"}, AddFormatsCommand},
    {{"info"}, AddInfoCommand},
    {{"play"}, AddPlayCommand},
    {{"cut", "compact"}, AddEditCommands},
    {{"convert"}, AddConvertCommand},
};

const CommandAdder* FindAdder(const char* word) {
  for (const CommandAdder& adder : kAdders) {
    for (const char* name : adder.names) {
      if (name != nullptr && std::strcmp(name, word) == 0) return &adder;
    }
  }
  return nullptr;
}

}  // namespace voxl::cli

// The build gives the project's version; a build of the sources alone (a packager's against an
// installed library) says so.
#ifndef VOXL_VERSION_TEXT
#define VOXL_VERSION_TEXT "(version not given by the build)"
#endif

int main(int argc, char** argv) {
  CLI::App app{"voxl - record, play and edit sound with the VOXL310K library", "voxl"};
  app.require_subcommand(1);
  // The codec libraries are asked for their versions only when --version is given.
  app.set_version_flag("--version", std::function<std::string()>([] {
                         return std::string("voxl ") + VOXL_VERSION_TEXT +
                                "\ncodecs: " + VoxlCodecLibraryVersions();
                       }));
  app.footer(
      "Audio devices come from the ALSA driver when it finds a device, else from the built-in "
      "virtual devices;\nset VOXL_AUDIO_DRIVER=alsa or VOXL_AUDIO_DRIVER=virtual to choose.\n"
      "The virtual input plays a 440 Hz test tone at -12 dBFS; set VOXL_VIRTUAL_INPUT to silence,\n"
      "tone[:HZ[:DBFS]] or file:PATH.wav to change it.\n"
      "Run 'voxl <command> --help' for the options of a command.");
  // Command-line mistakes are one line, like every other error.
  // The help to see is the command's own when the mistake lies in its options.
  app.failure_message([](const CLI::App* top, const CLI::Error& e) {
    const auto used = top->get_subcommands();
    const std::string help =
        used.empty() ? "voxl --help" : "voxl " + used.back()->get_name() + " --help";
    return "voxl: " + std::string(e.what()) + " (see " + help + ")\n";
  });

  // Before the library opens any device: the virtual input plays voxl's test tone.
  voxl::cli::ChooseVirtualInputSignal();

  int exitCode = voxl::cli::kExitOk;
  // Setting up every command's options costs more than a short command's own work, so a first
  // word that names a command sets up that command alone; anything else (options, a mistake)
  // sets up all of them, for the help and the list of commands.
  const voxl::cli::CommandAdder* named = voxl::cli::FindAdder(argc > 1 ? argv[1] : "");
  if (named != nullptr) {
    named->add(app, exitCode);
  } else {
    for (const voxl::cli::CommandAdder& adder : voxl::cli::kAdders) adder.add(app, exitCode);
  }

  // A first word that names no command is said so, with the commands there are.
  if (argc > 1 && argv[1][0] != '-') {
    std::string names;
    bool known = false;
    std::string closest;
    size_t closestDistance = 3;  // a suggestion needs at most two edits
    for (const CLI::App* command : app.get_subcommands({})) {
      known = known || command->get_name() == argv[1];
      names += (names.empty() ? "" : ", ") + command->get_name();
      const size_t distance = voxl::cli::EditDistance(argv[1], command->get_name());
      if (distance < closestDistance) closestDistance = distance, closest = command->get_name();
    }
    if (!known) {
      const std::string hint = closest.empty() ? "" : "did you mean '" + closest + "'? ";
      std::fprintf(stderr, "voxl: '%s' is not a command; %sthe commands are %s (see voxl --help)\n",
                   argv[1], hint.c_str(), names.c_str());
      return voxl::cli::kExitUsage;
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : voxl::cli::kExitUsage;
  }
  return exitCode;
}
