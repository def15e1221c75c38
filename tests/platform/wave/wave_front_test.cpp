// The wave front end: argument and handle checks, formats, capabilities, WAVE_MAPPER, callbacks,
// buffer bookkeeping and the choice of the serving driver.
#include <cstdlib>
#include <optional>
#include <string>

#include "wave_fixture.h"

namespace voxl::wave::testing {
namespace {

namespace va = voxl::virtualaudio;

using FrontTest = WaveTest;

TEST_F(FrontTest, BadHandlesAreRefusedNotFollowed) {
  Buffer b(64);
  WAVEHDR* h = &b.header;
  const auto made_up = reinterpret_cast<HWAVEIN>(0x1234);
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInClose(nullptr));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInStart(made_up));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInPrepareHeader(made_up, h, sizeof *h));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutWrite(nullptr, h, sizeof *h));

  const WAVEFORMATEX f = Pcm(8000, 1, 16);
  HWAVEIN in = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&in, 0, &f, 0, 0, CALLBACK_NULL));
  // An input handle is not an output handle.
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutReset(reinterpret_cast<HWAVEOUT>(in)));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInClose(in));
  // A closed handle stays invalid, also after another device opens.
  HWAVEIN again = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&again, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_NE(in, again);
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInStart(in));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInClose(in));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(again));
}

TEST_F(FrontTest, HeaderArgumentsAreChecked) {
  const WAVEFORMATEX f = Pcm(8000, 2, 16);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out, 0, &f, 0, 0, CALLBACK_NULL));
  Buffer b(400);
  WAVEHDR* h = &b.header;
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, nullptr, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, h, sizeof(WAVEHDR) - 1));
  EXPECT_EQ(WAVERR_UNPREPARED, waveOutWrite(out, h, sizeof *h));

  Buffer tiny(3);  // smaller than one block of the format
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, &tiny.header, sizeof(WAVEHDR)));
  Buffer null_data(16);
  null_data.header.lpData = nullptr;
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, &null_data.header, sizeof(WAVEHDR)));

  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPrepareHeader(out, h, sizeof *h));
  EXPECT_TRUE(h->dwFlags & WHDR_PREPARED);
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(out, h, sizeof *h));
  EXPECT_TRUE(h->dwFlags & WHDR_INQUEUE);
  EXPECT_EQ(WAVERR_STILLPLAYING, waveOutWrite(out, h, sizeof *h));
  h->dwFlags = WHDR_PREPARED;  // the caller's mistake must not link the header twice
  EXPECT_EQ(WAVERR_STILLPLAYING, waveOutWrite(out, h, sizeof *h));
  h->dwFlags |= WHDR_INQUEUE;
  EXPECT_EQ(WAVERR_STILLPLAYING, waveOutUnprepareHeader(out, h, sizeof *h));
  EXPECT_EQ(WAVERR_STILLPLAYING, waveOutClose(out));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutReset(out));
  EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, h->dwFlags);
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutUnprepareHeader(out, h, sizeof *h));
  EXPECT_FALSE(h->dwFlags & WHDR_PREPARED);
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(out));
}

TEST_F(FrontTest, HeaderPreparedOnAnotherDeviceIsUnprepared) {
  va::SetInputDevices({"A", "B"});
  const WAVEFORMATEX f = Pcm(8000, 1, 8);
  HWAVEIN a = nullptr, b = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&a, 0, &f, 0, 0, CALLBACK_NULL));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&b, 1, &f, 0, 0, CALLBACK_NULL));
  Buffer buf(80);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(a, &buf.header, sizeof(WAVEHDR)));
  EXPECT_EQ(WAVERR_UNPREPARED, waveInAddBuffer(b, &buf.header, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(a));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(b));
}

struct FormatCase {
  const char* name;
  WAVEFORMATEX format;
};

class BadFormatTest : public WaveTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(BadFormatTest, IsRefusedByQueryAndOpenInBothDirections) {
  const WAVEFORMATEX f = GetParam().format;
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY));
  HWAVEIN in = reinterpret_cast<HWAVEIN>(0x1);
  EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(nullptr, in);
  HWAVEOUT out = nullptr;
  EXPECT_EQ(WAVERR_BADFORMAT, waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
  EXPECT_FALSE(va::InputOpen(0));
  EXPECT_FALSE(va::OutputOpen(0));
}

WAVEFORMATEX With(WAVEFORMATEX f, void (*change)(WAVEFORMATEX&)) {
  change(f);
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, BadFormatTest,
    ::testing::Values(
        FormatCase{"NotPcm", With(Pcm(8000, 1, 16), [](auto& f) { f.wFormatTag = 0x55; })},
        FormatCase{"ZeroChannels", With(Pcm(8000, 1, 16), [](auto& f) { f.nChannels = 0; })},
        FormatCase{"ThreeChannels", Pcm(8000, 3, 16)}, FormatCase{"ZeroRate", Pcm(0, 1, 16)},
        FormatCase{"TwentyFourBits", Pcm(8000, 1, 24)}, FormatCase{"FourBits", Pcm(8000, 1, 4)},
        FormatCase{"BlockAlignWrong", With(Pcm(8000, 2, 16), [](auto& f) { f.nBlockAlign = 2; })},
        FormatCase{"BlockAlignZero", With(Pcm(8000, 2, 16), [](auto& f) { f.nBlockAlign = 0; })},
        FormatCase{"ByteRateWrong", With(Pcm(8000, 1, 16), [](auto& f) { f.nAvgBytesPerSec = 1; })},
        FormatCase{"RateBelowDevices", Pcm(999, 1, 16)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrontTest, OpenArgumentsAreChecked) {
  const WAVEFORMATEX f = Pcm(44100, 2, 16);
  HWAVEIN in = nullptr;
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInOpen(nullptr, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInOpen(&in, 0, nullptr, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInOpen(&in, 1, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInOpen(nullptr, 7, &f, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_EQ(MMSYSERR_INVALFLAG, waveInOpen(&in, 0, &f, 0, 0, 0x80000000u));
  EXPECT_EQ(MMSYSERR_INVALFLAG, waveInOpen(&in, 0, &f, 0, 0, 0x00070000u));
  EXPECT_EQ(MMSYSERR_NOTSUPPORTED, waveInOpen(&in, 0, &f, 0, 0, CALLBACK_FUNCTION));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInOpen(&in, 0, &f, 0, 0, CALLBACK_THREAD));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInOpen(&in, 0, &f, 0x42, 0, CALLBACK_WINDOW));
  EXPECT_EQ(nullptr, in);
  EXPECT_FALSE(va::InputOpen(0));

  // A query opens nothing and needs no handle.
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_FALSE(va::InputOpen(0));
  EXPECT_TRUE(TakeMessages().empty());

  va::SetInputDevices({});
  EXPECT_EQ(0u, waveInGetNumDevs());
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
}

TEST_F(FrontTest, MapperOpensTheDefaultDevice) {
  va::SetOutputDevices({"First", "Second"});
  const WAVEFORMATEX f = Pcm(8000, 1, 16);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
  EXPECT_TRUE(va::OutputOpen(0));
  EXPECT_FALSE(va::OutputOpen(1));
  // The virtual devices open once at a time.
  HWAVEOUT second = nullptr;
  EXPECT_EQ(MMSYSERR_ALLOCATED, waveOutOpen(&second, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(out));
  EXPECT_FALSE(va::OutputOpen(0));
}

TEST_F(FrontTest, CapabilitiesDescribeTheDevices) {
  va::SetInputDevices({"Desk microphone", "Line in"});
  va::SetOutputDevices({"Speakers"});
  EXPECT_EQ(2u, waveInGetNumDevs());
  EXPECT_EQ(1u, waveOutGetNumDevs());
  WAVEINCAPSA in{};
  ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(1, &in, sizeof in));
  EXPECT_STREQ("Line in", in.szPname);
  EXPECT_EQ(2, in.wChannels);
  EXPECT_TRUE(in.dwFormats & WAVE_FORMAT_4S16);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(WAVE_MAPPER, &in, sizeof in));
  EXPECT_STREQ("Desk microphone", in.szPname);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(static_cast<UINT_PTR>(-1), &in, sizeof in));
  EXPECT_STREQ("Desk microphone", in.szPname);
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInGetDevCapsA(2, &in, sizeof in));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInGetDevCapsA(0, nullptr, sizeof in));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInGetDevCapsA(0, &in, sizeof in - 1));

  WAVEOUTCAPSA out{};
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(0, &out, sizeof out));
  EXPECT_STREQ("Speakers", out.szPname);
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutGetDevCapsA(0, &out, sizeof(WAVEINCAPSA)));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveOutGetDevCapsA(1, &out, sizeof out));
}

struct NameCase {
  std::string name;
  std::string expected;
};

class DeviceNameTest : public WaveTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DeviceNameTest, IsTruncatedToThirtyOneBytesOnACharacterBoundary) {
  va::SetInputDevices({GetParam().name});
  va::SetOutputDevices({GetParam().name});
  WAVEINCAPSA in;
  std::memset(&in, 0x7F, sizeof in);
  ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(0, &in, sizeof in));
  EXPECT_EQ(GetParam().expected, std::string(in.szPname));
  EXPECT_EQ('\0', in.szPname[MAXPNAMELEN - 1]);
  WAVEOUTCAPSA out;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(0, &out, sizeof out));
  EXPECT_EQ(GetParam().expected, std::string(out.szPname));
}

const std::string k30(30, 'a');
const std::string k31(31, 'b');

INSTANTIATE_TEST_SUITE_P(
    Names, DeviceNameTest,
    ::testing::Values(NameCase{"", ""}, NameCase{k31, k31}, NameCase{k31 + "c", k31},
                      NameCase{k30 + "\xC3\xA9", k30},         // é would straddle the end
                      NameCase{k30 + "x\xC3\xA9", k30 + "x"},  // é starts after the end
                      NameCase{"abc" + std::string(27, 'd') + "\xE2\x82\xAC",  // € (3 bytes)
                               "abc" + std::string(27, 'd')},
                      NameCase{std::string(29, 'e') + "\xC3\xA9",
                               std::string(29, 'e') + "\xC3\xA9"},
                      NameCase{std::string(300, 'z'), std::string(31, 'z')}));

LRESULT CALLBACK IgnoringProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(w, m, wp, lp);
}

TEST_F(FrontTest, WindowCallbackPostsToTheWindow) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = IgnoringProc;
  wc.lpszClassName = "VoxlWaveTestWindow";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, "VoxlWaveTestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(nullptr, window);
  const WAVEFORMATEX f = Pcm(8000, 1, 8);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR,
            waveOutOpen(&out, 0, &f, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW));
  auto buffers = MakeBuffers(out, waveOutPrepareHeader, 1, 80);
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(out, &buffers[0]->header, sizeof(WAVEHDR)));
  ASSERT_EQ(1u, va::CompleteOutputBuffers(0, 1));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutClose(out));
  auto messages = TakeMessages();
  ASSERT_EQ(3u, messages.size());
  for (const MSG& m : messages) {
    EXPECT_EQ(window, m.hwnd);
    EXPECT_EQ(reinterpret_cast<WPARAM>(out), m.wParam);
  }
  EXPECT_EQ(reinterpret_cast<LPARAM>(&buffers[0]->header), messages[1].lParam);
  EXPECT_EQ(static_cast<UINT>(MM_WOM_OPEN), messages[0].message);
  EXPECT_EQ(static_cast<UINT>(MM_WOM_DONE), messages[1].message);
  EXPECT_EQ(static_cast<UINT>(MM_WOM_CLOSE), messages[2].message);
  DestroyWindow(window);
  UnregisterClassA("VoxlWaveTestWindow", nullptr);
}

// Restores VOXL_AUDIO_DRIVER and the virtual driver after a test of the choice.
class DriverChoiceTest : public WaveTest {
 protected:
  void SetUp() override {
    const char* v = std::getenv("VOXL_AUDIO_DRIVER");
    saved_ = v ? std::optional<std::string>(v) : std::nullopt;
    WaveTest::SetUp();
  }
  void TearDown() override {
    if (saved_) {
      setenv("VOXL_AUDIO_DRIVER", saved_->c_str(), 1);
    } else {
      unsetenv("VOXL_AUDIO_DRIVER");
    }
    SelectDriverForTesting("virtual");
  }
  std::optional<std::string> saved_;
};

TEST_F(DriverChoiceTest, EnvironmentNamesTheDriver) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  ASSERT_TRUE(SelectDriverForTesting(nullptr));
  EXPECT_STREQ("virtual", VoxlWaveDriverName());
  EXPECT_STREQ("VOXL_AUDIO_DRIVER=virtual", VoxlWaveDriverReason());

  setenv("VOXL_AUDIO_DRIVER", "alsa", 1);
  ASSERT_TRUE(SelectDriverForTesting(nullptr));
  EXPECT_STREQ("alsa", VoxlWaveDriverName());
  EXPECT_EQ(0u, std::string(VoxlWaveDriverReason()).find("VOXL_AUDIO_DRIVER=alsa"));

  EXPECT_FALSE(SelectDriverForTesting("oss"));
  EXPECT_STREQ("alsa", VoxlWaveDriverName()) << "an unknown name changes nothing";
}

TEST_F(DriverChoiceTest, WithoutTheEnvironmentTheFirstDriverWithADeviceServes) {
  unsetenv("VOXL_AUDIO_DRIVER");
  ASSERT_TRUE(SelectDriverForTesting(nullptr));
  const std::string name = VoxlWaveDriverName();
  const std::string reason = VoxlWaveDriverReason();
  if (name == "virtual") {
    EXPECT_EQ("no alsa device found; the built-in virtual devices serve", reason);
  } else {
    EXPECT_EQ("alsa", name);
    EXPECT_EQ("the first driver that found a device", reason);
  }

  setenv("VOXL_AUDIO_DRIVER", "oss", 1);
  ASSERT_TRUE(SelectDriverForTesting(nullptr));
  EXPECT_EQ(0u, std::string(VoxlWaveDriverReason())
                    .find("VOXL_AUDIO_DRIVER=oss names no driver (alsa, virtual); "));
}

}  // namespace
}  // namespace voxl::wave::testing
