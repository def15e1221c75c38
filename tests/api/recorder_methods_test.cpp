// The recorder's method table: slot order, range and state checks, limits, positions and
// seconds, levels, the error register and the slots not yet available.  The recorders here are
// built by hand (no engine thread): the property slots only read and write the record, and the
// transport slots are exercised only on paths that refuse before talking to the engine.
#include "api/recorder_methods.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/recorder.h"

namespace voxl {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class RecorderMethodsTest : public ::testing::Test {
 protected:
  RecorderMethodsTest() {
    rec.methods = &kRecorderMethods;
    rec.state = StateIdle;
  }
  ~RecorderMethodsTest() override { delete[] reinterpret_cast<uint8_t*>(rec.fileFormat); }

  VoxlRecorder* host() { return ToHost(&rec); }
  const VoxlRecorderVtbl& m() { return *host()->lpVtbl; }

  // An open recording of `frames` frames at `hertz` (PCM unless MakeCompressed follows).
  void OpenWith(uint32_t frames, uint32_t hertz) {
    rec.state = StateOpen;
    rec.length = frames;
    rec.pcmFormat.nSamplesPerSec = hertz;
  }
  void MakeCompressed(uint32_t fileHertz, double perBlock) {
    rec.fileFormat = reinterpret_cast<WAVEFORMATEX*>(new uint8_t[sizeof(WAVEFORMATEX)]());
    rec.fileFormat->nSamplesPerSec = fileHertz;
    rec.compressed = 1;
    rec.samplesPerBlock = perBlock;
  }
  template <class T, class Getter>
  T Get(Getter getter) {
    T value{};
    EXPECT_EQ((m().*getter)(host(), &value), 0);
    return value;
  }
  int32_t Position() { return Get<LONG>(&VoxlRecorderVtbl::GetPosition); }
  double LengthSeconds() { return Get<double>(&VoxlRecorderVtbl::GetLengthSeconds); }
  double PositionSeconds() { return Get<double>(&VoxlRecorderVtbl::GetPositionSeconds); }

  Recorder rec;
};

#define SLOT(name) \
  { #name, offsetof(VoxlRecorderVtbl, name) }
struct Slot {
  const char* name;
  size_t offset;
};
// The published order; hosts call by position, so a moved slot breaks every caller.
// clang-format off
const Slot kPublishedOrder[] = {
    SLOT(GetFileKind), SLOT(SetFileKind), SLOT(ChooseFormatOfTag), SLOT(GetReadOnly),
    SLOT(SetReadOnly), SLOT(GetSilenceHold), SLOT(SetSilenceHold), SLOT(GetSilent),
    SLOT(GetSilenceThreshold), SLOT(SetSilenceThreshold), SLOT(GetSoundThreshold),
    SLOT(SetSoundThreshold), SLOT(GetSilenceMode), SLOT(SetSilenceMode), SLOT(GetFileFormatText),
    SLOT(GetFormatText), SLOT(ChooseFormat), SLOT(GetFormat), SLOT(PutFormat), SLOT(CompactFile),
    SLOT(DeleteSeconds), SLOT(DeleteSamples), SLOT(GetInsertMode), SLOT(SetInsertMode),
    SLOT(GetOutputDevice), SLOT(SetOutputDevice), SLOT(GetInputDevice), SLOT(SetInputDevice),
    SLOT(GetOutputDeviceName), SLOT(GetInputDeviceName), SLOT(GetOutputDeviceCount),
    SLOT(GetInputDeviceCount), SLOT(GetMaxLengthSeconds), SLOT(SetMaxLengthSeconds),
    SLOT(GetMaxLength), SLOT(SetMaxLength), SLOT(GetEndToneSeconds), SLOT(SetEndToneSeconds),
    SLOT(GetStartToneSeconds), SLOT(SetStartToneSeconds), SLOT(OpenVolumeControl),
    SLOT(GetLengthSeconds), SLOT(GetPositionSeconds), SLOT(SetPositionSeconds), SLOT(TakeLastError),
    SLOT(Play), SLOT(Record), SLOT(GetLevels), SLOT(GetPosition), SLOT(SetPosition),
    SLOT(GetPaused), SLOT(SetPaused), SLOT(GetLength), SLOT(OpenFile), SLOT(NewTempRecording),
    SLOT(NewRecording), SLOT(Stop), SLOT(GetDeleteOnClose), SLOT(SetDeleteOnClose),
    SLOT(GetFileName), SLOT(Close), SLOT(GetState), SLOT(GetMeterOption), SLOT(SetMeterOption),
    SLOT(GetChannels), SLOT(SetChannels), SLOT(GetSampleFormat), SLOT(SetSampleFormat),
    SLOT(GetSampleRate), SLOT(SetSampleRate), SLOT(GetMeterStyle), SLOT(SetMeterStyle),
    SLOT(GetMeterSegments), SLOT(SetMeterSegments), SLOT(GetMeterHighColor),
    SLOT(SetMeterHighColor), SLOT(GetMeterMidColor), SLOT(SetMeterMidColor), SLOT(GetMeterLowColor),
    SLOT(SetMeterLowColor), SLOT(GetMeterBackColor), SLOT(SetMeterBackColor),
};
// clang-format on
#undef SLOT

TEST(RecorderMethodTable, SlotsFollowThePublishedOrderWithoutGapsAndAreAllFilled) {
  constexpr size_t kSlots = std::size(kPublishedOrder);
  static_assert(kSlots == 82);
  ASSERT_EQ(sizeof(VoxlRecorderVtbl), kSlots * sizeof(void*));
  void* slots[kSlots];
  std::memcpy(slots, &kRecorderMethods, sizeof slots);
  for (size_t i = 0; i < kSlots; ++i) {
    EXPECT_EQ(kPublishedOrder[i].offset, i * sizeof(void*)) << kPublishedOrder[i].name;
    EXPECT_NE(slots[i], nullptr) << kPublishedOrder[i].name;
  }
}

// Each setter with a value it accepts or refuses, and the value stored afterwards: a refused
// call leaves the default in place.
TEST_F(RecorderMethodsTest, SettersAcceptOrRefuseAndStore) {
#define RANGE(setter, getter, type, value, result, stored)            \
  EXPECT_EQ(m().setter(host(), value), result) << #setter " " #value; \
  EXPECT_EQ(static_cast<double>(Get<type>(&VoxlRecorderVtbl::getter)), stored) << #setter " " #value
  RANGE(SetSampleRate, GetSampleRate, DWORD, 44000u, 1, 44100);
  RANGE(SetSampleRate, GetSampleRate, DWORD, 192000u, 0, 192000);
  RANGE(SetSampleFormat, GetSampleFormat, WORD, WORD{24}, 1, 16);
  RANGE(SetSampleFormat, GetSampleFormat, WORD, WORD{107}, 0, 107);
  RANGE(SetChannels, GetChannels, WORD, WORD{3}, 1, 2);
  RANGE(SetFileKind, GetFileKind, SHORT, SHORT{3}, 1, 0);
  RANGE(SetFileKind, GetFileKind, SHORT, SHORT{-44}, 0, -44);
  RANGE(SetReadOnly, GetReadOnly, WORD, WORD{5}, 0, 1);
  RANGE(SetSilenceHold, GetSilenceHold, WORD, SHORT{-1}, 1, 0);
  RANGE(SetSilenceThreshold, GetSilenceThreshold, FLOAT, 0.5f, 1, 0.0);
  RANGE(SetSilenceThreshold, GetSilenceThreshold, FLOAT, kNaN, 1, 0.0);
  RANGE(SetSoundThreshold, GetSoundThreshold, FLOAT, 1e-30f, 1, 0.0);
  RANGE(SetSoundThreshold, GetSoundThreshold, FLOAT, kNaN, 1, 0.0);  // never lifted silence
  RANGE(SetSilenceMode, GetSilenceMode, WORD, SHORT{-1}, 1, 0);
  RANGE(SetInsertMode, GetInsertMode, WORD, WORD{2}, 1, 0);
  RANGE(SetInputDevice, GetInputDevice, LONG, LONG{-2}, 1, -1);
  RANGE(SetOutputDevice, GetOutputDevice, LONG, LONG{7}, 0, 7);
  RANGE(SetMaxLengthSeconds, GetMaxLengthSeconds, DOUBLE, double(kNaN), 1, 0);
  RANGE(SetMaxLength, GetMaxLength, DWORD, LONG{-1}, 1, 0);
  RANGE(SetEndToneSeconds, GetEndToneSeconds, FLOAT, kNaN, 1, 0.0);
  RANGE(SetStartToneSeconds, GetStartToneSeconds, FLOAT, -0.01f, 1, 0.0);
  // Tones at 192000 Hz, mu-law stereo (set above): 2 bytes a frame, at most 0xFFFFFFFE bytes.
  RANGE(SetStartToneSeconds, GetStartToneSeconds, FLOAT, 11184.0f, 0, 11184.0);
  RANGE(SetEndToneSeconds, GetEndToneSeconds, FLOAT, 11185.0f, 1, 0.0);  // filled the disk
  RANGE(SetEndToneSeconds, GetEndToneSeconds, FLOAT, INFINITY, 1, 0.0);
  RANGE(SetMeterOption, GetMeterOption, WORD, WORD{2}, 1, 0);
  RANGE(SetMeterStyle, GetMeterStyle, WORD, SHORT{4}, 1, 0);
  RANGE(SetMeterSegments, GetMeterSegments, WORD, SHORT{0}, 1, 8);
  RANGE(SetMeterSegments, GetMeterSegments, WORD, SHORT{21}, 1, 8);
  RANGE(SetMeterSegments, GetMeterSegments, WORD, SHORT{20}, 0, 20);
#undef RANGE
}

TEST_F(RecorderMethodsTest, CaptureFormatSettersActOnlyBeforeAnythingIsOpen) {
  // The refusing states first, so the defaults are still in place for them.
  for (uint16_t state : {StateOpen, StateRecording, StatePlaying, StateCreated, StateIdle}) {
    SCOPED_TRACE(state);
    rec.state = state;
    const HRESULT expected = state <= StateIdle ? 0 : 1;
    EXPECT_EQ(m().SetSampleRate(host(), 8000), expected);
    EXPECT_EQ(m().SetSampleFormat(host(), 8), expected);
    EXPECT_EQ(m().SetChannels(host(), 1), expected);
    EXPECT_EQ(m().SetReadOnly(host(), 1), expected);
    EXPECT_EQ(m().SetFileKind(host(), 1), expected);
    if (expected == 1) {
      EXPECT_EQ(rec.sampleRate, 44100u);
      EXPECT_EQ(rec.sampleFormat, 16);
      EXPECT_EQ(rec.channels, 2);
      EXPECT_EQ(rec.readOnly, 0);
      EXPECT_EQ(rec.fileKind, 0);
    }
    // The silence mode is fixed only while recording; what the engine reads live may change.
    EXPECT_EQ(m().SetSilenceMode(host(), 2), state == StateRecording ? 1 : 0);
    EXPECT_EQ(m().SetSilenceThreshold(host(), -50.0f), 0);
    EXPECT_EQ(m().SetInsertMode(host(), 1), 0);
    EXPECT_EQ(m().SetMaxLength(host(), 100), 0);
  }
}

TEST_F(RecorderMethodsTest, LimitsInSecondsAndFramesFollowTheRate) {
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 10.0), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 441000u);
  ASSERT_EQ(m().SetSampleRate(host(), 8000), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 80000u) << "seconds are kept when the rate changes";
  EXPECT_EQ(rec.maxLengthSeconds.load(), 10.0);

  ASSERT_EQ(m().SetMaxLength(host(), 4000), 0);
  EXPECT_EQ(Get<double>(&VoxlRecorderVtbl::GetMaxLengthSeconds), 0.5);
  EXPECT_EQ(m().SetSampleRate(host(), 44000), 1);
  EXPECT_EQ(rec.maxLengthSamples.load(), 4000u) << "a refused rate leaves the limits alone";
}

TEST_F(RecorderMethodsTest, LimitInSecondsRoundsToNearestFrameAndSaturates) {
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 100.6 / 44100.0), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 101u);
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 100.4 / 44100.0), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 100u);
  // Past what 32 bits of frames hold: the largest limit, not a wrapped small one.
  for (double seconds : {1e12, std::numeric_limits<double>::infinity()}) {
    ASSERT_EQ(m().SetMaxLengthSeconds(host(), seconds), 0);
    EXPECT_EQ(rec.maxLengthSamples.load(), 0xFFFFFFFFu) << seconds;
  }
}

// Length and seconds are zero until something is open; seconds use the file's rate when
// compressed, and never divide by an unknown rate.
TEST_F(RecorderMethodsTest, LengthAndSecondsFollowTheOpenRecording) {
  rec.length = 1234;
  for (uint16_t state : {StateCreated, StateIdle, StateOpen, StateRecording, StatePlaying}) {
    rec.state = state;
    EXPECT_EQ(Get<DWORD>(&VoxlRecorderVtbl::GetLength), state >= StateOpen ? 1234u : 0u) << state;
  }
  rec.state = StateIdle;
  rec.pcmFormat.nSamplesPerSec = 8000;
  EXPECT_EQ(LengthSeconds(), 0.0);
  OpenWith(4000, 8000);
  EXPECT_EQ(LengthSeconds(), 0.5);
  MakeCompressed(16000, 1.0);
  EXPECT_EQ(LengthSeconds(), 0.25);
  rec.position = 1600;
  EXPECT_EQ(PositionSeconds(), 0.1);
  // A device format of all zeros, and compressed without a file format.
  delete[] reinterpret_cast<uint8_t*>(rec.fileFormat);
  rec.fileFormat = nullptr;
  rec.compressed = 0;
  OpenWith(4000, 0);
  EXPECT_EQ(LengthSeconds(), 0.0);
  EXPECT_EQ(PositionSeconds(), 0.0);
  rec.compressed = 1;
  EXPECT_EQ(LengthSeconds(), 0.0);
  EXPECT_EQ(m().SetPositionSeconds(host(), 1.0), 0);
  EXPECT_EQ(Position(), 0);
}

TEST_F(RecorderMethodsTest, SetPositionClampsToTheEndAndSecondsTruncateAndActOnlyWhenOpen) {
  OpenWith(10000, 8000);
  ASSERT_EQ(m().SetPositionSeconds(host(), 0.12345), 0);  // 987.6 frames
  EXPECT_EQ(Position(), 987);
  ASSERT_EQ(m().SetPositionSeconds(host(), std::nan("")), 0);
  EXPECT_EQ(Position(), 987);
  ASSERT_EQ(m().SetPositionSeconds(host(), 1e12), 0);  // past the end: the end
  EXPECT_EQ(Position(), 10000);
  rec.state = StateIdle;
  ASSERT_EQ(m().SetPositionSeconds(host(), 0.0), 0);
  EXPECT_EQ(Position(), 10000);

  // Frame positions out of range go to the end.
  OpenWith(1000, 44100);
  const int32_t cases[][2] = {{-5, 1000}, {1001, 1000}, {INT32_MIN, 1000},
                              {0, 0},     {1000, 1000}, {999, 999}};
  for (const auto& [request, expected] : cases) {
    rec.position = 400;
    EXPECT_EQ(m().SetPosition(host(), request), 0);
    EXPECT_EQ(Position(), expected) << request;
  }
}

TEST_F(RecorderMethodsTest, CompressedPositionsSnapToWholeBlocks) {
  OpenWith(5000, 44100);
  MakeCompressed(44100, 1152.0);
  m().SetPosition(host(), 2000);
  EXPECT_EQ(Position(), 1152);
  m().SetPosition(host(), 1151);
  EXPECT_EQ(Position(), 0);
  // The end itself snaps back to the last whole block.
  m().SetPosition(host(), -1);
  EXPECT_EQ(Position(), 4608);
  // Block sizes that cannot be snapped to leave the position whole and still clamped.
  for (double perBlock : {0.0, 1e-300, std::numeric_limits<double>::infinity(), std::nan("")}) {
    rec.samplesPerBlock = perBlock;
    m().SetPosition(host(), 3001);
    EXPECT_EQ(Position(), 3001) << perBlock;
  }
}

TEST_F(RecorderMethodsTest, SetPositionMovesThePlaybackReadPositionWithIt) {
  OpenWith(10000, 44100);
  rec.position = 800;
  rec.readPosition = 1000.0;
  rec.fileCursor = 1234;
  m().SetPosition(host(), 300);  // back by 500
  EXPECT_EQ(rec.readPosition.load(), 500.0);
  EXPECT_EQ(rec.fileCursor.load(), kCursorUnknown);
  m().SetPosition(host(), 900);  // forward by 600
  EXPECT_EQ(rec.readPosition.load(), 1100.0);
  rec.readPosition = 100.0;
  m().SetPosition(host(), 0);  // back by more than was read
  EXPECT_EQ(rec.readPosition.load(), 0.0);
}

TEST_F(RecorderMethodsTest, SetPositionActsOnlyWhereTheInsertModeAllows) {
  struct Case {
    uint16_t insert, state;
    bool acts;
  };
  for (const Case& c :
       {Case{0, StateCreated, false}, Case{0, StateIdle, false}, Case{0, StateOpen, true},
        Case{0, StateRecording, true}, Case{0, StatePlaying, true}, Case{1, StateIdle, false},
        Case{1, StateOpen, true}, Case{1, StateRecording, false}, Case{1, StatePlaying, true}}) {
    SCOPED_TRACE(::testing::Message() << "insert " << c.insert << " state " << c.state);
    OpenWith(1000, 44100);
    rec.state = c.state;
    rec.insertMode = c.insert;
    rec.position = 10;
    rec.fileCursor = 77;
    m().SetPosition(host(), 500);
    EXPECT_EQ(Position(), c.acts ? 500 : 10);
    EXPECT_EQ(rec.fileCursor.load(), c.acts ? kCursorUnknown : 77u);
  }
}

TEST_F(RecorderMethodsTest, LevelsAreZeroUnlessRunningAndMonoRepeatsLeft) {
  auto levels = [&] {
    FLOAT left = -1.0f, right = -1.0f;
    WORD clipLeft = 9, clipRight = 9;
    EXPECT_EQ(m().GetLevels(host(), &left, &clipLeft, &right, &clipRight), 0);
    return std::vector<double>{left, double(clipLeft), right, double(clipRight)};
  };
  rec.levelLeft = -12.0f;
  rec.levelRight = -20.0f;
  rec.clipLeft = 1;
  rec.clipRight = 0;
  for (uint16_t state : {StateCreated, StateIdle, StateOpen}) {
    rec.state = state;
    EXPECT_EQ(levels(), (std::vector<double>{0, 0, 0, 0})) << state;
  }
  rec.state = StateRecording;
  EXPECT_EQ(levels(), (std::vector<double>{-12, 1, -20, 0}));
  rec.channels = 1;
  rec.state = StatePlaying;
  EXPECT_EQ(levels(), (std::vector<double>{-12, 1, -12, 1}));
}

TEST_F(RecorderMethodsTest, TransportRefusalsReachTheErrorRegister) {
  // Play on a stream target (open, no file) and Record on a read-only recorder fail before
  // any command reaches the engine.
  rec.state = StateOpen;
  WORD error = 0;
  EXPECT_EQ(m().Play(host(), &error), 0);
  EXPECT_EQ(error, ErrNoFile);
  EXPECT_EQ(Get<WORD>(&VoxlRecorderVtbl::TakeLastError), ErrNoFile);
  EXPECT_EQ(Get<WORD>(&VoxlRecorderVtbl::TakeLastError), 0);

  rec.readOnly = 1;
  EXPECT_EQ(m().Record(host(), &error), 0);
  EXPECT_EQ(error, ErrReadOnly);
  rec.readOnly = 0;
  rec.state = StateIdle;
  EXPECT_EQ(m().Record(host(), &error), 0);
  EXPECT_EQ(error, ErrNeedsOpen);
  rec.state = StateOpen;
  EXPECT_EQ(m().Stop(host()), 0) << "Stop in state 2 returns at once";
}

TEST_F(RecorderMethodsTest, FileNameComesOutAsWideTextAndReplacesTheOldString) {
  auto text = [](BSTR s) { return std::u16string(s, SysStringLen(s)); };
  BSTR name = nullptr;
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(text(name), u"");
  // Two- and four-byte UTF-8 sequences; the string already held is freed by the getter (the
  // leak checker sees it otherwise).
  std::strcpy(rec.fileName, "/tmp/caf\xc3\xa9 \xf0\x9d\x84\x9e.wav");
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(text(name), u"/tmp/caf\u00e9 \U0001D11E.wav");
  // A name that fills its buffer without a terminator is cut at the buffer's end.
  std::memset(rec.fileName, 'a', sizeof rec.fileName);
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(SysStringLen(name), static_cast<UINT>(kNameBytes - 1));
  SysFreeString(name);
}

// Slots not yet available say so, and null out-parameters are answered; neither writes
// anything.
TEST_F(RecorderMethodsTest, SlotsNotYetAvailableAndNullOutParametersTouchNothing) {
  EXPECT_EQ(m().GetSampleRate(host(), nullptr), E_POINTER);
  EXPECT_EQ(m().GetFileName(host(), nullptr), E_POINTER);
  EXPECT_EQ(m().TakeLastError(host(), nullptr), E_POINTER);
  FLOAT level = 1.0f;
  WORD clip = 1;
  EXPECT_EQ(m().GetLevels(host(), &level, &clip, nullptr, &clip), E_POINTER);
  EXPECT_EQ(m().GetInputDeviceName(host(), 0, nullptr), E_POINTER);
  WORD error = 1234;
  BSTR text = nullptr;
  VARIANT format{};
  EXPECT_EQ(m().ChooseFormatOfTag(host(), 0, nullptr, 85, &error), E_NOTIMPL);
  EXPECT_EQ(m().GetFileFormatText(host(), &text, &error), E_NOTIMPL);
  EXPECT_EQ(m().GetFormatText(host(), &text, &error), E_NOTIMPL);
  EXPECT_EQ(m().ChooseFormat(host(), 0, nullptr, &error), E_NOTIMPL);
  EXPECT_EQ(m().GetFormat(host(), &format), E_NOTIMPL);
  EXPECT_EQ(m().PutFormat(host(), format), E_NOTIMPL);
  EXPECT_EQ(m().CompactFile(host(), &error), E_NOTIMPL);
  EXPECT_EQ(m().DeleteSeconds(host(), 1.0, &error), E_NOTIMPL);
  EXPECT_EQ(m().DeleteSamples(host(), 10, &error), E_NOTIMPL);
  EXPECT_EQ(m().OpenFile(host(), nullptr, &error), E_NOTIMPL);
  EXPECT_EQ(error, 1234);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(rec.state.load(), StateIdle);
  EXPECT_EQ(rec.lastError.load(), ErrNone);
}

}  // namespace
}  // namespace voxl
