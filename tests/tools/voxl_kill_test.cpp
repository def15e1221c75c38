// voxl record killed (SIGKILL) at random moments, on the virtual input in real time: every file
// it leaves opens in libsndfile, sox and ffmpeg with all but at most the last buffer of what it
// had written, and a killed insert leaves nothing behind once the recording is opened again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "support/peer.h"
#include "voxl_run.h"

extern char** environ;

namespace {

using voxl::test::ShellQuote;
using voxl::test::U32At;

class VoxlKillTest : public voxl::test::TempDirTest {
 protected:
  // Starts `voxl record -q <args>`.
  static pid_t StartRecord(std::vector<std::string> args) {
    args.insert(args.begin(), {VOXL_BINARY, "record", "-q"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, VOXL_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  // Kills `pid` `ms` milliseconds from now (real time: the moment of the kill) and reaps it.
  static void KillAfter(pid_t pid, int ms) {
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
  }
  voxl::test::ScopedEnv driver_{"VOXL_AUDIO_DRIVER", "virtual"};
  voxl::test::ScopedEnv input_{"VOXL_VIRTUAL_INPUT", "tone"};
  voxl::test::ScopedEnv tmpdir_{"TMPDIR", dir().c_str()};  // splice files stay in the test's folder
};

TEST_F(VoxlKillTest, AKilledRecordingOpensWithAllButTheLastBuffer) {
  struct Row {
    std::vector<std::string> args;
    uint32_t blockBytes, blockFrames, bufferFrames;
  };
  const Row rows[] = {{{}, 4, 1, 4410},  // 16-bit stereo 44100 Hz PCM
                      {{"--format", "ima", "--rate", "8000", "--channels", "1"}, 256, 505, 800}};
  std::mt19937 random(std::random_device{}());
  int withAudio = 0;
  for (int run = 0; run < 24; ++run) {
    const Row& row = rows[run % 4 == 3 ? 1 : 0];
    const std::string out = File("take" + std::to_string(run) + ".wav");
    const int ms = std::uniform_int_distribution<int>(50, 700)(random);
    SCOPED_TRACE(out + " killed after " + std::to_string(ms) + " ms");
    std::vector<std::string> args = row.args;
    args.push_back(out);
    KillAfter(StartRecord(args), ms);
    const std::vector<uint8_t> file = voxl::test::ReadBinaryFile(out);
    if (file.empty()) continue;  // killed before the file was made

    // The data chunk is the last one; its size within one buffer of what lies behind it.
    size_t at = 12;
    while (at + 8 <= file.size() && std::memcmp(&file[at], "data", 4) != 0)
      at += 8 + ((U32At(file, at + 4) + 1) & ~1u);
    ASSERT_LE(at + 8, file.size());
    const int64_t stated = U32At(file, at + 4), held = int64_t(file.size() - at - 8);
    const int64_t heldFrames = held / row.blockBytes * row.blockFrames;
    // The last buffer (a compressed one ends in up to two blocks, the second maybe cut short).
    const int64_t allowed = row.bufferFrames + row.blockFrames;
    EXPECT_LE(stated, held);
    EXPECT_GE(stated / row.blockBytes * row.blockFrames + allowed, heldFrames);
    withAudio += stated > 0;

    const auto wave = voxl::test::ReadWithSndfile(out);
    ASSERT_TRUE(wave);
    EXPECT_GE(wave->frames + allowed, heldFrames);
    const voxl::test::CommandResult peers =
        voxl::test::RunCommand("soxi -s " + ShellQuote(out) + " && ffmpeg -nostdin -v error -i " +
                               ShellQuote(out) + " -f null - 2>&1");
    ASSERT_EQ(peers.exitCode, 0) << peers.output;
    EXPECT_GE(std::stoll(peers.output) + allowed, heldFrames);
    EXPECT_EQ(peers.output.find('\n'), peers.output.size() - 1) << peers.output;  // ffmpeg: quiet
  }
  EXPECT_GE(withAudio, 12);
}

// A kill during an insert leaves the splice file and the record naming it; recording into the
// file again removes both, and the file keeps what it held before the killed run.
TEST_F(VoxlKillTest, AKilledInsertLeavesNothingOnceTheRecordingIsOpenedAgain) {
  const std::string out = File("take.wav"), record = out + ".voxl-splice";
  ASSERT_EQ(
      voxl::test::RunVoxl("record -q --seconds 0.3 " + ShellQuote(out), File("e.txt")).exitCode, 0);
  const auto before = voxl::test::SoxInfo(out);
  ASSERT_TRUE(before);
  const pid_t insert = StartRecord({"--insert", out});
  const bool started = voxl::test::WaitForSize(record, 0, 10);
  KillAfter(insert, 300);
  ASSERT_TRUE(started);
  const std::vector<uint8_t> text = voxl::test::ReadBinaryFile(record);
  const std::string lines(text.begin(), text.end());  // magic, old length, splice file
  const size_t from = lines.find('\n', lines.find('\n') + 1) + 1;
  const std::string splice = lines.substr(from, lines.size() - 1 - from);
  ASSERT_TRUE(std::filesystem::exists(splice)) << lines;
  const auto killed = voxl::test::SoxInfo(out);
  ASSERT_TRUE(killed);
  EXPECT_EQ(killed->frames, before->frames);

  const voxl::test::VoxlRun again =
      voxl::test::RunVoxl("record -q --insert --seconds 0.2 " + ShellQuote(out), File("e.txt"));
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_FALSE(std::filesystem::exists(record));
  EXPECT_FALSE(std::filesystem::exists(splice));
  const auto after = voxl::test::SoxInfo(out);
  ASSERT_TRUE(after);
  EXPECT_NEAR(after->frames, before->frames + 8820, 4410);
}

}  // namespace
