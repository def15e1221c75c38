// The codecs against other decoders and encoders.  Quality: our encoders against ffmpeg's on a
// tone, both decoded by ffmpeg.  Sample by sample: files we write decode in the
// peers that round as the format's own platform does exactly as in ours (the others come close),
// files ffmpeg and sox write decode in ours as in such a peer, and MPEG Layer-3 plays in ffmpeg
// and mpg123 (streams lame writes play as mpg123 decodes them: the engine's peer playback test).
// Each check is skipped when its program is missing.
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

// The decoders a file is checked in.
enum Peer : unsigned { kFfmpeg = 1, kSox = 2, kSndfile = 4 };

// A codec, its rate and channels, how ffmpeg and sox are asked to write it, and the peers that
// round as the format's own platform does (IMA ADPCM: the shifted parts of the step; coefficient
// ADPCM: the prediction divided, not shifted).
struct Row {
  const char* name;
  WORD tag;
  DWORD rate;
  WORD channels;
  const char* ffmpegCodec;
  const char* soxEncoding;
  unsigned samePeers;
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

std::vector<int16_t> FfmpegSamples(const std::string& path) {
  return FfmpegDecode(path).value_or(std::vector<int16_t>{});
}
std::vector<int16_t> DecodedBy(Peer peer, const std::string& path) {
  if (peer == kFfmpeg) return FfmpegSamples(path);
  if (peer == kSox) return PeerSamples("sox " + ShellQuote(path) + " -t s16 -");
  return ReadWithSndfile(path).value_or(SndfileWave{}).samples;
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

// A codec at a rate and channels: our encoder's SNR, decoded by ffmpeg, may fall at most `margin`
// dB below that of ffmpeg's encoder on two seconds of a 1 kHz tone at -6 dBFS.
struct QualityRow {
  const char* name;
  WORD tag;
  const char* ffmpegCodec;
  DWORD rate;
  WORD channels;
  double margin;
};

class CodecQuality : public TempDirTest, public ::testing::WithParamInterface<QualityRow> {};

TEST_P(CodecQuality, OursDecodedByFfmpegIsAsCleanAsFfmpegsEncoder) {
  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const QualityRow row = GetParam();
  const std::vector<int16_t> input =
      MakeTone(1000.0, -6.0, row.rate, row.channels, size_t{2} * row.rate);
  const FormatBytes format = SuggestFormat(row.tag, row.rate, row.channels);
  const auto encoded = Encode(format, input);
  ASSERT_TRUE(encoded);
  const std::string ours = File("ours.wav"), pcm = File("in.wav"), theirs = File("theirs.wav");
  ASSERT_TRUE(WriteCompressedWave(ours, format, *encoded,
                                  static_cast<uint32_t>(input.size() / row.channels)));
  ASSERT_TRUE(WritePcm(pcm, row.rate, row.channels, input));
  ASSERT_EQ(RunCommand("ffmpeg -nostdin -v error -y -i " + ShellQuote(pcm) + " -c:a " +
                       row.ffmpegCodec + " " + ShellQuote(theirs))
                .exitCode,
            0);
  const double ourSnr = SnrDb(input, FfmpegSamples(ours), row.channels);
  const double theirSnr = SnrDb(input, FfmpegSamples(theirs), row.channels);
  EXPECT_GE(ourSnr, theirSnr - row.margin) << "ffmpeg's encoder: " << theirSnr << " dB";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CodecQuality,
    ::testing::Values(QualityRow{"Ima8000Mono", 0x11, "adpcm_ima_wav", 8000, 1, 0.3},
                      QualityRow{"Ima44100Stereo", 0x11, "adpcm_ima_wav", 44100, 2, 0.3},
                      QualityRow{"Adpcm8000Mono", WAVE_FORMAT_ADPCM, "adpcm_ms", 8000, 1, 0},
                      QualityRow{"Adpcm44100Stereo", WAVE_FORMAT_ADPCM, "adpcm_ms", 44100, 2, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class CodecPeer : public TempDirTest, public ::testing::WithParamInterface<Row> {};

// Our files decode in the peers that round as the format's own platform does exactly as in ours;
// the others give the same number of samples and sound nearly as clean.  Files ffmpeg and sox
// write decode in ours as in such a peer.
TEST_P(CodecPeer, FilesDecodeAlikeInOursAndInPeersOfTheSameRounding) {
  const Row row = GetParam();
  const FormatBytes format = SuggestFormat(row.tag, row.rate, row.channels);
  const std::vector<int16_t> samples = Signal(row);
  const auto encoded = Encode(format, samples);
  ASSERT_TRUE(encoded);
  auto ours = Decode(format, *encoded);
  ASSERT_TRUE(ours);
  // The last partial block is encoded too.
  ASSERT_GE(ours->size(), samples.size());
  ours->resize(samples.size());
  const double ourSnr = SnrDb(samples, *ours, row.channels, 0, samples.size() / 5);

  const std::string path = File("ours.wav");
  ASSERT_TRUE(WriteCompressedWave(path, format, *encoded,
                                  static_cast<uint32_t>(samples.size() / row.channels)));
  for (const auto& [peer, who] :
       {std::pair{kFfmpeg, "ffmpeg"}, {kSox, "sox"}, {kSndfile, "libsndfile"}}) {
    if (peer != kSndfile && !HaveProgram(who)) continue;
    SCOPED_TRACE(who);
    std::vector<int16_t> theirs = DecodedBy(peer, path);
    if ((row.samePeers & peer) != 0) {
      ExpectSamePrefix(theirs, *ours, who);
      continue;
    }
    ASSERT_GE(theirs.size(), samples.size());
    theirs.resize(samples.size());
    EXPECT_GT(SnrDb(samples, theirs, row.channels, 0, samples.size() / 5), ourSnr - 3);
  }

  if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const Peer reference = (row.samePeers & kFfmpeg) != 0 ? kFfmpeg : kSox;
  const std::string in = File("in.wav");
  ASSERT_TRUE(WritePcm(in, row.rate, row.channels, samples));
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
    const auto peerDecoded = Decode(wave->format, wave->data);
    ASSERT_TRUE(peerDecoded);
    const std::vector<int16_t> peer = DecodedBy(reference, out);
    ASSERT_EQ(peerDecoded->size(), peer.size());
    ExpectSamePrefix(peer, *peerDecoded, reference == kFfmpeg ? "ffmpeg" : "sox");
  }
  EXPECT_GT(written, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, CodecPeer,
                         ::testing::Values(Row{"Ima8000Mono", WAVE_FORMAT_IMA_ADPCM, 8000, 1,
                                               "adpcm_ima_wav", "ima-adpcm", kSox | kSndfile},
                                           Row{"Ima44100Stereo", WAVE_FORMAT_IMA_ADPCM, 44100, 2,
                                               "adpcm_ima_wav", "ima-adpcm", kSox | kSndfile},
                                           Row{"Adpcm8000Mono", WAVE_FORMAT_ADPCM, 8000, 1,
                                               "adpcm_ms", "ms-adpcm", kFfmpeg},
                                           Row{"Adpcm44100Stereo", WAVE_FORMAT_ADPCM, 44100, 2,
                                               "adpcm_ms", "ms-adpcm", kFfmpeg},
                                           Row{"Gsm8000Mono", WAVE_FORMAT_GSM610, 8000, 1,
                                               "libgsm_ms", "gsm-full-rate",
                                               kFfmpeg | kSox | kSndfile}),
                         [](const auto& info) { return std::string(info.param.name); });

class Mp3Peer : public TempDirTest {};

TEST_F(Mp3Peer, OurFilesPlayInPeersWithTheirLengthAndLevel) {
  const FormatBytes mp3 = SuggestFormat(WAVE_FORMAT_MPEGLAYER3, 44100, 2);  // 128 kbit/s
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
        *name == 'f' ? FfmpegSamples(path) : PeerSamples("mpg123 -q -s " + ShellQuote(path));
    ASSERT_GE(decoded.size(), source.size());
    size_t lag = 0;  // the encoder's delay, up to two frames
    EXPECT_GE(SnrDb(source, decoded, 2, 2304, 0, &lag), 25.0);
    // After the encoder's delay, the sound lasts as long as the source, within one frame.
    EXPECT_NEAR(static_cast<double>(decoded.size() / 2 - lag), static_cast<double>(frames), 1152);
  }
}

}  // namespace
}  // namespace voxl::test
