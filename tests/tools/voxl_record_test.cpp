// voxl record run as a program with the virtual input (real-time clock, a 440 Hz test tone):
// formats (compressed ones too, and voxl formats' records), device choice, the recording limit,
// headerless files and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>

#include "support/peer.h"
#include "support/tone.h"
#include "voxl_run.h"

namespace {

using voxl::test::ShellQuote;

class VoxlRecordTest : public voxl::test::TempDirTest {
 protected:
  voxl::test::VoxlRun Record(const std::string& args) {
    return voxl::test::RunVoxl("record " + args, File("stderr.txt"));
  }
};

// Each sample format, on devices chosen by number or exact name.
TEST_F(VoxlRecordTest, RecordsEachSampleFormatThatSoxReads) {
  struct Case {
    const char* args;
    const char* encoding;
    int rate;
    int channels;
  };
  for (const Case& c :
       {Case{"--format alaw --rate 8000 --channels 1 --device 0", "A-law", 8000, 1},
        Case{"--format mulaw --rate 16000 --device 'Virtual Input'", "u-law", 16000, 2},
        Case{"--format pcm8 --rate 22050 --channels 1", "Unsigned", 22050, 1},
        Case{"", "Signed Integer PCM", 44100, 2},
        Case{"--format adpcm --rate 22050", "MS ADPCM", 22050, 2},
        // An IMA ADPCM record as 'voxl formats' prints it: 8000 Hz mono.
        Case{"--format-bytes 11000100401f0000d70f0000000104000200f901", "IMA ADPCM", 8000, 1}}) {
    SCOPED_TRACE(c.args);
    const std::string out = File("take.wav");
    const voxl::test::VoxlRun run =
        Record(std::string(c.args) + " --seconds 0.5 " + ShellQuote(out));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The host stops at the level message of the buffer that reaches 0.5 s; on a loaded machine
    // the engine may have taken one more buffer by then.
    EXPECT_TRUE(run.err.find("0.5 s recorded to " + out) != std::string::npos ||
                run.err.find("0.6 s recorded to " + out) != std::string::npos)
        << run.err;
    const auto info = voxl::test::SoxInfo(out);
    ASSERT_TRUE(info);
    EXPECT_NE(info->encoding.find(c.encoding), std::string::npos) << info->encoding;
    EXPECT_EQ(info->sampleRate, c.rate);
    EXPECT_EQ(info->channels, c.channels);
    EXPECT_NEAR(info->frames, c.rate / 2, c.rate / 10);
    const auto wave = voxl::test::ReadWithSndfile(out);
    ASSERT_TRUE(wave);
    EXPECT_NEAR(
        voxl::test::EstimateFrequency(voxl::test::Channel(wave->samples, c.channels, 0), c.rate),
        440.0, 5.0);
  }
}

// A record that 'voxl formats' lists records in that format: MPEG Layer-3 as ffprobe sees it.
TEST_F(VoxlRecordTest, RecordsInAFormatThatVoxlFormatsLists) {
  const voxl::test::VoxlRun list = voxl::test::RunVoxl("formats --tag mp3", File("stderr.txt"));
  ASSERT_EQ(list.exitCode, 0) << list.err;
  const std::string wanted = "MPEG Layer-3: 44100 Hz, 128 kbit/s, Stereo";
  const size_t line = list.out.find(wanted);
  ASSERT_NE(line, std::string::npos) << list.out;
  // The record follows the description.
  std::string hex;
  std::istringstream(list.out.substr(line + wanted.size())) >> hex;
  const std::string out = File("take.wav");
  const voxl::test::VoxlRun run =
      Record("--format-bytes " + hex + " --seconds 0.5 " + ShellQuote(out));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("recording into " + out + " (" + wanted + ")"), std::string::npos)
      << run.err;
  const voxl::test::CommandResult probe = voxl::test::RunCommand(
      "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bit_rate -of "
      "csv=p=0 " +
      ShellQuote(out));
  EXPECT_EQ(probe.output, "mp3,44100,2,128000\n");
}

// The recorder's own length limit ends the run: a success, with exactly the frames asked for.
TEST_F(VoxlRecordTest, HeaderlessFilesHoldOnlyTheSamplesUpToTheLimit) {
  const std::string out = File("take.raw");
  const voxl::test::VoxlRun run = Record(
      "--headerless --format pcm16 --rate 8000 --channels 1 --max-seconds 0.5 " + ShellQuote(out));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::vector<uint8_t> bytes = voxl::test::ReadBinaryFile(out);
  EXPECT_EQ(bytes.size(), 8000u);
  std::vector<int16_t> samples = voxl::test::SamplesFromBytes(bytes);
  EXPECT_NEAR(voxl::test::PeakDbfs(voxl::test::Channel(samples, 1, 0)), -12.0, 0.5);
}

// A write refused at the size limit of the process killed voxl (SIGXFSZ), and a failed write
// was blamed on the encoder: the run stops, says why, and the file opens with what it holds.
TEST_F(VoxlRecordTest, AFailedWriteSaysWhyAndLeavesAFileThatOpens) {
  const std::string out = File("take.wav");
  const voxl::test::CommandResult run =
      voxl::test::RunCommand("ulimit -f 100; VOXL_AUDIO_DRIVER=virtual " + ShellQuote(VOXL_BINARY) +
                             " record -q --seconds 5 " + ShellQuote(out) + " 2>&1");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("stopped: the file reached the size limit of this process"),
            std::string::npos)
      << run.output;
  const auto info = voxl::test::SoxInfo(out);
  ASSERT_TRUE(info);
  EXPECT_GT(info->frames, 4410);
}

// Usage errors and refusals of both commands are one short line (no virtual-input notice
// before them, bounds in brief), and they leave the files as they were.
TEST_F(VoxlRecordTest, RefusalsChangeNothingAndSayWhy) {
  const std::string existing = ShellQuote(File("keep.wav"));
  ASSERT_EQ(Record("--seconds 0.2 -q " + existing).exitCode, 0);
  const std::vector<uint8_t> before = voxl::test::ReadBinaryFile(File("keep.wav"));
  const std::string fresh = ShellQuote(File("x.wav"));
  struct Refusal {
    std::string args;
    int exitCode;
    const char* says;
  };
  for (const Refusal& r :
       {Refusal{"record --insert " + ShellQuote(File("new.wav")), 2, "does not exist"},
        Refusal{"record --rate 12345 " + fresh, 2, "12345 Hz is not offered"},
        Refusal{"record --sound-db 3 " + fresh, 2, ""},
        Refusal{"record --format flac " + fresh, 2, ""},
        Refusal{"record --format gsm " + fresh, 2,
                "no format at 44100 Hz stereo; it offers 8000 Hz mono"},
        Refusal{"record --format mp3 --bitrate 100 " + fresh, 2, "stereo offers 32, 40,"},
        Refusal{"record --format-bytes 01zz " + fresh, 2, "not a format in hex"},
        Refusal{"formats --tag flac", 2, "--tag flac: not a format tag"},
        // An MPEG Layer-3 record cut short: its cbSize claims 12 bytes that are not there.
        Refusal{"record --format-bytes 5500020044ac0000803e0000010000000c000100 " + fresh, 1,
                "the format cannot be used"},
        Refusal{"record --device 1 " + fresh, 2, ""},
        Refusal{"record --device 'virtual input' " + fresh, 2, "\"Virtual Input\""},
        Refusal{"stream --seconds 1 --device 'virtual input' " + fresh, 2,
                "\"Default Device\", \"Virtual Input\""},
        Refusal{"record --seconds 1 " + ShellQuote(File("no/folder/x.wav")), 1,
                "no/folder/x.wav: No such file or directory"},
        Refusal{"stream --seconds 1 " + ShellQuote(File("no/folder/x.wav")), 1,
                "voxl: cannot create"},
        // NaN or infinite durations and levels ran forever or were taken as no limit.
        Refusal{"record --seconds nan --max-seconds 0.1 " + fresh, 2,
                "--seconds: nan is not a finite number"},
        Refusal{"stream --seconds nan " + fresh, 2, "nan is not a finite number"},
        Refusal{"record --max-seconds inf " + fresh, 2, "not a finite number"},
        Refusal{"record --sound-db nan " + fresh, 2, "not a finite number"},
        Refusal{"record --seconds -1 " + fresh, 2, "-1 is out of range (seconds, 0 or more)"},
        // Tones beyond 4 GiB filled the disk.
        Refusal{"record --start-tone 1e6 " + fresh, 2,
                "1e+06: longer than a recording in this format"},
        Refusal{"record --end-tone 1e39 --format alaw --rate 6000 --channels 1 " + fresh, 2,
                "--end-tone 1e+39: longer than a recording in this format can hold (at most "
                "715827 s)"},
        // A limit below one frame meant no limit.
        Refusal{"record --max-seconds 0.00001 " + fresh, 2, "the shortest limit is 2.26757e-05 s"},
        // An empty name recorded nothing and reported success (stream wrote to stdout), and
        // a name that is not UTF-8 was taken.
        Refusal{"record ''", 2, "OUT is empty"},
        Refusal{"stream --seconds 0.1 ''", 2, "OUT is empty"},
        Refusal{"record " + ShellQuote(File("\xff.wav")), 2, "not valid UTF-8"},
        Refusal{"stream --seconds 0.1 " + ShellQuote(File("\xff.wav")), 2,
                "voxl: the file name is not valid"}}) {
    const voxl::test::VoxlRun run = voxl::test::RunVoxl(r.args, File("stderr.txt"));
    EXPECT_EQ(run.exitCode, r.exitCode) << r.args;
    EXPECT_NE(run.err.find(r.says), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_LT(run.err.size(), 200u) << run.err;
    EXPECT_TRUE(run.out.empty()) << r.args;
  }
  EXPECT_EQ(voxl::test::ReadBinaryFile(File("keep.wav")), before) << "the file was touched";
  EXPECT_FALSE(std::filesystem::exists(File("x.wav")));
}

}  // namespace
