// Running the voxl command from the tool tests: its path (VOXL_BINARY, from the build), a run
// with its exit status, stdout and stderr.
#pragma once

#include <string>
#include <vector>

#include "support/peer.h"
#include "support/tone_pulse.h"

namespace voxl::test {

struct VoxlRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Fixture of the tool tests: Voxl runs `voxl <args>` (args already quoted for the shell) with
// VOXL_AUDIO_DRIVER=driver (which may be followed by more NAME=value words for the environment),
// after the shell commands `before` (e.g. "ulimit -f 100;"), its stderr read back from a file in
// the test's folder.
class VoxlTest : public TempDirTest {
 protected:
  VoxlRun Voxl(const std::string& args, const char* driver = "virtual",
               const std::string& before = "") {
    const std::string errPath = File("stderr.txt");
    const CommandResult result =
        RunCommand(before + "VOXL_AUDIO_DRIVER=" + driver + " " + ShellQuote(VOXL_BINARY) + " " +
                   args + " 2>" + ShellQuote(errPath));
    const std::vector<uint8_t> err = ReadBinaryFile(errPath);
    return {result.exitCode, result.output, std::string(err.begin(), err.end())};
  }
};

// Runs a shell command that makes a file (sox, ffmpeg); whether it succeeded.
inline bool Made(const std::string& command) {
  return RunCommand(command).exitCode == 0;
}

// What ffprobe says of the first stream of `file`: "codec,rate,channels\n", e.g. "mp3,22050,2\n".
inline std::string Probe(const std::string& file) {
  return RunCommand(
             "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " +
             ShellQuote(file))
      .output;
}

}  // namespace voxl::test
