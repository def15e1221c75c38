// A recording through ALSA whose sound server dies in the middle of the run: a PulseAudio server
// of the test's own (never the shared one), killed while the recorder captures from it.  Skipped
// when no such server can be started (pulseaudio not installed).
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "platform/wave/wave_fixture.h"
#include "support/tone_pulse.h"
#include "voxl310k.h"

namespace voxl::wave {
namespace {

using testing::ScopedEnv;

std::vector<uint8_t> gCaptured;
std::vector<DWORD> gEnded;
void CALLBACK KeepBlock(void* format, DWORD, void* data, DWORD bytes) {
  gCaptured.insert(gCaptured.end(), static_cast<uint8_t*>(data),
                   static_cast<uint8_t*>(data) + bytes);
  std::free(format), std::free(data);
}
void CALLBACK KeepEnd(DWORD code) {
  gEnded.push_back(code);
}

// Dispatches this thread's messages until `done` holds, for at most ten seconds of real audio.
bool PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  pollfd queue{VoxlMessageQueueFd(), POLLIN, 0};
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    poll(&queue, 1, 50);
    for (MSG msg{}; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0;) DispatchMessageA(&msg);
  }
  return true;
}

// The server dies while the recorder captures into a file: the run ends by itself with
// VOXL_STOP_DEVICE_LOST, Stop returns, the file holds exactly the audio delivered before, and
// once a server is back a new Record works.
TEST(AlsaDeviceLossTest, AKilledSoundServerEndsTheRunAndTheFileKeepsItsAudio) {
  test::PrivatePulseServer server("lost");
  if (!server.running()) GTEST_SKIP() << "no private PulseAudio server (is pulseaudio installed?)";
  ScopedEnv use("PULSE_SERVER", server.address().c_str());
  ASSERT_TRUE(SelectDriverForTesting("alsa")) << "ALSA finds no device on the private server";
  WORD error = 0;
  VoxlRecorder* r = VoxlCreateRecorder(&error);
  ASSERT_NE(r, nullptr) << VoxlErrorText(error);
  const VoxlRecorderCallbacks callbacks{KeepEnd, nullptr, nullptr, nullptr, KeepBlock, nullptr};
  VoxlSetCallbacks(r, &callbacks);
  const std::string path = ::testing::TempDir() + "voxl_alsa_lost.wav";
  const std::u16string wide(path.begin(), path.end());
  BSTR name = SysAllocString(wide.c_str());
  r->lpVtbl->NewRecording(r, name, &error);
  SysFreeString(name);
  ASSERT_EQ(error, VOXL_ERR_NONE);
  r->lpVtbl->Record(r, &error);
  ASSERT_EQ(error, VOXL_ERR_NONE);
  ASSERT_TRUE(PumpUntil([] { return gCaptured.size() >= 3 * 17640; }));

  server.Kill();
  ASSERT_TRUE(PumpUntil([] { return !gEnded.empty(); })) << "the run did not end";
  EXPECT_EQ(gEnded, std::vector<DWORD>{VOXL_STOP_DEVICE_LOST});
  EXPECT_EQ(r->lpVtbl->Stop(r), S_OK);
  WORD state = 0;
  r->lpVtbl->GetState(r, &state);
  r->lpVtbl->TakeLastError(r, &error);
  EXPECT_EQ(std::tuple(state, error),
            std::tuple(WORD{VOXL_STATE_OPEN}, WORD{VOXL_ERR_DEVICE_LOST}));
  r->lpVtbl->Close(r, &error);
  const auto file = test::ReadWithSndfile(path);
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->raw == gCaptured)
      << file->raw.size() << " bytes in the file, " << gCaptured.size() << " captured";

  test::PrivatePulseServer back("back");
  ASSERT_TRUE(back.running());
  ScopedEnv useBack("PULSE_SERVER", back.address().c_str());
  gEnded.clear();
  name = SysAllocString(wide.c_str());
  r->lpVtbl->NewRecording(r, name, &error);
  SysFreeString(name);
  r->lpVtbl->Record(r, &error);
  EXPECT_EQ(error, VOXL_ERR_NONE);
  r->lpVtbl->Stop(r);
  EXPECT_TRUE(PumpUntil([] { return !gEnded.empty(); }));
  EXPECT_EQ(gEnded, std::vector<DWORD>{VOXL_STOP_NORMAL});
  VoxlDestroyRecorder(r);
  SelectDriverForTesting(nullptr);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace voxl::wave
