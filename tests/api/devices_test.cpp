// Device enumeration, device names and the volume control through the method table, against
// the virtual audio driver.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "api/recorder_methods.h"
#include "core/recorder.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "support/peer.h"

namespace voxl {
namespace {

class DevicesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(wave::SelectDriverForTesting("virtual")); }
  DevicesTest() {
    virtualaudio::Reset();
    rec.methods = &kRecorderMethods;
    rec.state = StateIdle;
  }
  ~DevicesTest() override {
    SysFreeString(held);
    virtualaudio::Reset();
  }
  VoxlRecorder* host() { return ToHost(&rec); }
  const VoxlRecorderVtbl& m() { return *host()->lpVtbl; }

  BSTR held = nullptr;
  Recorder rec;
};

// Counts and names follow the system at every call; numbers that name no device give empty
// names.  Names are read into one string that every call replaces, as a host reusing its variable
// does; a getter that did not free the string it replaces shows up as a leak.
TEST_F(DevicesTest, CountsAndNamesFollowTheSystemAtEveryCall) {
  auto name = [&](bool output, DWORD device) {
    EXPECT_EQ((output ? m().GetOutputDeviceName : m().GetInputDeviceName)(host(), device, &held),
              0);
    return std::u16string(held, SysStringLen(held));
  };
  auto count = [&](bool output) {
    DWORD n = 99;
    EXPECT_EQ((output ? m().GetOutputDeviceCount : m().GetInputDeviceCount)(host(), &n), 0);
    return n;
  };
  virtualaudio::SetInputDevices({"Mic A", "Mic B"});
  virtualaudio::SetOutputDevices({"Speakers"});
  EXPECT_EQ(std::tuple(count(false), count(true)), std::tuple(DWORD{2}, DWORD{1}));
  EXPECT_EQ(name(false, 1), u"Mic B");
  EXPECT_EQ(name(true, 0), u"Speakers");
  EXPECT_EQ(name(true, 1), u"");
  EXPECT_EQ(name(false, 0x7FFFFFFF), u"");
  virtualaudio::SetInputDevices({"USB Headset"});
  EXPECT_EQ(count(false), 1u);
  EXPECT_EQ(name(false, 0), u"USB Headset");
  EXPECT_EQ(name(false, 1), u"");
}

// Any non-zero flag opens the recording side of the mixer; with no graphical session nothing
// starts and the error is 12.  A stand-in mixer writes its arguments to a file.
TEST_F(DevicesTest, VolumeControlOpensTheSideOfTheFlagOrReportsTwelve) {
  test::TempDir tmp;
  const std::string mixer = tmp.File("pavucontrol"), args = tmp.File("args");
  // One write of the whole line, so a reader never sees half of it.
  std::ofstream(mixer) << "#!/bin/sh\nprintf '%s\\n' \"$*\" > '" << args << "'\n";
  ::chmod(mixer.c_str(), 0755);
  test::ScopedEnv path("PATH", tmp.path().c_str()), wayland("WAYLAND_DISPLAY", nullptr);
  test::ScopedEnv display("DISPLAY", ":77");
  for (const auto& [recording, arguments] :
       {std::pair{1, "--tab=4"}, {5, "--tab=4"}, {0, "--tab=1"}}) {
    std::filesystem::remove(args);
    WORD error = 99;
    EXPECT_EQ(m().OpenVolumeControl(host(), WORD(recording), &error), 0);
    EXPECT_EQ(error, 0);
    std::string line = "<not started>";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!std::getline(std::ifstream(args), line) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    EXPECT_EQ(line, arguments) << recording;
  }
  test::ScopedEnv noDisplay("DISPLAY", nullptr);
  WORD error = 0;
  EXPECT_EQ(m().OpenVolumeControl(host(), 1, &error), 0);
  EXPECT_EQ(std::tuple(error, rec.lastError.load()),
            std::tuple(uint16_t{ErrVolumeControl}, uint16_t{ErrVolumeControl}));
}

}  // namespace
}  // namespace voxl
