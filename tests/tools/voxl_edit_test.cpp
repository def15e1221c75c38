// voxl cut and voxl compact on a 10 s 8000 Hz mono 16-bit ramp, checked sample by sample
// through libsndfile (or the bytes of a headerless file), also killed at random moments; voxl
// info and record --at on files that sox and ffmpeg wrote; and voxl convert into every codec.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/tone.h"
#include "voxl_run.h"

namespace {

using namespace voxl::test;  // NOLINT

constexpr int kFrames = 80000;

std::vector<uint8_t> Ramp() {  // sample i is i * 13, little-endian
  std::vector<uint8_t> bytes(2 * kFrames);
  for (int i = 0; i < kFrames; ++i)
    bytes[2 * i] = uint8_t(i * 13), bytes[2 * i + 1] = uint8_t(i * 13 >> 8);
  return bytes;
}

// Frames [from, to) go; a cut that is not compacted keeps the file's size until `voxl compact`,
// which then saves exactly the bytes removed.  A headerless file shrinks at once: its tail would
// be audio again at the next opening.
TEST_F(VoxlTest, CutRemovesTheRangeAndCompactSavesItsBytesAtAnyKill) {
  const std::tuple<const char*, int, int, bool, bool> rows[] = {
      {"--from 2 --to 3 --compact", 16000, 24000, false, true},
      {"--from 9.5", 76000, 80000, false, false},
      {"--from 0 --length 0.5", 0, 4000, false, false},
      {"--raw pcm16,8000,1 --from 1 --to 2", 8000, 16000, true, true},
  };
  const std::vector<uint8_t> ramp = Ramp();
  for (const auto& [args, from, to, raw, shrinks] : rows) {
    SCOPED_TRACE(args);
    const std::string file = File(raw ? "take.raw" : "take.wav");
    ASSERT_TRUE(raw ? WriteBinaryFile(file, ramp.data(), ramp.size())
                    : WriteWaveFile(file, WaveLayout{}, ramp));
    const size_t size = ReadBinaryFile(file).size();
    const size_t removed = 2 * static_cast<size_t>(to - from);
    std::vector<uint8_t> expected(ramp.begin(), ramp.begin() + 2 * from);
    expected.insert(expected.end(), ramp.begin() + 2 * to, ramp.end());

    const VoxlRun cut = Voxl("cut " + ShellQuote(file) + " " + args);
    ASSERT_EQ(cut.exitCode, 0) << cut.err;
    const std::string length = "length:    " + std::to_string(expected.size() / 2) + " frames";
    EXPECT_NE(cut.out.find(length), std::string::npos) << cut.out;
    VoxlRun saved = cut;
    if (!shrinks) {
      EXPECT_EQ(ReadBinaryFile(file).size(), size);
      saved = Voxl("compact " + ShellQuote(file));
      ASSERT_EQ(saved.exitCode, 0) << saved.err;
    }
    EXPECT_NE(saved.out.find("saved:     " + std::to_string(removed) + " bytes"), std::string::npos)
        << saved.out;
    EXPECT_EQ(ReadBinaryFile(file).size(), size - removed);
    // The audio as libsndfile reads it (nothing when it refuses the file).
    EXPECT_TRUE((raw ? ReadBinaryFile(file) : ReadWithSndfile(file).value_or(SndfileWave{}).raw) ==
                expected);
  }

  // `voxl cut --compact` of an 8 MB file killed (SIGKILL) at random moments, then `voxl compact`
  // (whose writable open finishes or undoes what the kill left): the file holds exactly its old
  // audio or exactly the cut audio, and nothing but empty temporary files lies beside it.
  std::filesystem::remove(File("take.wav")), std::filesystem::remove(File("take.raw"));
  std::vector<uint8_t> data(8u << 20);
  uint32_t x = 1;
  for (uint8_t& b : data) b = uint8_t((x = x * 1664525u + 1013904223u) >> 24);
  const std::string file = File("big.wav");
  ASSERT_TRUE(WriteWaveFile(file, WaveLayout{1, 2, 44100, 16}, data));
  const std::vector<uint8_t> old = ReadBinaryFile(file);
  const std::vector<std::string> cut = {VOXL_BINARY, "cut",      file, "--from",
                                        "1",         "--length", "1",  "--compact"};
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Voxl("cut " + ShellQuote(file) + " --from 1 --length 1 --compact").exitCode, 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
  const std::vector<uint8_t> edited = ReadBinaryFile(file);
  ASSERT_EQ(edited.size(), old.size() - 176400);
  std::mt19937 random(std::random_device{}());
  for (int run = 0; run < 8; ++run) {
    ASSERT_TRUE(WriteBinaryFile(file, old.data(), old.size()));
    const int after = std::uniform_int_distribution<int>(0, int(ms) + 5)(random);
    SCOPED_TRACE("killed after " + std::to_string(after) + " ms");
    ChildProcess voxl;
    ASSERT_TRUE(voxl.Start(cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(after));  // the moment is the point
    voxl.Terminate(SIGKILL);
    const VoxlRun compact = Voxl("compact " + ShellQuote(file));
    EXPECT_EQ(compact.exitCode, 0) << compact.err;
    const std::vector<uint8_t> now = ReadBinaryFile(file);
    EXPECT_TRUE(now == old || now == edited) << now.size() << " bytes";
    for (const auto& e : std::filesystem::directory_iterator(dir())) {
      EXPECT_TRUE(e.path() == file || e.file_size() == 0) << e.path();
    }
  }
}

// What info says of a file that sox wrote, of its bytes as headerless samples, and of an RF64
// file that ffmpeg wrote (the 64-bit sizes of "ds64"); record --at inserts into the file.
TEST_F(VoxlTest, InfoShowsTheFileAndRecordAtInsertsIntoIt) {
  const std::string tone = File("tone.wav"), large = File("rf64.wav");
  ASSERT_TRUE(Made("sox -n -r 8000 -c 1 -b 16 " + ShellQuote(tone) + " synth 2 sine 440"));
  ASSERT_TRUE(
      Made("ffmpeg -v error -f lavfi -i sine=r=8000 -t 0.5 -ac 1 -c:a adpcm_ima_wav "
           "-rf64 always " +
           ShellQuote(large)));
  const std::vector<std::pair<std::string, std::vector<const char*>>> rows = {
      {ShellQuote(tone),
       {"kind:      RIFF/WAVE", "rate:      8000 Hz", "channels:  1",
        "length:    16000 frames (2.000 s)", "data:      offset 44, 32000 bytes", "fact:      none",
        "behind:    nothing"}},
      // The same bytes as headerless 8-bit samples: the 44 header bytes count too.
      {"--raw pcm8,8000,1 " + ShellQuote(tone), {"length:    32044 frames"}},
      {ShellQuote(large),
       {"kind:      RF64/WAVE", "length:    4082 frames", "data:      offset 130, 2048 bytes",
        "fact:      4082 frames", "behind:    nothing"}}};
  for (const auto& [args, lines] : rows) {
    const VoxlRun info = Voxl("info " + args);
    ASSERT_EQ(info.exitCode, 0) << info.err;
    for (const char* line : lines) EXPECT_NE(info.out.find(line), std::string::npos) << info.out;
  }

  const VoxlRun run = Voxl("record -q --at 1 --insert --seconds 0.5 " + ShellQuote(tone));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto inserted = SoxInfo(tone).value_or(PeerInfo{});
  EXPECT_EQ(std::tuple(inserted.frames, inserted.sampleRate), std::tuple(16000 + 4000, 8000));
}

// Into every codec and back to PCM: the file is what ffprobe says, and
// the tone comes back at its frequency and level; rates and channels change on the way.
TEST_F(VoxlTest, ConvertWritesEachFormatAndBack) {
  const std::string in = File("in.wav"), out = File("out.wav"), back = File("back.wav");
  ASSERT_TRUE(Made("sox -n -r 22050 -c 2 -b 16 " + ShellQuote(in) + " synth 1 sine 1000 gain -6"));
  const std::tuple<const char*, const char*, int, int> rows[] = {
      {"--format ima", "adpcm_ima_wav", 22050, 2},
      {"--format adpcm --channels 1", "adpcm_ms", 22050, 1},
      {"--format gsm --rate 8000 --channels 1", "gsm_ms", 8000, 1},
      {"--format alaw --rate 44100", "pcm_alaw", 44100, 2},
      {"--format mp3 --bitrate 64", "mp3", 22050, 2},
      {"--format pcm8 --rate 8000", "pcm_u8", 8000, 2},
      {"--channels 1 --rate 48000", "pcm_s16le", 48000, 1}};
  for (const auto& [args, codec, rate, channels] : rows) {
    SCOPED_TRACE(args);
    const VoxlRun run = Voxl("convert " + ShellQuote(in) + " " + ShellQuote(out) + " " + args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Probe(out),
              codec + ("," + std::to_string(rate)) + "," + std::to_string(channels) + "\n");
    ASSERT_EQ(Voxl("convert -q " + ShellQuote(out) + " " + ShellQuote(back)).exitCode, 0);
    const auto wave = ReadWithSndfile(back);
    ASSERT_TRUE(wave);
    EXPECT_EQ(std::tuple(wave->sampleRate, wave->channels), std::tuple(rate, channels));
    EXPECT_NEAR(double(wave->frames), double(rate), rate * 0.1);
    const ChannelView left = Channel(wave->samples, channels, 0);
    EXPECT_NEAR(EstimateFrequency(left, rate), 1000.0, 5.0);
    EXPECT_NEAR(ToneDbfs(left, 1000.0, rate), -6.0, 1.5);
  }

  // Lossless: headerless PCM holds sox's own samples exactly, and they come back into a file.
  const std::string raw = File("out.raw"), soxRaw = File("sox.raw");
  ASSERT_EQ(Voxl("convert -q --headerless " + ShellQuote(in) + " " + ShellQuote(raw)).exitCode, 0);
  ASSERT_TRUE(Made("sox " + ShellQuote(in) + " -t raw " + ShellQuote(soxRaw)));
  EXPECT_EQ(ReadBinaryFile(raw), ReadBinaryFile(soxRaw));
  ASSERT_EQ(
      Voxl("convert -q --raw pcm16,22050,2 " + ShellQuote(raw) + " " + ShellQuote(back)).exitCode,
      0);
  EXPECT_EQ(ReadWithSndfile(back).value_or(SndfileWave{}).raw,
            ReadWithSndfile(in).value_or(SndfileWave{}).raw);

  // A write that fails (the size limit of the process) leaves nothing behind, and an existing
  // output as it was.
  const std::vector<uint8_t> kept = ReadBinaryFile(back);
  const VoxlRun limited =
      Voxl("convert " + ShellQuote(in) + " " + ShellQuote(back), "virtual", "ulimit -f 20;");
  EXPECT_EQ(limited.exitCode, 1);
  EXPECT_NE(limited.err.find("nothing was written"), std::string::npos) << limited.err;
  EXPECT_EQ(ReadBinaryFile(back), kept);
  for (const auto& e : std::filesystem::directory_iterator(dir())) {
    const std::string kind = e.path().extension().string();
    EXPECT_TRUE(kind == ".wav" || kind == ".raw" || kind == ".txt") << e.path();
  }
}

}  // namespace
