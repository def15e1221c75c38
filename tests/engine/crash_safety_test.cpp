// What a recording keeps when the process dies: sizes on disk that follow every buffer of a run,
// and the splice file of a killed insert-mode run removed when the recording is next opened.
// (tests/tools/voxl_record_test.cpp kills voxl record itself.)
#include <filesystem>

#include "engine/capture_fixture.h"
#include "formats/conversion.h"
#include "support/codec.h"
#include "wavefile/splice_record.h"

namespace voxl {
namespace {

using namespace testing;
using test::U32At;

// The sizes a RIFF/WAVE file states: form, data (and where its data starts), "fact" count.
struct Sizes {
  uint32_t form = 0, data = 0, fact = 0;
  size_t dataStart = 0;
};
Sizes SizesOf(const Bytes& file) {
  Sizes s;
  s.form = U32At(file, 4);
  for (size_t at = 12; at + 8 <= file.size(); at += 8 + ((U32At(file, at + 4) + 1) & ~1u)) {
    if (std::memcmp(&file[at], "fact", 4) == 0) s.fact = U32At(file, at + 8);
    if (std::memcmp(&file[at], "data", 4) == 0) {
      s.data = U32At(file, at + 4), s.dataStart = at + 8;
      break;
    }
  }
  return s;
}

struct SizesCase {
  const char* name;
  CaptureFormat format;
  WORD tag;  // compressed: the format tag
};

class SizesOnDiskTest : public CaptureTest, public ::testing::WithParamInterface<SizesCase> {};

// After each buffer, while the run goes on, the data size covers every byte behind the header,
// the form size follows it (pad byte of odd data counted), the "fact" count is the length, and
// libsndfile (sox at the last step) opens the file as it stands with every stored frame.  Then
// (PCM) a run overwriting inside the data keeps the sizes: they never shrink to the write position.
TEST_P(SizesOnDiskTest, FollowEveryBufferWhileTheRunGoesOn) {
  const SizesCase& c = GetParam();
  Bytes format;
  if (c.tag != 0) {
    format = test::SuggestFormat(c.tag, c.format.rate, c.format.channels);
    ASSERT_EQ(SetTargetFormat(r(), reinterpret_cast<LPWAVEFORMATEX>(format.data()),
                              int32_t(format.size()), true),
              kAccepted);
  }
  const std::string path = File("live.wav");
  Open(c.format, path);
  StartRecording();
  for (int buffer = 1; buffer <= 3; ++buffer) {
    SCOPED_TRACE(buffer);
    Complete(1);
    const Bytes file = test::ReadBinaryFile(path);
    const Sizes s = SizesOf(file);
    ASSERT_GT(s.dataStart, 0u);
    EXPECT_EQ(s.data, file.size() - s.dataStart);
    EXPECT_EQ(s.form, s.dataStart + s.data + (s.data & 1) - 8);
    EXPECT_EQ(s.fact, c.tag != 0 ? r().length.load() : 0u);  // PCM has no "fact" chunk
    const auto wave = test::ReadWithSndfile(path);
    ASSERT_TRUE(wave);
    EXPECT_EQ(wave->frames, r().length);
  }
  const auto info = test::SoxInfo(path);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->frames, r().length);
  StopRecording();
  if (c.tag != 0) return;
  const Sizes before = SizesOf(test::ReadBinaryFile(path));
  SetPosition(r(), 0);
  StartRecording();
  Complete(1);
  const Sizes after = SizesOf(test::ReadBinaryFile(path));
  EXPECT_EQ(std::tuple(after.form, after.data), std::tuple(before.form, before.data));
  StopRecording();
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SizesOnDiskTest,
    ::testing::Values(SizesCase{"Pcm16Mono8000", kMono8k, 0},
                      SizesCase{"Pcm8Mono22050", {8, 1, 22050}, 0},  // odd data sizes
                      SizesCase{"ImaAdpcmMono8000", {100, 1, 8000}, 0x11}),
    [](const auto& info) { return std::string(info.param.name); });

// During an insert-mode run a record beside the recording names its splice file; the end of the
// run removes both.  A record left by a killed run is found on the next open: the splice file
// goes, and so does what the splice had grown the recording by when its old length was still
// recorded.  A record naming anything but a splice file removes nothing but itself.
TEST_F(CaptureTest, ASpliceFileLeftByAKilledInsertIsRemovedOnTheNextOpen) {
  const std::string path = File("take.wav"), record = path + ".voxl-splice";
  Open(kMono8k, path);
  RecordBuffers(2);
  r().insertMode = 1;
  StartRecording();
  Complete(1);
  const std::string splice = r().spliceFileName;
  const Bytes text = test::ReadBinaryFile(record);
  EXPECT_NE(std::string(text.begin(), text.end()).find(splice), std::string::npos);
  StopRecording();
  EXPECT_FALSE(std::filesystem::exists(record));
  EXPECT_FALSE(std::filesystem::exists(splice));
  CloseRecording();
  const Bytes before = test::ReadBinaryFile(path);

  const std::string leftover = File("VOX1A2B.tmp"), other = File("keep.txt");
  for (const std::string& named : {leftover, other}) {
    SCOPED_TRACE(named);
    ASSERT_TRUE(test::WriteBinaryFile(named, "x", 1));
    ASSERT_TRUE(WriteSpliceRecord(path.c_str(), named.c_str(), before.size()));
    Bytes grown = Concat({before, Bytes(5000, 0x55)});  // killed while the splice grew it
    ASSERT_TRUE(test::WriteBinaryFile(path, grown.data(), grown.size()));
    OpenRecording(path), CloseRecording();
    EXPECT_TRUE(test::ReadBinaryFile(path) == before);
    EXPECT_EQ(std::filesystem::exists(named), named == other);
    EXPECT_FALSE(std::filesystem::exists(record));
  }
  // Once the splice moves data, the growth holds part of it and stays.
  ASSERT_TRUE(WriteSpliceRecord(path.c_str(), leftover.c_str(), 10));
  ForgetLengthBefore(path.c_str());
  OpenRecording(path), CloseRecording();
  EXPECT_TRUE(test::ReadBinaryFile(path) == before);
  EXPECT_FALSE(std::filesystem::exists(record));
}

}  // namespace
}  // namespace voxl
