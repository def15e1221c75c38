// The codecs against other decoders and encoders, sample by sample: files we write decode in
// ffmpeg, sox and libsndfile to what our decoder gives, files ffmpeg and sox write decode in ours
// to what ffmpeg gives, and MPEG Layer-3 plays in ffmpeg and mpg123 (streams lame writes play as
// mpg123 decodes them: the engine's peer playback test).  Each check is skipped when its program
// is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/codec.h"
#include "support/peer.h"
#include "support/tone.h"

namespace voxl::test {
namespace {

// A codec, its rate and channels, the minimum signal-to-noise ratio of its round trip, and how
// ffmpeg and sox are asked to write it.
struct Row {
  const char* name;
  WORD tag;
  DWORD rate;
  WORD channels;
  double minSnr;
  const char* ffmpegCodec;
  const char* soxEncoding;
};

// A second and a bit (so the last block is partial) of a full-scale square wave that clips the
// decoders, then a sweep with noise, different in each channel.
std::vector<int16_t> Signal(const Row& row) {
  const size_t frames = row.rate + 123;
  std::vector<int16_t> s(frames * row.channels);
  uint32_t noise = 7;
  for (size_t i = 0; i < frames; ++i) {
    for (size_t c = 0; c < row.channels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      const double t = static_cast<double>(i) / row.rate;
      const double v = i < frames / 10
                           ? ((i / (20 + 7 * c)) % 2 != 0 ? 32767.0 : -32768.0)
                           : 26000.0 * std::sin(2 * M_PI * (100 + 450 * t) * t * (c + 2)) +
                                 static_cast<double>(static_cast<int>(noise >> 24) - 128);
      s[i * row.channels + c] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
  }
  return s;
}

// The 16-bit samples a command writes to stdout; empty when it fails.
std::vector<int16_t> RawSamples(const std::string& command, const std::string& raw) {
  if (RunCommand(command + " >" + ShellQuote(raw) + " 2>/dev/null").exitCode != 0) return {};
  return SamplesFromBytes(ReadBinaryFile(raw));
}
std::vector<int16_t> FfmpegSamples(const std::string& path) {
  return FfmpegDecode(path).value_or(std::vector<int16_t>{});
}

// 16-bit PCM WAVE input for the peers that write.
bool WritePcm(const std::string& path, DWORD rate, WORD channels,
              const std::vector<int16_t>& samples) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
  return WriteWaveFile(path, {WAVE_FORMAT_PCM, channels, rate, 16},
                       {bytes, bytes + samples.size() * 2});
}

// `peer` starts with exactly `ours`.
void ExpectSamePrefix(const std::vector<int16_t>& peer, const std::vector<int16_t>& ours,
                      const std::string& who) {
  ASSERT_GE(peer.size(), ours.size()) << who;
  const auto at = std::mismatch(ours.begin(), ours.end(), peer.begin()).first - ours.begin();
  EXPECT_EQ(at, static_cast<std::ptrdiff_t>(ours.size())) << who << " differs at sample " << at;
}

class CodecPeer : public TempDirTest, public ::testing::WithParamInterface<Row> {};

TEST_P(CodecPeer, OurFilesDecodeInEveryPeerAsInOurs) {
  const Row row = GetParam();
  const FormatBytes format = SuggestFormat(row.tag, row.rate, row.channels);
  ASSERT_FALSE(format.empty());
  const std::vector<int16_t> samples = Signal(row);
  const auto encoded = Encode(format, samples);
  ASSERT_TRUE(encoded);
  auto ours = Decode(format, *encoded);
  ASSERT_TRUE(ours);
  // The last partial block is encoded too.
  ASSERT_GE(ours->size(), samples.size());
  ours->resize(samples.size());
  // The peers agreeing is only worth something if the codec is any good: a broken encoder whose
  // codes every decoder reads alike stays near 0 dB.
  EXPECT_GT(SnrDb(samples, *ours, row.channels, 0, samples.size() / 5), row.minSnr);

  const std::string path = File("ours.wav");
  ASSERT_TRUE(WriteCompressedWave(path, format, *encoded,
                                  static_cast<uint32_t>(samples.size() / row.channels)));
  if (HaveProgram("ffmpeg")) ExpectSamePrefix(FfmpegSamples(path), *ours, "ffmpeg");
  if (HaveProgram("sox"))
    ExpectSamePrefix(RawSamples("sox " + ShellQuote(path) + " -t s16 -", File("s")), *ours, "sox");
  // libsndfile counts the data chunk's pad byte as one more (partial) block.
  ExpectSamePrefix(ReadWithSndfile(path).value_or(SndfileWave{}).samples, *ours, "libsndfile");
}

TEST_P(CodecPeer, PeerFilesDecodeInOursAsInFfmpeg) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const Row row = GetParam();
  const std::string in = File("in.wav");
  ASSERT_TRUE(WritePcm(in, row.rate, row.channels, Signal(row)));
  int written = 0;  // a peer built without the codec is passed over
  for (const std::string& writer :
       {"ffmpeg -nostdin -v error -y -i " + ShellQuote(in) + " -c:a " + row.ffmpegCodec + " ",
        "sox -D " + ShellQuote(in) + " -e " + row.soxEncoding + " "}) {
    SCOPED_TRACE(writer);
    const std::string out = File("peer.wav");
    if (RunCommand(writer + ShellQuote(out) + " 2>/dev/null").exitCode != 0) continue;
    ++written;
    const auto wave = ParseWave(out);
    ASSERT_TRUE(wave);
    ASSERT_EQ(AsFormat(wave->format).wFormatTag, row.tag);
    const auto ours = Decode(wave->format, wave->data);
    ASSERT_TRUE(ours);
    const std::vector<int16_t> peer = FfmpegSamples(out);
    ASSERT_EQ(ours->size(), peer.size());
    ExpectSamePrefix(peer, *ours, "ffmpeg");
  }
  EXPECT_GT(written, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CodecPeer,
    ::testing::Values(
        Row{"Ima8000Mono", WAVE_FORMAT_IMA_ADPCM, 8000, 1, 10, "adpcm_ima_wav", "ima-adpcm"},
        Row{"Ima22050Stereo", WAVE_FORMAT_IMA_ADPCM, 22050, 2, 10, "adpcm_ima_wav", "ima-adpcm"},
        Row{"Ima44100Stereo", WAVE_FORMAT_IMA_ADPCM, 44100, 2, 10, "adpcm_ima_wav", "ima-adpcm"},
        Row{"Adpcm8000Mono", WAVE_FORMAT_ADPCM, 8000, 1, 10, "adpcm_ms", "ms-adpcm"},
        Row{"Adpcm11025Stereo", WAVE_FORMAT_ADPCM, 11025, 2, 10, "adpcm_ms", "ms-adpcm"},
        Row{"Adpcm44100Stereo", WAVE_FORMAT_ADPCM, 44100, 2, 10, "adpcm_ms", "ms-adpcm"},
        Row{"Gsm8000Mono", WAVE_FORMAT_GSM610, 8000, 1, 0, "libgsm_ms", "gsm-full-rate"}),
    [](const auto& info) { return std::string(info.param.name); });

class Mp3Peer : public TempDirTest {};

TEST_F(Mp3Peer, OurFilesPlayInPeersWithTheirLengthAndLevel) {
  const FormatBytes mp3 = SuggestFormat(WAVE_FORMAT_MPEGLAYER3, 44100, 2);  // 128 kbit/s
  ASSERT_EQ(mp3.size(), 30u);
  const size_t frames = 3 * 44100 + 777;
  const std::vector<int16_t> source = MusicLike(44100, 2, frames);
  const auto bytes = Encode(mp3, source);
  ASSERT_TRUE(bytes);
  const std::string wave = File("ours.wav"), stream = File("ours.mp3");
  ASSERT_TRUE(WriteCompressedWave(wave, mp3, *bytes, frames));
  ASSERT_TRUE(WriteBinaryFile(stream, bytes->data(), bytes->size()));
  std::vector<std::pair<const char*, std::string>> peers = {{"ffmpeg", wave}, {"mpg123", stream}};
  for (const auto& [name, path] : peers) {
    if (!HaveProgram(name)) continue;
    SCOPED_TRACE(name);
    const std::vector<int16_t> decoded =
        *name == 'f' ? FfmpegSamples(path)
                     : RawSamples("mpg123 -q -s " + ShellQuote(path), File("m"));
    ASSERT_GE(decoded.size(), source.size());
    size_t lag = 0;  // the encoder's delay, up to two frames
    EXPECT_GE(SnrDb(source, decoded, 2, 2304, 0, &lag), 25.0);
    // After the encoder's delay, the sound lasts as long as the source, within one frame.
    EXPECT_NEAR(static_cast<double>(decoded.size() / 2 - lag), static_cast<double>(frames), 1152);
  }
}

}  // namespace
}  // namespace voxl::test
