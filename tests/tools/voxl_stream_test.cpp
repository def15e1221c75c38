// The voxl command run as a program: its help, and voxl stream recording from the virtual input
// (real-time clock, a 440 Hz test tone) and, when a PulseAudio server answers, from the ALSA
// default device while a tone plays into the server's null sink.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "support/peer.h"
#include "support/tone.h"
#include "support/tone_pulse.h"
#include "voxl_run.h"

namespace {

using voxl::test::Channel;
using voxl::test::ChannelView;
using voxl::test::ShellQuote;
using voxl::test::VoxlRun;
using voxl::test::WaitForSize;

class VoxlStreamTest : public voxl::test::TempDirTest {
 protected:
  VoxlRun Stream(const std::string& args, const char* driver = "virtual") {
    return voxl::test::RunVoxl("stream " + args, File("stderr.txt"), driver);
  }
};

// The help names every command, and devices names the driver, why it serves and the device
// that -1 opens, as the public device functions tell them.
TEST_F(VoxlStreamTest, HelpAndDevicesSayWhatThereIs) {
  const VoxlRun top = voxl::test::RunVoxl("--help", File("err"));
  EXPECT_EQ(top.exitCode, 0);
  for (const char* word : {"devices", "stream", "record"}) {
    EXPECT_NE(top.out.find(word), std::string::npos) << word;
  }
  const VoxlRun devices = voxl::test::RunVoxl("devices --json", File("err"));
  EXPECT_EQ(devices.exitCode, 0) << devices.err;
  EXPECT_EQ(devices.out, R"({"driver":"virtual","reason":"VOXL_AUDIO_DRIVER=virtual","mapper":-1,)"
                         R"("input":[{"id":0,"name":"Virtual Input","channels":2,)"
                         R"("formats":"0x000fffff","default":true}],)"
                         R"("output":[{"id":0,"name":"Virtual Output","channels":2,)"
                         R"("formats":"0x000fffff","default":true}]})"
                         "\n");
}

TEST_F(VoxlStreamTest, OneSecondFromTheVirtualInputIsAValidWaveFileWithTheTone) {
  const std::string out = File("out.wav");
  const VoxlRun run = Stream("--seconds 1 " + ShellQuote(out));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("recording from the built-in virtual input"), std::string::npos);
  // Not a terminal: one meter line per second, with both channels near -12 dB.
  EXPECT_TRUE(std::regex_search(
      run.err, std::regex(R"(00:01\.\d  L \[#+-*\]  -12\.\d dB .*R \[#+-*\]  -12\.\d dB)")))
      << run.err;
  EXPECT_NE(run.err.find("written to " + out), std::string::npos);

  const auto info = voxl::test::SoxInfo(out);
  ASSERT_TRUE(info) << "sox refuses the file";
  EXPECT_EQ(info->channels, 2);
  EXPECT_EQ(info->sampleRate, 44100);
  EXPECT_EQ(info->bitsPerSample, 16);
  EXPECT_NEAR(info->frames, 44100, 4410);

  const auto wave = voxl::test::ReadWithSndfile(out);
  ASSERT_TRUE(wave);
  for (int c = 0; c < 2; ++c) {
    const ChannelView view = Channel(wave->samples, 2, c);
    EXPECT_NEAR(voxl::test::EstimateFrequency(view, 44100), 440.0, 2.0);
    EXPECT_NEAR(voxl::test::PeakDbfs(view), -12.0, 0.5);
  }
}

// --seconds counts the audio taken, not the clock: exactly that many frames.
TEST_F(VoxlStreamTest, RawPcmGoesToStdoutInWholeFramesForExactlyTheSecondsAsked) {
  const VoxlRun run = Stream("--seconds 0.25 -q -");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out.size(), 11025u * 4);
  EXPECT_EQ(run.out.find("RIFF"), std::string::npos);
  EXPECT_EQ(run.err, "") << "--quiet: no meter, no summary and no note on the virtual input";

  // A VOXL_VIRTUAL_INPUT of the user's own stands over voxl's test tone.
  const VoxlRun silent = Stream("--seconds 0.1 -", "virtual VOXL_VIRTUAL_INPUT=silence");
  EXPECT_EQ(silent.out, std::string(4410 * 4, '\0'));
  EXPECT_NE(silent.err.find("virtual input (VOXL_VIRTUAL_INPUT=silence)"), std::string::npos);
}

// Stopped by SIGTERM, voxl stream and voxl record leave a file whose header sizes cover all
// the audio.
TEST_F(VoxlStreamTest, TerminationLeavesACompleteFile) {
  for (const char* command : {"stream", "record"}) {
    SCOPED_TRACE(command);
    const std::string out = File(std::string(command) + ".wav");
    ASSERT_TRUE(voxl::test::RunUntilTerminated(command, out));
    const std::vector<uint8_t> bytes = voxl::test::ReadBinaryFile(out);
    const size_t chunk = std::string(bytes.begin(), bytes.end()).find("data");
    ASSERT_NE(chunk, std::string::npos);
    const size_t data = chunk + 8;
    ASSERT_GE(bytes.size(), data + 17640u);
    auto u32 = [&](size_t at) {
      return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
    };
    EXPECT_EQ(u32(4), bytes.size() - 8) << "RIFF size";
    EXPECT_EQ(u32(data - 4), bytes.size() - data) << "data size";
    const auto info = voxl::test::SoxInfo(out);
    ASSERT_TRUE(info);
    EXPECT_EQ(static_cast<size_t>(info->frames) * 4, bytes.size() - data);
  }
}

TEST_F(VoxlStreamTest, RecordsATonePlayedIntoThePulseAudioSink) {
  std::string why;
  if (!voxl::test::PulseAnswers(&why)) GTEST_SKIP() << why;
  voxl::test::NullSinkLock lock;
  ASSERT_TRUE(lock.held()) << "the null sink stayed busy";

  const std::string out = File("pulse.wav");
  setenv("VOXL_AUDIO_DRIVER", "alsa", 1);
  voxl::test::ChildProcess voxl;
  ASSERT_TRUE(voxl.Start({VOXL_BINARY, "stream", "-q", "--seconds", "4", out}));
  unsetenv("VOXL_AUDIO_DRIVER");
  ASSERT_TRUE(WaitForSize(out, 44, 10)) << "voxl stream recorded nothing";

  const std::string tone = File("tone.raw");
  ASSERT_TRUE(voxl::test::WriteRawFile(tone, voxl::test::MakeTone(1000.0, -6.0, 44100, 2, 44100)));
  voxl::test::ChildProcess pacat;
  ASSERT_TRUE(
      pacat.Start({"pacat", "--playback", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                   "--device=" + voxl::test::NullSinkName(), "--latency-msec=50"},
                  tone));
  ASSERT_EQ(pacat.WaitExit(15000), 0) << "pacat did not play the tone";
  ASSERT_EQ(voxl.WaitExit(15000), 0) << "voxl stream did not finish";

  const auto wave = voxl::test::ReadWithSndfile(out);
  ASSERT_TRUE(wave) << "the file does not open";
  EXPECT_EQ(wave->sampleRate, 44100);
  for (int c = 0; c < 2; ++c) {
    const ChannelView view = Channel(wave->samples, 2, c);
    const voxl::test::FrameRange loud = voxl::test::LoudRange(view, -20.0);
    ASSERT_GT(loud.size(), 44100u * 9 / 10) << "the tone is not in the file whole";
    const ChannelView middle = view.Slice(loud.begin + 4410, loud.end - 4410);
    EXPECT_NEAR(voxl::test::EstimateFrequency(middle, 44100), 1000.0, 5.0);
    EXPECT_NEAR(voxl::test::ToneDbfs(middle, 1000.0, 44100), -6.0, 1.0);
  }
}

}  // namespace
