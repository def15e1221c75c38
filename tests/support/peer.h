// Helpers for peer checks: run other programs (sox, soxi, ffprobe) on files the tests write or
// read, read WAVE files through libsndfile, and keep each test's files in a temporary folder that
// goes away with the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxl::test {

// The little-endian 32-bit value at byte `at` of `bytes` (a size or count of a RIFF header).
inline uint32_t U32At(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

// --- Commands ---------------------------------------------------------------------------------

struct CommandResult {
  int exitCode = -1;   // the program's exit status; -1 when it did not start or did not exit
  std::string output;  // everything it wrote to stdout
};

// Runs `command` through /bin/sh and captures its stdout. stderr is left alone (pass "2>&1" or
// "2>/dev/null" in the command to redirect it).
CommandResult RunCommand(const std::string& command);

// `text` as one single-quoted shell word, safe for any file name.
std::string ShellQuote(std::string_view text);

// The 16-bit samples a peer program writes to its standard output; none when it fails.
std::vector<std::int16_t> PeerSamples(const std::string& command);

// True when an executable file of that name is on PATH (or at that path, if it contains a '/').
bool HaveProgram(std::string_view name);

// --- Temporary folders --------------------------------------------------------------------------

// A fresh, uniquely named folder under $TMPDIR (or /tmp), removed with everything in it when the
// object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Path of a file named `name` inside the folder, as a string for the C interfaces.
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
  std::error_code ignored_;
};

// Fixture for tests that write files: each test gets its own TempDir.
class TempDirTest : public ::testing::Test {
 protected:
  std::string File(std::string_view name) const { return dir_.File(name); }
  const std::filesystem::path& dir() const { return dir_.path(); }
  size_t FilesInDir() const {
    return size_t(std::distance(std::filesystem::directory_iterator(dir()), {}));
  }

 private:
  TempDir dir_;
};

// Sets an environment variable (unsets it for null) until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// --- Files --------------------------------------------------------------------------------------

std::vector<std::uint8_t> ReadBinaryFile(const std::string& path);
bool WriteBinaryFile(const std::string& path, const void* data, std::size_t size);
// Waits at most `seconds` for the file to grow past `bytes`, woken by changes in its folder.
bool WaitForSize(const std::string& path, std::int64_t bytes, int seconds);

// A WAVE file written by libsndfile (an independent writer): PCM (8 or 16 bits), A-law or mu-law
// holding `data` as stored samples.
struct WaveLayout {
  std::uint16_t formatTag = 1;  // 1 PCM, 6 A-law, 7 mu-law
  std::uint16_t channels = 1;
  std::uint32_t sampleRate = 8000;
  std::uint16_t bitsPerSample = 16;
};
bool WriteWaveFile(const std::string& path, const WaveLayout& layout,
                   const std::vector<std::uint8_t>& data);

// --- libsndfile ---------------------------------------------------------------------------------

struct SndfileWave {
  std::int64_t frames = 0;
  int channels = 0;
  int sampleRate = 0;
  int format = 0;                     // SF_FORMAT_* major type | subtype
  std::vector<std::int16_t> samples;  // interleaved, converted to 16 bits by libsndfile
  std::vector<std::uint8_t> raw;  // the stored sample bytes of the data chunk (8/16 bits, G.711)
};

// Opens the file with libsndfile. nullopt (with libsndfile's message in *error) when it refuses.
std::optional<SndfileWave> ReadWithSndfile(const std::string& path, std::string* error = nullptr);

// --- sox ----------------------------------------------------------------------------------------

struct PeerInfo {
  int channels = 0;
  int sampleRate = 0;
  std::string encoding;     // "Signed Integer PCM", "A-law", "u-law", ...
  std::int64_t frames = 0;  // length in sample frames
  int bitsPerSample = 0;
};

// What `soxi` reports for the file; nullopt when soxi is missing or refuses the file.
std::optional<PeerInfo> SoxInfo(const std::string& path);

}  // namespace voxl::test
