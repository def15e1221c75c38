// Recording targets: the bytes of new files, streaming and temporary targets, refusals, the size
// updates after a run and at close, and peer programs reading what we wrote.
#include "wavefile/recording_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/mmio/mmio.h"
#include "platform/system/io_faults.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "support/peer.h"
#include "wavefile/frames.h"

namespace voxl {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Layout {
  const char* label;
  uint16_t sampleFormat, channels;
  uint32_t rate;
  uint16_t tag, bits, align;
  bool fact;
  int16_t fileKind = 0;  // not 0: headerless
};

// The file of this layout holding `data` (padded when odd) with the fact count given; a file
// just created (`sized` false) has a form size of 0.  A headerless file is the data alone.
Bytes ExpectedFile(const Layout& l, const Bytes& data, uint32_t count, bool sized = true) {
  if (l.fileKind != 0) return data;
  const auto size = uint32_t(data.size());
  const uint32_t form = sized ? (l.fact ? 50 : 38) + size + (size & 1) : 0, fmtSize = 18, four = 4;
  const WAVEFORMATEX format{l.tag, l.channels, l.rate, l.rate * l.align, l.align, l.bits, 0};
  Bytes b;
  const auto put = [&b](const void* p, size_t n) {
    b.insert(b.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  put("RIFF", 4), put(&form, 4), put("WAVEfmt ", 8), put(&fmtSize, 4), put(&format, 18);
  if (l.fact) put("fact", 4), put(&four, 4), put(&count, 4);
  put("data", 4), put(&size, 4), put(data.data(), size), put("", size & 1);
  return b;
}

const Layout kLayouts[] = {
    {"Pcm16Stereo44100", 16, 2, 44100, 1, 16, 4, false},
    {"Pcm8Mono22050", 8, 1, 22050, 1, 8, 1, false},
    {"ALawMono8000", 106, 1, 8000, 6, 8, 1, true},
    {"MuLawStereo8000", 107, 2, 8000, 7, 8, 2, true},
    {"Headerless16Stereo", 16, 2, 44100, 1, 16, 4, false, 1},
    {"HeaderlessFromByte44", 8, 1, 8000, 1, 8, 1, false, -44},
};

std::u16string Widen(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

class RecordingFileTest : public test::TempDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(wave::SelectDriverForTesting("virtual"));
    virtualaudio::Reset();
  }
  void TearDown() override {
    system::DisarmIoFault();
    if (r.state == StateOpen) CloseRecordingTarget(r);
  }
  void Use(const Layout& l) {
    r.sampleFormat = l.sampleFormat, r.channels = l.channels, r.sampleRate = l.rate;
    r.fileKind = l.fileKind;
  }
  uint16_t Create(const std::u16string& name) {
    BSTR b = SysAllocStringLen(name.data(), UINT(name.size()));
    uint16_t error = 0xEEEE;
    EXPECT_EQ(NewRecording(r, b, &error), 0u);
    SysFreeString(b);
    return error;
  }
  uint16_t CreateTemp() {
    uint16_t error = 0xEEEE;
    NewTempRecording(r, &error);
    return error;
  }
  // What the engine does during a run: data at the position, length extended, chunks marked.
  void EngineWrite(uint32_t frame, const Bytes& data) {
    ASSERT_NE(mmioSeek(r.fileHandle, LONG(FrameToFileOffset(r, frame)), SEEK_SET), -1);
    ASSERT_EQ(
        mmioWrite(r.fileHandle, reinterpret_cast<const char*>(data.data()), LONG(data.size())),
        LONG(data.size()));
    r.length = std::max<uint64_t>(r.length.load(), frame + data.size() / r.pcmFormat.nBlockAlign);
    r.dataChunk.dwFlags |= MMIO_DIRTY;
    r.riffChunk.dwFlags |= MMIO_DIRTY;
  }
  void ExpectIdleWithoutFile() {
    EXPECT_EQ(
        std::tuple(r.state.load(), r.fileHandle, r.fileName[0], r.length.load(), r.position.load()),
        std::tuple(StateIdle, HMMIO{}, '\0', 0u, 0));
  }
  test::ScopedEnv tmpdir_{"TMPDIR", dir().c_str()};  // temporary files go into the test's folder
  Recorder r;
};

class NewFileLayout : public RecordingFileTest, public ::testing::WithParamInterface<Layout> {};

// A new file's header (none when headerless); engine writes, the size update of the end of a run, a
// second run over the middle, then Close without that update (Close while recording); Close of an
// empty file.
TEST_P(NewFileLayout, SizesFollowTheRecordedDataAfterEachRunAndAtClose) {
  const Layout& l = GetParam();
  Use(l);
  const std::string path = File("rec.wav");
  ASSERT_EQ(Create(Widen(path)), 0);
  EXPECT_EQ(test::ReadBinaryFile(path), ExpectedFile(l, {}, 0, false));
  EXPECT_EQ(std::tuple(r.state.load(), std::string(r.fileName)), std::tuple(StateOpen, path));

  Bytes data(l.align * 5);  // 5 frames: odd sizes exercise the pad byte
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
  EngineWrite(0, data);
  r.position = 2;  // the next run continues here, not at the end
  r.stopReason = ErrLengthLimit;
  r.silent = 1;
  static uint32_t reported;
  reported = 0xFFFF;
  r.callbacks.captureEnded = [](DWORD code) { reported = code; };
  FinishRecordingFile(r);
  EXPECT_EQ(std::tuple(reported, r.silent.load(), r.dataChunk.cksize,
                       mmioSeek(r.fileHandle, 0, SEEK_CUR)),
            std::tuple(ErrLengthLimit, 0, data.size(), LONG(FrameToFileOffset(r, 2))));
  EXPECT_EQ(test::ReadBinaryFile(path), ExpectedFile(l, data, 0));  // the count waits for Close

  const Bytes middle(l.align * 2, 0xAB);  // overwrites frames 1 and 2; length stays 5
  EngineWrite(1, middle);
  CloseRecordingTarget(r);
  std::copy(middle.begin(), middle.end(), data.begin() + l.align);
  EXPECT_EQ(test::ReadBinaryFile(path), ExpectedFile(l, data, 5));
  ExpectIdleWithoutFile();

  ASSERT_EQ(Create(Widen(path)), 0);
  CloseRecordingTarget(r);
  EXPECT_EQ(test::ReadBinaryFile(path), ExpectedFile(l, {}, 0));
}

INSTANTIATE_TEST_SUITE_P(Formats, NewFileLayout, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.label); });

// The end of one run may reach the host after it has started the next: the file then belongs to
// the engine, and the update must leave it alone (the next run's end writes the sizes).
TEST_F(RecordingFileTest, EndOfRunLeavesTheFileAloneWhileTheNextRunRecords) {
  Use(kLayouts[0]);
  ASSERT_EQ(Create(Widen(File("rec.wav"))), 0);
  EngineWrite(0, Bytes(40, 0x11));
  const LONG enginePosition = mmioSeek(r.fileHandle, 0, SEEK_CUR);
  const MMCKINFO data = r.dataChunk;
  static uint32_t calls;
  calls = 0;
  r.callbacks.captureEnded = [](DWORD) { ++calls; };
  r.state = StateRecording;
  FinishRecordingFile(r);
  r.state = StateOpen;
  EXPECT_EQ(std::tuple(calls, mmioSeek(r.fileHandle, 0, SEEK_CUR), r.dataChunk.cksize,
                       r.dataChunk.dwFlags),
            std::tuple(1u, enginePosition, data.cksize, data.dwFlags));
}

TEST_F(RecordingFileTest, NamesAreTakenWholeOrRefused) {
  // A path of exactly 299 bytes of UTF-8 (with two-byte characters) fits with its terminator;
  // one byte more is refused, never truncated to another name.
  const std::string sub = (dir() / std::string(100, 'd')).string();
  fs::create_directory(sub);
  std::string fits = sub + "/";
  std::u16string wide = Widen(fits);
  while (fits.size() + 2 <= 299 - 4) fits += "\xC3\xA9", wide += u'\u00E9';
  while (fits.size() < 299 - 4) fits += "x", wide += u'x';
  fits += ".wav", wide += u".wav";
  ASSERT_EQ(fits.size(), 299u);
  ASSERT_EQ(Create(wide), 0);
  EXPECT_EQ(std::tuple(std::string(r.fileName), fs::exists(fits)), std::tuple(fits, true));
  CloseRecordingTarget(r);

  EXPECT_EQ(Create(wide.substr(0, wide.size() - 4) + u"x.wav"), ErrFileOpen);  // 300 bytes
  EXPECT_EQ(Create(Widen(File("a")) + u'\0' + u"b.wav"), ErrFileOpen);
  EXPECT_EQ(Create(Widen("/nonexistent-dir/x.wav")), ErrFileOpen);
  EXPECT_EQ(std::tuple(r.state.load(), r.lastError.load(), fs::exists(File("a"))),
            std::tuple(StateIdle, ErrFileOpen, false));
  EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()), 1);

  // Read-only refuses a new target and keeps the open one.
  ASSERT_EQ(Create(Widen(File("keep.wav"))), 0);
  HMMIO open = r.fileHandle;
  r.readOnly = 1;
  EXPECT_EQ(Create(Widen(File("other.wav"))), ErrReadOnly);
  EXPECT_EQ(CreateTemp(), ErrReadOnly);
  EXPECT_EQ(std::tuple(r.fileHandle, r.state.load(), fs::exists(File("other.wav"))),
            std::tuple(open, StateOpen, false));
  r.readOnly = 0;
}

// A new target first closes the previous, which deletes a temporary one (so does Close: see
// OpenFileTest.CompactionReplacesTheFileWholeOrNotAtAll); a target whose header cannot be written
// and a temporary target that cannot start leave no file.
TEST_F(RecordingFileTest, TemporaryFileIsDeletedByCloseOrANewTarget) {
  ASSERT_EQ(CreateTemp(), 0);
  const std::string temp = r.fileName;
  EXPECT_EQ(temp.rfind((dir() / "VOX").string(), 0), 0u) << temp;
  ASSERT_EQ(Create(Widen(File("next.wav"))), 0);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_EQ(FilesInDir(), 1u);

  r.threadHandle = kNoThread;  // Close cannot run: nothing else happens
  EXPECT_EQ(Create(Widen(File("third.wav"))), ErrNoEngine);
  EXPECT_EQ(std::tuple(r.state.load(), FilesInDir()), std::tuple(StateOpen, 1ul));
  r.threadHandle = 0;
  CloseRecordingTarget(r);

  // Failed temporary starts leave no file: the header cannot be written, or the input refuses the
  // capture format.
  system::ArmIoFault(system::DiskFull(10));
  EXPECT_EQ(CreateTemp(), ErrRiffWrite);
  system::DisarmIoFault();
  virtualaudio::SetInputFaults(WAVE_MAPPER, {.refuseFormat = true});
  EXPECT_EQ(CreateTemp(), ErrCaptureFormatRefused);
  EXPECT_EQ(std::tuple(r.state.load(), FilesInDir()), std::tuple(StateIdle, 1ul));
  virtualaudio::SetInputFaults(WAVE_MAPPER, {});

  // A full disk at each step before the header is written leaves no new file; a file that was
  // there before stays (emptied, as the failure found it): it was never the recorder's to remove.
  Use(kLayouts[2]);  // A-law: the format record (18 bytes), then the fact count (4)
  for (const uint64_t room : {0, 10, 17, 18, 21}) {
    ASSERT_TRUE(test::WriteBinaryFile(File("short.wav"), "old", 3));
    system::ArmIoFault(system::DiskFull(room));
    EXPECT_EQ(Create(Widen(File("short.wav"))), ErrRiffWrite) << room;
    system::DisarmIoFault();
    ExpectIdleWithoutFile();
    EXPECT_EQ(FilesInDir(), 2u);  // next.wav and short.wav
  }
  std::filesystem::remove(File("short.wav"));
  system::ArmIoFault(system::DiskFull(10));
  EXPECT_EQ(Create(Widen(File("short.wav"))), ErrRiffWrite);
  system::DisarmIoFault();
  EXPECT_EQ(FilesInDir(), 1u);  // a file this call created goes
}

}  // namespace
}  // namespace voxl
