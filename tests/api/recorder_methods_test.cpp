// The recorder's method table on hand-built recorders (no engine thread): the property slots only
// read and write the record, so each test walks one use of them as a host would; device names
// and the volume control run against the virtual audio driver.  (Transport
// refusals are in tests/engine/engine_test.cpp.)
#include "api/recorder_methods.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/recorder.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "support/peer.h"

namespace voxl {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class RecorderMethodsTest : public ::testing::Test {
 protected:
  RecorderMethodsTest() { rec.methods = &kRecorderMethods, rec.state = StateIdle; }
  ~RecorderMethodsTest() override { delete rec.fileFormat; }

  VoxlRecorder* host() { return ToHost(&rec); }
  const VoxlRecorderVtbl& m() { return *host()->lpVtbl; }

  // An open recording of `frames` frames at `hertz`.
  void OpenWith(uint32_t frames, uint32_t hertz) {
    rec.state = StateOpen;
    rec.length = frames;
    rec.pcmFormat.nSamplesPerSec = hertz;
  }
  template <class T, class Getter>
  T Get(Getter getter) {
    T value{};
    EXPECT_EQ((m().*getter)(host(), &value), 0);
    return value;
  }
  int32_t Position() { return Get<LONG>(&VoxlRecorderVtbl::GetPosition); }
  double Seconds(bool position) {
    return Get<double>(position ? &VoxlRecorderVtbl::GetPositionSeconds
                                : &VoxlRecorderVtbl::GetLengthSeconds);
  }

  Recorder rec;
};

// A host calls by position: an empty slot would crash it.
TEST(RecorderMethodTable, EverySlotIsFilled) {
  constexpr size_t kSlots = sizeof(VoxlRecorderVtbl) / sizeof(void*);
  void* slots[kSlots];
  std::memcpy(slots, &kRecorderMethods, sizeof slots);
  for (size_t i = 0; i < kSlots; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
}

// Each setter at the edges of what it accepts, and the value stored afterwards: a refused call
// (1) leaves the previous value in place.
TEST_F(RecorderMethodsTest, SettersAcceptOrRefuseAtTheirEdges) {
#define RANGE(setter, getter, type, value, result, stored)            \
  EXPECT_EQ(m().setter(host(), value), result) << #setter " " #value; \
  EXPECT_EQ(static_cast<double>(Get<type>(&VoxlRecorderVtbl::getter)), stored) << #setter " " #value
  RANGE(SetSampleRate, GetSampleRate, DWORD, 44000u, 1, 44100);
  RANGE(SetSampleRate, GetSampleRate, DWORD, 192000u, 0, 192000);
  RANGE(SetSampleFormat, GetSampleFormat, WORD, WORD{107}, 0, 107);
  RANGE(SetSilenceThreshold, GetSilenceThreshold, FLOAT, 0.5f, 1, 0.0);
  RANGE(SetSilenceThreshold, GetSilenceThreshold, FLOAT, kNaN, 1, 0.0);
  RANGE(SetSoundThreshold, GetSoundThreshold, FLOAT, kNaN, 1, 0.0);  // never lifted silence
  RANGE(SetMaxLengthSeconds, GetMaxLengthSeconds, DOUBLE, double(kNaN), 1, 0);
  RANGE(SetEndToneSeconds, GetEndToneSeconds, FLOAT, kNaN, 1, 0.0);
  RANGE(SetStartToneSeconds, GetStartToneSeconds, FLOAT, -0.01f, 1, 0.0);
  // Tones at 192000 Hz, mu-law stereo (set above): 2 bytes a frame, at most 0xFFFFFFFE bytes.
  RANGE(SetStartToneSeconds, GetStartToneSeconds, FLOAT, 11184.0f, 0, 11184.0);
  RANGE(SetEndToneSeconds, GetEndToneSeconds, FLOAT, 11185.0f, 1, 0.0);  // filled the disk
#undef RANGE
}

TEST_F(RecorderMethodsTest, CaptureFormatSettersActOnlyBeforeAnythingIsOpen) {
  // The refusing states first, so the defaults are still in place for them.
  for (uint16_t state : {StateOpen, StateRecording, StatePlaying, StateCreated, StateIdle}) {
    SCOPED_TRACE(state);
    rec.state = state;
    const HRESULT expected = state <= StateIdle ? 0 : 1;
    EXPECT_EQ(m().SetSampleRate(host(), 8000) | m().SetSampleFormat(host(), 8) |
                  m().SetChannels(host(), 1) | m().SetReadOnly(host(), 1) |
                  m().SetFileKind(host(), 1),
              expected);
    if (expected == 1) {
      EXPECT_EQ(std::tuple(rec.sampleRate, rec.sampleFormat, rec.channels, rec.readOnly),
                std::tuple(44100u, uint16_t{16}, uint16_t{2}, uint16_t{0}));
    }
    // The silence mode is fixed only while recording; what the engine reads live may change.
    EXPECT_EQ(m().SetSilenceMode(host(), 2), state == StateRecording ? 1 : 0);
    EXPECT_EQ(m().SetInsertMode(host(), 1) | m().SetMaxLength(host(), 100), 0);
  }
}

// The limit is kept in seconds when the rate changes, rounds to the nearest frame, and is exact
// past 32 bits of frames.
TEST_F(RecorderMethodsTest, LimitsFollowTheRateRoundAndSaturate) {
  ASSERT_EQ(m().SetMaxLengthSeconds(host(), 10.0), 0);
  ASSERT_EQ(m().SetSampleRate(host(), 8000), 0);
  EXPECT_EQ(rec.maxLengthSamples.load(), 80000u);
  ASSERT_EQ(m().SetMaxLength(host(), 4000), 0);
  EXPECT_EQ(Get<double>(&VoxlRecorderVtbl::GetMaxLengthSeconds), 0.5);
  EXPECT_EQ(m().SetSampleRate(host(), 44000), 1);
  EXPECT_EQ(rec.maxLengthSamples.load(), 4000u) << "a refused rate leaves the limits alone";
  const std::pair<double, uint64_t> cases[] = {
      {100.6 / 8000.0, 101}, {100.4 / 8000.0, 100}, {1e12, 8e15}, {HUGE_VAL, 1ull << 62}};
  for (const auto& [seconds, frames] : cases) {
    ASSERT_EQ(m().SetMaxLengthSeconds(host(), seconds), 0);
    EXPECT_EQ(rec.maxLengthSamples.load(), frames) << seconds;
  }
}

// Positions are clamped to the recording, in frames and in seconds, and move only where the
// insert mode allows; compressed positions snap to whole blocks.
TEST_F(RecorderMethodsTest, PositionClampsAndSnapsToBlocks) {
  OpenWith(1000, 8000);
  const std::tuple<bool, double, int32_t> cases[] = {
      {false, -5, 1000}, {false, 1001, 1000},  {false, INT32_MIN, 1000}, {false, 0, 0},
      {false, 999, 999}, {true, 0.012345, 98}, {true, std::nan(""), 98}, {true, 1e12, 1000}};
  for (const auto& [inSeconds, request, expected] : cases) {
    EXPECT_EQ(inSeconds ? m().SetPositionSeconds(host(), request)
                        : m().SetPosition(host(), static_cast<int32_t>(request)),
              0);
    EXPECT_EQ(Position(), expected) << request;
  }
  // Only with a recording open; in insert mode not while recording.
  const std::tuple<uint16_t, uint16_t, bool> where[] = {
      {0, StateCreated, false}, {0, StateIdle, false}, {0, StateRecording, true},
      {1, StateIdle, false},    {1, StateOpen, true},  {1, StateRecording, false},
      {1, StatePlaying, true}};
  for (const auto& [insert, state, acts] : where) {
    rec.state = state, rec.insertMode = insert, rec.position = 10;
    m().SetPosition(host(), 500);
    EXPECT_EQ(Position(), acts ? 500 : 10) << "insert " << insert << " state " << state;
  }

  OpenWith(5000, 44100);
  rec.fileFormat = new WAVEFORMATEX{}, rec.fileFormat->nSamplesPerSec = 44100;
  rec.compressed = 1, rec.samplesPerBlock = 1152.0;
  const int32_t snaps[][2] = {{2000, 1152}, {1151, 0}, {-1, 4608}};  // the end: the last block
  for (const auto& [request, expected] : snaps) {
    m().SetPosition(host(), request);
    EXPECT_EQ(Position(), expected) << request;
  }
}

// Length, seconds and levels read zero until something is open (or running, for levels); seconds
// use the file's rate when compressed and never divide by an unknown rate.
TEST_F(RecorderMethodsTest, LengthSecondsAndLevelsFollowTheOpenRecording) {
  auto levels = [&] {
    FLOAT left = -1.0f, right = -1.0f;
    WORD clipLeft = 9, clipRight = 9;
    EXPECT_EQ(m().GetLevels(host(), &left, &clipLeft, &right, &clipRight), 0);
    return std::vector<double>{left, double(clipLeft), right, double(clipRight)};
  };
  rec.length = 4000, rec.pcmFormat.nSamplesPerSec = 8000;
  rec.levelLeft = -12.0f, rec.levelRight = -20.0f, rec.clipLeft = 1;
  for (uint16_t state : {StateCreated, StateIdle, StateOpen, StateRecording, StatePlaying}) {
    rec.state = state;
    const bool open = state >= StateOpen, running = state >= StateRecording;
    EXPECT_EQ(Get<DWORD>(&VoxlRecorderVtbl::GetLength), open ? 4000u : 0u) << state;
    EXPECT_EQ(Seconds(false), open ? 0.5 : 0.0) << state;
    const std::vector<double> expected =
        running ? std::vector<double>{-12, 1, -20, 0} : std::vector<double>(4);
    EXPECT_EQ(levels(), expected) << state;
  }
  rec.channels = 1;
  EXPECT_EQ(levels(), (std::vector<double>{-12, 1, -12, 1})) << "mono repeats the left";

  rec.fileFormat = new WAVEFORMATEX{}, rec.fileFormat->nSamplesPerSec = 16000;
  rec.compressed = 1, rec.samplesPerBlock = 1.0, rec.position = 1600;
  EXPECT_EQ(std::tuple(Seconds(false), Seconds(true)), std::tuple(0.25, 0.1));
  delete rec.fileFormat;
  rec.fileFormat = nullptr;  // compressed without a file format: no rate to divide by
  EXPECT_EQ(std::tuple(Seconds(false), Seconds(true)), std::tuple(0.0, 0.0));
  EXPECT_EQ(m().SetPositionSeconds(host(), 1.0), 0);
  EXPECT_EQ(Position(), 0);
}

// The name comes out as wide text and replaces the string the host passed in (the leak checker
// sees a getter that does not free it); a name without terminator is cut at its buffer's end.
// Null out-parameters are answered and change nothing.
TEST_F(RecorderMethodsTest, FileNameIsWideTextAndNullOutParametersAreAnswered) {
  auto text = [](BSTR s) { return std::u16string(s, SysStringLen(s)); };
  BSTR name = nullptr;
  std::strcpy(rec.fileName, "/tmp/caf\xc3\xa9 \xf0\x9d\x84\x9e.wav");
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(text(name), u"/tmp/caf\u00e9 \U0001D11E.wav");
  std::memset(rec.fileName, 'a', sizeof rec.fileName);
  ASSERT_EQ(m().GetFileName(host(), &name), 0);
  EXPECT_EQ(SysStringLen(name), static_cast<UINT>(kNameBytes - 1));
  SysFreeString(name);

  FLOAT level = 1.0f;
  WORD clip = 1;
  EXPECT_EQ(std::tuple(m().GetSampleRate(host(), nullptr), m().GetFileName(host(), nullptr),
                       m().GetLevels(host(), &level, &clip, nullptr, &clip)),
            std::tuple(E_POINTER, E_POINTER, E_POINTER));
  EXPECT_EQ(std::tuple(level, clip), std::tuple(1.0f, WORD{1}));
}

// Counts and names follow the system at every call; a number that names no device gives an empty
// name.  Names are read into one string that every call replaces, as a host reusing its variable
// does; a getter that did not free the string it replaces shows up as a leak.
TEST_F(RecorderMethodsTest, CountsAndNamesFollowTheSystemAtEveryCall) {
  ASSERT_TRUE(wave::SelectDriverForTesting("virtual"));
  virtualaudio::Reset();
  BSTR held = nullptr;
  DWORD inputs = 99, outputs = 99;
  auto name = [&](bool output, DWORD device) {
    EXPECT_EQ((output ? m().GetOutputDeviceName : m().GetInputDeviceName)(host(), device, &held),
              0);
    return std::u16string(held, SysStringLen(held));
  };
  virtualaudio::SetInputDevices({"Mic A", "Mic B"});
  virtualaudio::SetOutputDevices({"Speakers"});
  m().GetInputDeviceCount(host(), &inputs), m().GetOutputDeviceCount(host(), &outputs);
  EXPECT_EQ(std::tuple(inputs, outputs, name(false, 1), name(true, 0), name(true, 1)),
            std::tuple(DWORD{2}, DWORD{1}, u"Mic B", u"Speakers", u""));
  virtualaudio::SetInputDevices({"USB Headset"});
  m().GetInputDeviceCount(host(), &inputs);
  EXPECT_EQ(std::tuple(inputs, name(false, 0), name(false, 0x7FFFFFFF)),
            std::tuple(DWORD{1}, u"USB Headset", u""));
  SysFreeString(held);
  virtualaudio::Reset();
}

// With no graphical session no mixer starts and the error is 12, also left as the last error.
// (Which mixer starts, on which side: the shell test of the system services.)
TEST_F(RecorderMethodsTest, VolumeControlThatCannotStartReportsTwelve) {
  test::ScopedEnv display("DISPLAY", nullptr), wayland("WAYLAND_DISPLAY", nullptr);
  WORD error = 0;
  EXPECT_EQ(m().OpenVolumeControl(host(), 1, &error), 0);
  EXPECT_EQ(std::tuple(error, rec.lastError.load()),
            std::tuple(uint16_t{ErrVolumeControl}, uint16_t{ErrVolumeControl}));
}

}  // namespace
}  // namespace voxl
