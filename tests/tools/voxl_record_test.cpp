// voxl record and voxl formats run as programs with the virtual input (real-time clock, a 440 Hz
// test tone): every format as its peers read it, the recorder's limits, standard output, a
// recording killed (SIGKILL, SIGTERM) at random moments or stopped (SIGSTOP) for a second; and the
// refusals of every command.  (Inserts, cuts and compactions stopped at every write:
// crash_safety_test.cpp.)
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "support/tone.h"
#include "voxl_run.h"

namespace {

using namespace voxl::test;  // NOLINT

// Each sample format, on devices chosen by number or exact name; headerless samples into a pipe,
// ended by the recorder's own limit; a WAVE file on redirected stdout; and a write refused at the
// size limit of the process (it killed voxl with SIGXFSZ, and was blamed on the encoder).
TEST_F(VoxlTest, RecordWritesEachFormatAndStopsWithTheFileWhole) {
  const std::tuple<const char*, const char*, int, int> rows[] = {
      {"--format alaw --rate 8000 --channels 1 --device 0", "pcm_alaw", 8000, 1},
      {"--format mulaw --rate 16000 --device 'Virtual Input'", "pcm_mulaw", 16000, 2},
      {"--format pcm8 --rate 22050 --channels 1", "pcm_u8", 22050, 1},
      {"", "pcm_s16le", 44100, 2},
      {"--format adpcm --rate 22050", "adpcm_ms", 22050, 2},
      // An IMA ADPCM record as 'voxl formats' prints it: 8000 Hz mono.
      {"--format-bytes 11000100401f0000d70f0000000104000200f901", "adpcm_ima_wav", 8000, 1}};
  const std::string out = File("take.wav");
  for (const auto& [args, codec, rate, channels] : rows) {
    SCOPED_TRACE(args);
    const VoxlRun run = Voxl("record " + std::string(args) + " --seconds 0.5 " + ShellQuote(out));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find(" s recorded to " + out), std::string::npos) << run.err;
    EXPECT_EQ(Probe(out),
              codec + ("," + std::to_string(rate)) + "," + std::to_string(channels) + "\n");
    // --seconds ends the run on the audio stored, whole buffers of it; an encoder holds a few
    // blocks back, so a compressed run may take one buffer more.
    const bool exact = std::strstr(codec, "adpcm") == nullptr;
    EXPECT_NEAR(SoxInfo(out).value_or(PeerInfo{}).frames, rate / 2, exact ? 0 : rate / 8);
    const auto wave = ReadWithSndfile(out);
    ASSERT_TRUE(wave);
    EXPECT_NEAR(EstimateFrequency(Channel(wave->samples, channels, 0), rate), 440.0, 5.0);
  }

  const VoxlRun piped = Voxl("record -q --headerless --rate 8000 --channels 1 --max-seconds 0.5 -");
  ASSERT_EQ(piped.out.size(), 8000u) << piped.err;
  EXPECT_NEAR(PeakDbfs(Channel(SamplesFromBytes({piped.out.begin(), piped.out.end()}), 1, 0)),
              -12.0, 0.5);
  ASSERT_EQ(Voxl("record -q --seconds 0.5 - >" + ShellQuote(out)).exitCode, 0);
  EXPECT_EQ(SoxInfo(out).value_or(PeerInfo{}).frames, 22050);

  const VoxlRun limited =
      Voxl("record -q --seconds 5 " + ShellQuote(out), "virtual", "ulimit -f 100;");
  EXPECT_EQ(limited.exitCode, 1);
  EXPECT_NE(limited.err.find("stopped: the file reached the size limit of this process"),
            std::string::npos)
      << limited.err;
  EXPECT_GT(SoxInfo(out).value_or(PeerInfo{}).frames, 4410);
}

// voxl record killed at random moments: every file it leaves opens in libsndfile, sox and ffmpeg
// with all but at most the last buffer of what it had written (SIGTERM: exactly all of it).  Then
// a recording stopped (SIGSTOP) for a second after 1.5 s: one line tells the dropout at its place
// within a buffer, the summary counts it, and the file has its cue (a loaded machine may add
// short dropouts of its own).
TEST_F(VoxlTest, RecordKilledOrStalledKeepsItsAudioAndTellsTheDropout) {
  ScopedEnv driver("VOXL_AUDIO_DRIVER", "virtual"), input("VOXL_VIRTUAL_INPUT", "tone");
  ScopedEnv tmpdir("TMPDIR", dir().c_str());
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
    const int signal = run % 6 == 5 ? SIGTERM : SIGKILL;
    const std::string out = File("take" + std::to_string(run) + ".wav");
    const int ms = std::uniform_int_distribution<int>(50, 700)(random);
    SCOPED_TRACE(out + " signalled after " + std::to_string(ms) + " ms");
    std::vector<std::string> args = {VOXL_BINARY, "record", "-q", out};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ChildProcess voxl;
    ASSERT_TRUE(voxl.Start(args));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));  // the moment is the point
    voxl.Terminate(signal);
    const std::vector<uint8_t> file = ReadBinaryFile(out);
    if (file.empty()) continue;  // killed before the file was made

    // The data chunk is the last one; its size within one buffer of what lies behind it.
    size_t at = 12;
    while (at + 8 <= file.size() && std::memcmp(&file[at], "data", 4) != 0)
      at += 8 + ((U32At(file, at + 4) + 1) & ~1u);
    ASSERT_LE(at + 8, file.size());
    const int64_t stated = U32At(file, at + 4), held = int64_t(file.size() - at - 8);
    const int64_t heldFrames = held / row.blockBytes * row.blockFrames;
    // The last buffer (a compressed one ends in up to two blocks, the second maybe cut short).
    const int64_t allowed = signal == SIGTERM ? 0 : row.bufferFrames + row.blockFrames;
    EXPECT_LE(stated, held);
    EXPECT_GE(stated / row.blockBytes * row.blockFrames + allowed, heldFrames);
    withAudio += stated > 0;
    EXPECT_GE(ReadWithSndfile(out).value_or(SndfileWave{}).frames + allowed, heldFrames);
    const CommandResult peers =
        RunCommand("soxi -s " + ShellQuote(out) + " && ffmpeg -nostdin -v error -i " +
                   ShellQuote(out) + " -f null - 2>&1");
    ASSERT_EQ(peers.exitCode, 0) << peers.output;
    EXPECT_GE(std::stoll(peers.output) + allowed, heldFrames);
    EXPECT_EQ(peers.output.find('\n'), peers.output.size() - 1) << peers.output;  // ffmpeg: quiet
  }
  EXPECT_GE(withAudio, 12);

  const std::string out = File("take.wav"), err = File("stderr.txt"), pid = File("pid");
  ChildProcess voxl;  // the shell's process becomes voxl
  ASSERT_TRUE(
      voxl.Start({"sh", "-c", "echo $$ >\"$2\"; exec \"$0\" record \"$1\" --seconds 4 2>\"$3\"",
                  VOXL_BINARY, out, pid, err}));
  ASSERT_TRUE(WaitForSize(out, 44 + 176400 * 3 / 2, 10));
  const std::vector<uint8_t> number = ReadBinaryFile(pid);
  const pid_t stalled = std::stoi(std::string(number.begin(), number.end()));
  kill(stalled, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the stall itself
  kill(stalled, SIGCONT);
  ASSERT_EQ(voxl.WaitExit(10000), 0);
  const std::vector<uint8_t> text = ReadBinaryFile(err);
  const std::string said(text.begin(), text.end());
  const std::regex line(R"(voxl: dropout at 0:0(\d\.\d\d), (\d+) ms)");
  int near = 0;
  for (std::sregex_iterator m(said.begin(), said.end(), line), end; m != end; ++m) {
    const double at = std::stod((*m)[1]), ms = std::stod((*m)[2]);
    near += at >= 1.45 && at <= 1.75 && ms >= 900 && ms <= 1300;
  }
  EXPECT_EQ(near, 1) << said;
  EXPECT_TRUE(std::regex_search(said, std::regex(R"(; \d+ dropouts?, \d\.\d s missing)"))) << said;
  EXPECT_NE(RunCommand("sndfile-info " + ShellQuote(out)).output.find("labl : 1 : dropout"),
            std::string::npos);
}

// A record that 'voxl formats' lists records in that format: MPEG Layer-3 as ffprobe sees it,
// as long as what was recorded; 'voxl info' says so of the WAVE file and of a headerless
// recording, which it takes for an MPEG stream without being told, from standard input and as
// JSON too.
TEST_F(VoxlTest, FormatsListRecordsThatRecordTakes) {
  const VoxlRun list = Voxl("formats --tag mp3");
  const std::string wanted = "MPEG Layer-3: 44100 Hz, 128 kbit/s, Stereo";
  const size_t line = list.out.find(wanted);
  ASSERT_NE(line, std::string::npos) << list.out << list.err;
  std::string hex;  // the record follows the description
  std::istringstream(list.out.substr(line + wanted.size())) >> hex;
  const std::string out = File("take.wav"), stream = File("take.mp3");
  const VoxlRun run = Voxl("record --format-bytes " + hex + " --seconds 0.5 " + ShellQuote(out));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("recording into " + out + " (" + wanted + ")"), std::string::npos)
      << run.err;
  EXPECT_EQ(Probe(out), "mp3,44100,2\n");
  ASSERT_EQ(
      Voxl("record -q --format mp3 --headerless --seconds 0.5 " + ShellQuote(stream)).exitCode, 0);
  for (const std::string& file : {out, stream}) {
    const VoxlRun info = Voxl("info - <" + ShellQuote(file));  // standard input
    EXPECT_NE(info.out.find("length:    22050 frames (0.500 s)"), std::string::npos) << info.out;
    const CommandResult json = RunCommand(ShellQuote(VOXL_BINARY) + " info --json " +
                                          ShellQuote(file) + " | python3 -m json.tool --compact");
    EXPECT_NE(json.output.find("\"frames\":22050,"), std::string::npos) << json.output;
  }
}

// Usage errors and refusals of every command are one short line (no virtual-input notice
// before them, bounds in brief), with exit status 2 for a wrong command line and 1 for a file or
// device that cannot be used, and they leave the files as they were.
TEST_F(VoxlTest, RefusalsChangeNothingAndSayWhy) {
  const std::string existing = ShellQuote(File("keep.wav"));
  ASSERT_EQ(Voxl("record --seconds 0.2 -q " + existing).exitCode, 0);
  const std::vector<uint8_t> before = ReadBinaryFile(File("keep.wav"));
  const std::string fresh = ShellQuote(File("x.wav")), none = ShellQuote(File("none.wav"));
  const std::string noFolder = ShellQuote(File("no/folder/x.wav")), mp3 = File("song.mp3");
  const std::string bad = ShellQuote(File("\xff.wav"));
  ASSERT_TRUE(WriteBinaryFile(mp3, "ID3\4\0\0\0\0\0\0", 10));
  std::filesystem::create_symlink(File("keep.wav"), File("link.wav"));
  const std::tuple<std::string, int, const char*> refusals[] = {
      {"record --insert " + none, 2, "does not exist"},
      {"record --rate 12345 " + fresh, 2, "12345 Hz is not offered"},
      {"record --format gsm " + fresh, 2, "no format at 44100 Hz stereo; it offers 8000 Hz mono"},
      {"record --format mp3 --bitrate 100 " + fresh, 2, "stereo offers 32, 40,"},
      {"record --format-bytes 01zz " + fresh, 2, "not a format in hex"},
      {"formats --tag flac", 2, "--tag flac: not a format tag"},
      // An MPEG Layer-3 record cut short: its cbSize claims 12 bytes that are not there.
      {"record --format-bytes 5500020044ac0000803e0000010000000c000100 " + fresh, 1,
       "the format cannot be used"},
      {"record --device 'virtual input' " + fresh, 2, "\"Virtual Input\""},
      {"stream --device 'virtual input' " + fresh, 2, "\"Default Device\", \"Virtual Input\""},
      {"record " + noFolder, 1, "no/folder/x.wav: No such file or directory"},
      // NaN or infinite durations and levels ran forever or were taken as no limit.
      {"record --seconds nan --max-seconds 0.1 " + fresh, 2,
       "--seconds: nan is not a finite number"},
      {"record --sound-db nan " + fresh, 2, "not a finite number"},
      {"record --seconds -1 " + fresh, 2, "-1 is out of range (seconds, 0 or more)"},
      // Tones beyond 4 GiB filled the disk; a limit below one frame meant no limit.
      {"record --end-tone 1e39 --format alaw --rate 6000 --channels 1 " + fresh, 2,
       "--end-tone 1e+39: longer than a recording in this format can hold (at most 715827 s)"},
      {"record --max-seconds 0.00001 " + fresh, 2, "the shortest limit is 2.26757e-05 s"},
      // An empty name recorded nothing and reported success (stream wrote to stdout), and a
      // name that is not UTF-8 was taken.
      {"record ''", 2, "OUT is empty"},
      {"stream ''", 2, "OUT is empty"},
      {"record " + bad, 2, "not valid UTF-8"},
      {"stream " + bad, 2, "voxl: the file name is not valid"},
      {"cut " + existing + " --from 3 --to 2", 2, "--to 2.000 s must come after --from 3.000 s"},
      {"cut " + existing + " --to 2", 2, "--from is required"},
      {"cut " + existing + " --from 10", 1, "nothing to cut from --from 10.000 s"},
      {"info " + none, 1, "No such file"},
      {"play --at 3 " + existing, 1, "nothing to play from --at 00:03.0"},
      {"record --at 3 " + existing, 1, "--at 3.000 s is past the end of"},
      {"record -", 2, "a WAVE file on a pipe cannot get its sizes written at the end"},
      {"play --at 1e300 " + existing, 1, "--at 60000000:00.0"},  // the clock clamps
      {"bogus", 2, "'bogus' is not a command; the commands are devices, stream,"},
      {"recrod", 2, "'recrod' is not a command; did you mean 'record'?"},
      {"record --rate abc " + fresh, 2, "(see voxl record --help)"},
      {"info " + ShellQuote(mp3), 1, "looks like an MPEG audio stream, but no frame"},
      // Never into the input, also through a link; nothing of a failed conversion stays.
      {"convert " + existing + " " + existing, 1, "keep.wav into itself"},
      {"convert " + existing + " " + ShellQuote(File("link.wav")), 1, "into itself"},
      {"convert " + existing + " " + fresh + " --rate 12345", 1, "12345 Hz is not offered"},
      {"convert " + existing + " " + noFolder, 1, "no/folder/x.wav: No such file or directory"},
      {"convert " + existing + " " + ShellQuote(dir().string()), 1, "not a regular file"},
      {"convert " + ShellQuote(mp3) + " " + fresh, 1, "looks like an MPEG audio stream, but it"}};
  for (const auto& [args, exitCode, says] : refusals) {
    const VoxlRun run = Voxl(args);
    EXPECT_EQ(run.exitCode, exitCode) << args;
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_LT(run.err.size(), 200u) << run.err;
    EXPECT_TRUE(run.out.empty()) << args;
  }
  EXPECT_EQ(ReadBinaryFile(File("keep.wav")), before) << "the file was touched";
  EXPECT_FALSE(std::filesystem::exists(File("x.wav")));
}

}  // namespace
