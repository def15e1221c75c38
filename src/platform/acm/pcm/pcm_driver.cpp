// The PCM converter (CodecDriver kPcmDriver): between two PCM formats of one rate, 8 bits
// (unsigned) or 16 bits (signed), mono or stereo.  Mono becomes stereo by doubling the channel,
// stereo becomes mono by averaging the two; 16 bits become 8 by rounding to the nearest level.
// Rate conversion and more than two channels are left out: the recorder never asks for them.
#include <algorithm>
#include <cstring>

#include "platform/acm/acm_driver.h"

namespace voxl::acm {
namespace {

constexpr DWORD kRates[] = {8000, 11025, 22050, 44100, 48000};
constexpr DWORD kMinRate = 1000;
constexpr DWORD kMaxRate = 192000;

void MakePcm(WAVEFORMATEX* f, DWORD rate, WORD bits, WORD channels) {
  *f = WAVEFORMATEX{};
  f->wFormatTag = WAVE_FORMAT_PCM;
  f->nChannels = channels;
  f->nSamplesPerSec = rate;
  f->wBitsPerSample = bits;
  f->nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f->nAvgBytesPerSec = rate * f->nBlockAlign;
}

// Order: rate, then 8 before 16 bits, then mono before stereo.
DWORD StandardFormatCount() {
  return std::size(kRates) * 4;
}

bool StandardFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (index >= StandardFormatCount() || capacity < sizeof(WAVEFORMATEX)) return false;
  MakePcm(out, kRates[index / 4], (index & 2) != 0 ? 16 : 8, (index & 1) != 0 ? 2 : 1);
  return true;
}

// The extra bytes of a PCM record are ignored, so cbSize is not read against `size`.
bool Accepts(const WAVEFORMATEX* f, DWORD size) {
  return size >= sizeof(WAVEFORMATEX) && f->wFormatTag == WAVE_FORMAT_PCM &&
         (f->nChannels == 1 || f->nChannels == 2) &&
         (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) && f->nSamplesPerSec >= kMinRate &&
         f->nSamplesPerSec <= kMaxRate && f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8 &&
         f->nAvgBytesPerSec == f->nSamplesPerSec * f->nBlockAlign;
}

bool SuggestFromPcm(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  if (capacity < sizeof(WAVEFORMATEX)) return false;
  Pcm16Counterpart(pcm, out);
  return true;
}

int ReadSample(const uint8_t* p, bool wide) {
  if (!wide) return (static_cast<int>(*p) - 128) * 256;
  int16_t s;
  std::memcpy(&s, p, 2);
  return s;
}

void WriteSample(uint8_t* p, int s, bool wide) {
  if (wide) {
    const auto v = static_cast<int16_t>(s);
    std::memcpy(p, &v, 2);
  } else {
    *p = static_cast<uint8_t>(std::min((s + 32768 + 128) >> 8, 255));
  }
}

class PcmStream final : public CodecStream {
 public:
  PcmStream(const WAVEFORMATEX& src, const WAVEFORMATEX& dst)
      : srcAlign_(src.nBlockAlign),
        dstAlign_(dst.nBlockAlign),
        srcWide_(src.wBitsPerSample == 16),
        dstWide_(dst.wBitsPerSample == 16),
        srcChannels_(src.nChannels),
        dstChannels_(dst.nChannels) {}

  uint32_t MaxOutputBytes(uint32_t sourceBytes) const override {
    return sourceBytes / srcAlign_ * dstAlign_;
  }
  uint32_t SourceBytesFor(uint32_t outputBytes) const override {
    return (outputBytes + dstAlign_ - 1) / dstAlign_ * srcAlign_;
  }

  // Whole frames only, with or without BLOCKALIGN; a partial frame stays with the caller.
  MMRESULT Convert(ConvertIo& io, DWORD) override {
    const uint32_t frames = std::min(io.srcBytes / srcAlign_, io.dstBytes / dstAlign_);
    const uint32_t srcStep = srcWide_ ? 2 : 1;
    const uint32_t dstStep = dstWide_ ? 2 : 1;
    for (uint32_t i = 0; i < frames; ++i) {
      const uint8_t* in = io.src + i * srcAlign_;
      uint8_t* out = io.dst + i * dstAlign_;
      const int left = ReadSample(in, srcWide_);
      const int right = srcChannels_ == 2 ? ReadSample(in + srcStep, srcWide_) : left;
      if (dstChannels_ == 1) {
        // Floor of the mean, so that 16-bit extremes stay in range.
        WriteSample(out, srcChannels_ == 2 ? (left + right) >> 1 : left, dstWide_);
      } else {
        WriteSample(out, left, dstWide_);
        WriteSample(out + dstStep, right, dstWide_);
      }
    }
    io.srcUsed = frames * srcAlign_;
    io.dstUsed = frames * dstAlign_;
    return MMSYSERR_NOERROR;
  }

 private:
  uint32_t srcAlign_, dstAlign_;
  bool srcWide_, dstWide_;
  WORD srcChannels_, dstChannels_;
};

std::unique_ptr<CodecStream> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  if (source->wFormatTag != WAVE_FORMAT_PCM || dest->wFormatTag != WAVE_FORMAT_PCM ||
      source->nSamplesPerSec != dest->nSamplesPerSec) {
    return nullptr;
  }
  return std::make_unique<PcmStream>(*source, *dest);
}

}  // namespace

const CodecDriver kPcmDriver = {
    WAVE_FORMAT_PCM,
    "PCM",
    sizeof(WAVEFORMATEX),
    ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
    StandardFormatCount,
    StandardFormat,
    Accepts,
    DescribeBasics,
    Pcm16Counterpart,
    SuggestFromPcm,
    Open,
};

}  // namespace voxl::acm
