// Files recorded by us, read back by sox, ffmpeg and libsndfile: each must find exactly the
// samples the virtual device delivered (A-law and mu-law as coded by our G.711 encoders), framed
// by the marker tones, also after an insert.
#include <cmath>

#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using testing::Bytes;
using testing::CaptureFormat;
using testing::CaptureTest;

// The stored bytes as 16-bit samples, the way a reader decodes them.
std::vector<int16_t> Decode(const CaptureFormat& format, const Bytes& stored) {
  std::vector<int16_t> out;
  if (format.sampleFormat == 16) {
    for (size_t i = 0; i + 1 < stored.size(); i += 2) {
      out.push_back(int16_t(stored[i] | stored[i + 1] << 8));
    }
    return out;
  }
  for (uint8_t b : stored) {
    if (format.sampleFormat == 8) out.push_back(int16_t((b - 128) * 256));
    if (format.sampleFormat == 106) out.push_back(ALawToLinear(b));
    if (format.sampleFormat == 107) out.push_back(MuLawToLinear(b));
  }
  return out;
}

std::vector<int16_t> Samples(const std::string& raw) {
  std::vector<int16_t> out(raw.size() / 2);
  std::memcpy(out.data(), raw.data(), out.size() * 2);
  return out;
}

// A peer's decoding of the whole file into 16-bit little-endian samples.
std::vector<int16_t> SoxSamples(const std::string& path) {
  return Samples(test::RunCommand("sox " + test::ShellQuote(path) +
                                  " -t raw -e signed-integer -b 16 -L - 2>/dev/null")
                     .output);
}
std::vector<int16_t> FfmpegSamples(const std::string& path) {
  return Samples(
      test::RunCommand("ffmpeg -v error -i " + test::ShellQuote(path) + " -f s16le - 2>/dev/null")
          .output);
}

// An 880 Hz marker tone of `frames` frames in the stored layout of `format`.
Bytes Tone(const CaptureFormat& format, uint32_t frames) {
  Bytes out;
  for (uint32_t k = 0; k < frames; ++k) {
    const double s = std::sin(k * 2 * 3.141592654 * 880.0 / format.rate);
    for (int c = 0; c < format.channels; ++c) {
      const auto v = int16_t(16384.0 * s);
      if (format.sampleFormat == 8) out.push_back(uint8_t(128 + int(64.0 * s)));
      if (format.sampleFormat == 106) out.push_back(LinearToALaw(v));
      if (format.sampleFormat == 107) out.push_back(LinearToMuLaw(v));
      if (format.sampleFormat == 16)
        out.push_back(uint8_t(v & 0xFF)), out.push_back(uint8_t(v >> 8));
    }
  }
  return out;
}

struct PeerCase {
  const char* name;
  CaptureFormat format;
  const char* soxEncoding;
  const char* ffmpegCodec;
};

class PeerReadTest : public CaptureTest, public ::testing::WithParamInterface<PeerCase> {
 protected:
  // Every peer finds `stored` (in the file's own coding) in the file at `path`.  ffmpeg takes
  // about half a second to start, so it is asked only when `withFfmpeg` is set.
  void ExpectPeersRead(const std::string& path, const Bytes& stored, bool withFfmpeg) {
    const CaptureFormat& f = GetParam().format;
    const int bytesPerFrame = f.channels * (f.sampleFormat == 16 ? 2 : 1);
    const int64_t frames = int64_t(stored.size()) / bytesPerFrame;
    const std::vector<int16_t> samples = Decode(f, stored);

    std::string error;
    const auto wave = test::ReadWithSndfile(path, &error);
    ASSERT_TRUE(wave.has_value()) << error;
    EXPECT_EQ(wave->frames, frames);
    EXPECT_EQ(wave->channels, f.channels);
    EXPECT_EQ(wave->sampleRate, int(f.rate));
    EXPECT_EQ(wave->raw, stored);
    EXPECT_EQ(wave->samples, samples);

    if (test::HaveProgram("sox")) {
      const auto info = test::SoxInfo(path);
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(info->frames, frames);
      EXPECT_EQ(info->channels, f.channels);
      EXPECT_EQ(info->encoding, GetParam().soxEncoding);
      EXPECT_EQ(SoxSamples(path), samples);
    }
    if (withFfmpeg && test::HaveProgram("ffmpeg") && test::HaveProgram("ffprobe")) {
      const auto info = test::FfprobeInfo(path);
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(info->sampleRate, int(f.rate));
      EXPECT_EQ(info->encoding, GetParam().ffmpegCodec);
      EXPECT_EQ(FfmpegSamples(path), samples);
    }
  }
};

TEST_P(PeerReadTest, RecordingWithMarkerTones) {
  const CaptureFormat& f = GetParam().format;
  const std::string path = File("rec.wav");
  Open(f, path);
  r().startToneSeconds = 0.125f;
  r().endToneSeconds = 0.25f;
  StartRecording();
  Complete(3);
  StopRecording();
  CloseRecording();
  const uint32_t perBuffer = f.rate / 10;  // every rate here is a multiple of 10
  ExpectPeersRead(path,
                  Concat({Tone(f, uint32_t(f.rate * 0.125)), Expected(f, 0, 3 * perBuffer),
                          Tone(f, uint32_t(f.rate * 0.25))}),
                  true);
}

TEST_P(PeerReadTest, RecordingWithAnInsertInTheMiddle) {
  const CaptureFormat& f = GetParam().format;
  const std::string path = File("ins.wav");
  SpliceFilesInTestDir();
  Open(f, path);
  StartRecording();
  Complete(4);
  StopRecording();
  const uint32_t perBuffer = f.rate / 10;
  const Bytes old = Expected(f, 0, 4 * perBuffer);

  signal_.frequency[0] = 3000.0;
  virtualaudio::SetInputSignal(0, signal_);
  kRecorderMethods.SetPosition(ToHost(&r()), int32_t(perBuffer + 7));
  r().insertMode = 1;
  StartRecording();
  Complete(2);
  StopRecording();
  CloseRecording();
  const size_t cut = old.size() / 4 + 7 * (old.size() / (4 * perBuffer));
  ExpectPeersRead(
      path,
      Concat({Bytes(old.begin(), old.begin() + long(cut)), Expected(f, 0, 2 * perBuffer),
              Bytes(old.begin() + long(cut), old.end())}),
      false);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PeerReadTest,
    ::testing::Values(PeerCase{"Pcm16Mono8000", {16, 1, 8000}, "Signed Integer PCM", "pcm_s16le"},
                      PeerCase{
                          "Pcm16Stereo44100", {16, 2, 44100}, "Signed Integer PCM", "pcm_s16le"},
                      PeerCase{"Pcm8Mono22050", {8, 1, 22050}, "Unsigned Integer PCM", "pcm_u8"},
                      PeerCase{"Pcm8Stereo11020", {8, 2, 11020}, "Unsigned Integer PCM", "pcm_u8"},
                      PeerCase{"ALawMono8000", {106, 1, 8000}, "A-law", "pcm_alaw"},
                      PeerCase{"MuLawStereo8000", {107, 2, 8000}, "u-law", "pcm_mulaw"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voxl
