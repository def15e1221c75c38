// Checks of the peer-check helpers themselves, so that a peer test failing points at the code under
// test rather than at the harness.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/peer.h"

namespace voxl::test {
namespace {

TEST(PeerCommands, RunQuoteAndFindPrograms) {
  const CommandResult result = RunCommand("printf 'one\\ntwo'; exit 3");
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_EQ(result.output, "one\ntwo");
  EXPECT_EQ(RunCommand("voxl-no-such-program-here 2>/dev/null").exitCode, 127);
  for (const std::string text : {"it's a \"name\" with $HOME, `x` and \\", ""})
    EXPECT_EQ(RunCommand("printf '%s' " + ShellQuote(text)).output, text);
  EXPECT_TRUE(HaveProgram("sh"));
  EXPECT_TRUE(HaveProgram("/bin/sh"));
  for (const char* missing : {"voxl-no-such-program-here", "", "/tmp"})
    EXPECT_FALSE(HaveProgram(missing)) << missing;
}

TEST(PeerTempDir, IsUniqueAndRemovedWithItsContents) {
  std::filesystem::path kept;
  {
    TempDir first, second;
    kept = first.path();
    EXPECT_NE(first.path(), second.path());
    std::filesystem::create_directory(kept / "sub");
    ASSERT_TRUE(WriteBinaryFile(first.File("sub/a.bin"), "abc", 3));
    EXPECT_EQ(ReadBinaryFile(first.File("sub/a.bin")), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

using PeerWave = TempDirTest;

TEST_F(PeerWave, SndfileReadsWhatWriteWaveFileWroteAndExplainsRefusals) {
  const std::vector<std::int16_t> samples = {0, 1, -1, 32767, -32768, 1000};  // 3 stereo frames
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  ASSERT_TRUE(WriteWaveFile(File("pcm.wav"), {1, 2, 44100, 16}, bytes));
  const auto wave = ReadWithSndfile(File("pcm.wav"));
  ASSERT_TRUE(wave.has_value());
  EXPECT_EQ(wave->frames, 3);
  EXPECT_EQ(wave->channels, 2);
  EXPECT_EQ(wave->sampleRate, 44100);
  EXPECT_EQ(wave->format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(wave->samples, samples);
  EXPECT_EQ(wave->raw, bytes);

  ASSERT_TRUE(WriteBinaryFile(File("junk.wav"), "not a wave file", 15));
  std::string error;
  EXPECT_FALSE(ReadWithSndfile(File("junk.wav"), &error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST_F(PeerWave, SoxAndFfprobeDescribeTheFile) {
  ASSERT_TRUE(WriteWaveFile(File("mulaw.wav"), {7, 2, 8000, 8}, std::vector<std::uint8_t>(2000)));
  const struct {
    const char* program;
    std::optional<PeerInfo> (*describe)(const std::string&);
    const char* encoding;
  } peers[] = {{"soxi", SoxInfo, "u-law"}, {"ffprobe", FfprobeInfo, "pcm_mulaw"}};
  bool ran = false;
  for (const auto& peer : peers) {
    if (!HaveProgram(peer.program)) continue;
    ran = true;
    const auto info = peer.describe(File("mulaw.wav"));
    ASSERT_TRUE(info.has_value()) << peer.program;
    EXPECT_EQ(info->channels, 2);
    EXPECT_EQ(info->sampleRate, 8000);
    EXPECT_EQ(info->frames, 1000);
    EXPECT_EQ(info->encoding, peer.encoding);
    EXPECT_FALSE(peer.describe(File("missing.wav")).has_value());
  }
  if (!ran) GTEST_SKIP() << "no sox or ffprobe";
}

}  // namespace
}  // namespace voxl::test
