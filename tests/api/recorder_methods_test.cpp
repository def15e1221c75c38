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
#include <functional>
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

  // An open recording of `frames` frames at `hertz` (PCM unless compressed is set later).
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
  int32_t Position() {
    LONG value = -99;
    EXPECT_EQ(m().GetPosition(host(), &value), 0);
    return value;
  }
  double LengthSeconds() {
    double value = -1.0;
    EXPECT_EQ(m().GetLengthSeconds(host(), &value), 0);
    return value;
  }
  double PositionSeconds() {
    double value = -1.0;
    EXPECT_EQ(m().GetPositionSeconds(host(), &value), 0);
    return value;
  }

  Recorder rec;
};

// ---- The table ----

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

TEST(RecorderMethodTable, SlotsFollowThePublishedOrderWithoutGaps) {
  constexpr size_t kSlots = sizeof kPublishedOrder / sizeof kPublishedOrder[0];
  static_assert(kSlots == 82);
  EXPECT_EQ(sizeof(VoxlRecorderVtbl), kSlots * sizeof(void*));
  for (size_t i = 0; i < kSlots; ++i) {
    EXPECT_EQ(kPublishedOrder[i].offset, i * sizeof(void*)) << kPublishedOrder[i].name;
  }
}

TEST(RecorderMethodTable, EverySlotIsFilled) {
  void* slots[sizeof(VoxlRecorderVtbl) / sizeof(void*)];
  std::memcpy(slots, &kRecorderMethods, sizeof slots);
  for (size_t i = 0; i < std::size(slots); ++i) {
    EXPECT_NE(slots[i], nullptr) << kPublishedOrder[i].name;
  }
}

// ---- Range checks of the setters (state 1) ----

// One setter call, its expected result, and the stored value read back afterwards.  A refused
// call must leave the default in place.
struct RangeCase {
  std::string label;
  std::function<HRESULT(VoxlRecorder*)> set;
  std::function<double(VoxlRecorder*)> get;
  HRESULT result;
  double stored;
};

template <class T, class Getter>
std::function<double(VoxlRecorder*)> Read(Getter getter) {
  return [getter](VoxlRecorder* r) {
    T value{};
    EXPECT_EQ((r->lpVtbl->*getter)(r, &value), 0);
    return static_cast<double>(value);
  };
}

template <class Setter, class V>
std::function<HRESULT(VoxlRecorder*)> Write(Setter setter, V value) {
  return [setter, value](VoxlRecorder* r) { return (r->lpVtbl->*setter)(r, value); };
}

#define CASE(label, setter, type, getter, value, result, stored)                                   \
  RangeCase {                                                                                      \
    label, Write(&VoxlRecorderVtbl::setter, value), Read<type>(&VoxlRecorderVtbl::getter), result, \
        stored                                                                                     \
  }

class SetterRange : public RecorderMethodsTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(SetterRange, AcceptsOrRefusesAndStores) {
  const RangeCase& c = GetParam();
  EXPECT_EQ(c.set(host()), c.result);
  const double stored = c.get(host());
  if (std::isnan(c.stored)) {
    EXPECT_TRUE(std::isnan(stored));
  } else {
    EXPECT_EQ(stored, c.stored);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, SetterRange,
    ::testing::Values(
        CASE("rate_44000", SetSampleRate, DWORD, GetSampleRate, 44000u, 1, 44100),
        CASE("rate_192000", SetSampleRate, DWORD, GetSampleRate, 192000u, 0, 192000),
        CASE("format_107", SetSampleFormat, WORD, GetSampleFormat, WORD{107}, 0, 107),
        CASE("format_100", SetSampleFormat, WORD, GetSampleFormat, WORD{100}, 0, 100),
        CASE("format_24", SetSampleFormat, WORD, GetSampleFormat, WORD{24}, 1, 16),
        CASE("channels_3", SetChannels, WORD, GetChannels, WORD{3}, 1, 2),
        CASE("kind_minus_44", SetFileKind, SHORT, GetFileKind, SHORT{-44}, 0, -44),
        CASE("kind_3", SetFileKind, SHORT, GetFileKind, SHORT{3}, 1, 0),
        CASE("read_only_5", SetReadOnly, WORD, GetReadOnly, WORD{5}, 0, 1),
        CASE("hold_minus_1", SetSilenceHold, WORD, GetSilenceHold, SHORT{-1}, 1, 0),
        CASE("silence_0", SetSilenceThreshold, FLOAT, GetSilenceThreshold, 0.0f, 0, 0.0),
        CASE("silence_0_5", SetSilenceThreshold, FLOAT, GetSilenceThreshold, 0.5f, 1, 0.0),
        CASE("silence_nan", SetSilenceThreshold, FLOAT, GetSilenceThreshold, kNaN, 0, kNaN),
        CASE("sound_tiny", SetSoundThreshold, FLOAT, GetSoundThreshold, 1e-30f, 1, 0.0),
        CASE("mode_4", SetSilenceMode, WORD, GetSilenceMode, SHORT{4}, 1, 0),
        CASE("mode_minus_1", SetSilenceMode, WORD, GetSilenceMode, SHORT{-1}, 1, 0),
        CASE("insert_2", SetInsertMode, WORD, GetInsertMode, WORD{2}, 1, 0),
        CASE("input_minus_2", SetInputDevice, LONG, GetInputDevice, LONG{-2}, 1, -1),
        CASE("output_7", SetOutputDevice, LONG, GetOutputDevice, LONG{7}, 0, 7),
        CASE("limit_nan", SetMaxLengthSeconds, DOUBLE, GetMaxLengthSeconds, double(kNaN), 1, 0),
        CASE("limit_minus_1", SetMaxLength, DWORD, GetMaxLength, LONG{-1}, 1, 0),
        CASE("tone_nan", SetEndToneSeconds, FLOAT, GetEndToneSeconds, kNaN, 1, 0.0),
        CASE("tone_minus", SetStartToneSeconds, FLOAT, GetStartToneSeconds, -0.01f, 1, 0.0),
        CASE("option_2", SetMeterOption, WORD, GetMeterOption, WORD{2}, 1, 0),
        CASE("style_4", SetMeterStyle, WORD, GetMeterStyle, SHORT{4}, 1, 0),
        CASE("segments_0", SetMeterSegments, WORD, GetMeterSegments, SHORT{0}, 1, 8),
        CASE("segments_21", SetMeterSegments, WORD, GetMeterSegments, SHORT{21}, 1, 8),
        CASE("segments_20", SetMeterSegments, WORD, GetMeterSegments, SHORT{20}, 0, 20),
        CASE("delete_7", SetDeleteOnClose, WORD, GetDeleteOnClose, WORD{7}, 0, 7)),
    [](const auto& info) { return info.param.label; });
#undef CASE

TEST_F(RecorderMethodsTest, NullOutParametersAreAnsweredWithoutWriting) {
  EXPECT_EQ(m().GetSampleRate(host(), nullptr), E_POINTER);
  EXPECT_EQ(m().GetFileName(host(), nullptr), E_POINTER);
  EXPECT_EQ(m().TakeLastError(host(), nullptr), E_POINTER);
  FLOAT level = 1.0f;
  WORD clip = 1;
  EXPECT_EQ(m().GetLevels(host(), &level, &clip, nullptr, &clip), E_POINTER);
  EXPECT_EQ(m().GetInputDeviceName(host(), 0, nullptr), E_POINTER);
}

// ---- State checks ----

class CaptureFormatStates : public RecorderMethodsTest,
                            public ::testing::WithParamInterface<uint16_t> {};

TEST_P(CaptureFormatStates, SettersActOnlyBeforeAnythingIsOpen) {
  rec.state = GetParam();
  const HRESULT expected = GetParam() <= StateIdle ? 0 : 1;
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
  // The silence mode is fixed only while recording.
  EXPECT_EQ(m().SetSilenceMode(host(), 2), GetParam() == StateRecording ? 1 : 0);
  // Settings that the engine reads live may change in every state.
  EXPECT_EQ(m().SetSilenceThreshold(host(), -50.0f), 0);
  EXPECT_EQ(m().SetInsertMode(host(), 1), 0);
  EXPECT_EQ(m().SetMaxLength(host(), 100), 0);
}

INSTANTIATE_TEST_SUITE_P(AllStates, CaptureFormatStates,
                         ::testing::Values(StateCreated, StateIdle, StateOpen, StateRecording,
                                           StatePlaying));

// ---- Recording limits ----

TEST_F(RecorderMethodsTest, LimitInSecondsIsKeptWhenTheRateChanges) {
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 10.0), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 441000u);
  ASSERT_EQ(m().SetSampleRate(host(), 8000), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 80000u);
  EXPECT_EQ(rec.maxLengthSeconds.load(), 10.0);
}

TEST_F(RecorderMethodsTest, LimitInFramesSetsSeconds) {
  ASSERT_EQ(m().SetMaxLength(host(), 22050), 0);
  double seconds = 0.0;
  m().GetMaxLengthSeconds(host(), &seconds);
  EXPECT_EQ(seconds, 0.5);
  // A refused rate change leaves both limits alone.
  EXPECT_EQ(m().SetSampleRate(host(), 44000), 1);
  EXPECT_EQ(rec.maxLengthSamples.load(), 22050u);
}

TEST_F(RecorderMethodsTest, LimitInSecondsRoundsToNearestFrameAndSaturates) {
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 100.6 / 44100.0), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 101u);
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 100.4 / 44100.0), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 100u);
  // Past what 32 bits of frames hold: the largest limit, not a wrapped small one.
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 1e12), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 0xFFFFFFFFu);
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 0xFFFFFFFFu);
}

// ---- Length, position and seconds ----

TEST_F(RecorderMethodsTest, LengthIsZeroUntilSomethingIsOpen) {
  rec.length = 1234;
  for (uint16_t state : {StateCreated, StateIdle}) {
    rec.state = state;
    DWORD length = 99;
    m().GetLength(host(), &length);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(LengthSeconds(), 0.0);
  }
  for (uint16_t state : {StateOpen, StateRecording, StatePlaying}) {
    rec.state = state;
    DWORD length = 0;
    m().GetLength(host(), &length);
    EXPECT_EQ(length, 1234u);
  }
}

TEST_F(RecorderMethodsTest, SecondsNeverDivideByAnUnknownRate) {
  // Open with a device format of all zeros, and compressed without a file format.
  OpenWith(4000, 0);
  rec.position = 100;
  EXPECT_EQ(LengthSeconds(), 0.0);
  EXPECT_EQ(PositionSeconds(), 0.0);
  rec.compressed = 1;
  EXPECT_EQ(LengthSeconds(), 0.0);
  EXPECT_EQ(m().SetPositionSeconds(host(), 1.0), 0);
  EXPECT_EQ(Position(), 0);
}

TEST_F(RecorderMethodsTest, SecondsUseTheFileRateWhenCompressed) {
  OpenWith(4000, 8000);
  EXPECT_EQ(LengthSeconds(), 0.5);
  MakeCompressed(16000, 1.0);
  EXPECT_EQ(LengthSeconds(), 0.25);
  rec.position = 1600;
  EXPECT_EQ(PositionSeconds(), 0.1);
}

TEST_F(RecorderMethodsTest, SetPositionSecondsTruncatesAndActsOnlyWhenOpen) {
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
}

struct PositionCase {
  int32_t request;
  int32_t expected;
};

class SetPositionClamp : public RecorderMethodsTest,
                         public ::testing::WithParamInterface<PositionCase> {};

TEST_P(SetPositionClamp, OutOfRangeGoesToTheEnd) {
  OpenWith(1000, 44100);
  rec.position = 400;
  EXPECT_EQ(m().SetPosition(host(), GetParam().request), 0);
  EXPECT_EQ(Position(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(PcmFile, SetPositionClamp,
                         ::testing::Values(PositionCase{-5, 1000}, PositionCase{1001, 1000},
                                           PositionCase{INT32_MIN, 1000}, PositionCase{0, 0},
                                           PositionCase{1000, 1000}, PositionCase{999, 999}));

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

struct InsertStateCase {
  uint16_t insert;
  uint16_t state;
  bool acts;
};

class SetPositionStates : public RecorderMethodsTest,
                          public ::testing::WithParamInterface<InsertStateCase> {};

TEST_P(SetPositionStates, ActsOnlyWhereTheModeAllows) {
  OpenWith(1000, 44100);
  rec.state = GetParam().state;
  rec.insertMode = GetParam().insert;
  rec.position = 10;
  rec.fileCursor = 77;
  m().SetPosition(host(), 500);
  EXPECT_EQ(Position(), GetParam().acts ? 500 : 10);
  EXPECT_EQ(rec.fileCursor.load(), GetParam().acts ? kCursorUnknown : 77u);
}

INSTANTIATE_TEST_SUITE_P(
    InsertAndOverwrite, SetPositionStates,
    ::testing::Values(InsertStateCase{0, StateCreated, false}, InsertStateCase{0, StateIdle, false},
                      InsertStateCase{0, StateOpen, true}, InsertStateCase{0, StateRecording, true},
                      InsertStateCase{0, StatePlaying, true}, InsertStateCase{1, StateIdle, false},
                      InsertStateCase{1, StateOpen, true},
                      InsertStateCase{1, StateRecording, false},
                      InsertStateCase{1, StatePlaying, true}));

// ---- Levels and the error register ----

TEST_F(RecorderMethodsTest, LevelsAreZeroUnlessRunningAndMonoRepeatsLeft) {
  rec.levelLeft = -12.0f;
  rec.levelRight = -20.0f;
  rec.clipLeft = 1;
  rec.clipRight = 0;
  FLOAT left = -1.0f, right = -1.0f;
  WORD clipLeft = 9, clipRight = 9;
  for (uint16_t state : {StateCreated, StateIdle, StateOpen}) {
    rec.state = state;
    ASSERT_EQ(m().GetLevels(host(), &left, &clipLeft, &right, &clipRight), 0);
    EXPECT_EQ(left + right, 0.0f);
    EXPECT_EQ(clipLeft + clipRight, 0);
  }
  rec.state = StateRecording;
  m().GetLevels(host(), &left, &clipLeft, &right, &clipRight);
  EXPECT_EQ(left, -12.0f);
  EXPECT_EQ(clipLeft, 1);
  EXPECT_EQ(right, -20.0f);
  EXPECT_EQ(clipRight, 0);
  rec.channels = 1;
  rec.state = StatePlaying;
  m().GetLevels(host(), &left, &clipLeft, &right, &clipRight);
  EXPECT_EQ(right, -12.0f);
  EXPECT_EQ(clipRight, 1);
}

TEST_F(RecorderMethodsTest, TransportRefusalsReachTheErrorRegister) {
  // Play on a stream target (open, no file) and Record on a read-only recorder fail before
  // any command reaches the engine.
  rec.state = StateOpen;
  WORD error = 0;
  EXPECT_EQ(m().Play(host(), &error), 0);
  EXPECT_EQ(error, ErrNoFile);
  WORD taken = 0;
  m().TakeLastError(host(), &taken);
  EXPECT_EQ(taken, ErrNoFile);
  m().TakeLastError(host(), &taken);
  EXPECT_EQ(taken, 0);

  rec.readOnly = 1;
  EXPECT_EQ(m().Record(host(), &error), 0);
  EXPECT_EQ(error, ErrReadOnly);
  rec.readOnly = 0;
  rec.state = StateIdle;
  EXPECT_EQ(m().Record(host(), &error), 0);
  EXPECT_EQ(error, ErrNeedsOpen);

  // Stop in state 2 returns at once; SetPaused stores the value.
  rec.state = StateOpen;
  EXPECT_EQ(m().Stop(host()), 0);
  EXPECT_EQ(m().SetPaused(host(), 1), 0);
  WORD paused = 0;
  m().GetPaused(host(), &paused);
  EXPECT_EQ(paused, 1);
}

// ---- Text ----

std::u16string Text(BSTR s) {
  return s == nullptr ? u"<null>" : std::u16string(s, SysStringLen(s));
}

TEST_F(RecorderMethodsTest, FileNameComesOutAsWideTextAndReplacesTheOldString) {
  BSTR name = nullptr;
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(Text(name), u"");
  // Two- and four-byte UTF-8 sequences; the string already held is freed by the getter (the
  // leak checker sees it otherwise).
  std::strcpy(rec.fileName, "/tmp/caf\xc3\xa9 \xf0\x9d\x84\x9e.wav");
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(Text(name), u"/tmp/caf\u00e9 \U0001D11E.wav");
  // A name that fills its buffer without a terminator is cut at the buffer's end.
  std::memset(rec.fileName, 'a', sizeof rec.fileName);
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(SysStringLen(name), static_cast<UINT>(kNameBytes - 1));
  SysFreeString(name);
}

// ---- Methods not yet available ----

TEST_F(RecorderMethodsTest, SlotsNotYetAvailableSayNotImplemented) {
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
