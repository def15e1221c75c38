// The eight flat capture functions with the virtual audio driver (manual clock) standing in for
// the sound card: the pending block list, the level message, the device enumeration, starting
// and stopping, and whole blocks streamed from a device to the host window.
#include "api/flat_api.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/module.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "voxl310k.h"

namespace {

namespace va = voxl::virtualaudio;

struct HostMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

WAVEFORMATEX StreamFormat() {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = 44100;
  format.nAvgBytesPerSec = 176400;
  format.nBlockAlign = 4;
  format.wBitsPerSample = 16;
  return format;
}

// A block as the engine hands it over: heap copies of the format and the data.
void DeliverBlock(const std::string& text) {
  const WAVEFORMATEX format = StreamFormat();
  void* formatCopy = std::malloc(sizeof format);
  std::memcpy(formatCopy, &format, sizeof format);
  void* data = std::malloc(text.size());
  std::memcpy(data, text.data(), text.size());
  voxl::flat::OnBlock(formatCopy, sizeof format, data, static_cast<DWORD>(text.size()));
}

std::string BlockText(const AcmBlock* block) {
  return std::string(reinterpret_cast<const char*>(ACM_BLOCK_DATA(block)), block->dataLength);
}

class FlatApiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(voxl::wave::SelectDriverForTesting("virtual")); }

  FlatApiTest() {
    va::Reset();
    va::SetInputDevices({"Mic One", "Mic Two"});
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = "FlatApiTestHost";
    RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, "FlatApiTestHost", "host", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                              nullptr, nullptr);
  }
  ~FlatApiTest() override {
    DeinitACM();
    Pump();
    DestroyWindow(window_);
    UnregisterClassA("FlatApiTestHost", nullptr);
    va::Reset();
  }

  // Dispatches what waits for this thread; messages for the host window are kept in hostMessages_.
  void Pump() {
    MSG msg{};
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) {
      if (msg.hwnd == window_) {
        hostMessages_.push_back({msg.message, msg.wParam, msg.lParam});
      } else {
        DispatchMessageA(&msg);
      }
    }
  }

  size_t Count(UINT message) const {
    size_t n = 0;
    for (const HostMessage& m : hostMessages_) n += m.message == message ? 1 : 0;
    return n;
  }

  // Pumps until `count` blocks are pending, for at most five seconds.
  bool PumpUntilPending(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pollfd fd{VoxlMessageQueueFd(), POLLIN, 0};
    while (voxl::flat::PendingBlockCount() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      poll(&fd, 1, 50);
      Pump();
    }
    return true;
  }

  WORD State() {
    VoxlRecorder* r = voxl::ToHost(voxl::GlobalRecorder());
    WORD state = 99;
    r->lpVtbl->GetState(r, &state);
    return state;
  }
  LONG InputDevice() {
    VoxlRecorder* r = voxl::ToHost(voxl::GlobalRecorder());
    LONG device = -99;
    r->lpVtbl->GetInputDevice(r, &device);
    return device;
  }

  HWND window_ = nullptr;
  std::vector<HostMessage> hostMessages_;
};

// ---- Pending blocks ----

TEST_F(FlatApiTest, BlocksLeaveInTheOrderTheyArrived) {
  ASSERT_EQ(InitACM(window_), 1);
  DeliverBlock("A");
  DeliverBlock("BB");
  DeliverBlock("CCC");
  Pump();
  EXPECT_EQ(Count(VOXL_MSG_BLOCK_READY), 3u);
  for (const HostMessage& m : hostMessages_) EXPECT_EQ(m.wParam | m.lParam, 0u);

  const WAVEFORMATEX format = StreamFormat();
  for (const char* expected : {"A", "BB", "CCC"}) {
    AcmBlock* block = nullptr;
    ASSERT_EQ(GetNextACMBlock(&block), 1);
    EXPECT_EQ(BlockText(block), expected);
    EXPECT_EQ(std::memcmp(&block->format, &format, sizeof format), 0);
    EXPECT_EQ(FreeACMBlock(block), 1);
  }
  auto* untouched = reinterpret_cast<AcmBlock*>(0x1234);
  EXPECT_EQ(GetNextACMBlock(&untouched), 0);
  EXPECT_EQ(untouched, reinterpret_cast<AcmBlock*>(0x1234));

  // The list works again after running empty, and takes blocks while new ones arrive.
  DeliverBlock("D");
  DeliverBlock("E");
  AcmBlock* block = nullptr;
  ASSERT_EQ(GetNextACMBlock(&block), 1);
  EXPECT_EQ(BlockText(block), "D");
  FreeACMBlock(block);
  DeliverBlock("F");
  for (const char* expected : {"E", "F"}) {
    ASSERT_EQ(GetNextACMBlock(&block), 1);
    EXPECT_EQ(BlockText(block), expected);
    FreeACMBlock(block);
  }
}

TEST_F(FlatApiTest, AcmBlockLayoutIsTwentyFourBytesThenTheData) {
  ASSERT_EQ(InitACM(window_), 1);
  DeliverBlock("xyz");
  AcmBlock* block = nullptr;
  ASSERT_EQ(GetNextACMBlock(&block), 1);
  const auto* bytes = reinterpret_cast<const uint8_t*>(block);
  auto u16 = [&](int at) { return static_cast<unsigned>(bytes[at] | bytes[at + 1] << 8); };
  auto u32 = [&](int at) { return u16(at) | u16(at + 2) << 16; };
  EXPECT_EQ(u16(0), 1u);
  EXPECT_EQ(u16(2), 2u);
  EXPECT_EQ(u32(4), 44100u);
  EXPECT_EQ(u32(8), 176400u);
  EXPECT_EQ(u16(12), 4u);
  EXPECT_EQ(u16(14), 16u);
  EXPECT_EQ(u16(16), 0u);
  EXPECT_EQ(u32(20), 3u);
  EXPECT_EQ(std::memcmp(bytes + 24, "xyz", 3), 0);
  FreeACMBlock(block);
}

TEST_F(FlatApiTest, ShortFormatsAndMissingDataAreQueuedSafely) {
  ASSERT_EQ(InitACM(window_), 1);
  // A format record shorter than its header is copied as far as it goes; the rest reads 0.
  auto* format = static_cast<WAVEFORMATEX*>(std::malloc(4));
  std::memcpy(format, "\x01\x00\x02\x00", 4);
  voxl::flat::OnBlock(format, 4, nullptr, 100);
  AcmBlock* block = nullptr;
  ASSERT_EQ(GetNextACMBlock(&block), 1);
  EXPECT_EQ(block->format.wFormatTag, 1);
  EXPECT_EQ(block->format.nChannels, 2);
  EXPECT_EQ(block->format.nSamplesPerSec, 0u);
  EXPECT_EQ(block->dataLength, 0u);
  FreeACMBlock(block);
}

TEST_F(FlatApiTest, BadArgumentsAreRefused) {
  EXPECT_EQ(StartACMRecord("Default Device"), 0);
  EXPECT_EQ(StopACMRecord(), 0);
  EXPECT_EQ(DeinitACM(), 0);
  ASSERT_EQ(InitACM(window_), 1);
  EXPECT_EQ(InitACM(window_), 0) << "a second InitACM would lose the first recorder";
  EXPECT_EQ(GetNextACMBlock(nullptr), 0);
  EXPECT_EQ(FreeACMBlock(nullptr), 1);
  EXPECT_EQ(StartACMRecord(nullptr), 0);
  EXPECT_EQ(GetFirstACMDevice(nullptr), 0);
  EXPECT_EQ(GetNextACMDevice(nullptr), 0);
}

TEST_F(FlatApiTest, InitFailsWhenTheDeviceRefusesTheCaptureFormat) {
  va::Faults faults;
  faults.refuseFormat = true;
  va::SetInputFaults(0, faults);
  EXPECT_EQ(InitACM(window_), 0);
  EXPECT_EQ(voxl::GlobalRecorder(), nullptr);
  va::SetInputFaults(0, va::Faults{});
  EXPECT_EQ(InitACM(window_), 1);
}

// ---- Levels ----

struct LevelCase {
  float left;
  float right;
  uint32_t packed;
};

class LevelPackingTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LevelPackingTest, PacksTenthsOfDbLeftHighRightLow) {
  const LevelCase& c = GetParam();
  EXPECT_EQ(static_cast<uint64_t>(voxl::flat::PackLevels(c.left, c.right)), c.packed);
  EXPECT_EQ(VOXL_LEVEL_LEFT_TENTHS(voxl::flat::PackLevels(c.left, c.right)),
            static_cast<SHORT>(c.packed >> 16));
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LevelPackingTest,
    ::testing::Values(LevelCase{-3.14f, -9999.0f, 0xFFE1D8F1u},    // signal left, none right
                      LevelCase{-9999.0f, -9999.0f, 0xD8F1D8F1u},  // no signal
                      LevelCase{-1000.0f, -999.9f, 0xD8F1D8F1u},   // clamped at -999.9
                      LevelCase{-999.8f, -12.5f, 0xD8F2FF83u},     // just above the clamp
                      LevelCase{0.0f, -6.0f, 0x0000FFC4u},         // full scale
                      LevelCase{-0.04f, -1.0e30f, 0x0000D8F1u}));  // rounds toward zero

TEST_F(FlatApiTest, LevelsArePostedToTheHostWindow) {
  ASSERT_EQ(InitACM(window_), 1);
  voxl::flat::OnLevels(-3.14f, 1, -9999.0f, 0);
  Pump();
  ASSERT_EQ(hostMessages_.size(), 1u);
  EXPECT_EQ(hostMessages_[0].message, static_cast<UINT>(VOXL_MSG_LEVELS));
  EXPECT_EQ(hostMessages_[0].wParam, 0u);
  EXPECT_EQ(static_cast<uint64_t>(hostMessages_[0].lParam), 0xFFE1D8F1u);
}

// ---- Enumeration ----

TEST_F(FlatApiTest, EnumerationListsDefaultThenDevicesThenEnds) {
  char name[VOXL_DEVICE_NAME_BYTES] = "stale";
  EXPECT_EQ(GetFirstACMDevice(name), 0) << "no recorder yet";
  EXPECT_STREQ(name, "");
  ASSERT_EQ(InitACM(window_), 1);
  EXPECT_EQ(GetNextACMDevice(name), 0) << "no enumeration started yet";
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(GetFirstACMDevice(name), 1);
    EXPECT_STREQ(name, "Default Device");
    ASSERT_EQ(GetNextACMDevice(name), 1);
    EXPECT_STREQ(name, "Mic One");
    ASSERT_EQ(GetNextACMDevice(name), 1);
    EXPECT_STREQ(name, "Mic Two");
    std::strcpy(name, "stale");
    EXPECT_EQ(GetNextACMDevice(name), 0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(GetNextACMDevice(name), 0);
    EXPECT_STREQ(name, "");
  }
}

// ---- Starting and stopping ----

TEST_F(FlatApiTest, DeviceNamesChooseTheDeviceExactly) {
  ASSERT_EQ(InitACM(window_), 1);
  EXPECT_EQ(StartACMRecord("mic two"), 0);
  EXPECT_EQ(StartACMRecord("Mic"), 0);
  EXPECT_EQ(StartACMRecord(""), 0);
  EXPECT_EQ(State(), 1);

  ASSERT_EQ(StartACMRecord("Default Device"), 1);
  EXPECT_EQ(State(), 3);
  EXPECT_EQ(InputDevice(), -1) << "Default Device is the wave mapper";
  EXPECT_TRUE(va::InputOpen(0));

  // Starting again first closes the running recording.
  ASSERT_EQ(StartACMRecord("Mic Two"), 1);
  EXPECT_EQ(State(), 3);
  EXPECT_EQ(InputDevice(), 1);
  EXPECT_FALSE(va::InputOpen(0));
  EXPECT_TRUE(va::InputOpen(1));

  EXPECT_EQ(StopACMRecord(), 1);
  EXPECT_EQ(State(), 1);
  EXPECT_FALSE(va::InputOpen(1));
}

TEST_F(FlatApiTest, StartFailsCleanlyWhenTheDeviceCannotOpen) {
  ASSERT_EQ(InitACM(window_), 1);
  va::Faults faults;
  faults.refuseOpen = true;
  va::SetInputFaults(1, faults);
  EXPECT_EQ(StartACMRecord("Mic Two"), 0);
  EXPECT_EQ(State(), 1);
  EXPECT_EQ(StartACMRecord("Mic One"), 1);
}

TEST_F(FlatApiTest, StopKeepsUntakenBlocksAndStartFreesThem) {
  ASSERT_EQ(InitACM(window_), 1);
  DeliverBlock("early");
  ASSERT_EQ(StopACMRecord(), 1);
  EXPECT_EQ(voxl::flat::PendingBlockCount(), 1u) << "the host can still take it";
  ASSERT_EQ(StartACMRecord("Mic One"), 1);
  EXPECT_EQ(voxl::flat::PendingBlockCount(), 0u);
  DeliverBlock("left for DeinitACM to free");
}

// ---- Streaming ----

TEST_F(FlatApiTest, StreamsWholeBlocksOfTheDevicesAudio) {
  va::Signal sine;
  sine.kind = va::Signal::Kind::Sine;
  sine.frequency[0] = 441.0;
  sine.frequency[1] = 882.0;
  va::SetInputSignal(0, sine);
  ASSERT_EQ(InitACM(window_), 1);
  ASSERT_EQ(StartACMRecord("Mic One"), 1);
  ASSERT_EQ(va::CompleteInputBuffers(0, 3), 3u);
  ASSERT_TRUE(PumpUntilPending(3));
  EXPECT_EQ(Count(VOXL_MSG_BLOCK_READY), 3u);
  EXPECT_GE(Count(VOXL_MSG_LEVELS), 1u);

  const WAVEFORMATEX format = StreamFormat();
  uint64_t frame = 0;
  for (int i = 0; i < 3; ++i) {
    AcmBlock* block = nullptr;
    ASSERT_EQ(GetNextACMBlock(&block), 1);
    EXPECT_EQ(std::memcmp(&block->format, &format, sizeof format), 0);
    ASSERT_EQ(block->dataLength, 17640u);
    const auto* samples = reinterpret_cast<const int16_t*>(ACM_BLOCK_DATA(block));
    for (uint32_t f = 0; f < 4410; ++f, ++frame) {
      ASSERT_EQ(samples[2 * f], va::SampleValue(sine, format, frame, 0)) << frame;
      ASSERT_EQ(samples[2 * f + 1], va::SampleValue(sine, format, frame, 1)) << frame;
    }
    FreeACMBlock(block);
  }
  // A level message of the running sine: about -6 dB on both channels.
  for (const HostMessage& m : hostMessages_) {
    if (m.message != VOXL_MSG_LEVELS) continue;
    EXPECT_NEAR(VOXL_LEVEL_LEFT_TENTHS(m.lParam), -60, 5);
    EXPECT_NEAR(VOXL_LEVEL_RIGHT_TENTHS(m.lParam), -60, 5);
  }

  hostMessages_.clear();
  ASSERT_EQ(StopACMRecord(), 1);
  Pump();
  // After the stop: "no signal" is posted once.
  ASSERT_GE(Count(VOXL_MSG_LEVELS), 1u);
  EXPECT_EQ(static_cast<uint64_t>(hostMessages_.back().lParam), 0xD8F1D8F1u);
}

}  // namespace
