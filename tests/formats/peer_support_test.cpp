// Checks of the peer-check helpers themselves, so that a peer test failing points at the code under
// test rather than at the harness.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/peer.h"

namespace voxl::test {
namespace {

TEST(PeerCommands, RunCommandCapturesOutputAndExitCode) {
  const CommandResult result = RunCommand("printf 'one\\ntwo'; exit 3");
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_EQ(result.output, "one\ntwo");
  EXPECT_EQ(RunCommand("true").exitCode, 0);
  EXPECT_EQ(RunCommand("voxl-no-such-program-here 2>/dev/null").exitCode, 127);
}

TEST(PeerCommands, ShellQuoteKeepsAnyTextOneWord) {
  const std::string text = "it's a \"name\" with $HOME, `x` and \\";
  EXPECT_EQ(RunCommand("printf '%s' " + ShellQuote(text)).output, text);
  EXPECT_EQ(RunCommand("printf '%s' " + ShellQuote("")).output, "");
}

TEST(PeerCommands, HaveProgramSearchesPath) {
  EXPECT_TRUE(HaveProgram("sh"));
  EXPECT_TRUE(HaveProgram("/bin/sh"));
  EXPECT_FALSE(HaveProgram("voxl-no-such-program-here"));
  EXPECT_FALSE(HaveProgram(""));
  EXPECT_FALSE(HaveProgram("/tmp"));  // a folder is not a program
}

TEST(PeerTempDir, IsUniqueAndRemovedWithItsContents) {
  std::filesystem::path kept;
  {
    TempDir first;
    TempDir second;
    kept = first.path();
    EXPECT_NE(first.path(), second.path());
    EXPECT_TRUE(std::filesystem::is_directory(kept));
    std::filesystem::create_directory(kept / "sub");
    ASSERT_TRUE(WriteBinaryFile(first.File("sub/a.bin"), "abc", 3));
    EXPECT_EQ(ReadBinaryFile(first.File("sub/a.bin")), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

class PeerWave : public TempDirTest {};

TEST_F(PeerWave, SndfileReadsWhatWriteWaveFileWrote) {
  const std::vector<std::int16_t> samples = {0, 1, -1, 32767, -32768, 1000};  // 3 stereo frames
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(samples[i]);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(samples[i]) >> 8);
  }
  ASSERT_TRUE(WriteWaveFile(File("pcm.wav"), {1, 2, 44100, 16}, bytes));
  const auto wave = ReadWithSndfile(File("pcm.wav"));
  ASSERT_TRUE(wave.has_value());
  EXPECT_EQ(wave->frames, 3);
  EXPECT_EQ(wave->channels, 2);
  EXPECT_EQ(wave->sampleRate, 44100);
  EXPECT_EQ(wave->format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(wave->samples, samples);
  EXPECT_EQ(wave->raw, bytes);
}

TEST_F(PeerWave, OddDataIsPaddedAndCodesComeBackRaw) {
  const std::vector<std::uint8_t> codes = {0xD5, 0x55, 0x2A};
  ASSERT_TRUE(WriteWaveFile(File("alaw.wav"), {6, 1, 8000, 8}, codes));
  EXPECT_EQ(std::filesystem::file_size(File("alaw.wav")), 12u + 26u + 12u + 8u + 4u);
  const auto wave = ReadWithSndfile(File("alaw.wav"));
  ASSERT_TRUE(wave.has_value());
  EXPECT_EQ(wave->format, SF_FORMAT_WAV | SF_FORMAT_ALAW);
  EXPECT_EQ(wave->frames, 3);
  EXPECT_EQ(wave->raw, codes);
  EXPECT_EQ(wave->samples, (std::vector<std::int16_t>{8, -8, -32256}));
}

TEST_F(PeerWave, SndfileRefusalCarriesAMessage) {
  ASSERT_TRUE(WriteBinaryFile(File("junk.wav"), "not a wave file", 15));
  std::string error;
  EXPECT_FALSE(ReadWithSndfile(File("junk.wav"), &error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST_F(PeerWave, SoxAndFfprobeDescribeTheFile) {
  ASSERT_TRUE(WriteWaveFile(File("mulaw.wav"), {7, 2, 8000, 8}, std::vector<std::uint8_t>(2000)));
  if (HaveProgram("soxi")) {
    const auto info = SoxInfo(File("mulaw.wav"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->channels, 2);
    EXPECT_EQ(info->sampleRate, 8000);
    EXPECT_EQ(info->frames, 1000);
    EXPECT_EQ(info->encoding, "u-law");
    EXPECT_FALSE(SoxInfo(File("missing.wav")).has_value());
  }
  if (HaveProgram("ffprobe")) {
    const auto info = FfprobeInfo(File("mulaw.wav"));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->channels, 2);
    EXPECT_EQ(info->sampleRate, 8000);
    EXPECT_EQ(info->frames, 1000);
    EXPECT_EQ(info->encoding, "pcm_mulaw");
    EXPECT_FALSE(FfprobeInfo(File("missing.wav")).has_value());
  }
  if (!HaveProgram("soxi") && !HaveProgram("ffprobe")) GTEST_SKIP() << "no sox or ffprobe";
}

}  // namespace
}  // namespace voxl::test
