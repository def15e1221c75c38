// voxl cut and voxl compact on a 10 s 8000 Hz mono 16-bit ramp, checked sample by sample
// through libsndfile (or the bytes of a headerless file), and their refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/peer.h"
#include "voxl_run.h"

namespace {

using namespace voxl::test;  // NOLINT

constexpr int kFrames = 80000;

std::vector<uint8_t> Ramp() {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < kFrames; ++i) {
    const auto v = static_cast<uint16_t>(i * 13);
    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  return bytes;
}

class VoxlEditTest : public TempDirTest {
 protected:
  VoxlRun Voxl(const std::string& args) { return RunVoxl(args, File("stderr.txt")); }
};

// Frames [from, to) go; a cut that is not compacted keeps the file's size until `voxl compact`,
// which then saves exactly the bytes removed.  A headerless file shrinks at once: its tail would
// be audio again at the next opening.
TEST_F(VoxlEditTest, CutRemovesTheRangeAndCompactSavesItsBytes) {
  struct Row {
    const char* args;
    int from, to;
    bool raw, shrinks;
  };
  const Row rows[] = {
      {"--from 2 --to 3 --compact", 16000, 24000, false, true},
      {"--from 9.5", 76000, 80000, false, false},
      {"--from 0 --length 0.5", 0, 4000, false, false},
      {"--raw pcm16,8000,1 --from 1 --to 2", 8000, 16000, true, true},
  };
  const std::vector<uint8_t> ramp = Ramp();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    const std::string file = File(row.raw ? "take.raw" : "take.wav");
    ASSERT_TRUE(row.raw ? WriteBinaryFile(file, ramp.data(), ramp.size())
                        : WriteWaveFile(file, WaveLayout{}, ramp));
    const size_t size = ReadBinaryFile(file).size();
    const size_t removed = 2 * static_cast<size_t>(row.to - row.from);
    std::vector<uint8_t> expected(ramp.begin(), ramp.begin() + 2 * row.from);
    expected.insert(expected.end(), ramp.begin() + 2 * row.to, ramp.end());

    const VoxlRun cut = Voxl("cut " + ShellQuote(file) + " " + row.args);
    ASSERT_EQ(cut.exitCode, 0) << cut.err;
    const std::string length = "length:    " + std::to_string(expected.size() / 2) + " frames";
    EXPECT_NE(cut.out.find(length), std::string::npos) << cut.out;
    if (!row.shrinks) {
      EXPECT_EQ(ReadBinaryFile(file).size(), size);
      const VoxlRun compact = Voxl("compact " + ShellQuote(file));
      ASSERT_EQ(compact.exitCode, 0) << compact.err;
      EXPECT_NE(compact.out.find("saved:     " + std::to_string(removed) + " bytes"),
                std::string::npos)
          << compact.out;
    } else {
      EXPECT_NE(cut.out.find("saved:     " + std::to_string(removed) + " bytes"), std::string::npos)
          << cut.out;
    }
    EXPECT_EQ(ReadBinaryFile(file).size(), size - removed);
    if (row.raw) {
      EXPECT_TRUE(ReadBinaryFile(file) == expected);
    } else {
      const auto wave = ReadWithSndfile(file);
      ASSERT_TRUE(wave);
      EXPECT_TRUE(wave->raw == expected) << wave->raw.size() << " bytes of audio";
    }
  }
}

// Each refusal names its reason, exits 2 for a wrong command line and 1 for a file that cannot
// be cut, and leaves the file as it was.
TEST_F(VoxlEditTest, RefusalsLeaveTheFileAlone) {
  const std::string file = File("take.wav");
  ASSERT_TRUE(WriteWaveFile(file, WaveLayout{}, Ramp()));
  const std::vector<uint8_t> before = ReadBinaryFile(file);
  const std::string f = ShellQuote(file);
  const std::string missing = ShellQuote(File("none.wav"));
  const struct {
    std::string args;
    int exitCode;
    const char* message;
  } rows[] = {
      {"cut " + f + " --from 3 --to 2", 2, "--to 2.000 s must come after --from 3.000 s"},
      {"cut " + f + " --from=-1", 2, "out of range"},
      {"cut " + f + " --from 1 --to 2 --length 1", 2, "excludes"},
      {"cut " + f + " --to 2", 2, "--from is required"},
      {"cut " + f + " --from 10", 1, "nothing to cut from --from 10.000 s"},
      {"cut " + missing + " --from 1", 1, "No such file"},
      {"compact " + missing, 1, "No such file"},
  };
  for (const auto& row : rows) {
    const VoxlRun run = Voxl(row.args);
    EXPECT_EQ(run.exitCode, row.exitCode) << row.args << "\n" << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.args << "\n" << run.err;
  }
  EXPECT_TRUE(ReadBinaryFile(file) == before);
}

}  // namespace
