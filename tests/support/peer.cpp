#include "support/peer.h"

#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace voxl::test {

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string ShellQuote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + '\'';
}

bool HaveProgram(std::string_view name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null 2>&1").exitCode == 0;
}

TempDir::TempDir() {
  const char* env = std::getenv("TMPDIR");
  std::string pattern = (env != nullptr && *env != '\0') ? env : "/tmp";
  pattern += "/voxl-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder from " + pattern + ": " +
                             std::strerror(errno));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const {
  return (path_ / name).string();
}

std::vector<std::uint8_t> ReadBinaryFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

bool WriteBinaryFile(const std::string& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out.flush());
}

bool WriteWaveFile(const std::string& path, const WaveLayout& layout,
                   const std::vector<std::uint8_t>& data) {
  SF_INFO info{};
  info.channels = layout.channels;
  info.samplerate = static_cast<int>(layout.sampleRate);
  info.format = SF_FORMAT_WAV | (layout.formatTag == 6       ? SF_FORMAT_ALAW
                                 : layout.formatTag == 7     ? SF_FORMAT_ULAW
                                 : layout.bitsPerSample == 8 ? SF_FORMAT_PCM_U8
                                                             : SF_FORMAT_PCM_16);
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  const auto size = static_cast<sf_count_t>(data.size());
  const bool written = sf_write_raw(file, data.data(), size) == size;
  return sf_close(file) == 0 && written;
}

std::optional<SndfileWave> ReadWithSndfile(const std::string& path, std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    if (error != nullptr) *error = sf_strerror(nullptr);
    return std::nullopt;
  }
  SndfileWave wave{info.frames, info.channels, info.samplerate, info.format, {}, {}};
  // Read in pieces rather than sizing by the header's frame count, which a damaged file may
  // overstate.
  std::vector<std::int16_t> piece(static_cast<std::size_t>(info.channels) * 4096);
  for (sf_count_t got; (got = sf_readf_short(file, piece.data(), 4096)) > 0;)
    wave.samples.insert(wave.samples.end(), piece.begin(), piece.begin() + got * info.channels);
  // The stored bytes, for the sample layouts the tests write (whole frames per read).
  const int width = ((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 2 : 1) * info.channels;
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(width) * 4096);
  sf_seek(file, 0, SEEK_SET);
  for (sf_count_t n; (n = sf_read_raw(file, chunk.data(), sf_count_t(chunk.size()))) > 0;)
    wave.raw.insert(wave.raw.end(), chunk.begin(), chunk.begin() + n);
  sf_close(file);
  return wave;
}

std::optional<PeerInfo> SoxInfo(const std::string& path) {
  std::string answers[5];
  const char* options[5] = {"-c", "-r", "-s", "-b", "-e"};
  for (int i = 0; i < 5; ++i) {
    const CommandResult result =
        RunCommand(std::string("soxi ") + options[i] + " " + ShellQuote(path) + " 2>/dev/null");
    if (result.exitCode != 0) return std::nullopt;
    answers[i] = result.output.substr(0, result.output.find('\n'));
  }
  auto number = [](const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); };
  return PeerInfo{int(number(answers[0])), int(number(answers[1])), answers[4], number(answers[2]),
                  int(number(answers[3]))};
}

}  // namespace voxl::test
