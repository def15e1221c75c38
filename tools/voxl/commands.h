// The subcommands of voxl.  Each lives in its own cmd_<name>.cpp and adds itself to the
// application with Add<Name>Command; its callback runs the command and stores the process exit
// code.  Errors go to stderr as one line starting with "voxl: ".
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "platform/wave/wave.h"

namespace voxl::cli {

// Exit codes of voxl.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the operation failed (device, file, format)
constexpr int kExitUsage = 2;    // the command line is wrong

void AddDevicesCommand(CLI::App& app, int& exitCode);
void AddStreamCommand(CLI::App& app, int& exitCode);
void AddRecordCommand(CLI::App& app, int& exitCode);

// The meaning of a wave device result, e.g. "the device is already in use (MMSYSERR_ALLOCATED)".
std::string WaveErrorText(MMRESULT result);

// Prints "voxl: <message>" as one line on stderr.
void PrintError(const std::string& message);

}  // namespace voxl::cli
