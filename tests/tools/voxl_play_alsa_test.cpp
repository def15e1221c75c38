// voxl play through ALSA: a 1 kHz tone file played into the PulseAudio null sink is heard on the
// sink's monitor whole, at its frequency and level.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/tone.h"
#include "voxl_run.h"

namespace voxl::test {
namespace {

TEST(VoxlPlayAlsaTest, PlaysAToneFileIntoTheNullSink) {
  std::string why;
  if (!PulseAnswers(&why)) GTEST_SKIP() << why;
  NullSinkLock lock;
  ASSERT_TRUE(lock.held()) << "the null sink stayed busy";
  const TempDir dir;
  const std::vector<int16_t> tone = MakeTone(1000.0, -6.0, 44100, 2, 44100 * 3 / 2);
  const auto* bytes = reinterpret_cast<const uint8_t*>(tone.data());
  ASSERT_TRUE(WriteWaveFile(dir.File("tone.wav"), {1, 2, 44100, 16},
                            std::vector<uint8_t>(bytes, bytes + tone.size() * 2)));

  const std::string raw = dir.File("monitor.raw");
  ChildProcess parec;
  ASSERT_TRUE(parec.Start({"sh", "-c",
                           "exec parec --raw --format=s16le --rate=44100 --channels=2 "
                           "--latency-msec=50 --device=" +
                               ShellQuote(NullSinkName() + ".monitor") + " > " + ShellQuote(raw)}));
  ASSERT_TRUE(WaitForSize(raw, 0, 10)) << "parec records nothing";
  const VoxlRun run = RunVoxl("play " + ShellQuote(dir.File("tone.wav")), dir.File("err"), "alsa");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(WaitForSize(raw, off_t(std::filesystem::file_size(raw) + 44100 * 4 * 3 / 10), 10));
  parec.Terminate();

  const std::vector<int16_t> samples = SamplesFromBytes(ReadBinaryFile(raw));
  const ChannelView left = Channel(samples, 2, 0);
  const FrameRange loud = LoudRange(left, -20.0);
  ASSERT_GT(loud.size(), 44100u * 14 / 10) << "the tone was not heard whole";
  const ChannelView middle = left.Slice(loud.begin + 4410, loud.end - 4410);
  EXPECT_NEAR(EstimateFrequency(middle, 44100), 1000.0, 5.0);
  EXPECT_NEAR(ToneDbfs(middle, 1000.0, 44100), -6.0, 1.0);
}

}  // namespace
}  // namespace voxl::test
