// GSM 6.10 and MPEG Layer-3 against other decoders and encoders: ffmpeg, sox, libsndfile, mpg123
// and lame.  Each check is skipped when its program is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/acm/acm_driver.h"
#include "support/codec.h"
#include "support/peer.h"
#include "support/tone.h"

namespace voxl {
namespace {

using namespace test;  // NOLINT

constexpr double kTones[] = {220, 330, 554.4, 1245, 3100};

// The standard format of `driver` that Describe calls `text`.
FormatBytes Standard(const acm::CodecDriver& driver, const std::string& text) {
  FormatBytes f(driver.largestFormatBytes);
  auto* format = reinterpret_cast<WAVEFORMATEX*>(f.data());
  char described[128] = "";
  for (DWORD i = 0; described != text && driver.StandardFormat(i, format, f.size()); ++i) {
    driver.Describe(format, described, sizeof described);
  }
  return described == text ? FormatBytes(f.begin(), f.begin() + 18 + format->cbSize)
                           : FormatBytes{};
}

// Tones falling in level with frequency, one of them panned, and a little noise: what an encoder
// treats like music.
std::vector<int16_t> Music(int rate, int channels, size_t frames) {
  std::vector<int16_t> s(frames * channels);
  uint32_t noise = 1;
  for (size_t i = 0; i < frames; ++i) {
    const double t = 2 * M_PI * static_cast<double>(i) / rate;
    double v = 0;
    for (int k : {1, 2, 3, 4, 5}) v += 4000.0 / k * std::sin(kTones[k - 1] * t + k);
    for (int c = 0; c < channels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      const double panned = (c == 0 ? 2800 : 1200) * std::sin(660 * t);
      s[i * channels + c] = static_cast<int16_t>(v + panned + static_cast<int>(noise >> 25) - 64);
    }
  }
  return s;
}

// A 16-bit PCM WAVE file of `samples`.
bool WritePcm(const std::string& path, int rate, int channels,
              const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  const WaveLayout layout{1, static_cast<uint16_t>(channels), static_cast<uint32_t>(rate), 16};
  return WriteWaveFile(path, layout, bytes);
}

// The 16-bit samples a command writes to `raw`; empty when it fails.
std::vector<int16_t> RawSamples(const std::string& command, const std::string& raw) {
  if (RunCommand(command + " >" + ShellQuote(raw) + " 2>/dev/null").exitCode != 0) return {};
  return SamplesFromBytes(ReadBinaryFile(raw));
}

// Signal-to-noise ratio (dB) of stereo `decoded` against `source` at the lag (frames, up to two
// MPEG frames) that fits best on the first tenth of a second; `lag` receives it.
double AlignedSnr(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded,
                  size_t* lag) {
  auto error = [&](size_t l, size_t samples) {
    double e = 0;
    for (size_t i = 0; i < samples; ++i) e += std::pow(source[i] - decoded[2 * l + i], 2);
    return e;
  };
  if (decoded.size() < source.size()) return 0;
  for (size_t l = 0; l <= std::min<size_t>(2304, (decoded.size() - source.size()) / 2); ++l) {
    if (error(l, 8820) < error(*lag, 8820)) *lag = l;
  }
  double signal = 0;
  for (int16_t v : source) signal += static_cast<double>(v) * v;
  return 10 * std::log10(signal / std::max(error(*lag, source.size()), 1.0));
}

// What each installed peer decodes, by name: `command` writes 16-bit samples to stdout.
using Decodes = std::vector<std::pair<const char*, std::vector<int16_t>>>;
void AddPeer(Decodes& peers, const char* program, const std::string& command,
             const std::string& raw) {
  if (HaveProgram(program)) peers.emplace_back(program, RawSamples(command, raw));
}

class Mp3GsmPeerTest : public TempDirTest {};

TEST_F(Mp3GsmPeerTest, GsmFilesWeWriteDecodeInPeersToOurSamples) {
  const FormatBytes gsm = Standard(acm::kGsm610Driver, "8000 Hz, Mono");
  const std::vector<int16_t> source = Music(8000, 1, 10400);  // 32.5 blocks: END pads the last
  const auto bytes = Encode(gsm, source);
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 33u * 65);
  const auto ours = Decode(gsm, *bytes).value_or(std::vector<int16_t>{});
  const std::string path = File("ours.wav");
  ASSERT_TRUE(WriteCompressedWave(path, gsm, *bytes, 10400));
  Decodes peers;
  AddPeer(peers, "ffmpeg", "ffmpeg -v error -i " + ShellQuote(path) + " -f s16le -", File("f"));
  AddPeer(peers, "sox", "sox " + ShellQuote(path) + " -t s16 -", File("s"));
  peers.emplace_back("libsndfile", ReadWithSndfile(path).value_or(SndfileWave{}).samples);
  for (const auto& [name, samples] : peers) {
    SCOPED_TRACE(name);
    ASSERT_GE(samples.size(), source.size());
    // libsndfile counts the data chunk's pad byte as one more (partial) block.
    const size_t n = std::min(samples.size(), ours.size());
    EXPECT_TRUE(std::equal(samples.begin(), samples.begin() + n, ours.begin())) << samples.size();
  }
}

TEST_F(Mp3GsmPeerTest, GsmFilesPeersWriteDecodeInOursAsInFfmpeg) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const std::vector<int16_t> source = Music(8000, 1, 12345);
  const std::string in = File("in.wav");
  ASSERT_TRUE(WritePcm(in, 8000, 1, source));
  for (const std::string& writer :
       {"sox -D " + ShellQuote(in) + " -e gsm-full-rate ",
        "ffmpeg -v error -y -i " + ShellQuote(in) + " -c:a libgsm_ms "}) {
    SCOPED_TRACE(writer);
    const std::string out = File("peer.wav");  // skipped where the peer cannot write GSM 6.10
    if (RunCommand(writer + ShellQuote(out) + " 2>/dev/null").exitCode != 0) continue;
    const auto wave = ParseWave(out);
    ASSERT_TRUE(wave);
    const auto ours = Decode(wave->format, wave->data);
    EXPECT_GE(ours.value_or(std::vector<int16_t>{}).size(), source.size());
    EXPECT_TRUE(ours == FfmpegDecode(out));
  }
}

TEST_F(Mp3GsmPeerTest, Mp3FilesWeWritePlayInPeersWithTheirLengthAndLevel) {
  const FormatBytes mp3 = Standard(acm::kMpegLayer3Driver, "44100 Hz, 128 kbit/s, Stereo");
  ASSERT_EQ(mp3.size(), 30u);
  const size_t frames = 3 * 44100 + 777;
  const std::vector<int16_t> source = Music(44100, 2, frames);
  const auto bytes = Encode(mp3, source);
  ASSERT_TRUE(bytes);
  const std::string wave = File("ours.wav"), stream = File("ours.mp3");
  ASSERT_TRUE(WriteCompressedWave(wave, mp3, *bytes, frames));
  ASSERT_TRUE(WriteBinaryFile(stream, bytes->data(), bytes->size()));
  Decodes peers;
  AddPeer(peers, "ffmpeg", "ffmpeg -v error -i " + ShellQuote(wave) + " -f s16le -", File("f"));
  AddPeer(peers, "mpg123", "mpg123 -q -s " + ShellQuote(stream), File("m"));
  if (peers.empty()) GTEST_SKIP() << "neither ffmpeg nor mpg123 is installed";
  for (const auto& [name, decoded] : peers) {
    SCOPED_TRACE(name);
    size_t lag = 0;
    EXPECT_GE(AlignedSnr(source, decoded, &lag), 25.0);
    // After the encoder's delay, the sound lasts as long as the source, within one frame.
    EXPECT_NEAR(static_cast<double>(decoded.size() / 2 - lag), static_cast<double>(frames), 1152);
  }
}

TEST_F(Mp3GsmPeerTest, Mp3StreamsLameWritesDecodeInOursAsInMpg123) {
  if (!HaveProgram("lame") || !HaveProgram("mpg123")) GTEST_SKIP() << "lame or mpg123 is missing";
  const std::string in = File("in.wav"), stream = File("lame.mp3");
  ASSERT_TRUE(WritePcm(in, 44100, 2, Music(44100, 2, 2 * 44100 + 99)));
  ASSERT_EQ(RunCommand("lame --quiet -b 128 " + ShellQuote(in) + " " + ShellQuote(stream)).exitCode,
            0);
  // Our codec trims nothing, so mpg123 must not either (gapless, it trims what lame's Info frame
  // says).
  const auto reference = RawSamples("mpg123 -q --no-gapless -s " + ShellQuote(stream), File("r"));
  ASSERT_GT(reference.size(), 2u * 2 * 44100);
  const auto ours = Decode(Standard(acm::kMpegLayer3Driver, "44100 Hz, 128 kbit/s, Stereo"),
                           ReadBinaryFile(stream));
  EXPECT_TRUE(ours == reference) << (ours ? ours->size() : 0) << " vs " << reference.size();
}

}  // namespace
}  // namespace voxl
