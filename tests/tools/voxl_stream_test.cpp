// voxl devices, voxl stream and voxl play run as programs: with the virtual devices (real-time
// clock, a 440 Hz test tone), and, when a PulseAudio server answers, through the ALSA default
// device while a tone plays into the server's null sink, or played into that sink and heard on
// its monitor whole, at its frequency and level.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "support/tone.h"
#include "voxl_run.h"

namespace {

using namespace voxl::test;  // NOLINT

// voxl devices names the driver, why it serves and the device that -1 opens, as the public
// device functions tell them.
TEST_F(VoxlTest, DevicesSayWhatThereIs) {
  const VoxlRun devices = Voxl("devices --json");
  EXPECT_EQ(devices.exitCode, 0) << devices.err;
  EXPECT_EQ(devices.out, R"({"driver":"virtual","reason":"VOXL_AUDIO_DRIVER=virtual","mapper":-1,)"
                         R"("input":[{"id":0,"name":"Virtual Input","channels":2,)"
                         R"("formats":"0x000fffff","default":true}],)"
                         R"("output":[{"id":0,"name":"Virtual Output","channels":2,)"
                         R"("formats":"0x000fffff","default":true}]})"
                         "\n");
}

// Stopped by SIGTERM, a WAVE file (with the room of --rf64 for 64-bit sizes, a plain RIFF/WAVE
// file below 4 GiB) whose header sizes cover all the audio, the tone, and a meter line per second
// (stderr is no terminal); raw PCM on stdout for exactly the seconds asked (--seconds counts
// audio, not the clock); and through ALSA, what plays into the PulseAudio sink.
TEST_F(VoxlTest, StreamWritesAWaveFileOrExactlyTheSecondsOfRawPcm) {
  const std::string out = File("out.wav"), err = File("err.txt");
  ChildProcess voxl;
  ASSERT_TRUE(
      voxl.Start({"sh", "-c", "VOXL_AUDIO_DRIVER=virtual exec \"$0\" stream --rf64 \"$1\" 2>\"$2\"",
                  VOXL_BINARY, out, err}));
  ASSERT_TRUE(WaitForSize(out, 80 + 176400 * 6 / 5, 10));
  voxl.Terminate();
  const std::vector<uint8_t> bytes = ReadBinaryFile(out), said = ReadBinaryFile(err);
  const std::string text(said.begin(), said.end());
  EXPECT_NE(text.find("recording from the built-in virtual input"), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      text, std::regex(R"(00:01\.\d  L \[#+-*\]  -12\.\d dB .*R \[#+-*\]  -12\.\d dB)")))
      << text;
  EXPECT_NE(text.find("written to " + out), std::string::npos) << text;
  ASSERT_GE(bytes.size(), 80u);
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEJUNK");
  EXPECT_EQ(std::string(bytes.begin() + 72, bytes.begin() + 76), "data");
  EXPECT_EQ(U32At(bytes, 4), bytes.size() - 8) << "RIFF size";
  EXPECT_EQ(U32At(bytes, 76), bytes.size() - 80) << "data size";
  const auto info = SoxInfo(out);
  ASSERT_TRUE(info) << "sox refuses the file";
  EXPECT_EQ(std::tuple(info->channels, info->sampleRate, info->bitsPerSample, info->frames * 4),
            std::tuple(2, 44100, 16, int64_t(bytes.size() - 80)));
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

  std::string why;
  if (!PulseAnswers(&why)) GTEST_SKIP() << why;
  NullSinkLock lock;
  ASSERT_TRUE(lock.held()) << "the null sink stayed busy";
  const std::string pulse = File("pulse.wav"), tone = File("tone.raw");
  ChildProcess alsa;
  ASSERT_TRUE(
      alsa.Start({"sh", "-c", "VOXL_AUDIO_DRIVER=alsa exec \"$0\" stream -q --seconds 4 \"$1\"",
                  VOXL_BINARY, pulse}));
  ASSERT_TRUE(WaitForSize(pulse, 44, 10)) << "voxl stream recorded nothing";
  ASSERT_TRUE(WriteRawFile(tone, MakeTone(1000.0, -6.0, 44100, 2, 44100)));
  ChildProcess pacat;
  ASSERT_TRUE(pacat.Start({"pacat", "--playback", "--raw", "--format=s16le", "--rate=44100",
                           "--channels=2", "--device=" + NullSinkName(), "--latency-msec=50"},
                          tone));
  ASSERT_EQ(pacat.WaitExit(15000), 0) << "pacat did not play the tone";
  ASSERT_EQ(alsa.WaitExit(15000), 0) << "voxl stream did not finish";
  const auto heard = ReadWithSndfile(pulse);
  ASSERT_TRUE(heard) << "the file does not open";
  EXPECT_EQ(heard->sampleRate, 44100);
  for (int c = 0; c < 2; ++c)
    ExpectToneStretches(Channel(heard->samples, 2, c), 44100, 1000, 44100 * 9 / 10);
}

// From the start (an opened file stands at its end), or from --at, to the end of the file; and
// through ALSA into the null sink, heard whole on its monitor.
TEST_F(VoxlTest, PlayEndsAtTheEndOfTheFile) {
  const std::string tone = File("tone.wav");
  const std::vector<int16_t> samples = MakeTone(1000.0, -6.0, 44100, 2, 44100 * 3 / 2);
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
  ASSERT_TRUE(WriteWaveFile(tone, {1, 2, 44100, 16},
                            std::vector<uint8_t>(bytes, bytes + samples.size() * 2)));
  for (const char* at : {"", "--at 1.2 "}) {
    const VoxlRun run = Voxl("play " + (at + ShellQuote(tone)));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("/ 00:01.5"), std::string::npos) << run.err;
  }

  std::string why;
  if (!PulseAnswers(&why)) GTEST_SKIP() << why;
  NullSinkLock lock;
  ASSERT_TRUE(lock.held()) << "the null sink stayed busy";
  const std::string raw = File("monitor.raw");
  ChildProcess parec;
  ASSERT_TRUE(parec.Start({"sh", "-c",
                           "exec parec --raw --format=s16le --rate=44100 --channels=2 "
                           "--latency-msec=50 --device=" +
                               ShellQuote(NullSinkName() + ".monitor") + " > " + ShellQuote(raw)}));
  ASSERT_TRUE(WaitForSize(raw, 0, 10)) << "parec records nothing";
  const VoxlRun run = Voxl("play " + ShellQuote(tone), "alsa");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(WaitForSize(raw, off_t(std::filesystem::file_size(raw) + 44100 * 4 * 3 / 10), 10));
  parec.Terminate();
  ExpectToneStretches(Channel(SamplesFromBytes(ReadBinaryFile(raw)), 2, 0), 44100, 1000,
                      44100 * 14 / 10);
}

}  // namespace
