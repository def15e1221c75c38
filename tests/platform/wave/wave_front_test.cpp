// The wave front end: argument and handle checks, formats, capabilities, WAVE_MAPPER, callbacks,
// buffer bookkeeping and the choice of the serving driver.
#include <cstring>
#include <string>

#include "wave_fixture.h"

namespace voxl::wave::testing {
namespace {

namespace va = voxl::virtualaudio;

using FrontTest = WaveTest;

TEST_F(FrontTest, BadClosedAndForeignHandlesAreRefusedNotFollowed) {
  Buffer b(80);
  WAVEHDR* h = &b.header;
  const auto made_up = reinterpret_cast<HWAVEIN>(0x1234);
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInClose(nullptr));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInStart(made_up));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInPrepareHeader(made_up, h, sizeof *h));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutWrite(nullptr, h, sizeof *h));

  va::SetInputDevices({"A", "B"});
  const WAVEFORMATEX f = Pcm(8000, 1, 8);
  HWAVEIN in = nullptr, again = nullptr, other = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&in, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutReset(reinterpret_cast<HWAVEOUT>(in))) << "not output";
  ASSERT_EQ(MMSYSERR_NOERROR, waveInClose(in));
  // A closed handle stays invalid, also after another device opens.
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&again, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_NE(in, again);
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInStart(in));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInClose(in));
  // A header prepared on one device is unprepared for another.
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&other, 1, &f, 0, 0, CALLBACK_NULL));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(again, h, sizeof *h));
  EXPECT_EQ(WAVERR_UNPREPARED, waveInAddBuffer(other, h, sizeof *h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(again));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(other));
}

TEST_F(FrontTest, HeaderArgumentsAreChecked) {
  const WAVEFORMATEX f = Pcm(8000, 2, 16);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out, 0, &f, 0, 0, CALLBACK_NULL));
  Buffer b(400), tiny(3), null_data(16);  // tiny: smaller than one block
  null_data.header.lpData = nullptr;
  WAVEHDR* h = &b.header;
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, nullptr, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, h, sizeof(WAVEHDR) - 1));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, &tiny.header, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, &null_data.header, sizeof(WAVEHDR)));
  EXPECT_EQ(WAVERR_UNPREPARED, waveOutWrite(out, h, sizeof *h));

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

TEST_F(FrontTest, OpenRefusesBadArgumentsAndFormats) {
  const WAVEFORMATEX bad[] = {Pcm(8000, 1, 16, 0x55),
                              With(Pcm(8000, 1, 16), [](auto& f) { f.nChannels = 0; }),
                              Pcm(8000, 3, 16),
                              Pcm(0, 1, 16),
                              Pcm(8000, 1, 24),
                              Pcm(8000, 1, 4),
                              Pcm(999, 1, 16),  // below the devices' rates
                              With(Pcm(8000, 2, 16), [](auto& f) { f.nBlockAlign = 2; }),
                              With(Pcm(8000, 2, 16), [](auto& f) { f.nBlockAlign = 0; }),
                              With(Pcm(8000, 1, 16), [](auto& f) { f.nAvgBytesPerSec = 1; })};
  for (size_t i = 0; i < std::size(bad); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(nullptr, 0, &bad[i], 0, 0, WAVE_FORMAT_QUERY));
    HWAVEIN in = reinterpret_cast<HWAVEIN>(0x1);
    EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in, 0, &bad[i], 0, 0, CALLBACK_NULL));
    EXPECT_EQ(nullptr, in);
    HWAVEOUT out = nullptr;
    EXPECT_EQ(WAVERR_BADFORMAT, waveOutOpen(&out, WAVE_MAPPER, &bad[i], 0, 0, CALLBACK_NULL));
    EXPECT_FALSE(va::InputOpen(0) || va::OutputOpen(0));
  }

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

  // A query opens nothing and needs no handle.
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_FALSE(va::InputOpen(0));
  EXPECT_TRUE(TakeMessages().empty());

  va::SetInputDevices({});
  EXPECT_EQ(0u, waveInGetNumDevs());
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
}

TEST_F(FrontTest, CapabilitiesDescribeTheDevicesAndTheMapperIsTheFirst) {
  va::SetInputDevices({"Desk microphone", "Line in"});
  va::SetOutputDevices({"Speakers", "Second"});
  EXPECT_EQ(2u, waveInGetNumDevs());
  EXPECT_EQ(2u, waveOutGetNumDevs());
  WAVEINCAPSA in{};
  ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(1, &in, sizeof in));
  EXPECT_STREQ("Line in", in.szPname);
  EXPECT_EQ(2, in.wChannels);
  EXPECT_TRUE(in.dwFormats & WAVE_FORMAT_4S16);
  for (UINT_PTR mapper : {static_cast<UINT_PTR>(WAVE_MAPPER), static_cast<UINT_PTR>(-1)}) {
    ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(mapper, &in, sizeof in));
    EXPECT_STREQ("Desk microphone", in.szPname);
  }
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInGetDevCapsA(2, &in, sizeof in));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInGetDevCapsA(0, nullptr, sizeof in));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInGetDevCapsA(0, &in, sizeof in - 1));

  WAVEOUTCAPSA out{};
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(0, &out, sizeof out));
  EXPECT_STREQ("Speakers", out.szPname);
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutGetDevCapsA(0, &out, sizeof(WAVEINCAPSA)));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveOutGetDevCapsA(2, &out, sizeof out));

  const WAVEFORMATEX f = Pcm(8000, 1, 16);
  HWAVEOUT first = nullptr, second = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&first, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
  EXPECT_TRUE(va::OutputOpen(0));
  EXPECT_FALSE(va::OutputOpen(1));
  EXPECT_EQ(MMSYSERR_ALLOCATED, waveOutOpen(&second, 0, &f, 0, 0, CALLBACK_NULL)) << "once only";
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(first));
  EXPECT_FALSE(va::OutputOpen(0));
}

TEST_F(FrontTest, DeviceNamesAreCutToThirtyOneBytesOnACharacterBoundary) {
  const std::string a30(30, 'a'), b31(31, 'b'), d27 = "abc" + std::string(27, 'd');
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {b31, b31},
      {b31 + "c", b31},
      {a30 + "\xC3\xA9", a30},         // é would straddle the end
      {a30 + "x\xC3\xA9", a30 + "x"},  // é starts after the end
      {d27 + "\xE2\x82\xAC", d27},     // € (3 bytes)
      {a30.substr(1) + "\xC3\xA9", a30.substr(1) + "\xC3\xA9"},
      {std::string(300, 'z'), std::string(31, 'z')},
  };
  for (const auto& [name, expected] : cases) {
    va::SetInputDevices({name});
    va::SetOutputDevices({name});
    WAVEINCAPSA in;
    std::memset(&in, 0x7F, sizeof in);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(0, &in, sizeof in));
    EXPECT_EQ(expected, std::string(in.szPname));
    EXPECT_EQ('\0', in.szPname[MAXPNAMELEN - 1]);
    WAVEOUTCAPSA out;
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(0, &out, sizeof out));
    EXPECT_EQ(expected, std::string(out.szPname));
  }
}

LRESULT CALLBACK IgnoringProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  return DefWindowProcA(w, m, wp, lp);
}

TEST_F(FrontTest, WindowCallbackPostsOpenDoneAndCloseToTheWindow) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = IgnoringProc;
  wc.lpszClassName = "VoxlWaveTestWindow";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, wc.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
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
  const UINT kinds[] = {MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(kinds[i], messages[i].message);
    EXPECT_EQ(window, messages[i].hwnd);
    EXPECT_EQ(reinterpret_cast<WPARAM>(out), messages[i].wParam);
  }
  EXPECT_EQ(reinterpret_cast<LPARAM>(&buffers[0]->header), messages[1].lParam);
  DestroyWindow(window);
  UnregisterClassA(wc.lpszClassName, nullptr);
}

TEST_F(FrontTest, EnvironmentOrTheFirstDriverWithADeviceServes) {
  ScopedEnv restore("VOXL_AUDIO_DRIVER", nullptr);
  ASSERT_TRUE(SelectDriverForTesting(nullptr));
  const std::string name = VoxlWaveDriverName(), reason = VoxlWaveDriverReason();
  if (name == "virtual") {
    EXPECT_EQ("no alsa device found; the built-in virtual devices serve", reason);
  } else {
    EXPECT_EQ("alsa", name);
    EXPECT_EQ("the first driver that found a device", reason);
  }

  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  ASSERT_TRUE(SelectDriverForTesting(nullptr));
  EXPECT_STREQ("virtual", VoxlWaveDriverName());
  EXPECT_STREQ("VOXL_AUDIO_DRIVER=virtual", VoxlWaveDriverReason());

  EXPECT_FALSE(SelectDriverForTesting("oss"));
  EXPECT_STREQ("virtual", VoxlWaveDriverName()) << "an unknown name changes nothing";

  setenv("VOXL_AUDIO_DRIVER", "oss", 1);
  ASSERT_TRUE(SelectDriverForTesting(nullptr));
  EXPECT_EQ(0u, std::string(VoxlWaveDriverReason())
                    .find("VOXL_AUDIO_DRIVER=oss names no driver (alsa, virtual); "));
  SelectDriverForTesting("virtual");
}

}  // namespace
}  // namespace voxl::wave::testing
