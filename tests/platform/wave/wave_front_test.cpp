// The wave front end: argument and handle checks, formats, capabilities, WAVE_MAPPER, buffer
// bookkeeping and the choice of the serving driver.
#include <cstring>
#include <string>

#include "wave_fixture.h"

namespace voxl::wave::testing {
namespace {

namespace va = voxl::virtualaudio;

using FrontTest = WaveTest;

// Made-up and closed handles are refused, not followed (a closed one stays invalid after another
// device opens); a header prepared on one device is unprepared for another; a queued header is
// never linked twice, even when the caller cleared its flags, and reset returns it done.
TEST_F(FrontTest, HandlesAndHeadersAreCheckedNotFollowed) {
  Buffer b(400);
  WAVEHDR* h = &b.header;
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInStart(reinterpret_cast<HWAVEIN>(0x1234)));
  va::SetInputDevices({"A", "B"});
  const WAVEFORMATEX f = Pcm(8000, 2, 16);
  HWAVEIN in = nullptr, again = nullptr, other = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&in, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutReset(reinterpret_cast<HWAVEOUT>(in))) << "not output";
  ASSERT_EQ(MMSYSERR_NOERROR, waveInClose(in));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&again, 0, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInStart(in));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&other, 1, &f, 0, 0, CALLBACK_NULL));
  ASSERT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(again, h, sizeof *h));
  EXPECT_EQ(WAVERR_UNPREPARED, waveInAddBuffer(other, h, sizeof *h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(again, h, sizeof *h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(again) | waveInClose(other));

  HWAVEOUT out = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&out, 0, &f, 0, 0, CALLBACK_NULL));
  Buffer tiny(3);  // smaller than one block
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, &tiny.header, sizeof(WAVEHDR)));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutPrepareHeader(out, h, sizeof(WAVEHDR) - 1));
  EXPECT_EQ(WAVERR_UNPREPARED, waveOutWrite(out, h, sizeof *h));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPrepareHeader(out, h, sizeof *h));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(out));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(out, h, sizeof *h));
  h->dwFlags = WHDR_PREPARED;  // the caller's mistake must not link the header twice
  EXPECT_EQ(WAVERR_STILLPLAYING, waveOutWrite(out, h, sizeof *h));
  h->dwFlags |= WHDR_INQUEUE;
  EXPECT_EQ(WAVERR_STILLPLAYING, waveOutUnprepareHeader(out, h, sizeof *h));
  EXPECT_EQ(WAVERR_STILLPLAYING, waveOutClose(out));
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutReset(out));
  EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, h->dwFlags);
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutUnprepareHeader(out, h, sizeof *h));
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(out));
}

// Formats the devices cannot take are refused by query and open alike, leaving nothing open; a
// query needs no handle and opens nothing.
TEST_F(FrontTest, OpenRefusesBadFormatsAndArguments) {
  const WAVEFORMATEX bad[] = {Pcm(8000, 1, 16, 0x55),
                              Pcm(8000, 3, 16),
                              Pcm(8000, 1, 24),
                              Pcm(999, 1, 16),  // below the devices' rates
                              With(Pcm(8000, 2, 16), [](auto& f) { f.nBlockAlign = 2; }),
                              With(Pcm(8000, 1, 16), [](auto& f) { f.nAvgBytesPerSec = 1; })};
  for (size_t i = 0; i < std::size(bad); ++i) {
    HWAVEIN in = reinterpret_cast<HWAVEIN>(0x1);
    EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(nullptr, 0, &bad[i], 0, 0, WAVE_FORMAT_QUERY)) << i;
    EXPECT_EQ(WAVERR_BADFORMAT, waveInOpen(&in, 0, &bad[i], 0, 0, CALLBACK_NULL)) << i;
    EXPECT_EQ(nullptr, in);
    EXPECT_FALSE(va::InputOpen(0));
  }
  const WAVEFORMATEX f = Pcm(44100, 2, 16);
  HWAVEIN in = nullptr;
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInOpen(&in, 0, nullptr, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInOpen(&in, 1, &f, 0, 0, CALLBACK_NULL));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInOpen(&in, 0, &f, 0, 0, CALLBACK_THREAD)) << "no thread";
  EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY));
  EXPECT_FALSE(va::InputOpen(0));
  EXPECT_TRUE(TakeMessages().empty());
  va::SetInputDevices({});
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
}

// Capabilities name each device, cut to 31 bytes on a character boundary, and the mapper is the
// first; a device opens once only.
TEST_F(FrontTest, CapabilitiesNameTheDevicesAndADeviceOpensOnce) {
  const std::string a30(30, 'a'), b31(31, 'b'), d27 = "abc" + std::string(27, 'd');
  const std::pair<std::string, std::string> cases[] = {
      {b31 + "c", b31},
      {a30 + "\xC3\xA9", a30},                                   // é would straddle the end
      {d27 + "\xE2\x82\xAC", d27},                               // € (3 bytes)
      {a30.substr(1) + "\xC3\xA9", a30.substr(1) + "\xC3\xA9"},  // é ends at the end
  };
  for (const auto& [name, expected] : cases) {
    va::SetInputDevices({"Desk microphone", name});
    WAVEINCAPSA in;
    std::memset(&in, 0x7F, sizeof in);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(1, &in, sizeof in));
    EXPECT_EQ(expected, std::string(in.szPname));
    EXPECT_EQ('\0', in.szPname[MAXPNAMELEN - 1]);
  }
  WAVEINCAPSA in{};
  ASSERT_EQ(MMSYSERR_NOERROR, waveInGetDevCapsA(WAVE_MAPPER, &in, sizeof in));
  EXPECT_STREQ("Desk microphone", in.szPname);
  EXPECT_EQ(MMSYSERR_BADDEVICEID, waveInGetDevCapsA(2, &in, sizeof in));
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveInGetDevCapsA(0, nullptr, sizeof in));
  WAVEOUTCAPSA out{};
  EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutGetDevCapsA(0, &out, sizeof(WAVEINCAPSA)));

  const WAVEFORMATEX f = Pcm(8000, 1, 16);
  HWAVEOUT first = nullptr, second = nullptr;
  ASSERT_EQ(MMSYSERR_NOERROR, waveOutOpen(&first, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL));
  EXPECT_TRUE(va::OutputOpen(0));
  EXPECT_EQ(MMSYSERR_ALLOCATED, waveOutOpen(&second, 0, &f, 0, 0, CALLBACK_NULL)) << "once only";
  EXPECT_EQ(MMSYSERR_NOERROR, waveOutClose(first));
  EXPECT_FALSE(va::OutputOpen(0));
}

}  // namespace
}  // namespace voxl::wave::testing
