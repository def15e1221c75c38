// The PCM converters (CodecDriver kPcmDriver, kFloatDriver, kExtensibleDriver): between two
// linear sample layouts of one rate, in either direction.
//
// Layouts: integer PCM of 8 (unsigned), 16, 24 or 32 bits (tag 1), IEEE float of 32 or 64 bits
// (tag 3), and both inside WAVE_FORMAT_EXTENSIBLE (tag 0xFFFE, subformat PCM or IEEE float; the
// valid-bits word and the channel mask are read past, the samples are taken by their container
// size), each with 1 to 8 channels.  Every sample passes through a 32-bit full-scale integer:
// widening is exact (16 bits become 24 by a shift, float is s / 2^31); narrowing integers drops
// the low bits (floor), narrowing floats rounds to the nearest step (as the common decoders
// do, halves to even), and 8 bits always round to the nearest level.  Floats outside -1..1 are
// clipped.  So a 16-bit signal stored in any wider layout comes back bit for bit.
//
// Channels: the same count is copied; fewer destination channels take the mean of the source
// channels that fall on them (destination channel k = mean of source channels j with
// j mod D = k: stereo to mono averages, 4 or 6 channels to stereo put the even channels left and
// the odd ones right); more destination channels repeat the source channels in turn (mono to
// all, stereo to L R L R ...).  The devices work in 16-bit mono or stereo, so a wider or
// multi-channel layout decodes to 16-bit PCM of at most two channels and is encoded from it.
// Rate conversion is left out: the recorder never asks for it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/acm/acm_driver.h"

namespace voxl::acm {
namespace {

constexpr WORD kExtensibleTag = 0xFFFE;
constexpr DWORD kRates[] = {8000, 11025, 22050, 44100, 48000};
constexpr DWORD kMinRate = 1000;
constexpr DWORD kMaxRate = 384000;
constexpr WORD kMaxChannels = 8;
// WAVEFORMATEX, then wValidBitsPerSample, dwChannelMask and the 16-byte subformat.
constexpr DWORD kExtensibleExtra = 22;
constexpr DWORD kExtensibleBytes = sizeof(WAVEFORMATEX) + kExtensibleExtra;
// The subformat of an extensible record is the plain format tag in the first two bytes of this
// identifier.
constexpr uint8_t kSubformatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// How the samples of a format lie in memory.
struct Layout {
  WORD channels = 0;
  WORD bytes = 0;  // per sample: 1, 2, 3, 4 or 8
  bool isFloat = false;
  WORD align = 0;  // per frame
};

// The layout of `f` (`size` readable bytes), or false when it is not a linear layout of one of
// the three tags with consistent sizes.
bool ParseLayout(const WAVEFORMATEX* f, DWORD size, Layout* out) {
  if (size < sizeof(WAVEFORMATEX)) return false;
  WORD plainTag = f->wFormatTag;
  if (f->wFormatTag == kExtensibleTag) {
    if (f->cbSize < kExtensibleExtra || size < kExtensibleBytes) return false;
    const auto* extra = reinterpret_cast<const uint8_t*>(f) + sizeof(WAVEFORMATEX);
    WORD validBits = 0;
    std::memcpy(&validBits, extra, 2);
    if (validBits > f->wBitsPerSample) return false;
    if (std::memcmp(extra + 8, kSubformatTail, sizeof kSubformatTail) != 0) return false;
    plainTag = static_cast<WORD>(extra[6] | (extra[7] << 8));
  }
  const WORD bits = f->wBitsPerSample;
  Layout l;
  if (plainTag == WAVE_FORMAT_PCM) {
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  } else if (plainTag == WAVE_FORMAT_IEEE_FLOAT) {
    if (bits != 32 && bits != 64) return false;
    l.isFloat = true;
  } else {
    return false;
  }
  l.channels = f->nChannels;
  l.bytes = static_cast<WORD>(bits / 8);
  l.align = static_cast<WORD>(l.channels * l.bytes);
  if (l.channels < 1 || l.channels > kMaxChannels || f->nBlockAlign != l.align ||
      f->nSamplesPerSec < kMinRate || f->nSamplesPerSec > kMaxRate ||
      f->nAvgBytesPerSec != f->nSamplesPerSec * l.align) {
    return false;
  }
  *out = l;
  return true;
}

void MakePcm(WAVEFORMATEX* f, DWORD rate, WORD bits, WORD channels) {
  *f = WAVEFORMATEX{};
  f->wFormatTag = WAVE_FORMAT_PCM;
  f->nChannels = channels;
  f->nSamplesPerSec = rate;
  f->wBitsPerSample = bits;
  f->nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f->nAvgBytesPerSec = rate * f->nBlockAlign;
}

// ---- Sample access, through a 32-bit full-scale integer ----

// A float sample, -1..1 full scale, clipped to the integer's range and floored.
int32_t FromFloat(double x) {
  if (std::isnan(x)) return 0;
  const double scaled = std::floor(x * 2147483648.0);
  if (scaled <= -2147483648.0) return INT32_MIN;
  if (scaled >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(scaled);
}

int32_t ReadSample(const uint8_t* p, const Layout& l) {
  switch (l.bytes) {
    case 1:
      return static_cast<int32_t>(static_cast<uint32_t>(p[0] ^ 0x80u) << 24);
    case 2: {
      int16_t s;
      std::memcpy(&s, p, 2);
      return int32_t{s} * 65536;
    }
    case 3:
      return static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) |
                                  (uint32_t{p[2]} << 24));
    case 4:
      if (!l.isFloat) {
        int32_t s;
        std::memcpy(&s, p, 4);
        return s;
      } else {
        float x;
        std::memcpy(&x, p, 4);
        return FromFloat(x);
      }
    default: {
      double x;
      std::memcpy(&x, p, 8);
      return FromFloat(x);
    }
  }
}

// `s` with its low `shift` bits rounded away to the nearest step, halves to even (as lrint
// does), held below the top.
int32_t RoundLowBits(int32_t s, int shift) {
  const int64_t step = int64_t{1} << shift;
  int64_t q = (int64_t{s} >> shift) << shift;
  const int64_t rest = s - q;
  if (rest > step / 2 || (rest == step / 2 && ((q >> shift) & 1) != 0)) q += step;
  return static_cast<int32_t>(std::min<int64_t>(q, INT32_MAX - (step - 1)));
}

// `round`: to the nearest step of the narrower layout instead of the floor (float sources).
void WriteSample(uint8_t* p, int32_t s, const Layout& l, bool round) {
  if (round && (l.bytes == 2 || l.bytes == 3)) s = RoundLowBits(s, l.bytes == 2 ? 16 : 8);
  switch (l.bytes) {
    case 1:
      // Rounded to the nearest of the 256 levels, as 16-bit samples always were.
      *p = static_cast<uint8_t>(std::min((((s >> 16) + 32768 + 128) >> 8), 255));
      return;
    case 2: {
      const auto v = static_cast<int16_t>(s >> 16);
      std::memcpy(p, &v, 2);
      return;
    }
    case 3: {
      const auto u = static_cast<uint32_t>(s);
      p[0] = static_cast<uint8_t>(u >> 8);
      p[1] = static_cast<uint8_t>(u >> 16);
      p[2] = static_cast<uint8_t>(u >> 24);
      return;
    }
    case 4:
      if (!l.isFloat) {
        std::memcpy(p, &s, 4);
      } else {
        const auto x = static_cast<float>(s / 2147483648.0);
        std::memcpy(p, &x, 4);
      }
      return;
    default: {
      const double x = s / 2147483648.0;
      std::memcpy(p, &x, 8);
      return;
    }
  }
}

// Floor of the mean of `count` samples (floor keeps the extremes in range).
int32_t FloorMean(int64_t sum, int64_t count) {
  int64_t q = sum / count;
  if (sum % count != 0 && sum < 0) --q;
  return static_cast<int32_t>(q);
}

class PcmStream final : public CodecStream {
 public:
  PcmStream(const Layout& src, const Layout& dst) : src_(src), dst_(dst) {}

  uint32_t MaxOutputBytes(uint32_t sourceBytes) const override {
    return sourceBytes / src_.align * dst_.align;
  }
  uint32_t SourceBytesFor(uint32_t outputBytes) const override {
    return (outputBytes + dst_.align - 1) / dst_.align * src_.align;
  }

  // Whole frames only, with or without BLOCKALIGN; a partial frame stays with the caller.
  MMRESULT Convert(ConvertIo& io, DWORD) override {
    const uint32_t frames = std::min(io.srcBytes / src_.align, io.dstBytes / dst_.align);
    const WORD in = src_.channels;
    const WORD out = dst_.channels;
    int32_t samples[kMaxChannels];
    for (uint32_t i = 0; i < frames; ++i) {
      const uint8_t* from = io.src + size_t{i} * src_.align;
      uint8_t* to = io.dst + size_t{i} * dst_.align;
      for (WORD c = 0; c < in; ++c) samples[c] = ReadSample(from + size_t{c} * src_.bytes, src_);
      for (WORD k = 0; k < out; ++k) {
        int32_t s;
        if (out >= in) {
          s = samples[k % in];
        } else {
          int64_t sum = 0;
          int64_t count = 0;
          for (WORD j = k; j < in; j = static_cast<WORD>(j + out)) {
            sum += samples[j];
            ++count;
          }
          s = FloorMean(sum, count);
        }
        WriteSample(to + size_t{k} * dst_.bytes, s, dst_, src_.isFloat);
      }
    }
    io.srcUsed = frames * src_.align;
    io.dstUsed = frames * dst_.align;
    return MMSYSERR_NOERROR;
  }

 private:
  Layout src_, dst_;
};

// ---- The three drivers ----

template <WORD Tag>
bool Accepts(const WAVEFORMATEX* f, DWORD size) {
  Layout l;
  return f->wFormatTag == Tag && ParseLayout(f, size, &l);
}

// What the devices take for a layout: 16-bit PCM of at most two channels.
void DeviceCounterpart(const WAVEFORMATEX* f, WAVEFORMATEX* pcm) {
  MakePcm(pcm, f->nSamplesPerSec, 16, std::min<WORD>(f->nChannels, 2));
}

// The format of the tag a PCM source becomes: 16-bit PCM, or 32-bit float, of its rate and
// channels.  Extensible records are read, never offered: new recordings use the plain tags.
bool SuggestPcm(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  if (capacity < sizeof(WAVEFORMATEX)) return false;
  Pcm16Counterpart(pcm, out);
  return true;
}
bool SuggestFloat(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  if (capacity < sizeof(WAVEFORMATEX)) return false;
  MakePcm(out, pcm->nSamplesPerSec, 32, pcm->nChannels);
  out->wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  return true;
}
bool SuggestNone(const WAVEFORMATEX*, WAVEFORMATEX*, DWORD) {
  return false;
}

// Standard formats: rate, then mono before stereo; integer PCM in 8 and 16 bits, float in 32.
DWORD IntegerFormatCount() {
  return std::size(kRates) * 4;
}
DWORD FloatFormatCount() {
  return std::size(kRates) * 2;
}

bool IntegerFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (index >= IntegerFormatCount() || capacity < sizeof(WAVEFORMATEX)) return false;
  MakePcm(out, kRates[index / 4], (index & 2) != 0 ? 16 : 8, (index & 1) != 0 ? 2 : 1);
  return true;
}

bool FloatFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (index >= FloatFormatCount() || capacity < sizeof(WAVEFORMATEX)) return false;
  MakePcm(out, kRates[index / 2], 32, (index & 1) != 0 ? 2 : 1);
  out->wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  return true;
}

DWORD NoFormatCount() {
  return 0;
}
bool NoFormat(DWORD, WAVEFORMATEX*, DWORD) {
  return false;
}

// An extensible record names its subformat after the basics, e.g. "..., 24 Bit, Stereo, PCM".
void DescribeLayout(const WAVEFORMATEX* f, char* text, size_t capacity) {
  DescribeBasics(f, text, capacity);
  Layout l;
  const size_t used = std::strlen(text);
  if (f->wFormatTag == kExtensibleTag && ParseLayout(f, kExtensibleBytes, &l) && used < capacity) {
    std::snprintf(text + used, capacity - used, l.isFloat ? ", Float" : ", PCM");
  }
}

std::unique_ptr<CodecStream> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  Layout from;
  Layout to;
  const DWORD sourceBytes = source->wFormatTag == WAVE_FORMAT_PCM
                                ? DWORD{sizeof(WAVEFORMATEX)}
                                : DWORD{sizeof(WAVEFORMATEX)} + source->cbSize;
  const DWORD destBytes = dest->wFormatTag == WAVE_FORMAT_PCM
                              ? DWORD{sizeof(WAVEFORMATEX)}
                              : DWORD{sizeof(WAVEFORMATEX)} + dest->cbSize;
  if (!ParseLayout(source, sourceBytes, &from) || !ParseLayout(dest, destBytes, &to) ||
      source->nSamplesPerSec != dest->nSamplesPerSec) {
    return nullptr;
  }
  return std::make_unique<PcmStream>(from, to);
}

}  // namespace

const CodecDriver kPcmDriver = {
    WAVE_FORMAT_PCM,
    "PCM",
    sizeof(WAVEFORMATEX),
    ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
    IntegerFormatCount,
    IntegerFormat,
    Accepts<WAVE_FORMAT_PCM>,
    DescribeBasics,
    DeviceCounterpart,
    SuggestPcm,
    Open,
};

const CodecDriver kFloatDriver = {
    WAVE_FORMAT_IEEE_FLOAT,
    "IEEE Float",
    sizeof(WAVEFORMATEX),
    ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
    FloatFormatCount,
    FloatFormat,
    Accepts<WAVE_FORMAT_IEEE_FLOAT>,
    DescribeBasics,
    DeviceCounterpart,
    SuggestFloat,
    Open,
};

const CodecDriver kExtensibleDriver = {
    kExtensibleTag,
    "Extensible",
    kExtensibleBytes,
    ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
    NoFormatCount,
    NoFormat,
    Accepts<kExtensibleTag>,
    DescribeLayout,
    DeviceCounterpart,
    SuggestNone,
    Open,
};

}  // namespace voxl::acm
