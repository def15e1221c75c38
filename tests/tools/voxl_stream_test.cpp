// The voxl command run as a program: voxl devices, and voxl stream recording from the virtual
// input (real-time clock, a 440 Hz test tone) and, when a PulseAudio server answers, from the ALSA
// default device while a tone plays into the server's null sink; and voxl play through ALSA into
// that sink, heard on its monitor whole, at its frequency and level.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "support/tone.h"
#include "voxl_run.h"

namespace {

using namespace voxl::test;  // NOLINT

using VoxlStreamTest = VoxlTest;

// voxl devices names the driver, why it serves and the device
// that -1 opens, as the public device functions tell them.
TEST_F(VoxlStreamTest, DevicesSayWhatThereIs) {
  const VoxlRun devices = Voxl("devices --json");
  EXPECT_EQ(devices.exitCode, 0) << devices.err;
  EXPECT_EQ(devices.out, R"({"driver":"virtual","reason":"VOXL_AUDIO_DRIVER=virtual","mapper":-1,)"
                         R"("input":[{"id":0,"name":"Virtual Input","channels":2,)"
                         R"("formats":"0x000fffff","default":true}],)"
                         R"("output":[{"id":0,"name":"Virtual Output","channels":2,)"
                         R"("formats":"0x000fffff","default":true}]})"
                         "\n");
}

// A WAVE file with the tone and a meter line per second (stderr is no terminal); raw PCM on
// stdout for exactly the seconds asked (--seconds counts audio, not the clock).
TEST_F(VoxlStreamTest, WritesAWaveFileOrExactlyTheSecondsOfRawPcm) {
  const std::string out = File("out.wav");
  const VoxlRun run = Voxl("stream --seconds 1 " + ShellQuote(out));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("recording from the built-in virtual input"), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      run.err, std::regex(R"(00:01\.\d  L \[#+-*\]  -12\.\d dB .*R \[#+-*\]  -12\.\d dB)")))
      << run.err;
  EXPECT_NE(run.err.find("written to " + out), std::string::npos);
  const auto info = SoxInfo(out);
  ASSERT_TRUE(info) << "sox refuses the file";
  EXPECT_EQ(std::tuple(info->channels, info->sampleRate, info->bitsPerSample),
            std::tuple(2, 44100, 16));
  EXPECT_NEAR(info->frames, 44100, 4410);
  const auto wave = ReadWithSndfile(out);
  ASSERT_TRUE(wave);
  for (int c = 0; c < 2; ++c) {
    EXPECT_NEAR(EstimateFrequency(Channel(wave->samples, 2, c), 44100), 440.0, 2.0);
    EXPECT_NEAR(PeakDbfs(Channel(wave->samples, 2, c)), -12.0, 0.5);
  }

  const VoxlRun raw = Voxl("stream --seconds 0.25 -q -");
  ASSERT_EQ(raw.exitCode, 0) << raw.err;
  EXPECT_EQ(raw.out.size(), 11025u * 4);
  EXPECT_EQ(raw.out.find("RIFF"), std::string::npos);
  // --quiet: no meter, no summary and no note on the virtual input (a dropout line may come).
  EXPECT_EQ(raw.err.find("voxl: r"), std::string::npos) << raw.err;
  EXPECT_EQ(raw.err.find("written"), std::string::npos) << raw.err;
  // A VOXL_VIRTUAL_INPUT of the user's own stands over voxl's test tone.
  const VoxlRun silent = Voxl("stream --seconds 0.1 -", "virtual VOXL_VIRTUAL_INPUT=silence");
  EXPECT_EQ(silent.out, std::string(4410 * 4, '\0'));
  EXPECT_NE(silent.err.find("virtual input (VOXL_VIRTUAL_INPUT=silence)"), std::string::npos);
}

// Stopped by SIGTERM, voxl stream and voxl record leave a file whose header sizes cover all
// the audio.
TEST_F(VoxlStreamTest, TerminationLeavesACompleteFile) {
  ScopedEnv driver("VOXL_AUDIO_DRIVER", "virtual");
  for (const char* command : {"stream", "record"}) {
    SCOPED_TRACE(command);
    const std::string out = File(std::string(command) + ".wav");
    ChildProcess voxl;  // stopped once a block of audio is on disk
    ASSERT_TRUE(voxl.Start({VOXL_BINARY, command, "-q", out}));
    ASSERT_TRUE(WaitForSize(out, 44 + 17640, 10));
    voxl.Terminate();
    const std::vector<uint8_t> bytes = ReadBinaryFile(out);
    const size_t data = std::string(bytes.begin(), bytes.end()).find("data") + 8;
    ASSERT_GE(bytes.size(), data + 17640u);
    EXPECT_EQ(U32At(bytes, 4), bytes.size() - 8) << "RIFF size";
    EXPECT_EQ(U32At(bytes, data - 4), bytes.size() - data) << "data size";
    const auto info = SoxInfo(out);
    ASSERT_TRUE(info);
    EXPECT_EQ(static_cast<size_t>(info->frames) * 4, bytes.size() - data);
  }
}

TEST_F(VoxlStreamTest, RecordsATonePlayedIntoThePulseAudioSink) {
  std::string why;
  if (!PulseAnswers(&why)) GTEST_SKIP() << why;
  NullSinkLock lock;
  ASSERT_TRUE(lock.held()) << "the null sink stayed busy";

  const std::string out = File("pulse.wav");
  setenv("VOXL_AUDIO_DRIVER", "alsa", 1);
  ChildProcess voxl;
  ASSERT_TRUE(voxl.Start({VOXL_BINARY, "stream", "-q", "--seconds", "4", out}));
  unsetenv("VOXL_AUDIO_DRIVER");
  ASSERT_TRUE(WaitForSize(out, 44, 10)) << "voxl stream recorded nothing";

  const std::string tone = File("tone.raw");
  ASSERT_TRUE(WriteRawFile(tone, MakeTone(1000.0, -6.0, 44100, 2, 44100)));
  ChildProcess pacat;
  ASSERT_TRUE(pacat.Start({"pacat", "--playback", "--raw", "--format=s16le", "--rate=44100",
                           "--channels=2", "--device=" + NullSinkName(), "--latency-msec=50"},
                          tone));
  ASSERT_EQ(pacat.WaitExit(15000), 0) << "pacat did not play the tone";
  ASSERT_EQ(voxl.WaitExit(15000), 0) << "voxl stream did not finish";

  const auto wave = ReadWithSndfile(out);
  ASSERT_TRUE(wave) << "the file does not open";
  EXPECT_EQ(wave->sampleRate, 44100);
  for (int c = 0; c < 2; ++c)
    ExpectToneStretches(Channel(wave->samples, 2, c), 44100, 1000, 44100 * 9 / 10);
}

TEST_F(VoxlStreamTest, PlaysAToneFileIntoTheNullSink) {
  std::string why;
  if (!PulseAnswers(&why)) GTEST_SKIP() << why;
  NullSinkLock lock;
  ASSERT_TRUE(lock.held()) << "the null sink stayed busy";
  const std::vector<int16_t> tone = MakeTone(1000.0, -6.0, 44100, 2, 44100 * 3 / 2);
  const auto* bytes = reinterpret_cast<const uint8_t*>(tone.data());
  ASSERT_TRUE(WriteWaveFile(File("tone.wav"), {1, 2, 44100, 16},
                            std::vector<uint8_t>(bytes, bytes + tone.size() * 2)));

  const std::string raw = File("monitor.raw");
  ChildProcess parec;
  ASSERT_TRUE(parec.Start({"sh", "-c",
                           "exec parec --raw --format=s16le --rate=44100 --channels=2 "
                           "--latency-msec=50 --device=" +
                               ShellQuote(NullSinkName() + ".monitor") + " > " + ShellQuote(raw)}));
  ASSERT_TRUE(WaitForSize(raw, 0, 10)) << "parec records nothing";
  const VoxlRun run = Voxl("play " + ShellQuote(File("tone.wav")), "alsa");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(WaitForSize(raw, off_t(std::filesystem::file_size(raw) + 44100 * 4 * 3 / 10), 10));
  parec.Terminate();

  ExpectToneStretches(Channel(SamplesFromBytes(ReadBinaryFile(raw)), 2, 0), 44100, 1000,
                      44100 * 14 / 10);
}

}  // namespace
