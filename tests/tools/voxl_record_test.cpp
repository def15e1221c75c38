// voxl record run as a program with the virtual input (real-time clock, a 440 Hz test tone):
// formats, the recording limit, headerless files, device choice, refusals and a clean stop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/peer.h"
#include "support/tone.h"
#include "support/tone_pulse.h"
#include "voxl_run.h"

namespace {

using voxl::test::ShellQuote;

class VoxlRecordTest : public voxl::test::TempDirTest {
 protected:
  voxl::test::VoxlRun Record(const std::string& args) {
    return voxl::test::RunVoxl("record " + args, File("stderr.txt"));
  }
};

TEST_F(VoxlRecordTest, RecordsEachSampleFormatThatSoxReads) {
  struct Case {
    const char* args;
    const char* encoding;
    int rate;
    int channels;
  };
  for (const Case& c : {Case{"--format alaw --rate 8000 --channels 1", "A-law", 8000, 1},
                        Case{"--format mulaw --rate 16000", "u-law", 16000, 2},
                        Case{"--format pcm8 --rate 22050 --channels 1", "Unsigned", 22050, 1},
                        Case{"", "Signed Integer PCM", 44100, 2}}) {
    SCOPED_TRACE(c.args);
    const std::string out = File("take.wav");
    const voxl::test::VoxlRun run =
        Record(std::string(c.args) + " --seconds 0.5 " + ShellQuote(out));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("0.5 s recorded to " + out), std::string::npos) << run.err;
    const auto info = voxl::test::SoxInfo(out);
    ASSERT_TRUE(info);
    EXPECT_NE(info->encoding.find(c.encoding), std::string::npos) << info->encoding;
    EXPECT_EQ(info->sampleRate, c.rate);
    EXPECT_EQ(info->channels, c.channels);
    EXPECT_NEAR(info->frames, c.rate / 2, c.rate / 10);
    const auto wave = voxl::test::ReadWithSndfile(out);
    ASSERT_TRUE(wave);
    EXPECT_NEAR(
        voxl::test::EstimateFrequency(voxl::test::Channel(wave->samples, c.channels, 0), c.rate),
        440.0, 5.0);
  }
}

// The recorder's own length limit ends the run: a success, with exactly the frames asked for.
TEST_F(VoxlRecordTest, HeaderlessFilesHoldOnlyTheSamplesUpToTheLimit) {
  const std::string out = File("take.raw");
  const voxl::test::VoxlRun run = Record(
      "--headerless --format pcm16 --rate 8000 --channels 1 --max-seconds 0.5 " + ShellQuote(out));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::vector<uint8_t> bytes = voxl::test::ReadBinaryFile(out);
  EXPECT_EQ(bytes.size(), 8000u);
  std::vector<int16_t> samples = voxl::test::SamplesFromBytes(bytes);
  EXPECT_NEAR(voxl::test::PeakDbfs(voxl::test::Channel(samples, 1, 0)), -12.0, 0.5);
}

TEST_F(VoxlRecordTest, DevicesAreChosenByNumberOrExactName) {
  EXPECT_EQ(Record("--device 0 --seconds 0.2 -q " + ShellQuote(File("a.wav"))).exitCode, 0);
  EXPECT_EQ(
      Record("--device 'Virtual Input' --seconds 0.2 -q " + ShellQuote(File("b.wav"))).exitCode, 0);
  EXPECT_EQ(Record("--device 1 " + ShellQuote(File("c.wav"))).exitCode, 2);
  const voxl::test::VoxlRun run = Record("--device 'virtual input' " + ShellQuote(File("d.wav")));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("\"Virtual Input\""), std::string::npos) << run.err;
}

TEST_F(VoxlRecordTest, RefusalsChangeNothingAndSayWhy) {
  const std::string existing = File("keep.wav");
  ASSERT_EQ(Record("--seconds 0.2 -q " + ShellQuote(existing)).exitCode, 0);
  const std::vector<uint8_t> before = voxl::test::ReadBinaryFile(existing);

  voxl::test::VoxlRun run = Record("--at 0.1 " + ShellQuote(existing));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("not available yet"), std::string::npos) << run.err;
  run = Record("--insert " + ShellQuote(existing));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(voxl::test::ReadBinaryFile(existing), before) << "the file was touched";

  run = Record("--insert " + ShellQuote(File("new.wav")));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("does not exist"), std::string::npos) << run.err;

  run = Record("--rate 12345 " + ShellQuote(File("x.wav")));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("12345 Hz is not offered"), std::string::npos) << run.err;
  run = Record("--sound-db 3 " + ShellQuote(File("x.wav")));
  EXPECT_EQ(run.exitCode, 2);
  run = Record("--format flac " + ShellQuote(File("x.wav")));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_FALSE(std::filesystem::exists(File("x.wav")));

  run = Record("--seconds 1 " + ShellQuote(File("no/folder/x.wav")));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("voxl: cannot create"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("could not be opened, created or read"), std::string::npos) << run.err;
}

TEST_F(VoxlRecordTest, TerminationFinishesTheFile) {
  const std::string out = File("stopped.wav");
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  voxl::test::ChildProcess voxl;
  ASSERT_TRUE(voxl.Start({VOXL_BINARY, "record", "-q", out}));
  unsetenv("VOXL_AUDIO_DRIVER");
  ASSERT_TRUE(voxl::test::WaitForSize(out, 44 + 17640, 10));
  voxl.Terminate();
  const auto info = voxl::test::SoxInfo(out);
  ASSERT_TRUE(info);
  const std::vector<uint8_t> bytes = voxl::test::ReadBinaryFile(out);
  const std::string text(bytes.begin(), bytes.end());
  const size_t data = text.find("data");
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(static_cast<size_t>(info->frames) * 4, bytes.size() - (data + 8))
      << "the sizes in the header cover all the audio";
}

}  // namespace
