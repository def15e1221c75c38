#include "support/peer.h"

#include <sndfile.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
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
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

bool HaveProgram(std::string_view name) {
  if (name.empty()) return false;
  auto executable = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string_view::npos) return executable(std::string(name));
  const char* env = std::getenv("PATH");
  std::string_view path = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = path.find(':');
    std::string_view entry = path.substr(0, colon);
    if (entry.empty()) entry = ".";
    if (executable(std::string(entry) + "/" + std::string(name))) return true;
    if (colon == std::string_view::npos) return false;
    path.remove_prefix(colon + 1);
  }
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

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

void PutTag(std::vector<std::uint8_t>& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

// Bytes per stored sample for the subtypes whose data libsndfile hands out raw; 0 otherwise.
int RawSampleBytes(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_ULAW:
      return 1;
    case SF_FORMAT_PCM_16:
      return 2;
    case SF_FORMAT_PCM_24:
      return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
      return 4;
    case SF_FORMAT_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::int64_t ToInt(const std::string& text) {
  try {
    return std::stoll(text);
  } catch (const std::exception&) {
    return 0;
  }
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

}  // namespace

bool WriteWaveFile(const std::string& path, const WaveLayout& layout,
                   const std::vector<std::uint8_t>& data) {
  const bool pcm = layout.formatTag == 1;
  const std::uint32_t blockAlign = layout.channels * ((layout.bitsPerSample + 7u) / 8u);
  const std::uint32_t fmtSize = pcm ? 16 : 18;
  const std::uint32_t dataSize = static_cast<std::uint32_t>(data.size());
  std::vector<std::uint8_t> file;
  PutTag(file, "RIFF");
  Put32(file, 4 + (8 + fmtSize) + (pcm ? 0 : 12) + 8 + dataSize + (dataSize & 1));
  PutTag(file, "WAVE");
  PutTag(file, "fmt ");
  Put32(file, fmtSize);
  Put16(file, layout.formatTag);
  Put16(file, layout.channels);
  Put32(file, layout.sampleRate);
  Put32(file, layout.sampleRate * blockAlign);
  Put16(file, blockAlign);
  Put16(file, layout.bitsPerSample);
  if (!pcm) {
    Put16(file, 0);  // cbSize
    PutTag(file, "fact");
    Put32(file, 4);
    Put32(file, blockAlign != 0 ? dataSize / blockAlign : 0);
  }
  PutTag(file, "data");
  Put32(file, dataSize);
  file.insert(file.end(), data.begin(), data.end());
  if ((dataSize & 1) != 0) file.push_back(0);
  return WriteBinaryFile(path, file.data(), file.size());
}

std::optional<SndfileWave> ReadWithSndfile(const std::string& path, std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    if (error != nullptr) *error = sf_strerror(nullptr);
    return std::nullopt;
  }
  SndfileWave wave;
  wave.frames = info.frames;
  wave.channels = info.channels;
  wave.sampleRate = info.samplerate;
  wave.format = info.format;
  // Read in pieces rather than sizing by the header's frame count, which a damaged file may
  // overstate.
  if (info.channels > 0) {
    std::vector<std::int16_t> piece(static_cast<std::size_t>(info.channels) * 4096);
    sf_count_t got;
    while ((got = sf_readf_short(file, piece.data(), 4096)) > 0) {
      wave.samples.insert(wave.samples.end(), piece.begin(), piece.begin() + got * info.channels);
    }
  }

  const int width = RawSampleBytes(info.format) * info.channels;
  if (width > 0 && sf_seek(file, 0, SEEK_SET) == 0) {
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(width) * 4096);
    sf_count_t n;
    while ((n = sf_read_raw(file, chunk.data(), static_cast<sf_count_t>(chunk.size()))) > 0) {
      wave.raw.insert(wave.raw.end(), chunk.begin(), chunk.begin() + n);
    }
  }
  sf_close(file);
  return wave;
}

std::optional<PeerInfo> SoxInfo(const std::string& path) {
  if (!HaveProgram("soxi")) return std::nullopt;
  const std::string quoted = ShellQuote(path);
  auto ask = [&](const char* option, std::string* answer) {
    CommandResult result =
        RunCommand(std::string("soxi ") + option + " " + quoted + " 2>/dev/null");
    *answer = FirstLine(result.output);
    return result.exitCode == 0;
  };
  PeerInfo info;
  std::string text;
  if (!ask("-c", &text)) return std::nullopt;
  info.channels = static_cast<int>(ToInt(text));
  if (!ask("-r", &text)) return std::nullopt;
  info.sampleRate = static_cast<int>(ToInt(text));
  if (!ask("-s", &text)) return std::nullopt;
  info.frames = ToInt(text);
  if (!ask("-b", &text)) return std::nullopt;
  info.bitsPerSample = static_cast<int>(ToInt(text));
  if (!ask("-e", &text)) return std::nullopt;
  info.encoding = text;
  return info;
}

std::optional<PeerInfo> FfprobeInfo(const std::string& path) {
  if (!HaveProgram("ffprobe")) return std::nullopt;
  const CommandResult result = RunCommand(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,channels,sample_rate,bits_per_sample,duration_ts "
      "-of default=noprint_wrappers=1 " +
      ShellQuote(path) + " 2>/dev/null");
  if (result.exitCode != 0) return std::nullopt;
  const auto values = KeyValues(result.output);
  if (values.count("codec_name") == 0) return std::nullopt;
  PeerInfo info;
  info.encoding = values.at("codec_name");
  if (values.count("channels") != 0) info.channels = static_cast<int>(ToInt(values.at("channels")));
  if (values.count("sample_rate") != 0)
    info.sampleRate = static_cast<int>(ToInt(values.at("sample_rate")));
  if (values.count("bits_per_sample") != 0) {
    info.bitsPerSample = static_cast<int>(ToInt(values.at("bits_per_sample")));
  }
  if (values.count("duration_ts") != 0) info.frames = ToInt(values.at("duration_ts"));
  return info;
}

}  // namespace voxl::test
