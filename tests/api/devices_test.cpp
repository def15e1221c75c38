// Device enumeration, device names and the volume control through the method table, against
// the virtual audio driver.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/recorder_methods.h"
#include "engine/recorder.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"

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
  std::u16string Name(decltype(&VoxlRecorderVtbl::GetInputDeviceName) getter, DWORD device) {
    EXPECT_EQ((m().*getter)(host(), device, &held), 0);
    return held == nullptr ? u"<null>" : std::u16string(held, SysStringLen(held));
  }
  std::u16string InputName(DWORD device) {
    return Name(&VoxlRecorderVtbl::GetInputDeviceName, device);
  }
  std::u16string OutputName(DWORD device) {
    return Name(&VoxlRecorderVtbl::GetOutputDeviceName, device);
  }

  BSTR held = nullptr;
  Recorder rec;
};

TEST_F(DevicesTest, CountsAndNamesFollowTheSystemAtEveryCall) {
  virtualaudio::SetInputDevices({"Mic A", "Mic B"});
  virtualaudio::SetOutputDevices({"Speakers"});
  DWORD inputs = 0, outputs = 0;
  m().GetInputDeviceCount(host(), &inputs);
  m().GetOutputDeviceCount(host(), &outputs);
  EXPECT_EQ(inputs, 2u);
  EXPECT_EQ(outputs, 1u);
  EXPECT_EQ(InputName(0), u"Mic A");
  EXPECT_EQ(InputName(1), u"Mic B");
  EXPECT_EQ(OutputName(0), u"Speakers");

  virtualaudio::SetInputDevices({"USB Headset"});
  m().GetInputDeviceCount(host(), &inputs);
  EXPECT_EQ(inputs, 1u);
  EXPECT_EQ(InputName(0), u"USB Headset");
}

TEST_F(DevicesTest, NumbersThatNameNoDeviceGiveEmptyNames) {
  virtualaudio::SetInputDevices({"Mic A"});
  virtualaudio::SetOutputDevices({"Speakers", "Headphones"});
  EXPECT_EQ(InputName(1), u"");
  EXPECT_EQ(InputName(0x7FFFFFFF), u"");
  EXPECT_EQ(OutputName(2), u"");
  virtualaudio::SetInputDevices({});
  DWORD inputs = 9;
  m().GetInputDeviceCount(host(), &inputs);
  EXPECT_EQ(inputs, 0u);
  EXPECT_EQ(InputName(0), u"");
}

// The mixer launcher finds its program on PATH and needs a graphical session.  A stand-in
// mixer writes its arguments to a file, so the test sees what the launcher asked for.
class VolumeControlTest : public DevicesTest {
 protected:
  VolumeControlTest() {
    for (const char* name : {"PATH", "DISPLAY", "WAYLAND_DISPLAY"}) {
      const char* value = std::getenv(name);
      saved.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    dir = std::filesystem::temp_directory_path() /
          ("voxl-mixer-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    const std::string mixer = (dir / "pavucontrol").string();
    // One write of the whole line, so a reader never sees half of it.
    std::ofstream(mixer) << "#!/bin/sh\nprintf '%s\\n' \"$*\" > '" << (dir / "args").string()
                         << "'\n";
    ::chmod(mixer.c_str(), 0755);
    ::setenv("PATH", dir.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
  }
  ~VolumeControlTest() override {
    const char* names[] = {"PATH", "DISPLAY", "WAYLAND_DISPLAY"};
    for (size_t i = 0; i < saved.size(); ++i) {
      if (saved[i]) {
        ::setenv(names[i], saved[i]->c_str(), 1);
      } else {
        ::unsetenv(names[i]);
      }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // The arguments the stand-in mixer was started with, waiting at most five seconds for it.
  std::string MixerArguments() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(dir / "args");
      std::string line;
      if (std::getline(in, line)) return line;
      std::this_thread::yield();
    }
    return "<not started>";
  }

  std::vector<std::optional<std::string>> saved;
  std::filesystem::path dir;
};

struct MixerCase {
  WORD recording;
  const char* arguments;  // the stand-in's view of "/record" or no parameters
};

class VolumeControlSide : public VolumeControlTest,
                          public ::testing::WithParamInterface<MixerCase> {};

TEST_P(VolumeControlSide, FlagChoosesTheSideOfTheMixer) {
  ::setenv("DISPLAY", ":77", 1);
  WORD error = 99;
  EXPECT_EQ(m().OpenVolumeControl(host(), GetParam().recording, &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(MixerArguments(), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(RecordingAndPlayback, VolumeControlSide,
                         ::testing::Values(MixerCase{1, "--tab=4"}, MixerCase{5, "--tab=4"},
                                           MixerCase{0, "--tab=1"}));

TEST_F(VolumeControlTest, NoMixerToStartGivesErrorTwelve) {
  ::unsetenv("DISPLAY");
  WORD error = 0;
  EXPECT_EQ(m().OpenVolumeControl(host(), 1, &error), 0);
  EXPECT_EQ(error, ErrVolumeControl);
  EXPECT_EQ(rec.lastError.load(), ErrVolumeControl);
}

}  // namespace
}  // namespace voxl
