// Opening existing files (a missing file, files written by other programs), recording into them,
// and editing and saving: removing frames at the position (in frames, in seconds, in whole blocks
// of a compressed file), compacting, the refusals, and peers reading the results.  The corpus test
// opens the bad and unusual files.
#include "wavefile/open_file.h"

#include <cmath>

#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"
#include "wavefile/frames.h"

namespace voxl {
namespace {

using namespace testing;
namespace fs = std::filesystem;

class OpenFileTest : public CaptureTest {
 protected:
  VoxlRecorder* host() { return ToHost(&r()); }
  WORD Delete(LONG n) { return WORD(m.DeleteSamples(host(), n, &e_) == 0 ? e_ : 0xFFFF); }
  WORD DeleteSeconds(double s) { return WORD(m.DeleteSeconds(host(), s, &e_) == 0 ? e_ : 0xFFFF); }
  WORD Compact() { return WORD(m.CompactFile(host(), &e_) == 0 ? e_ : 0xFFFF); }
  // Every failure leaves nothing open.
  WORD OpenPath(const std::string& path) {
    e_ = 0xFFFF;
    Named(path, [&](BSTR name) { EXPECT_EQ(m.OpenFile(host(), name, &e_), 0); });
    EXPECT_TRUE(e_ == ErrNone || (r().state == StateIdle && r().fileHandle == nullptr));
    return e_;
  }
  // A new 16-bit mono recording of `buffers` device buffers at `rate`; returns its data.
  Bytes Take(uint32_t rate, size_t buffers) {
    Open({16, 1, rate}, path);
    RecordBuffers(buffers);
    return Expected({16, 1, rate}, 0, r().length);
  }
  const VoxlRecorderVtbl& m = kRecorderMethods;
  const std::string path = File("take.wav");
  WORD e_ = 0;
};

class RecordIntoOpenedFileTest : public OpenFileTest,
                                 public ::testing::WithParamInterface<const char*> {};

// Continuing at the end, inserting 2 s at 5 s and overwriting 1 s at 3 s of a 10 s file written
// by sox: each time the data is the file before with what the host was given spliced in at the
// position (whole blocks for a compressed file).
TEST_P(RecordIntoOpenedFileTest, SplicesAtThePosition) {
  ASSERT_EQ(test::RunCommand("sox -n -r 8000 -c 1 " + std::string(GetParam()) + " " +
                             test::ShellQuote(path) + " synth 10 sine 300")
                .exitCode,
            0);
  r().fileKind = 0;
  ASSERT_EQ(OpenPath(path), ErrNone);
  // Where (seconds; negative: where the last run ended), insert or overwrite, buffers.
  using Step = std::tuple<double, uint16_t, size_t>;
  for (auto [seconds, insert, buffers] : {Step{-1, 0, 3}, Step{5, 1, 20}, Step{3, 0, 10}}) {
    if (seconds >= 0) m.SetPositionSeconds(host(), seconds);
    r().insertMode = insert;
    const Bytes before = test::ParseWave(path)->data;
    const size_t at = FrameToByte64(r(), uint32_t(r().position));  // whole blocks when compressed
    gBlocks.clear();
    RecordBuffers(buffers);
    const Bytes given = Delivered();
    const size_t resume = insert ? at : std::min(before.size(), at + given.size());
    EXPECT_EQ(test::ParseWave(path)->data,
              Concat({Bytes(before.begin(), before.begin() + at), given,
                      Bytes(before.begin() + resume, before.end())}))
        << seconds;
  }
  const uint32_t length = r().length;
  CloseRecording();
  ASSERT_EQ(OpenPath(path), ErrNone);
  EXPECT_EQ(r().length, length);
}

INSTANTIATE_TEST_SUITE_P(Formats, RecordIntoOpenedFileTest,
                         ::testing::Values("-b 16", "-e a-law", "-e ima-adpcm",
                                           "-e gsm-full-rate"));

// The 10 s file at 8000 Hz with 1 s removed at 2 s: the audio from 3 s on moves to 2 s, the file
// keeps its size until compaction makes it 46 + 144000 bytes, and sox and ffmpeg then read
// exactly the audio left.  Both report their progress, rising to 1.
TEST_F(OpenFileTest, CutMovesTheRestForwardAndCompactionDropsTheOldTail) {
  const Bytes left = Without(Take(8000, 100), 32000, 48000);
  std::vector<double> seen;
  r().progress = {[](DOUBLE f, void* c) { static_cast<std::vector<double>*>(c)->push_back(f); },
                  &seen};
  const auto rose = [&] {
    const bool ok = !seen.empty() && std::is_sorted(seen.begin(), seen.end()) && seen.back() == 1.0;
    seen.clear();
    return ok;
  };
  m.SetPosition(host(), 16000);
  EXPECT_EQ(Delete(8000), ErrNone);
  EXPECT_TRUE(rose());
  EXPECT_EQ(std::tuple(r().length.load(), r().position.load(), fs::file_size(path)),
            std::tuple(72000u, 16000, 46u + 160000));
  EXPECT_EQ(test::ParseWave(path)->data, left);
  EXPECT_EQ(Compact(), ErrNone);
  EXPECT_TRUE(rose());
  EXPECT_EQ(std::tuple(r().length.load(), r().position.load(), fs::file_size(path)),
            std::tuple(72000u, 16000, 46u + 144000));
  const std::string raw = path + ".raw";
  test::RunCommand("sox " + test::ShellQuote(path) + " -t raw " + test::ShellQuote(raw));
  EXPECT_EQ(test::ReadBinaryFile(raw), left);
  const auto decoded = test::FfmpegDecode(path).value_or(std::vector<int16_t>{});
  const auto* bytes = reinterpret_cast<const uint8_t*>(decoded.data());
  EXPECT_EQ(Bytes(bytes, bytes + decoded.size() * 2), left);
}

// Counts at and past the end cut at the position, 0 and negative ones change nothing, and
// seconds become whole frames at the file's rate (the fraction dropped, infinity saturating).
// The old tail stays behind a RIFF/WAVE form; a headerless file is cut at its new end.
TEST_F(OpenFileTest, CountsCutAtThePositionOrRemoveWholeFrames) {
  using Row = std::tuple<uint32_t, double, bool, uint32_t>;  // rate, amount, in seconds, removed
  for (auto [rate, amount, seconds, removed] :
       {Row{8000, 6000, false, 6000}, Row{8000, 1e5, false, 6000}, Row{8000, 0, false, 0},
        Row{8000, -5, false, 0}, Row{44100, 0.5, true, 22050}, Row{11025, 0.5, true, 5512},
        Row{8000, INFINITY, true, 6000}, Row{8000, NAN, true, 0}}) {
    SCOPED_TRACE(::testing::Message() << rate << " Hz, " << amount);
    const Bytes all = Take(rate, 10);
    const uint32_t length = r().length;
    m.SetPosition(host(), 2000);
    EXPECT_EQ(seconds ? DeleteSeconds(amount) : Delete(LONG(amount)), ErrNone);
    EXPECT_EQ(r().length, length - removed);
    EXPECT_EQ(test::ParseWave(path)->data, Without(all, 4000, 4000 + 2 * removed));
  }
  r().fileKind = 1;
  const Bytes all = Take(8000, 10);
  m.SetPosition(host(), 2000);
  EXPECT_EQ(Delete(1000), ErrNone);
  EXPECT_EQ(test::ReadBinaryFile(path), Without(all, 4000, 6000));
}

// An IMA ADPCM file loses whole blocks of 505 frames: 200 frames (under half a block) remove
// none, 1000 remove two; compacted, it is the file a peer writes with the blocks left, and ffmpeg
// decodes all of them.
TEST_F(OpenFileTest, CompressedFilesLoseWholeBlocks) {
  const test::FormatBytes format = test::SuggestFormat(WAVE_FORMAT_IMA_ADPCM, 8000, 1);
  const size_t align = test::AsFormat(format).nBlockAlign;
  const auto encoded = test::Encode(format, test::MusicLike(8000, 1, 505 * 100));
  ASSERT_TRUE(encoded && encoded->size() == 100 * align);
  ASSERT_TRUE(test::WriteCompressedWave(path, format, *encoded, 505 * 100));
  ASSERT_EQ(OpenPath(path), ErrNone);
  m.SetPosition(host(), 505 * 10 + 300);  // block 10
  EXPECT_EQ(Delete(200), ErrNone);
  EXPECT_EQ(r().length, 505u * 100);
  EXPECT_EQ(Delete(1000), ErrNone);
  EXPECT_EQ(r().length, 505u * 98);
  EXPECT_EQ(Compact(), ErrNone);
  const std::string peer = File("peer.wav");
  test::WriteCompressedWave(peer, format, Without(*encoded, 10 * align, 12 * align), 505 * 98);
  EXPECT_EQ(test::ReadBinaryFile(path), test::ReadBinaryFile(peer));
  EXPECT_EQ(test::FfmpegDecode(path).value_or(std::vector<int16_t>{}).size(), 505u * 98);
}

// A temporary recording through compactions: with nothing behind its content the file is only
// repositioned; a failed replacement reports 12 and leaves the file byte for byte with no new
// file beside it; a successful one keeps the name, position and delete-on-close, so Close still
// removes the file.
TEST_F(OpenFileTest, CompactionReplacesTheFileWholeOrNotAtAll) {
  r().sampleRate = 8000, r().channels = 1;
  m.NewTempRecording(host(), &e_);
  RecordBuffers(10);
  const std::string name = r().fileName;
  m.SetPosition(host(), 2000);
  Bytes before = test::ReadBinaryFile(name);
  EXPECT_EQ(Compact(), ErrNone);
  EXPECT_EQ(std::pair(test::ReadBinaryFile(name) == before, mmioSeek(r().fileHandle, 0, SEEK_CUR)),
            std::pair(true, LONG(46 + 4000)));
  EXPECT_EQ(Delete(1000), ErrNone);
  before = test::ReadBinaryFile(name);
  system::ArmIoFault({system::IoCall::Rename, 0, system::IoFailure::Fail, 0, {}});
  EXPECT_EQ(Compact(), ErrVolumeControl);
  system::DisarmIoFault();
  EXPECT_EQ(std::pair(test::ReadBinaryFile(name) == before, FilesInDir()), std::pair(true, 1ul));
  EXPECT_EQ(Compact(), ErrNone);
  EXPECT_EQ(std::tuple(std::string(r().fileName), r().deleteOnClose.load(), r().position.load(),
                       fs::file_size(name), FilesInDir()),
            std::tuple(name, WORD(1), 2000, uintmax_t{46 + 14000}, 1ul));
  CloseRecording();
  EXPECT_EQ(FilesInDir(), 0u);
}

// A missing file is created, unless read-only.  Read-only, streaming and closed recorders refuse
// every edit, and nothing changes.
TEST_F(OpenFileTest, MissingFilesAndEditRefusals) {
  EXPECT_EQ(OpenPath(path), ErrNone);
  EXPECT_EQ(std::tuple(r().state.load(), r().length.load(), fs::exists(path)),
            std::tuple(uint16_t(StateOpen), 0u, true));
  RecordBuffers(10);
  CloseRecording();
  const Bytes before = test::ReadBinaryFile(path);
  const auto refusals = [&] { return std::tuple(Delete(1), DeleteSeconds(1), Compact()); };
  r().readOnly = 1;
  EXPECT_EQ(OpenPath(File("missing.wav")), ErrReadOnly);
  EXPECT_FALSE(fs::exists(File("missing.wav")));
  ASSERT_EQ(OpenPath(path), ErrNone);
  EXPECT_EQ(refusals(), std::tuple(ErrReadOnly, ErrReadOnly, ErrReadOnly));
  r().readOnly = 0;
  Open(kMono8k, "");
  EXPECT_EQ(refusals(), std::tuple(ErrNoFile, ErrNoFile, ErrNoFile));
  CloseRecording();
  EXPECT_EQ(refusals(), std::tuple(ErrNeedsOpen, ErrNeedsOpen, ErrNeedsOpen));
  EXPECT_EQ(test::ReadBinaryFile(path), before);
}

}  // namespace
}  // namespace voxl
