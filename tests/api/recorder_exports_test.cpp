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

  void Create() {
    recorder = VoxlCreateRecorder(nullptr);
    ASSERT_NE(recorder, nullptr);
  }
  WORD State() {
    WORD state = 99;
    EXPECT_EQ(recorder->lpVtbl->GetState(recorder, &state), 0);
    return state;
  }

  VoxlRecorder* recorder = nullptr;
};

TEST_F(RecorderExportsTest, CreatesIdleRecordersThatKeepTheirOwnSettings) {
  WORD error = 99;
  recorder = VoxlCreateRecorder(&error);
  VoxlRecorder* second = VoxlCreateRecorder(nullptr);
  ASSERT_NE(recorder, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(State(), 1);
  EXPECT_EQ(recorder->lpVtbl->SetSampleRate(recorder, 8000), 0);
  DWORD rate = 0;
  second->lpVtbl->GetSampleRate(second, &rate);
  EXPECT_EQ(rate, 44100u);
  VoxlDestroyRecorder(second);
  EXPECT_EQ(State(), 1);
  VoxlSetCallbacks(recorder, nullptr);
}

TEST_F(RecorderExportsTest, RefusedCaptureFormatGivesNoRecorder) {
  voxl::virtualaudio::SetInputFaults(0, {.refuseFormat = true});
  WORD error = 0;
  EXPECT_EQ(VoxlCreateRecorder(&error), nullptr);
  EXPECT_EQ(error, 1);
  VoxlDestroyRecorder(nullptr);
}

TEST_F(RecorderExportsTest, StreamTargetOpensAndRefusesPlayback) {
  ASSERT_NO_FATAL_FAILURE(Create());
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
  EXPECT_EQ(recorder->lpVtbl->TakeLastError(recorder, &last), 0);
  EXPECT_EQ(last, 19);
  EXPECT_EQ(recorder->lpVtbl->Close(recorder, &error), 0);
  EXPECT_EQ(State(), 1);
}

// A temporary recording is open at once; a capture the device refuses reports 9 and leaves it
// open; Close removes the file.
TEST_F(RecorderExportsTest, TemporaryRecordingStaysOpenWhenCaptureIsRefusedAndGoesOnClose) {
  ASSERT_NO_FATAL_FAILURE(Create());
  const VoxlRecorderVtbl& m = *recorder->lpVtbl;
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

  voxl::virtualaudio::SetInputFaults(0, {.refuseOpen = true});
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(m.Record(recorder, &error), 0);
    EXPECT_EQ(error, 9);
    EXPECT_EQ(State(), 2);
  }
  WORD last = 0;
  m.TakeLastError(recorder, &last);
  EXPECT_EQ(last, 9);

  EXPECT_EQ(m.Close(recorder, &error), 0);
  EXPECT_EQ(State(), 1);
  EXPECT_FALSE(std::filesystem::exists(path)) << path;
}

}  // namespace
