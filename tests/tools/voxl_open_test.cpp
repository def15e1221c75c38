// voxl info, play and record --at on files that sox wrote, with the virtual devices.
#include <gtest/gtest.h>

#include <string>

#include "support/peer.h"
#include "voxl_run.h"

namespace {

using namespace voxl::test;  // NOLINT

class VoxlOpenTest : public TempDirTest {
 protected:
  void SetUp() override {
    if (!HaveProgram("sox")) GTEST_SKIP() << "sox is missing";
    tone_ = File("tone.wav");
    ASSERT_EQ(
        RunCommand("sox -n -r 8000 -c 1 -b 16 " + ShellQuote(tone_) + " synth 2 sine 440").exitCode,
        0);
  }
  VoxlRun Voxl(const std::string& args) { return RunVoxl(args, File("stderr.txt")); }
  std::string tone_;
};

TEST_F(VoxlOpenTest, InfoShowsFormatLengthAndLayout) {
  const VoxlRun info = Voxl("info " + ShellQuote(tone_));
  ASSERT_EQ(info.exitCode, 0) << info.err;
  for (const char* line : {"kind:      RIFF/WAVE", "rate:      8000 Hz", "channels:  1",
                           "length:    16000 frames (2.000 s)", "data:      offset 44, 32000 bytes",
                           "fact:      none", "behind:    nothing"}) {
    EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
  }
  // The same bytes as headerless 8-bit samples: the 44 header bytes count too.
  const VoxlRun raw = Voxl("info --raw pcm8,8000,1 " + ShellQuote(tone_));
  EXPECT_NE(raw.out.find("length:    32044 frames"), std::string::npos) << raw.out << raw.err;
  const VoxlRun missing = Voxl("info " + ShellQuote(File("none.wav")));
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
}

TEST_F(VoxlOpenTest, RecordAtInsertsIntoTheFile) {
  const VoxlRun run = Voxl("record -q --at 1 --insert --seconds 0.5 " + ShellQuote(tone_));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto info = SoxInfo(tone_);
  ASSERT_TRUE(info);
  // 0.5 s inserted; a loaded machine may take one more 800-frame buffer before the stop.
  EXPECT_TRUE(info->frames == 16000 + 4000 || info->frames == 16000 + 4800) << info->frames;
  EXPECT_EQ(info->sampleRate, 8000);
}

// From the start (an opened file stands at its end), or from --at, to the end of the file.
TEST_F(VoxlOpenTest, PlayEndsAtTheEndOfTheFile) {
  const std::string beep = File("beep.wav");
  ASSERT_EQ(RunCommand("sox -n -r 22050 -c 2 -b 16 " + ShellQuote(beep) + " synth 0.3 sine 1000")
                .exitCode,
            0);
  for (const std::string& args : {ShellQuote(beep), "--at 1.7 " + ShellQuote(tone_)}) {
    const VoxlRun run = Voxl("play " + args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("/ 00:0"), std::string::npos) << run.err;
  }
  const VoxlRun late = Voxl("play --at 3 " + ShellQuote(tone_));
  EXPECT_EQ(late.exitCode, 1);
  EXPECT_NE(late.err.find("nothing to play from --at 00:03.0"), std::string::npos) << late.err;
}

}  // namespace
