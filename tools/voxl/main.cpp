// voxl: the command-line host of the VOXL310K recorder.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.h"

namespace voxl::cli {

void PrintError(const std::string& message) {
  std::fprintf(stderr, "voxl: %s\n", message.c_str());
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

int main(int argc, char** argv) {
  CLI::App app{"voxl - record, play and edit sound with the VOXL310K library", "voxl"};
  app.require_subcommand(1);
  app.footer(
      "Audio devices come from the ALSA driver when it finds a device, else from the built-in "
      "virtual devices;\nset VOXL_AUDIO_DRIVER=alsa or VOXL_AUDIO_DRIVER=virtual to choose.\n"
      "Run 'voxl <command> --help' for the options of a command.");
  // Command-line mistakes are one line, like every other error.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "voxl: " + std::string(e.what()) + " (see voxl --help)\n";
  });

  int exitCode = voxl::cli::kExitOk;
  voxl::cli::AddDevicesCommand(app, exitCode);
  voxl::cli::AddStreamCommand(app, exitCode);
  voxl::cli::AddRecordCommand(app, exitCode);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : voxl::cli::kExitUsage;
  }
  return exitCode;
}
