// File conversion as the library does it (VoxlConvertFile), what the voxl tests cannot reach: the
// progress callback and cancelling.  (The formats it writes: tools/voxl_edit_test.cpp.)
#include "engine/file_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "core/recorder.h"
#include "support/peer.h"

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
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir()), {}), 2);
  EXPECT_EQ(ConvertFile(in.c_str(), in.c_str(), o), ErrSameFile);
}

}  // namespace
}  // namespace voxl
