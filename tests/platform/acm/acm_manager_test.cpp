#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/acm/acm_chooser.h"
#include "platform/acm/acm_driver.h"
#include "platform/acm/g711/g711.h"
#include "support/codec.h"

namespace voxl::acm {
namespace {

using test::AsFormat;
using test::FormatBytes;
using test::Pcm;

// Every standard format of every driver, as the format services list them.
std::vector<FormatBytes> AllStandardFormats() {
  std::vector<FormatBytes> all;
  ACMFORMATTAGDETAILSA tag{};
  tag.cbStruct = sizeof tag;
  for (tag.dwFormatTagIndex = 0; acmFormatTagDetailsA(nullptr, &tag, 0) == 0;
       ++tag.dwFormatTagIndex) {
    for (DWORD i = 0; i < tag.cStandardFormats; ++i) {
      FormatBytes f(tag.cbFormatSize);
      ACMFORMATDETAILSA d{};
      d.cbStruct = sizeof d, d.dwFormatTag = tag.dwFormatTag, d.dwFormatIndex = i;
      d.pwfx = reinterpret_cast<WAVEFORMATEX*>(f.data()), d.cbwfx = tag.cbFormatSize;
      if (acmFormatDetailsA(nullptr, &d, ACM_FORMATDETAILSF_INDEX) == 0) all.push_back(f);
    }
  }
  return all;
}

// The lossy codecs' signal-to-noise floors (dB) for a round trip; the others give exactly what
// Reference says.  MPEG Layer-3 below 24 kbit/s per channel keeps too little to bound.
const std::map<WORD, double> kSnrFloorDb = {
    {WAVE_FORMAT_IMA_ADPCM, 17}, {WAVE_FORMAT_ADPCM, 25}, {WAVE_FORMAT_GSM610, 12}, {0x55, 20}};

// Frames in one block: the samples-per-block word of the block codecs, a frame of MPEG audio.
uint32_t FramesPerBlock(const WAVEFORMATEX& f) {
  if (f.wFormatTag == WAVE_FORMAT_MPEGLAYER3) return f.nSamplesPerSec >= 32000 ? 1152 : 576;
  if (f.wFormatTag == WAVE_FORMAT_PCM || f.cbSize < 2) return 1;
  WORD spb;
  std::memcpy(&spb, reinterpret_cast<const uint8_t*>(&f) + sizeof f, 2);
  return spb;
}

// What the exact codecs give back for a sample of `f`.
int Reference(const WAVEFORMATEX& f, int16_t s) {
  if (f.wFormatTag == WAVE_FORMAT_ALAW) return ALawToLinear(LinearToALaw(s));
  if (f.wFormatTag == WAVE_FORMAT_MULAW) return MuLawToLinear(LinearToMuLaw(s));
  return f.wBitsPerSample != 8 ? s : (std::min((s + 32896) >> 8, 255) - 128) * 256;
}

class StandardFormatRoundTrip : public ::testing::TestWithParam<FormatBytes> {};

// Encoding goes the way a run does (BLOCKALIGN pieces, END with the rest), so the sizes show that
// a partial block waits for the next call and the last one is encoded as one more block.
TEST_P(StandardFormatRoundTrip, EncodesAndDecodesWholeBlocksWithinBounds) {
  const FormatBytes& format = GetParam();
  const WAVEFORMATEX& f = AsFormat(format);
  const bool mp3 = f.wFormatTag == WAVE_FORMAT_MPEGLAYER3;
  const uint32_t block = FramesPerBlock(f);
  const uint32_t frames = f.nSamplesPerSec * 3 / 10 + 37;
  const std::vector<int16_t> in = test::MusicLike(f.nSamplesPerSec, f.nChannels, frames);
  const auto encoded = test::Encode(format, in);
  ASSERT_TRUE(encoded);
  const auto out = test::Decode(format, *encoded);
  ASSERT_TRUE(out);
  const uint32_t outFrames = static_cast<uint32_t>(out->size() / f.nChannels);
  const uint32_t whole = (frames + block - 1) / block * block;
  if (!mp3) {
    EXPECT_EQ(outFrames, whole);
    EXPECT_EQ(encoded->size(), block > 1 ? whole / block * f.nBlockAlign : encoded->size());
  } else {
    EXPECT_GE(outFrames, frames);
    EXPECT_LE(outFrames, whole + 2 * block);
  }
  if (!kSnrFloorDb.contains(f.wFormatTag)) {
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ((*out)[i], Reference(f, in[i])) << i;
  } else if (!mp3 || f.nAvgBytesPerSec / f.nChannels >= 3000) {
    EXPECT_GE(test::SnrDb(in, *out, f.nChannels, mp3 ? 2400 : 0), kSnrFloorDb.at(f.wFormatTag));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryDriver, StandardFormatRoundTrip,
                         ::testing::ValuesIn(AllStandardFormats()), [](const auto& info) {
                           return "tag" + std::to_string(AsFormat(info.param).wFormatTag) + "_" +
                                  std::to_string(info.index);
                         });

// Refusals of the manager, on an open stream with a prepared header.  Closing the stream with
// the header still prepared lets both go.
TEST(Manager, RefusesWhatItCannotDo) {
  const int streams0 = OpenStreamsForTesting(), headers0 = PreparedHeadersForTesting();
  WAVEFORMATEX law = Pcm(8000, 1, 8, WAVE_FORMAT_ALAW), pcm = Pcm(8000, 1, 16);
  HACMSTREAM s = nullptr;
  uint8_t src[64] = {}, dst[32] = {};
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h, h.pbSrc = src, h.cbSrcLength = 64, h.pbDst = dst, h.cbDstLength = 32;
  ASSERT_EQ(acmStreamOpen(&s, nullptr, &pcm, &law, nullptr, 0, 0, 0), 0);
  ASSERT_EQ(acmStreamPrepareHeader(s, &h, 0), 0);
  WAVEFORMATEX mu = Pcm(8000, 1, 8, WAVE_FORMAT_MULAW), pcm22 = Pcm(22050, 1, 16),
               unknown = Pcm(8000, 1, 8, 0x1234), zero = law, extra = law;
  zero.nAvgBytesPerSec = 0, extra.cbSize = 2;
  auto query = [](WAVEFORMATEX& a, WAVEFORMATEX& b, HACMSTREAM* out = nullptr) {
    return acmStreamOpen(out, nullptr, &a, &b, nullptr, 0, 0, out ? 0 : ACM_STREAMOPENF_QUERY);
  };
  auto details = [](WAVEFORMATEX& f, DWORD size) {
    ACMFORMATDETAILSA d{};
    d.cbStruct = sizeof d, d.dwFormatTag = f.wFormatTag, d.pwfx = &f, d.cbwfx = size;
    return acmFormatDetailsA(nullptr, &d, ACM_FORMATDETAILSF_FORMAT);
  };
  ACMSTREAMHEADER unprepared = h;
  auto convertLonger = [&] {
    h.cbDstLength = 33;
    const MMRESULT r = acmStreamConvert(s, &h, 0);
    h.cbDstLength = 32;
    return r;
  };
  HACMSTREAM closed = nullptr;
  query(pcm, law, &closed);
  acmStreamClose(closed, 0);
  const struct {
    MMRESULT result, expected;
    const char* what;
  } rows[] = {
      {query(law, mu), ACMERR_NOTPOSSIBLE, "two compressed formats"},
      {query(pcm22, law), ACMERR_NOTPOSSIBLE, "PCM of another rate"},
      {query(zero, pcm), ACMERR_NOTPOSSIBLE, "zero byte rate"},
      {details(unknown, 18), ACMERR_NOTPOSSIBLE, "unknown tag"},
      {details(extra, 19), MMSYSERR_INVALPARAM, "cbSize past the record"},
      {acmStreamConvert(s, &unprepared, 0), ACMERR_UNPREPARED, "unprepared header"},
      {convertLonger(), MMSYSERR_INVALPARAM, "longer than prepared"},
      {acmStreamConvert(closed, &h, 0), MMSYSERR_INVALHANDLE, "closed handle"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.result, row.expected) << row.what;
  EXPECT_EQ(acmStreamConvert(s, &h, 0), 0);
  EXPECT_EQ(h.cbSrcLengthUsed, 64u);
  EXPECT_EQ(h.fdwStatus, ACMSTREAMHEADER_STATUSF_PREPARED | ACMSTREAMHEADER_STATUSF_DONE);
  EXPECT_EQ(acmStreamClose(s, 0), 0);
  EXPECT_EQ(OpenStreamsForTesting(), streams0);
  EXPECT_EQ(PreparedHeadersForTesting(), headers0);
}

// The terminal chooser: one tag's formats, the current one marked; junk and numbers out of range
// are asked again, an empty line, "q" or the end cancels.  (A host's own chooser: the format
// method tests.)
TEST(Chooser, TerminalListsOneTagByNumber) {
  WAVEFORMATEX only = Pcm(8000, 1, 8, WAVE_FORMAT_ALAW),
               current = Pcm(8000, 2, 8, WAVE_FORMAT_ALAW);
  uint8_t format[64] = {};
  std::memcpy(format, &current, sizeof current);
  ACMFORMATCHOOSEA c{};
  c.cbStruct = sizeof c, c.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
  c.pwfx = reinterpret_cast<WAVEFORMATEX*>(format), c.cbwfx = 64;
  c.fdwEnum = ACM_FORMATENUMF_WFORMATTAG, c.pwfxEnum = &only;
  for (const char* input : {"\n", "q\n", "x\n", "9\n0\n3\n"}) {
    char out[2048] = {};
    FILE* in = fmemopen(const_cast<char*>(input), std::strlen(input), "r");
    FILE* text = fmemopen(out, sizeof out - 1, "w");
    const MMRESULT r = ChooseFormatOnTerminal(&c, in, text);
    std::fclose(in);
    std::fclose(text);
    EXPECT_NE(std::strstr(out, "2. A-Law: 8000 Hz, 8 Bit, Stereo  (current)\n"), nullptr);
    EXPECT_EQ(std::strstr(out, "mu-Law"), nullptr);
    EXPECT_EQ(r, std::strlen(input) > 3 ? 0u : ACMERR_CANCELED) << input;
  }
  const WAVEFORMATEX third = Pcm(11025, 1, 8, WAVE_FORMAT_ALAW);
  EXPECT_EQ(std::memcmp(format, &third, sizeof third), 0);
  EXPECT_STREQ(c.szFormatTag, "A-Law");
  EXPECT_STREQ(c.szFormat, "11025 Hz, 8 Bit, Mono");
}

}  // namespace
}  // namespace voxl::acm
