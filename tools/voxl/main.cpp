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
#include <string>
#include <vector>

#include "commands.h"
#include "meter.h"

namespace voxl::cli {

void PrintError(const std::string& message) {
  std::fprintf(stderr, "voxl: %s\n", message.c_str());
}

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

CLI::Validator FiniteNumber(double low, double high, const std::string& range) {
  return CLI::Validator(
      [low, high, range](std::string& input) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(input.c_str(), &end);
        if (input.empty() || *end != '\0' || !std::isfinite(value)) {
          return input + " is not a finite number (" + range + ")";
        }
        if (value < low || value > high) return input + " is out of range (" + range + ")";
        return std::string();
      },
      "");
}

}  // namespace

CLI::Validator SecondsOption() {
  return FiniteNumber(0.0, DBL_MAX, "seconds, 0 or more");
}

CLI::Validator DecibelOption() {
  return FiniteNumber(-FLT_MAX, 0.0, "dB, 0 or below");
}

std::string OutNameProblem(const std::string& out) {
  if (out.empty()) return "OUT is empty: give the name of the file to write";
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, out.c_str(), -1, nullptr, 0) <= 0) {
    return "the file name is not valid UTF-8";
  }
  return std::string();
}

std::string CreateProblem(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) {
    return std::strerror(errno);
  }
  return std::string();
}

std::string WaveErrorText(MMRESULT result) {
  switch (result) {
    case MMSYSERR_NOERROR:
      return "no error (MMSYSERR_NOERROR)";
    case MMSYSERR_ERROR:
      return "unspecified device error (MMSYSERR_ERROR)";
    case MMSYSERR_BADDEVICEID:
      return "no device with that number (MMSYSERR_BADDEVICEID)";
    case MMSYSERR_NOTENABLED:
      return "the driver is not enabled (MMSYSERR_NOTENABLED)";
    case MMSYSERR_ALLOCATED:
      return "the device is already in use (MMSYSERR_ALLOCATED)";
    case MMSYSERR_INVALHANDLE:
      return "invalid device handle (MMSYSERR_INVALHANDLE)";
    case MMSYSERR_NODRIVER:
      return "no device driver is present (MMSYSERR_NODRIVER)";
    case MMSYSERR_NOMEM:
      return "out of memory for the device (MMSYSERR_NOMEM)";
    case MMSYSERR_NOTSUPPORTED:
      return "the function is not supported (MMSYSERR_NOTSUPPORTED)";
    case MMSYSERR_INVALFLAG:
      return "invalid flag (MMSYSERR_INVALFLAG)";
    case MMSYSERR_INVALPARAM:
      return "invalid parameter (MMSYSERR_INVALPARAM)";
    case WAVERR_BADFORMAT:
      return "the device does not accept the audio format (WAVERR_BADFORMAT)";
    case WAVERR_STILLPLAYING:
      return "buffers are still queued on the device (WAVERR_STILLPLAYING)";
    case WAVERR_UNPREPARED:
      return "the buffer is not prepared (WAVERR_UNPREPARED)";
    default:
      return "device error " + std::to_string(result);
  }
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
  app.set_version_flag("--version", std::string("voxl ") + VOXL_VERSION_TEXT +
                                        "\ncodecs: " + VoxlCodecLibraryVersions());
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
  voxl::cli::AddDevicesCommand(app, exitCode);
  voxl::cli::AddStreamCommand(app, exitCode);
  voxl::cli::AddRecordCommand(app, exitCode);
  voxl::cli::AddFormatsCommand(app, exitCode);
  voxl::cli::AddInfoCommand(app, exitCode);
  voxl::cli::AddPlayCommand(app, exitCode);
  voxl::cli::AddEditCommands(app, exitCode);

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
