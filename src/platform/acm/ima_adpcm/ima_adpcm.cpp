// The IMA ADPCM driver (CodecDriver kImaAdpcmDriver, tag 0x11): 4-bit IMA/DVI ADPCM in the WAVE
// block layout, to and from 16-bit PCM of the same rate and channels.
//
// A block of nBlockAlign bytes holds samplesPerBlock = (nBlockAlign - 4 * channels) * 8 /
// (4 * channels) + 1 frames: per channel a 4-byte header (the first sample as a 16-bit
// predictor, the step index, a zero byte), then groups of 4 bytes per channel in turn, each
// group 8 samples of its channel, low nibble first.  The format record carries samplesPerBlock
// in its two extra bytes (cbSize 2).  Only 4-bit codes are supported (the 3-bit variant is
// refused), and only 16-bit PCM on the other side.
//
// A header with a step index past 88 is decoded with 88 (files may hold anything); the predictor
// stays within 16 bits.  The encoder puts the first sample of each block into the header and
// quantizes every other sample to the nearest level among the codes that all decoders read alike
// (see Difference); the step index carries over from block to block.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/acm/acm_driver.h"
#include "platform/acm/block_stream.h"

namespace voxl::acm {
namespace {

// The IMA ADPCM step sizes, indexed by the step index 0..88.
constexpr int16_t kStepSizes[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
static_assert(kStepSizes[88] == 32767);
constexpr int kMaxStepIndex = 88;

// Change of the step index after each 4-bit code (the sign bit 8 does not count).
constexpr int8_t kIndexChange[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

constexpr DWORD kRates[] = {8000, 11025, 22050, 44100, 48000};
constexpr DWORD kMinRate = 1000;
constexpr DWORD kMaxRate = 192000;
constexpr WORD kExtraBytes = 2;

// The difference a code's magnitude (0 to 7) adds to the predictor at `step`: step / 8, plus
// step, step / 2 and step / 4 for the magnitude's bits, each part rounded down on its own.  This
// is the decoding step of the format's own platform and of most decoders; some compute
// (2 * magnitude + 1) * step / 8 in one rounding instead, which differs from it by at most 2 for
// some magnitudes at some step sizes.
constexpr int Difference(int step, unsigned magnitude) {
  return (step >> 3) + ((magnitude & 4) != 0 ? step : 0) + ((magnitude & 2) != 0 ? step >> 1 : 0) +
         ((magnitude & 1) != 0 ? step >> 2 : 0);
}

// The encoder's table, one row per step index: the differences of the eight magnitudes, which
// rise with the magnitude, and the boundaries between them.  A distance d from the predictor gets
// the magnitude whose difference is nearest to it: magnitude m when 2 * d reaches
// `boundary[m - 1]` (the sum of the differences of m - 1 and m) but not `boundary[m]`.
struct EncoderRow {
  int32_t boundary[7];
  int32_t difference[8];
};
struct EncoderTable {
  EncoderRow row[89];
};
constexpr EncoderTable kEncoder = [] {
  EncoderTable t{};
  for (int i = 0; i <= kMaxStepIndex; ++i) {
    EncoderRow& r = t.row[i];
    for (unsigned m = 0; m < 8; ++m) r.difference[m] = Difference(kStepSizes[i], m);
    for (int m = 0; m < 7; ++m) r.boundary[m] = r.difference[m] + r.difference[m + 1];
  }
  return t;
}();

struct Channel {
  int predictor = 0;
  int index = 0;
};

// One code back to a sample, updating the channel.
inline int Expand(Channel& c, unsigned code) {
  const int diff = Difference(kStepSizes[c.index], code & 7);
  c.predictor =
      std::clamp((code & 8) != 0 ? c.predictor - diff : c.predictor + diff, -32768, 32767);
  c.index = std::clamp(c.index + kIndexChange[code], 0, kMaxStepIndex);
  return c.predictor;
}

// One sample to a code: the magnitude nearest to the distance from the predictor.  The channel
// then holds exactly what Expand gives for that code.  Written without data-dependent branches,
// which audio would mispredict, and with the magnitude found by independent comparisons rather
// than a chain of them.
inline unsigned Compress(Channel& c, int sample) {
  const EncoderRow& r = kEncoder.row[c.index];
  int distance = sample - c.predictor;
  const unsigned sign = distance < 0 ? 8u : 0u;
  distance = distance < 0 ? -2 * distance : 2 * distance;
  unsigned magnitude = 0;
  for (int j = 0; j < 7; ++j) magnitude += distance >= r.boundary[j] ? 1u : 0u;
  const int diff = r.difference[magnitude];
  c.predictor = std::clamp(sign != 0 ? c.predictor - diff : c.predictor + diff, -32768, 32767);
  c.index = std::clamp(c.index + kIndexChange[magnitude], 0, kMaxStepIndex);
  return magnitude | sign;
}

inline int GetSample(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}
inline void PutSample(uint8_t* p, int v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t SamplesPerBlock(uint32_t blockAlign, uint32_t channels) {
  return (blockAlign - 4 * channels) * 8 / (4 * channels) + 1;
}

uint32_t UsualBlockAlign(DWORD rate, WORD channels) {
  return (rate <= 11025 ? 256u : rate <= 22050 ? 512u : 1024u) * channels;
}

bool MakeIma(WAVEFORMATEX* out, DWORD capacity, DWORD rate, WORD channels) {
  if (capacity < sizeof(WAVEFORMATEX) + kExtraBytes) return false;
  const uint32_t align = UsualBlockAlign(rate, channels);
  const uint32_t samples = SamplesPerBlock(align, channels);
  *out = WAVEFORMATEX{};
  out->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
  out->nChannels = channels;
  out->nSamplesPerSec = rate;
  out->nAvgBytesPerSec = static_cast<DWORD>(uint64_t{rate} * align / samples);
  out->nBlockAlign = static_cast<WORD>(align);
  out->wBitsPerSample = 4;
  out->cbSize = kExtraBytes;
  const WORD word = static_cast<WORD>(samples);
  std::memcpy(reinterpret_cast<uint8_t*>(out) + sizeof(WAVEFORMATEX), &word, sizeof word);
  return true;
}

DWORD StandardFormatCount() {
  return std::size(kRates) * 2;
}

bool StandardFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (index >= StandardFormatCount()) return false;
  return MakeIma(out, capacity, kRates[index / 2], static_cast<WORD>(1 + index % 2));
}

bool Accepts(const WAVEFORMATEX* f, DWORD size) {
  if (size < sizeof(WAVEFORMATEX) || sizeof(WAVEFORMATEX) + f->cbSize > size) return false;
  if (f->wFormatTag != WAVE_FORMAT_IMA_ADPCM || f->wBitsPerSample != 4 ||
      (f->nChannels != 1 && f->nChannels != 2) || f->nSamplesPerSec < kMinRate ||
      f->nSamplesPerSec > kMaxRate || f->nAvgBytesPerSec == 0 || f->cbSize < kExtraBytes) {
    return false;
  }
  const uint32_t header = 4u * f->nChannels;
  if (f->nBlockAlign <= header || f->nBlockAlign % header != 0) return false;
  WORD word;
  std::memcpy(&word, reinterpret_cast<const uint8_t*>(f) + sizeof(WAVEFORMATEX), sizeof word);
  return word == SamplesPerBlock(f->nBlockAlign, f->nChannels);
}

bool SuggestFromPcm(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  if ((pcm->nChannels != 1 && pcm->nChannels != 2) || pcm->nSamplesPerSec < kMinRate ||
      pcm->nSamplesPerSec > kMaxRate) {
    return false;
  }
  return MakeIma(out, capacity, pcm->nSamplesPerSec, pcm->nChannels);
}

// PCM -> IMA ADPCM, one block of samplesPerBlock frames at a time.
class Encoder final : public BlockStream {
 public:
  Encoder(uint32_t channels, uint32_t blockAlign)
      : BlockStream(SamplesPerBlock(blockAlign, channels) * 2 * channels, blockAlign),
        channels_(channels),
        blockAlign_(blockAlign),
        groups_((blockAlign - 4 * channels) / (4 * channels)) {}

 private:
  void Reset() override { state_[0] = state_[1] = Channel{}; }

  void ConvertBlock(const uint8_t* in, uint8_t* out) override {
    if (channels_ == 1) {
      Encode<1>(in, out);
    } else {
      Encode<2>(in, out);
    }
  }

  template <uint32_t Channels>
  void Encode(const uint8_t* in, uint8_t* out) {
    for (uint32_t c = 0; c < Channels; ++c) {
      Channel& s = state_[c];
      s.predictor = GetSample(in + 2 * c);
      PutSample(out + 4 * c, s.predictor);
      out[4 * c + 2] = static_cast<uint8_t>(s.index);
      out[4 * c + 3] = 0;
    }
    // The channels are encoded side by side, so that their independent chains of dependent
    // steps overlap in the processor.
    Channel s[Channels];
    std::copy(state_, state_ + Channels, s);
    const uint8_t* x = in + 2 * Channels;  // the frame after the header's
    uint8_t* p = out + 4 * Channels;
    for (uint32_t g = 0; g < groups_; ++g, p += 4 * Channels) {
      for (uint32_t k = 0; k < 4; ++k, x += 4 * Channels) {
        for (uint32_t c = 0; c < Channels; ++c) {
          const unsigned low = Compress(s[c], GetSample(x + 2 * c));
          const unsigned high = Compress(s[c], GetSample(x + 2 * (Channels + c)));
          p[4 * c + k] = static_cast<uint8_t>(low | (high << 4));
        }
      }
    }
    std::copy(s, s + Channels, state_);
  }

  // The last partial block is padded with silence to a whole one.
  uint32_t PartialOutputBytes(uint32_t) const override { return blockAlign_; }
  void ConvertPartial(uint8_t* in, uint32_t bytes, uint8_t* out) override {
    std::memset(in + bytes, 0, (8 * groups_ + 1) * 2 * channels_ - bytes);
    ConvertBlock(in, out);
  }

  uint32_t channels_;
  uint32_t blockAlign_;
  uint32_t groups_;  // 4-byte groups per channel in a block
  Channel state_[2];
};

// IMA ADPCM -> PCM.  Blocks do not depend on each other.
class Decoder final : public BlockStream {
 public:
  Decoder(uint32_t channels, uint32_t blockAlign)
      : BlockStream(blockAlign, SamplesPerBlock(blockAlign, channels) * 2 * channels),
        channels_(channels),
        groups_((blockAlign - 4 * channels) / (4 * channels)) {}

 private:
  void Reset() override {}
  void ConvertBlock(const uint8_t* in, uint8_t* out) override { Decode(in, groups_, out); }
  // A block cut short gives its header's sample and its whole groups.
  uint32_t PartialOutputBytes(uint32_t bytes) const override {
    const uint32_t header = 4 * channels_;
    return bytes < header ? 0 : ((bytes - header) / header * 8 + 1) * 2 * channels_;
  }
  void ConvertPartial(uint8_t* in, uint32_t bytes, uint8_t* out) override {
    if (bytes >= 4 * channels_) Decode(in, (bytes - 4 * channels_) / (4 * channels_), out);
  }

  void Decode(const uint8_t* in, uint32_t groups, uint8_t* out) const {
    const uint32_t ch = channels_;
    Channel state[2];
    for (uint32_t c = 0; c < ch; ++c) {
      state[c].predictor = GetSample(in + 4 * c);
      state[c].index = std::min<int>(in[4 * c + 2], kMaxStepIndex);
      PutSample(out + 2 * c, state[c].predictor);
    }
    const uint8_t* p = in + 4 * ch;
    for (uint32_t g = 0; g < groups; ++g) {
      for (uint32_t c = 0; c < ch; ++c) {
        uint8_t* y = out + 2 * ((1 + 8 * g) * ch + c);
        for (uint32_t k = 0; k < 4; ++k, ++p, y += 4 * ch) {
          PutSample(y, Expand(state[c], *p & 0x0F));
          PutSample(y + 2 * ch, Expand(state[c], *p >> 4));
        }
      }
    }
  }

  uint32_t channels_;
  uint32_t groups_;
};

bool IsCounterpart(const WAVEFORMATEX* ima, const WAVEFORMATEX* pcm) {
  return pcm->wFormatTag == WAVE_FORMAT_PCM && pcm->wBitsPerSample == 16 &&
         pcm->nChannels == ima->nChannels && pcm->nSamplesPerSec == ima->nSamplesPerSec;
}

std::unique_ptr<CodecStream> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  if (source->wFormatTag == WAVE_FORMAT_IMA_ADPCM && IsCounterpart(source, dest)) {
    return std::make_unique<Decoder>(source->nChannels, source->nBlockAlign);
  }
  if (dest->wFormatTag == WAVE_FORMAT_IMA_ADPCM && IsCounterpart(dest, source)) {
    return std::make_unique<Encoder>(dest->nChannels, dest->nBlockAlign);
  }
  return nullptr;
}

}  // namespace

const CodecDriver kImaAdpcmDriver = {
    WAVE_FORMAT_IMA_ADPCM,
    "IMA ADPCM",
    sizeof(WAVEFORMATEX) + kExtraBytes,
    ACMDRIVERDETAILS_SUPPORTF_CODEC,
    StandardFormatCount,
    StandardFormat,
    Accepts,
    DescribeBasics,
    Pcm16Counterpart,
    SuggestFromPcm,
    Open,
};

}  // namespace voxl::acm
