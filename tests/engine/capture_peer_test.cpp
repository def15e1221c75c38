// Files recorded by us, with marker tones and an insert, read back by libsndfile, sox and ffmpeg:
// each must find exactly the samples the virtual device delivered (A-law and mu-law as coded by
// our G.711 encoders and decoded by the peer's own).
#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using namespace testing;

// Stored bytes as the 16-bit samples a reader decodes them to.
std::vector<int16_t> Decode(const CaptureFormat& f, const Bytes& stored) {
  std::vector<int16_t> out;
  for (size_t i = 0; i < stored.size(); ++i) {
    const uint8_t b = stored[i];
    if (f.sampleFormat == 16) out.push_back(int16_t(b | stored[++i] << 8));
    if (f.sampleFormat == 8) out.push_back(int16_t((b - 128) * 256));
    if (f.sampleFormat == 106) out.push_back(ALawToLinear(b));
    if (f.sampleFormat == 107) out.push_back(MuLawToLinear(b));
  }
  return out;
}

struct PeerCase {
  const char* name;
  CaptureFormat format;
};

class PeerReadTest : public CaptureTest, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(PeerReadTest, PeersReadTheDeliveredSamplesTonesAndInsert) {
  const CaptureFormat& f = GetParam().format;
  const std::string path = File("rec.wav");
  const uint32_t perBuffer = f.rate / 10;  // each rate here is a multiple of 10
  Open(f, path);
  r().startToneSeconds = 0.125f;
  r().endToneSeconds = 0.25f;
  RecordBuffers(3);
  const Bytes start = Tone(f, uint32_t(f.rate * 0.125)), end = Tone(f, uint32_t(f.rate * 0.25));
  const Bytes first = Expected(f, 0, 3 * perBuffer);
  r().startToneSeconds = r().endToneSeconds = 0.0f;
  SetPosition(r(), int32_t(start.size() / f.channels / (f.sampleFormat == 16 ? 2 : 1) + 7));
  r().insertMode = 1;
  UseSignal(3000.0);
  RecordBuffers(2);
  CloseRecording();
  const size_t cut = start.size() + 7 * (first.size() / (3 * perBuffer));
  const Bytes stored =
      Concat({start, Bytes(first.begin(), first.begin() + long(cut - start.size())),
              Expected(f, 0, 2 * perBuffer),
              Bytes(first.begin() + long(cut - start.size()), first.end()), end});
  const std::vector<int16_t> samples = Decode(f, stored);
  const int64_t frames = int64_t(samples.size()) / f.channels;

  std::string error;
  const auto wave = test::ReadWithSndfile(path, &error);
  ASSERT_TRUE(wave.has_value()) << error;
  EXPECT_EQ(std::tuple(wave->frames, wave->channels, wave->sampleRate),
            std::tuple(frames, int(f.channels), int(f.rate)));
  EXPECT_EQ(wave->raw, stored);
  EXPECT_EQ(wave->samples, samples);
  const std::string quoted = test::ShellQuote(path);
  if (test::HaveProgram("sox")) {
    EXPECT_EQ(PeerSamples("sox " + quoted + " -t raw -e signed-integer -b 16 -L -"), samples);
  }
  if (test::HaveProgram("ffmpeg")) {
    EXPECT_EQ(PeerSamples("ffmpeg -v error -i " + quoted + " -f s16le -"), samples);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PeerReadTest,
                         ::testing::Values(PeerCase{"Pcm16Mono8000", {16, 1, 8000}},
                                           PeerCase{"Pcm16Stereo44100", {16, 2, 44100}},
                                           PeerCase{"Pcm8Mono22050", {8, 1, 22050}},
                                           PeerCase{"Pcm8Stereo11020", {8, 2, 11020}},
                                           PeerCase{"ALawMono8000", {106, 1, 8000}},
                                           PeerCase{"MuLawStereo8000", {107, 2, 8000}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voxl
