// The exports a host uses to create, drive and destroy a recorder of its own, with the virtual
// audio driver standing in for the sound card.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "voxl310k.h"

namespace {

TEST(VoxlErrorText, NamesEveryCodeInItsOwnWords) {
  std::set<std::string> seen;
  for (WORD code = 1; code <= 19; ++code) {
    const std::string text = VoxlErrorText(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find('\n'), std::string::npos) << code;
    EXPECT_NE(text, "unknown error") << code;
    EXPECT_TRUE(seen.insert(text).second) << "code " << code << " repeats " << text;
  }
  EXPECT_STREQ(VoxlErrorText(0), "no error");
  EXPECT_STREQ(VoxlErrorText(20), "unknown error");
  EXPECT_STREQ(VoxlErrorText(0xFFFF), "unknown error");
}

class RecorderExportsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(voxl::wave::SelectDriverForTesting("virtual")); }
  RecorderExportsTest() { voxl::virtualaudio::Reset(); }
  ~RecorderExportsTest() override {
    VoxlDestroyRecorder(recorder);
    voxl::virtualaudio::Reset();
  }

  WORD State() {
    WORD state = 99;
    EXPECT_EQ(recorder->lpVtbl->GetState(recorder, &state), 0);
    return state;
  }

  VoxlRecorder* recorder = nullptr;
};

TEST_F(RecorderExportsTest, CreatesAnIdleRecorderWithItsTable) {
  WORD error = 99;
  recorder = VoxlCreateRecorder(&error);
  ASSERT_NE(recorder, nullptr);
  EXPECT_EQ(error, 0);
  ASSERT_NE(recorder->lpVtbl, nullptr);
  EXPECT_EQ(State(), 1);
  EXPECT_EQ(recorder->lpVtbl->SetSampleRate(recorder, 8000), 0);
  VoxlSetCallbacks(recorder, nullptr);
}

TEST_F(RecorderExportsTest, TwoRecordersKeepTheirOwnSettings) {
  recorder = VoxlCreateRecorder(nullptr);
  VoxlRecorder* second = VoxlCreateRecorder(nullptr);
  ASSERT_NE(recorder, nullptr);
  ASSERT_NE(second, nullptr);
  recorder->lpVtbl->SetSampleRate(recorder, 8000);
  DWORD rate = 0;
  second->lpVtbl->GetSampleRate(second, &rate);
  EXPECT_EQ(rate, 44100u);
  VoxlDestroyRecorder(second);
  EXPECT_EQ(State(), 1);
}

TEST_F(RecorderExportsTest, RefusedCaptureFormatGivesNoRecorder) {
  voxl::virtualaudio::Faults faults;
  faults.refuseFormat = true;
  voxl::virtualaudio::SetInputFaults(0, faults);
  WORD error = 0;
  EXPECT_EQ(VoxlCreateRecorder(&error), nullptr);
  EXPECT_EQ(error, 1);
  VoxlDestroyRecorder(nullptr);
}

TEST_F(RecorderExportsTest, StreamTargetOpensAndRefusesPlayback) {
  recorder = VoxlCreateRecorder(nullptr);
  ASSERT_NE(recorder, nullptr);
  WORD error = 99;
  const OLECHAR empty[] = {0};
  BSTR none = SysAllocString(empty);
  EXPECT_EQ(recorder->lpVtbl->NewRecording(recorder, none, &error), 0);
  SysFreeString(none);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(State(), 2);
  EXPECT_EQ(recorder->lpVtbl->Play(recorder, &error), 0);
  EXPECT_EQ(error, 19);
  WORD last = 0;
  recorder->lpVtbl->TakeLastError(recorder, &last);
  EXPECT_EQ(last, 19);
  EXPECT_EQ(recorder->lpVtbl->Close(recorder, &error), 0);
  EXPECT_EQ(State(), 1);
}

TEST_F(RecorderExportsTest, TemporaryRecordingIsOpenAtItsStartAndGoneAfterClose) {
  recorder = VoxlCreateRecorder(nullptr);
  ASSERT_NE(recorder, nullptr);
  const VoxlRecorderVtbl& m = *recorder->lpVtbl;
  ASSERT_EQ(m.SetSampleRate(recorder, 8000), 0);
  ASSERT_EQ(m.SetChannels(recorder, 1), 0);
  WORD error = 99;
  ASSERT_EQ(m.NewTempRecording(recorder, &error), 0);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(State(), 2);
  BSTR name = nullptr;
  m.GetFileName(recorder, &name);
  ASSERT_NE(name, nullptr);
  char path[300] = {};
  ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, name, -1, path, sizeof path, nullptr, nullptr), 1);
  SysFreeString(name);
  EXPECT_TRUE(std::filesystem::exists(path)) << path;

  DWORD length = 99;
  m.GetLength(recorder, &length);
  EXPECT_EQ(length, 0u);
  double seconds = -1.0;
  m.GetLengthSeconds(recorder, &seconds);
  EXPECT_EQ(seconds, 0.0);
  EXPECT_EQ(m.SetPositionSeconds(recorder, 0.5), 0);
  LONG position = -1;
  m.GetPosition(recorder, &position);
  EXPECT_EQ(position, 0);

  EXPECT_EQ(m.Close(recorder, &error), 0);
  EXPECT_EQ(State(), 1);
  EXPECT_FALSE(std::filesystem::exists(path)) << path;
}

TEST_F(RecorderExportsTest, CaptureTheDeviceRefusesReportsNineAndStaysOpen) {
  recorder = VoxlCreateRecorder(nullptr);
  ASSERT_NE(recorder, nullptr);
  const VoxlRecorderVtbl& m = *recorder->lpVtbl;
  WORD error = 99;
  ASSERT_EQ(m.NewTempRecording(recorder, &error), 0);
  voxl::virtualaudio::Faults faults;
  faults.refuseOpen = true;
  voxl::virtualaudio::SetInputFaults(0, faults);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(m.Record(recorder, &error), 0);
    EXPECT_EQ(error, 9);
    EXPECT_EQ(State(), 2);
  }
  WORD last = 0;
  m.TakeLastError(recorder, &last);
  EXPECT_EQ(last, 9);
  EXPECT_EQ(m.Close(recorder, &error), 0);
}

}  // namespace
