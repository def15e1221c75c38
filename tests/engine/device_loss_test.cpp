// An input device that goes away in the middle of a run (unplugged, its sound server ended),
// played by the virtual input's loss fault.  (The same through ALSA with a sound server that is
// killed: tests/platform/alsa/alsa_device_loss_test.cpp.)
#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using namespace testing;

// The device goes away half way through the third buffer, in overwrite and in insert mode: the
// run ends by itself with ErrDeviceLost in stopReason, lastError and callback 0; Stop returns at
// once; the device is closed; the file holds every frame delivered before the loss, the half
// buffer included.  Once the device is back a new Record works and adds to the same file.
TEST_F(CaptureTest, ADeviceThatGoesAwayEndsTheRunAndKeepsEverythingItDelivered) {
  for (const uint16_t insert : {0, 1}) {
    SCOPED_TRACE(insert);
    gRunEnds.clear(), gBlocks.clear();
    const std::string path = File(insert ? "insert.wav" : "overwrite.wav");
    Open(kMono8k, path);
    r().insertMode = insert;
    virtualaudio::SetInputFaults(0, virtualaudio::Faults{.loseAfterFrames = 2000});
    StartRecording();
    EXPECT_EQ(virtualaudio::CompleteInputBuffers(WAVE_MAPPER, 5), 2u);
    WaitForRunEnd();
    EXPECT_EQ(std::tuple(r().stopReason.load(), TakeLastError(r()), gRunEnds),
              std::tuple(ErrDeviceLost, uint16_t(ErrDeviceLost), std::vector<DWORD>{20}));
    Stop(r());
    EXPECT_EQ(r().state, StateOpen);
    EXPECT_FALSE(virtualaudio::InputOpen(0));
    Bytes delivered;
    for (const Bytes& b : gBlocks) delivered.insert(delivered.end(), b.begin(), b.end());
    EXPECT_EQ(delivered, Expected(kMono8k, 0, 2000));
    EXPECT_EQ(std::tuple(r().length.load(), r().position.load()), std::tuple(2000u, 2000));

    virtualaudio::SetInputFaults(0, virtualaudio::Faults{});
    RecordBuffers(1);
    EXPECT_EQ(r().stopReason, ErrNone);
    CloseRecording();
    EXPECT_EQ(DataOf(path), Concat({Expected(kMono8k, 0, 2000), Expected(kMono8k, 0, 800)}));
  }
}

}  // namespace
}  // namespace voxl
