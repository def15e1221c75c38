// File conversion as the library does it (VoxlConvertFile), what the voxl tests cannot reach: a
// converted file is byte for byte the recording of the same audio, the progress callback and
// cancelling.  (The formats it writes, read by peers: tools/voxl_edit_test.cpp.)
#include "engine/file_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "core/recorder.h"
#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using FileConvertTest = test::TempDirTest;

struct Calls {
  std::vector<double> fractions;
  size_t cancelAt = SIZE_MAX;
};

BOOL CALLBACK Note(DOUBLE fraction, void* context) {
  auto* calls = static_cast<Calls*>(context);
  calls->fractions.push_back(fraction);
  return calls->fractions.size() < calls->cancelAt ? TRUE : FALSE;
}

// The fraction only grows and ends at 1; a cancel ends the work with nothing left behind.
TEST_F(FileConvertTest, ProgressGrowsToOneAndACancelLeavesNothing) {
  const std::string in = File("in.wav"), out = File("out.wav");
  ASSERT_TRUE(test::WriteWaveFile(in, test::WaveLayout{1, 2, 44100, 16},
                                  std::vector<uint8_t>(4 * 44100 * 10, 0)));
  Calls calls;
  VoxlConvertOptions o{};
  o.sampleFormat = 100;
  const uint8_t ima[] = {0x11, 0, 2, 0, 0x44, 0xac, 0, 0,    0xdb, 0xac, 0,
                         0,    0, 8, 4, 0,    2,    0, 0xf9, 0x07};  // IMA ADPCM, 44100 Hz stereo
  o.format = reinterpret_cast<const WAVEFORMATEX*>(ima);
  o.formatSize = sizeof ima;
  o.progress = Note;
  o.progressContext = &calls;
  ASSERT_EQ(ConvertFile(in.c_str(), out.c_str(), o), ErrNone);
  ASSERT_GT(calls.fractions.size(), 3u);
  EXPECT_TRUE(std::is_sorted(calls.fractions.begin(), calls.fractions.end()));
  EXPECT_EQ(calls.fractions.back(), 1.0);

  calls = Calls{{}, 2};
  const std::string other = File("other.wav");
  EXPECT_EQ(ConvertFile(in.c_str(), other.c_str(), o), ErrCancelled);
  EXPECT_EQ(calls.fractions.size(), 2u);
  EXPECT_EQ(FilesInDir(), 2u);
  EXPECT_EQ(ConvertFile(in.c_str(), in.c_str(), o), ErrSameFile);
}

struct LikeCase {
  const char* name;
  WORD tag;
  uint16_t channels;
  uint32_t rate;
};

class ConvertLikeRecordingTest : public voxl::testing::CaptureTest,
                                 public ::testing::WithParamInterface<LikeCase> {};

// The same audio recorded from the device and converted from a file: the same bytes, header,
// "fact" count and encoder flush included.
TEST_P(ConvertLikeRecordingTest, WritesTheFileARecordingWrites) {
  const LikeCase& c = GetParam();
  const auto format = UseTargetFormat(c.tag, {100, c.channels, c.rate});
  const std::string recorded = File("recorded.wav"), in = File("in.wav"), out = File("out.wav");
  Open({100, c.channels, c.rate}, recorded);
  RecordBuffers(25);
  CloseRecording();
  ASSERT_TRUE(test::WriteWaveFile(in, test::WaveLayout{1, c.channels, c.rate, 16},
                                  Expected({16, c.channels, c.rate}, 0, 25 * (c.rate / 10))));
  VoxlConvertOptions o{};
  o.sampleFormat = 100;
  o.format = &test::AsFormat(format);
  o.formatSize = DWORD(format.size());
  ASSERT_EQ(ConvertFile(in.c_str(), out.c_str(), o), ErrNone);
  const std::vector<uint8_t> file = test::ReadBinaryFile(recorded);
  EXPECT_GT(file.size(), 25u * c.rate / 10 / 8);  // the audio is there: a bit a frame or more
  EXPECT_TRUE(test::ReadBinaryFile(out) == file);
}

INSTANTIATE_TEST_SUITE_P(Codecs, ConvertLikeRecordingTest,
                         ::testing::Values(LikeCase{"Ima", WAVE_FORMAT_IMA_ADPCM, 2, 22050},
                                           LikeCase{"MsAdpcm", WAVE_FORMAT_ADPCM, 1, 11025},
                                           LikeCase{"Gsm", WAVE_FORMAT_GSM610, 1, 8000},
                                           LikeCase{"Mp3", WAVE_FORMAT_MPEGLAYER3, 2, 44100}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voxl
