// The chosen format and the conversion set: byte lists and their bounds, the set built with every
// failure releasing what it took, bad records refused unread, the chooser, and a recording in
// each codec's standard format read back by ffprobe and ffmpeg.
#include "api/recorder_methods.h"
#include "engine/capture_fixture.h"
#include "formats/format_methods.h"
#include "platform/acm/acm_driver.h"

namespace voxl {
namespace {

using namespace testing;

HRESULT Put(Recorder& r, const Bytes& bytes, LONG lower = 0, VARTYPE elements = VT_UI1) {
  VARIANT v{VT_ARRAY | VT_UI1, 0, 0, 0, {}};
  v.parray = SafeArrayCreateVector(elements, lower, ULONG(bytes.size()));
  if (elements == VT_UI1 && !bytes.empty())
    std::memcpy(v.parray->pvData, bytes.data(), bytes.size());
  const HRESULT answer = PutFormat(r, v);
  VariantClear(&v);
  return answer;
}

Bytes Get(Recorder& r) {
  VARIANT v{};
  EXPECT_EQ(GetFormat(r, &v), 0);
  const auto* data = static_cast<const uint8_t*>(v.parray->pvData);
  Bytes out(data, data + v.parray->rgsabound[0].cElements);
  VariantClear(&v);
  return out;
}

std::string Text(uint32_t (*method)(Recorder&, BSTR*, uint16_t*), Recorder& r, uint16_t* error) {
  BSTR text = nullptr;
  method(r, &text, error);
  std::string out(text, text + SysStringLen(text));
  SysFreeString(text);
  return out;
}

// The host's chooser: answers with gAnswer (cancels when empty) and keeps the title it saw.
Bytes gAnswer;
std::string gTitle;
MMRESULT WINAPI AnswerChooser(LPACMFORMATCHOOSEA choose, void*) {
  gTitle = choose->pszTitle != nullptr ? choose->pszTitle : "";
  if (gAnswer.empty() || gAnswer.size() > choose->cbwfx) return ACMERR_CANCELED;
  std::memcpy(choose->pwfx, gAnswer.data(), gAnswer.size());
  return 0;
}

class FormatTest : public RecorderTest {
 protected:
  void SetUp() override { RecorderTest::SetUp(), VoxlSetFormatChooser(AnswerChooser, nullptr); }
  void TearDown() override { VoxlSetFormatChooser(nullptr, nullptr); }
  // Puts `format` and builds the conversion set for it; the error of the set-up.
  uint16_t Build(const Bytes& format) {
    uint16_t error = 0;
    Put(r(), format);
    SetUpConversion(r(), &error);
    return error;
  }
};

// A 20-byte format put at lower bound 1 over a 50-byte one keeps the 50-byte buffer and its last
// 30 bytes; 17 elements are ignored, 18 stored; what GetFormat gives back stores the same bytes.
TEST_F(FormatTest, ByteListsFillABufferThatNeverShrinks) {
  const Bytes adpcm = test::SuggestFormat(WAVE_FORMAT_ADPCM, 8000, 1),
              ima = test::SuggestFormat(0x11, 8000, 1);
  ASSERT_EQ(std::pair(adpcm.size(), ima.size()), std::pair(size_t(50), size_t(20)));
  uint16_t error = 1;
  EXPECT_EQ(std::pair(Text(GetFormatText, r(), &error), error),
            std::pair(std::string("[Not Set]"), uint16_t(0)));
  EXPECT_EQ(Get(r()), Bytes{0});
  EXPECT_EQ(Put(r(), adpcm) | Put(r(), ima, 1) | Put(r(), Bytes(17, 0xEE)), 0);
  Bytes expected = adpcm;
  std::copy(ima.begin(), ima.end(), expected.begin());
  EXPECT_EQ(Put(r(), Get(r())), 0);
  EXPECT_EQ(std::pair(r().chosenFormatSize, Get(r())), std::pair(50, expected));
  EXPECT_EQ(Put(r(), Bytes(18, 0xEE)), 0);
  std::fill_n(expected.begin(), 18, 0xEE);
  VARIANT number{VT_I4, 0, 0, 0, {}};
  EXPECT_EQ(PutFormat(r(), number) + Put(r(), Bytes(20), 0, VT_VARIANT), 2);  // not byte lists
  EXPECT_EQ(Get(r()), expected);
}

// Size 17 has no target, 18 is one: a PCM target of 18 bytes gets cbSize 0 and its sample
// width from its byte rate.
TEST_F(FormatTest, PcmTargetIsCorrected) {
  r().chosenFormat = static_cast<WAVEFORMATEX*>(std::calloc(1, r().chosenFormatSize = 17));
  uint16_t error = 0;
  SetUpConversion(r(), &error);
  EXPECT_EQ(error, ErrNoTargetFormat);
  const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 22050, 88200, 4, 16, 7};
  const auto* p = reinterpret_cast<const uint8_t*>(&pcm);
  ASSERT_EQ(Build(Bytes(p, p + 18)), ErrNone);
  EXPECT_EQ(std::tuple(r().fileFormatSize, r().fileFormat->wBitsPerSample, r().fileFormat->cbSize),
            std::tuple(18, 16, 0));
  EXPECT_EQ(std::tuple(r().pcmBlockBytes, r().encodedBlockBytes, r().samplesPerBlock),
            std::tuple(8820u, 8820u, 1.0));
  ReleaseConversion(r());
}

// Each failing call of the codec manager, in turn, refuses with 5 and leaves no stream open, no
// header prepared and no set; a read-only set opens only the decode side.
TEST_F(FormatTest, EveryFailureOfTheSetUpReleasesWhatItTook) {
  const Bytes ima = test::SuggestFormat(0x11, 22050, 2);
  for (const int readOnly : {0, 1}) {
    r().readOnly = uint16_t(readOnly);
    for (const auto& [kind, failures] : {std::pair(acm::Call::StreamOpen, 4 - readOnly),
                                         std::pair(acm::Call::StreamSize, 2 - readOnly),
                                         std::pair(acm::Call::PrepareHeader, 2 - readOnly),
                                         std::pair(acm::Call::FormatSuggest, 0)}) {
      int refused = 0;
      for (int callsBefore = 0; callsBefore < 6; ++callsBefore) {
        acm::FailCallForTesting(kind, callsBefore);
        const uint16_t error = Build(ima);
        acm::LiftFaultsForTesting();
        refused += error == ErrFormatUnusable;
        EXPECT_EQ(std::tuple(acm::OpenStreamsForTesting(), acm::PreparedHeadersForTesting(),
                             r().compressed == 1u, r().encodeHeader.pbSrc != nullptr),
                  std::tuple(0, 0, error == ErrNone, error == ErrNone && readOnly == 0));
        OpenConversionStreams(r());
        EXPECT_EQ(acm::OpenStreamsForTesting() + acm::PreparedHeadersForTesting(),
                  error == ErrNone ? 4 - 2 * readOnly : 0);
        CloseConversionStreams(r());
        ReleaseConversion(r());
      }
      EXPECT_EQ(refused, failures) << int(kind) << " readOnly " << readOnly;
    }
  }
}

// Records that no codec takes, or whose cbSize claims bytes past their buffer, are refused with
// 5 from a byte list (at set-up) and from the chooser; nothing reads past them (ASan).
TEST_F(FormatTest, BadRecordsAreRefusedUnread) {
  const Bytes ima = test::SuggestFormat(0x11, 8000, 1);
  const auto with = [&](size_t at, uint32_t value, size_t bytes) {
    Bytes b = ima;
    std::memcpy(&b[at], &value, bytes);
    return b;
  };
  for (const Bytes& bad :
       {with(8, 0, 4), with(2, 0, 2), with(12, 0, 2), with(4, 0xFFFFFFFF, 4), with(2, 60000, 2),
        with(0, 0x1234, 2), with(16, 3, 2), with(16, 200, 2)}) {
    EXPECT_EQ(Build(bad), ErrFormatUnusable);
    if (bad[16] == 3) continue;  // three extra bytes fit the chooser's larger buffer
    gAnswer = bad;
    uint16_t error = 0;
    const auto before = Get(r());
    ChooseFormat(r(), 0, nullptr, &error);
    EXPECT_EQ(std::pair(error, Get(r())), std::pair(uint16_t(ErrFormatUnusable), before));
  }
}

// The chooser's MPEG Layer-3 answer gets cbSize 12; a cancel is 15; an over-long title is cut at
// a character boundary; without a file there is no file format to describe.
TEST_F(FormatTest, ChooserAnswersAreStoredAndDescribed) {
  gAnswer = test::SuggestFormat(WAVE_FORMAT_MPEGLAYER3, 44100, 2);
  gAnswer[16] = 0;
  std::u16string title(200, u'\u00e9');
  BSTR wide = SysAllocStringLen(title.data(), UINT(title.size()));
  uint16_t error = 1;
  ChooseFormat(r(), 0, wide, &error);
  SysFreeString(wide);
  EXPECT_EQ(std::tuple(error, gTitle.size(), r().chosenFormat->cbSize), std::tuple(0, 298u, 12));
  const std::string tag = acm::DriverForTag(WAVE_FORMAT_MPEGLAYER3)->tagName;
  EXPECT_EQ(Text(GetFormatText, r(), &error).rfind(tag + ": ", 0), 0u);
  EXPECT_EQ(std::pair(Text(GetFileFormatText, r(), &error), error),
            std::pair(std::string("[Unavailable]"), uint16_t(ErrNeedsOpen)));
  gAnswer.clear();
  ChooseFormatOfTag(r(), 0, nullptr, WAVE_FORMAT_MPEGLAYER3, &error);
  EXPECT_EQ(std::pair(error, gTitle), std::pair(uint16_t(ErrChooserCancelled), std::string()));
}

struct CodecCase {
  const char* codec;  // as ffprobe names it
  WORD tag;
  uint16_t channels;
  uint32_t rate;
};

class CompressedRecordingTest : public CaptureTest,
                                public ::testing::WithParamInterface<CodecCase> {};

// 1.3 s, not a whole number of blocks, then 0.5 s inserted in the middle: the last partial block
// of each run is encoded, so the "fact" count (which ffprobe reports) holds every recorded frame
// and at most a block more per run, and is exactly what ffmpeg decodes; the data chunk holds all
// the host was given.  An MPEG Layer-3 stream also holds the encoder's delay, which ffmpeg
// plays: the count of the first run leaves it out, the inserted run's holds its own.
TEST_P(CompressedRecordingTest, PeersFindEveryRecordedFrame) {
  const CodecCase& c = GetParam();
  ASSERT_EQ(Put(r(), test::SuggestFormat(c.tag, c.rate, c.channels)), 0);
  const std::string path = File("rec.wav");
  Open({100, c.channels, c.rate}, path);
  StartRecording();
  Complete(7), Complete(6);
  StopRecording();
  kRecorderMethods.SetPosition(ToHost(&r()), int32_t(r().length / 2));
  r().insertMode = 1;
  RecordBuffers(5);
  const int64_t recorded = 18 * (r().pcmFormat.nAvgBytesPerSec / 10 / r().pcmFormat.nBlockAlign);
  const bool mp3 = c.tag == WAVE_FORMAT_MPEGLAYER3;
  const double perBlock = 2 * (mp3 ? 2 * 1152 : r().samplesPerBlock);
  const size_t delivered = Delivered().size();
  ASSERT_FALSE(gBlockFormats.empty());
  EXPECT_EQ(gBlockFormats[0].size(), size_t(r().fileFormatSize));
  CloseRecording();

  const auto wave = test::ParseWave(path);
  ASSERT_TRUE(wave && wave->factFrames);
  const int64_t fact = *wave->factFrames;
  EXPECT_EQ(wave->data.size(), delivered);
  EXPECT_TRUE(fact >= recorded && fact < recorded + perBlock) << fact << " of " << recorded;
  const std::string quoted = test::ShellQuote(path);
  EXPECT_EQ(test::RunCommand("ffprobe -v error -show_entries stream=codec_name,duration_ts -of "
                             "default=nw=1 " +
                             quoted)
                .output,
            "codec_name=" + std::string(c.codec) + "\nduration_ts=" + std::to_string(fact) + "\n");
  const std::string pcm = test::RunCommand("ffmpeg -v error -i " + quoted + " -f s16le -").output;
  EXPECT_NEAR(double(pcm.size() / 2 / c.channels), double(fact), mp3 ? 1105 + 1151 : 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, CompressedRecordingTest,
                         ::testing::Values(CodecCase{"adpcm_ima_wav", 0x11, 2, 22050},
                                           CodecCase{"adpcm_ms", WAVE_FORMAT_ADPCM, 1, 8000},
                                           CodecCase{"gsm_ms", WAVE_FORMAT_GSM610, 1, 8000},
                                           CodecCase{"mp3", WAVE_FORMAT_MPEGLAYER3, 2, 44100},
                                           CodecCase{"pcm_alaw", WAVE_FORMAT_ALAW, 1, 8000},
                                           CodecCase{"pcm_mulaw", WAVE_FORMAT_MULAW, 2, 8000}),
                         [](const auto& info) { return std::string(info.param.codec); });

class Mp3LengthTest : public CaptureTest {};

// An MPEG Layer-3 recording is as long as what was recorded: its length, the "fact" count and
// the length it opens with are the frames recorded; our decoder gives them from the first
// recorded frame on, and a headerless recording starts with an Info frame by which mpg123 and
// ffmpeg decode exactly those frames, from the first one too.
TEST_F(Mp3LengthTest, RecordingsHoldExactlyTheFramesRecorded) {
  const CaptureFormat f{100, 2, 44100};
  const uint32_t recorded = 13 * 4410 + 777;
  const std::vector<int16_t> source = test::MusicLike(44100, 2, 20 * 4410);
  virtualaudio::Signal music;
  music.kind = virtualaudio::Signal::Kind::Callback;
  music.fill = [&](const WAVEFORMATEX&, uint64_t frame, void* data, size_t bytes) {
    std::memcpy(data, source.data() + frame * 2, bytes);
  };
  virtualaudio::SetInputSignal(0, music);
  const auto aligned = [&](const std::vector<int16_t>& decoded) {
    size_t lag = 99;
    const std::vector<int16_t> head(source.begin(), source.begin() + recorded * 2);
    const double snr = test::SnrDb(head, decoded, 2, 1500, 0, &lag);
    return std::pair(lag, snr > 20.0);
  };
  for (const int16_t kind : {0, 1}) {
    SCOPED_TRACE(kind);
    const Bytes format = test::SuggestFormat(WAVE_FORMAT_MPEGLAYER3, 44100, 2);
    ASSERT_EQ(Put(r(), format), 0);
    r().fileKind = kind;
    const std::string path = File(kind == 0 ? "m.wav" : "m.mp3");
    Open(f, path);
    StartRecording();
    Complete(13);
    ASSERT_EQ(virtualaudio::DeliverInputFrames(WAVE_MAPPER, 777), 777u);
    StopRecording();
    EXPECT_EQ(r().length, recorded);
    CloseRecording();

    r().fileKind = kind == 0 ? 0 : 2;
    OpenRecording(path);
    EXPECT_EQ(r().length, recorded);
    CloseRecording();
    r().fileKind = 0;
    if (kind == 0) {
      const auto wave = test::ParseWave(path);
      ASSERT_TRUE(wave && wave->factFrames);
      EXPECT_EQ(*wave->factFrames, recorded);
      EXPECT_EQ(aligned(test::Decode(format, wave->data).value_or(std::vector<int16_t>{})),
                std::pair(size_t{0}, true));
      continue;
    }
    const std::string quoted = test::ShellQuote(path);
    for (const std::string& peer :
         {"mpg123 -q -s " + quoted, "ffmpeg -v error -i " + quoted + " -f s16le -"}) {
      SCOPED_TRACE(peer);
      const std::vector<int16_t> decoded = PeerSamples(peer);
      EXPECT_EQ(decoded.size(), size_t{recorded} * 2);
      EXPECT_EQ(aligned(decoded), std::pair(size_t{0}, true));
    }
  }
}

}  // namespace
}  // namespace voxl
