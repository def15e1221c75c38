// The ADPCM codecs against other decoders and encoders, sample by sample: files we write decode
// in ffmpeg, sox and libsndfile to what our decoder gives, and files ffmpeg and sox write (with
// their own block sizes) decode in ours to what ffmpeg gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/codec.h"
#include "support/peer.h"

namespace voxl::test {
namespace {

struct Row {
  WORD tag;
  DWORD rate;
  WORD channels;
};

std::string Name(const ::testing::TestParamInfo<Row>& info) {
  return std::string(info.param.tag == WAVE_FORMAT_IMA_ADPCM ? "Ima" : "Adpcm") +
         std::to_string(info.param.rate) + (info.param.channels == 1 ? "Mono" : "Stereo");
}

// The codec manager's format of the row's tag for 16-bit PCM of its rate and channels.
FormatBytes SuggestedFormat(const Row& row) {
  const auto align = static_cast<WORD>(2 * row.channels);
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, row.channels, row.rate, row.rate * align, align, 16, 0};
  FormatBytes format(64);
  auto* out = reinterpret_cast<WAVEFORMATEX*>(format.data());
  out->wFormatTag = row.tag;
  if (acmFormatSuggest(nullptr, &pcm, out, static_cast<DWORD>(format.size()),
                       ACM_FORMATSUGGESTF_WFORMATTAG) != 0) {
    return {};
  }
  format.resize(sizeof(WAVEFORMATEX) + out->cbSize);
  return format;
}

// A second and a bit (so the last block is partial) of a full-scale square wave that clips the
// decoders, then a sweep with noise, different in each channel.
std::vector<std::int16_t> Signal(const Row& row) {
  const std::size_t frames = row.rate + 123;
  std::vector<std::int16_t> s(frames * row.channels);
  std::uint32_t noise = 7;
  for (std::size_t i = 0; i < frames; ++i) {
    for (std::size_t c = 0; c < row.channels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      const double t = static_cast<double>(i) / row.rate;
      const double v = i < frames / 10
                           ? ((i / (20 + 7 * c)) % 2 != 0 ? 32767.0 : -32768.0)
                           : 26000.0 * std::sin(2 * M_PI * (100 + 450 * t) * t * (c + 2)) +
                                 static_cast<double>(static_cast<int>(noise >> 24) - 128);
      s[i * row.channels + c] = static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
  }
  return s;
}

std::vector<std::int16_t> AsSamples(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// `peer` starts with exactly `ours`.
void ExpectSamePrefix(const std::vector<std::int16_t>& peer, const std::vector<std::int16_t>& ours,
                      const char* who) {
  ASSERT_GE(peer.size(), ours.size()) << who;
  const auto at = std::mismatch(ours.begin(), ours.end(), peer.begin()).first - ours.begin();
  EXPECT_EQ(at, static_cast<std::ptrdiff_t>(ours.size())) << who << " differs at sample " << at;
}

class AdpcmPeer : public TempDirTest, public ::testing::WithParamInterface<Row> {};

TEST_P(AdpcmPeer, OurFilesDecodeInEveryPeerAsInOurs) {
  const Row row = GetParam();
  const FormatBytes format = SuggestedFormat(row);
  ASSERT_FALSE(format.empty());
  const std::vector<std::int16_t> samples = Signal(row);
  const auto encoded = Encode(format, samples);
  ASSERT_TRUE(encoded);
  auto ours = Decode(format, *encoded);
  ASSERT_TRUE(ours);
  ASSERT_GE(ours->size(), samples.size());
  ours->resize(samples.size());
  // The peers agreeing is only worth something if the codec is any good: a broken encoder whose
  // codes every decoder reads alike stays near 0 dB.
  double signal = 0, error = 0;
  for (std::size_t i = samples.size() / 5; i < samples.size(); ++i) {
    signal += double(samples[i]) * samples[i];
    error += (double(samples[i]) - (*ours)[i]) * (double(samples[i]) - (*ours)[i]);
  }
  EXPECT_GT(10 * std::log10(signal / error), 10.0);

  const std::string path = File("ours.wav");
  const auto frames = static_cast<std::uint32_t>(samples.size() / row.channels);
  ASSERT_TRUE(WriteCompressedWave(path, format, *encoded, frames));
  if (HaveProgram("ffmpeg")) {
    const auto peer = FfmpegDecode(path);
    ASSERT_TRUE(peer);
    ExpectSamePrefix(*peer, *ours, "ffmpeg");
  }
  if (HaveProgram("sox")) {
    const CommandResult sox = RunCommand("sox " + ShellQuote(path) + " -t s16 -");
    ASSERT_EQ(sox.exitCode, 0);
    ExpectSamePrefix(AsSamples(sox.output), *ours, "sox");
  }
  const auto sndfile = ReadWithSndfile(path);
  ASSERT_TRUE(sndfile);
  ExpectSamePrefix(sndfile->samples, *ours, "libsndfile");
}

TEST_P(AdpcmPeer, PeerFilesDecodeInOursAsInFfmpeg) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const Row row = GetParam();
  const std::vector<std::int16_t> samples = Signal(row);
  const std::string input = File("input.wav");
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
  ASSERT_TRUE(WriteWaveFile(input, {WAVE_FORMAT_PCM, row.channels, row.rate, 16},
                            {bytes, bytes + samples.size() * 2}));
  const bool ima = row.tag == WAVE_FORMAT_IMA_ADPCM;
  std::vector<std::pair<std::string, std::string>> writers = {
      {"ffmpeg", "ffmpeg -nostdin -v error -y -i " + ShellQuote(input) + " -c:a " +
                     (ima ? "adpcm_ima_wav " : "adpcm_ms ")}};
  if (HaveProgram("sox")) {
    writers.push_back(
        {"sox", "sox " + ShellQuote(input) + (ima ? " -e ima-adpcm " : " -e ms-adpcm ")});
  }
  for (const auto& [who, command] : writers) {
    SCOPED_TRACE(who);
    const std::string path = File(who + ".wav");
    ASSERT_EQ(RunCommand(command + ShellQuote(path)).exitCode, 0);
    const auto wave = ParseWave(path);
    ASSERT_TRUE(wave);
    ASSERT_EQ(AsFormat(wave->format).wFormatTag, row.tag);
    const auto ours = Decode(wave->format, wave->data);
    const auto peer = FfmpegDecode(path);
    ASSERT_TRUE(ours && peer);
    ASSERT_EQ(ours->size(), peer->size());
    ExpectSamePrefix(*peer, *ours, "ffmpeg");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AdpcmPeer,
    ::testing::Values(Row{WAVE_FORMAT_IMA_ADPCM, 8000, 1}, Row{WAVE_FORMAT_IMA_ADPCM, 22050, 2},
                      Row{WAVE_FORMAT_IMA_ADPCM, 44100, 2}, Row{WAVE_FORMAT_ADPCM, 8000, 1},
                      Row{WAVE_FORMAT_ADPCM, 11025, 2}, Row{WAVE_FORMAT_ADPCM, 44100, 2}),
    Name);

}  // namespace
}  // namespace voxl::test
