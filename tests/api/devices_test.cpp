// Device enumeration, device names and the volume control through the method table, against
// the virtual audio driver.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/recorder_methods.h"
#include "engine/recorder.h"
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

  // Names are read into one string that every call replaces, as a host reusing its variable
  // does; a getter that did not free the string it replaces shows up as a leak.
  std::u16string Name(bool output, DWORD device) {
    EXPECT_EQ((output ? m().GetOutputDeviceName : m().GetInputDeviceName)(host(), device, &held),
              0);
    return held == nullptr ? u"<null>" : std::u16string(held, SysStringLen(held));
  }
  DWORD Count(bool output) {
    DWORD n = 99;
    EXPECT_EQ((output ? m().GetOutputDeviceCount : m().GetInputDeviceCount)(host(), &n), 0);
    return n;
  }

  BSTR held = nullptr;
  Recorder rec;
};

// Counts and names follow the system at every call; numbers that name no device give empty
// names.
TEST_F(DevicesTest, CountsAndNamesFollowTheSystemAtEveryCall) {
  constexpr bool kIn = false, kOut = true;
  virtualaudio::SetInputDevices({"Mic A", "Mic B"});
  virtualaudio::SetOutputDevices({"Speakers"});
  EXPECT_EQ(Count(kIn), 2u);
  EXPECT_EQ(Count(kOut), 1u);
  EXPECT_EQ(Name(kIn, 0), u"Mic A");
  EXPECT_EQ(Name(kIn, 1), u"Mic B");
  EXPECT_EQ(Name(kOut, 0), u"Speakers");
  EXPECT_EQ(Name(kOut, 1), u"");
  EXPECT_EQ(Name(kIn, 0x7FFFFFFF), u"");

  virtualaudio::SetInputDevices({"USB Headset"});
  EXPECT_EQ(Count(kIn), 1u);
  EXPECT_EQ(Name(kIn, 0), u"USB Headset");
  EXPECT_EQ(Name(kIn, 1), u"");
  virtualaudio::SetInputDevices({});
  EXPECT_EQ(Count(kIn), 0u);
  EXPECT_EQ(Name(kIn, 0), u"");
}

// The mixer launcher finds its program on PATH and needs a graphical session.  A stand-in
// mixer writes its arguments to a file, so the test sees what the launcher asked for.
class VolumeControlTest : public DevicesTest {
 protected:
  VolumeControlTest() {
    for (const char* name : {"PATH", "DISPLAY", "WAYLAND_DISPLAY"}) {
      const char* value = std::getenv(name);
      saved.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    const std::string mixer = tmp.File("pavucontrol");
    // One write of the whole line, so a reader never sees half of it.
    std::ofstream(mixer) << "#!/bin/sh\nprintf '%s\\n' \"$*\" > '" << tmp.File("args") << "'\n";
    ::chmod(mixer.c_str(), 0755);
    ::setenv("PATH", tmp.path().c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
  }
  ~VolumeControlTest() override {
    for (const auto& [name, value] : saved) {
      value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
  }

  // The arguments the stand-in mixer was started with, waiting at most five seconds for it.
  std::string MixerArguments() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(tmp.File("args"));
      std::string line;
      if (std::getline(in, line)) return line;
      std::this_thread::yield();
    }
    return "<not started>";
  }

  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  test::TempDir tmp;
};

TEST_F(VolumeControlTest, FlagChoosesTheSideOfTheMixer) {
  ::setenv("DISPLAY", ":77", 1);
  const std::pair<WORD, const char*> cases[] = {{1, "--tab=4"}, {5, "--tab=4"}, {0, "--tab=1"}};
  for (const auto& [recording, arguments] : cases) {
    std::filesystem::remove(tmp.File("args"));
    WORD error = 99;
    EXPECT_EQ(m().OpenVolumeControl(host(), recording, &error), 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(MixerArguments(), arguments) << recording;
  }
}

TEST_F(VolumeControlTest, NoMixerToStartGivesErrorTwelve) {
  ::unsetenv("DISPLAY");
  WORD error = 0;
  EXPECT_EQ(m().OpenVolumeControl(host(), 1, &error), 0);
  EXPECT_EQ(error, ErrVolumeControl);
  EXPECT_EQ(rec.lastError.load(), ErrVolumeControl);
}

}  // namespace
}  // namespace voxl
