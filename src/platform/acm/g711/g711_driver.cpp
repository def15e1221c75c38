// The G.711 drivers (CodecDriver kALawDriver, tag 6, and kMuLawDriver, tag 7): 8-bit codes,
// one byte per sample and channel, to and from 16-bit PCM of the same rate and channels, with
// the library's own kernel (g711.h).  Every sample stands alone, so BLOCKALIGN, START and END
// change nothing: whole frames are converted and a partial frame stays with the caller.
#include <algorithm>

#include "platform/acm/acm_driver.h"
#include "platform/acm/g711/g711.h"

namespace voxl::acm {
namespace {

constexpr DWORD kRates[] = {8000, 11025, 22050, 44100};
constexpr DWORD kMinRate = 1000;
constexpr DWORD kMaxRate = 192000;

void MakeLaw(WAVEFORMATEX* f, WORD tag, DWORD rate, WORD channels) {
  *f = WAVEFORMATEX{};
  f->wFormatTag = tag;
  f->nChannels = channels;
  f->nSamplesPerSec = rate;
  f->wBitsPerSample = 8;
  f->nBlockAlign = channels;
  f->nAvgBytesPerSec = rate * channels;
}

DWORD StandardFormatCount() {
  return std::size(kRates) * 2;
}

template <WORD Tag>
bool StandardFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (index >= StandardFormatCount() || capacity < sizeof(WAVEFORMATEX)) return false;
  MakeLaw(out, Tag, kRates[index / 2], static_cast<WORD>(1 + index % 2));
  return true;
}

// Extra bytes, when a file's record carries some, are ignored.
template <WORD Tag>
bool Accepts(const WAVEFORMATEX* f, DWORD size) {
  return size >= sizeof(WAVEFORMATEX) && sizeof(WAVEFORMATEX) + f->cbSize <= size &&
         f->wFormatTag == Tag && (f->nChannels == 1 || f->nChannels == 2) &&
         f->wBitsPerSample == 8 && f->nBlockAlign == f->nChannels &&
         f->nSamplesPerSec >= kMinRate && f->nSamplesPerSec <= kMaxRate &&
         f->nAvgBytesPerSec == f->nSamplesPerSec * f->nChannels;
}

template <WORD Tag>
bool SuggestFromPcm(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  if (capacity < sizeof(WAVEFORMATEX) || pcm->nChannels > 2 || pcm->nSamplesPerSec < kMinRate ||
      pcm->nSamplesPerSec > kMaxRate) {
    return false;
  }
  MakeLaw(out, Tag, pcm->nSamplesPerSec, pcm->nChannels);
  return true;
}

template <WORD Tag, bool Encode>
class LawStream final : public CodecStream {
 public:
  explicit LawStream(WORD channels) : channels_(channels) {}

  uint32_t MaxOutputBytes(uint32_t sourceBytes) const override {
    return Encode ? sourceBytes / (2 * channels_) * channels_
                  : sourceBytes / channels_ * 2 * channels_;
  }
  uint32_t SourceBytesFor(uint32_t outputBytes) const override {
    return Encode ? (outputBytes + channels_ - 1) / channels_ * 2 * channels_
                  : (outputBytes + 2 * channels_ - 1) / (2 * channels_) * channels_;
  }

  MMRESULT Convert(ConvertIo& io, DWORD) override {
    const uint32_t codeBytes =
        Encode ? std::min(io.srcBytes / 2, io.dstBytes) : std::min(io.srcBytes, io.dstBytes / 2);
    const uint32_t n = codeBytes - codeBytes % channels_;
    if constexpr (Encode) {
      (Tag == WAVE_FORMAT_ALAW ? LinearToALawBuffer : LinearToMuLawBuffer)(io.src, n, io.dst);
    } else {
      (Tag == WAVE_FORMAT_ALAW ? ALawToLinearBuffer : MuLawToLinearBuffer)(io.src, n, io.dst);
    }
    io.srcUsed = Encode ? 2 * n : n;
    io.dstUsed = Encode ? n : 2 * n;
    return MMSYSERR_NOERROR;
  }

 private:
  uint32_t channels_;
};

bool IsCounterpart(const WAVEFORMATEX* law, const WAVEFORMATEX* pcm) {
  return pcm->wFormatTag == WAVE_FORMAT_PCM && pcm->wBitsPerSample == 16 &&
         pcm->nChannels == law->nChannels && pcm->nSamplesPerSec == law->nSamplesPerSec;
}

template <WORD Tag>
std::unique_ptr<CodecStream> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  if (source->wFormatTag == Tag && IsCounterpart(source, dest)) {
    return std::make_unique<LawStream<Tag, false>>(source->nChannels);
  }
  if (dest->wFormatTag == Tag && IsCounterpart(dest, source)) {
    return std::make_unique<LawStream<Tag, true>>(dest->nChannels);
  }
  return nullptr;
}

}  // namespace

const CodecDriver kALawDriver = {
    WAVE_FORMAT_ALAW,          "A-Law",
    sizeof(WAVEFORMATEX),      ACMDRIVERDETAILS_SUPPORTF_CODEC,
    StandardFormatCount,       StandardFormat<WAVE_FORMAT_ALAW>,
    Accepts<WAVE_FORMAT_ALAW>, DescribeBasics,
    Pcm16Counterpart,          SuggestFromPcm<WAVE_FORMAT_ALAW>,
    Open<WAVE_FORMAT_ALAW>,
};

const CodecDriver kMuLawDriver = {
    WAVE_FORMAT_MULAW,          "mu-Law",
    sizeof(WAVEFORMATEX),       ACMDRIVERDETAILS_SUPPORTF_CODEC,
    StandardFormatCount,        StandardFormat<WAVE_FORMAT_MULAW>,
    Accepts<WAVE_FORMAT_MULAW>, DescribeBasics,
    Pcm16Counterpart,           SuggestFromPcm<WAVE_FORMAT_MULAW>,
    Open<WAVE_FORMAT_MULAW>,
};

}  // namespace voxl::acm
