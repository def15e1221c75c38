// The subcommands of voxl.  Each lives in its own cmd_<name>.cpp, which parses its options and
// runs; it adds itself to the application with Add<Name>Command, and its callback stores the
// process exit code.  What the commands share is in session.h.  Errors go to stderr as one
// line starting with "voxl: ".
#pragma once

#include <CLI/CLI.hpp>

#include "session.h"

namespace voxl::cli {

void AddDevicesCommand(CLI::App& app, int& exitCode);
void AddStreamCommand(CLI::App& app, int& exitCode);
void AddRecordCommand(CLI::App& app, int& exitCode);
void AddFormatsCommand(CLI::App& app, int& exitCode);
void AddInfoCommand(CLI::App& app, int& exitCode);
void AddPlayCommand(CLI::App& app, int& exitCode);
void AddEditCommands(CLI::App& app, int& exitCode);  // cut, compact
void AddConvertCommand(CLI::App& app, int& exitCode);

}  // namespace voxl::cli
