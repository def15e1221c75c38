// The coefficient ADPCM driver (CodecDriver kMsAdpcmDriver, tag 2): 4-bit adaptive ADPCM with a
// per-block choice of two-tap predictor, in the WAVE block layout, to and from 16-bit PCM of the
// same rate and channels.
//
// The format record carries 32 extra bytes: samplesPerBlock, the coefficient count (7) and the
// coefficient pairs in 8.8 fixed point.  A block of nBlockAlign bytes holds samplesPerBlock =
// (nBlockAlign - 7 * channels) * 2 / channels + 2 frames: the header (all channels' predictor
// index bytes, then their 16-bit deltas, their second samples, their first samples), then one
// nibble per sample, high nibble first, channels interleaved.
//
// The decoder uses the coefficients of the format record (records with fewer than 7 pairs are
// refused); the prediction is (sample1 * coef1 + sample2 * coef2) / 256, rounded toward zero.  A
// block whose predictor index is past the record's pairs is decoded with pair 0, so that no file
// makes it read past the table.  Only 16-bit PCM is supported on the other side.
//
// That division is the decoding step of the format's own platform; some decoders shift right by 8
// instead, which rounds negative predictions of pairs 3 to 6 one lower.  The encoder writes for
// the division.  It chooses each block's predictor per channel from one cheap pass over the
// block's samples: the pair whose prediction from the two samples before leaves the least
// squared residual (worked out from the block's correlations, without encoding), then encodes
// the block once with it, each code the nearest to the residual.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/acm/acm_driver.h"
#include "platform/acm/block_stream.h"

namespace voxl::acm {
namespace {

// Delta scale factors (8.8 fixed point) after each 4-bit code.
constexpr int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                 768, 614, 512, 409, 307, 230, 230, 230};
// The seven standard predictor coefficient pairs, 8.8 fixed point.
constexpr int16_t kStandardCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                                 {240, 0}, {460, -208}, {392, -232}};
constexpr WORD kStandardCount = 7;
constexpr WORD kExtraBytes = 4 + 4 * kStandardCount;  // 32
constexpr int kMinDelta = 16;
constexpr int kMaxDelta = INT_MAX / 768;  // keeps the adaptation within int on any input
constexpr int kMaxHeaderDelta = 32767;    // the header's delta is a signed 16-bit field
constexpr uint32_t kMaxPredictors = 256;  // the block header's index is one byte

constexpr DWORD kRates[] = {8000, 11025, 22050, 44100};
constexpr DWORD kMinRate = 1000;
constexpr DWORD kMaxRate = 192000;

struct Coefficients {
  int first;
  int second;
};

struct Channel {
  int sample1 = 0;  // the latest sample
  int sample2 = 0;  // the one before
  int delta = kMinDelta;
};

inline int64_t PredictionSum(const Channel& c, const Coefficients& k) {
  return int64_t{c.sample1} * k.first + int64_t{c.sample2} * k.second;
}

// Applies a code to the channel's prediction `predicted` and adapts the delta.
inline int Update(Channel& c, int64_t predicted, unsigned code) {
  const int signedCode = (code & 8) != 0 ? static_cast<int>(code) - 16 : static_cast<int>(code);
  const int64_t value =
      std::clamp<int64_t>(predicted + int64_t{signedCode} * c.delta, -32768, 32767);
  c.sample2 = c.sample1;
  c.sample1 = static_cast<int>(value);
  c.delta = std::clamp((kAdaptation[code] * c.delta) >> 8, kMinDelta, kMaxDelta);
  return c.sample1;
}

inline int Expand(Channel& c, const Coefficients& k, unsigned code) {
  return Update(c, PredictionSum(c, k) / 256, code);
}

inline int GetSample(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}
inline void PutSample(uint8_t* p, int v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline int GetWord(const WAVEFORMATEX* f, uint32_t offset) {
  return GetSample(reinterpret_cast<const uint8_t*>(f) + sizeof(WAVEFORMATEX) + offset);
}

uint32_t SamplesPerBlock(uint32_t blockAlign, uint32_t channels) {
  return (blockAlign - 7 * channels) * 2 / channels + 2;
}

bool MakeAdpcm(WAVEFORMATEX* out, DWORD capacity, DWORD rate, WORD channels) {
  if (capacity < sizeof(WAVEFORMATEX) + kExtraBytes) return false;
  const uint32_t align = (rate <= 11025 ? 256u : rate <= 22050 ? 512u : 1024u) * channels;
  const uint32_t samples = SamplesPerBlock(align, channels);
  *out = WAVEFORMATEX{};
  out->wFormatTag = WAVE_FORMAT_ADPCM;
  out->nChannels = channels;
  out->nSamplesPerSec = rate;
  out->nAvgBytesPerSec = static_cast<DWORD>(uint64_t{rate} * align / samples);
  out->nBlockAlign = static_cast<WORD>(align);
  out->wBitsPerSample = 4;
  out->cbSize = kExtraBytes;
  uint8_t* extra = reinterpret_cast<uint8_t*>(out) + sizeof(WAVEFORMATEX);
  PutSample(extra, static_cast<int>(samples));
  PutSample(extra + 2, kStandardCount);
  for (int i = 0; i < kStandardCount; ++i) {
    PutSample(extra + 4 + 4 * i, kStandardCoefficients[i][0]);
    PutSample(extra + 6 + 4 * i, kStandardCoefficients[i][1]);
  }
  return true;
}

DWORD StandardFormatCount() {
  return std::size(kRates) * 2;
}

bool StandardFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (index >= StandardFormatCount()) return false;
  return MakeAdpcm(out, capacity, kRates[index / 2], static_cast<WORD>(1 + index % 2));
}

// Any coefficient values are accepted, as long as at least the standard count is there.
bool Accepts(const WAVEFORMATEX* f, DWORD size) {
  if (size < sizeof(WAVEFORMATEX) || sizeof(WAVEFORMATEX) + f->cbSize > size) return false;
  if (f->wFormatTag != WAVE_FORMAT_ADPCM || f->wBitsPerSample != 4 ||
      (f->nChannels != 1 && f->nChannels != 2) || f->nSamplesPerSec < kMinRate ||
      f->nSamplesPerSec > kMaxRate || f->nAvgBytesPerSec == 0 || f->cbSize < 4 ||
      f->nBlockAlign <= 7u * f->nChannels) {
    return false;
  }
  const auto count = static_cast<uint32_t>(static_cast<WORD>(GetWord(f, 2)));
  return count >= kStandardCount && 4 + 4 * count <= f->cbSize &&
         static_cast<WORD>(GetWord(f, 0)) == SamplesPerBlock(f->nBlockAlign, f->nChannels);
}

bool SuggestFromPcm(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  if ((pcm->nChannels != 1 && pcm->nChannels != 2) || pcm->nSamplesPerSec < kMinRate ||
      pcm->nSamplesPerSec > kMaxRate) {
    return false;
  }
  return MakeAdpcm(out, capacity, pcm->nSamplesPerSec, pcm->nChannels);
}

// The coefficient pairs of an accepted record (at most kMaxPredictors).
std::vector<Coefficients> CoefficientsOf(const WAVEFORMATEX* f) {
  const uint32_t count = std::min<uint32_t>(static_cast<WORD>(GetWord(f, 2)), kMaxPredictors);
  std::vector<Coefficients> pairs(count);
  for (uint32_t i = 0; i < count; ++i) pairs[i] = {GetWord(f, 4 + 4 * i), GetWord(f, 6 + 4 * i)};
  return pairs;
}

// Whether the encoder can predict with a pair in 32 bits (the standard pairs all can).
bool Encodable(const Coefficients& k) {
  return std::abs(k.first) <= 16384 && std::abs(k.second) <= 16384;
}

// PCM -> coefficient ADPCM.  Opened only for records with at least one pair it can encode with.
//
// Each block and channel starts afresh: its pair and its first delta come from the prediction
// pass over its own samples (the delta half the residual's root mean square, which is where the
// adaptation settles), so blocks do not depend on each other and several are encoded side by
// side, their chains of dependent steps overlapping in the processor.
class Encoder final : public BlockStream {
 public:
  explicit Encoder(const WAVEFORMATEX* f)
      : BlockStream(SamplesPerBlock(f->nBlockAlign, f->nChannels) * 2 * f->nChannels,
                    f->nBlockAlign),
        channels_(f->nChannels),
        blockAlign_(f->nBlockAlign),
        samples_(SamplesPerBlock(f->nBlockAlign, f->nChannels)),
        coefficients_(CoefficientsOf(f)),
        input_(size_t{kSideBySide} * channels_ * samples_),
        codes_(size_t{kSideBySide} * channels_ * samples_) {}

 private:
  // Blocks encoded side by side: with two channels, four chains in all.
  static constexpr uint32_t kSideBySide = 2;

  // One channel of one block on its way: the decoder's state, the pair, its samples and codes.
  struct Lane {
    int sample1;
    int sample2;
    int delta;
    float inverse;  // 1 / delta
    Coefficients k;
    const int* x;
    uint8_t* codes;
  };

  void Reset() override {}

  void ConvertBlock(const uint8_t* in, uint8_t* out) override { Encode(in, out, 1); }

  void ConvertBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
    for (; count >= kSideBySide; count -= kSideBySide) {
      Encode(in, out, kSideBySide);
      in += kSideBySide * samples_ * 2 * channels_;
      out += kSideBySide * blockAlign_;
    }
    if (count > 0) Encode(in, out, count);
  }

  // Encodes `blocks` (at most kSideBySide) consecutive blocks.
  void Encode(const uint8_t* in, uint8_t* out, uint32_t blocks) {
    const uint32_t ch = channels_;
    Lane lanes[kSideBySide * 2];
    const uint32_t laneCount = blocks * ch;
    for (uint32_t b = 0; b < blocks; ++b) {
      const uint8_t* block = in + b * samples_ * 2 * ch;
      uint8_t* header = out + b * blockAlign_;
      for (uint32_t c = 0; c < ch; ++c) {
        const uint32_t n = b * ch + c;
        int* x = input_.data() + n * samples_;
        for (uint32_t i = 0; i < samples_; ++i) x[i] = GetSample(block + 2 * (i * ch + c));
        double energy = 0;
        const uint32_t p = ChoosePredictor(x, &energy);
        const double rms = std::sqrt(std::max(energy, 0.0) / (samples_ - 2));
        const int delta = std::clamp(static_cast<int>(rms / 2), kMinDelta, kMaxHeaderDelta);
        lanes[n] = Lane{x[1],
                        x[0],
                        delta,
                        1.0f / static_cast<float>(delta),
                        coefficients_[p],
                        x,
                        codes_.data() + n * samples_};
        header[c] = static_cast<uint8_t>(p);
        PutSample(header + ch + 2 * c, delta);
        PutSample(header + 3 * ch + 2 * c, x[1]);
        PutSample(header + 5 * ch + 2 * c, x[0]);
      }
    }
    if (laneCount == 4) {
      EncodeLanes<4>(lanes);
    } else if (laneCount == 2) {
      EncodeLanes<2>(lanes);
    } else {
      EncodeLanes<1>(lanes);
    }
    // One nibble per sample, high nibble first, the channels in turn.
    for (uint32_t b = 0; b < blocks; ++b) {
      uint8_t* p = out + b * blockAlign_ + 7 * ch;
      const uint8_t* codes = codes_.data() + b * ch * samples_;
      if (ch == 1) {
        for (uint32_t i = 2; i + 1 < samples_; i += 2) {
          *p++ = static_cast<uint8_t>((codes[i] << 4) | codes[i + 1]);
        }
      } else {
        const uint8_t* right = codes + samples_;
        for (uint32_t i = 2; i < samples_; ++i) {
          *p++ = static_cast<uint8_t>((codes[i] << 4) | right[i]);
        }
      }
    }
  }

  template <uint32_t Lanes>
  void EncodeLanes(Lane* lanes) const {
    Lane l[Lanes];
    std::copy(lanes, lanes + Lanes, l);
    for (uint32_t i = 2; i < samples_; ++i) {
      for (uint32_t j = 0; j < Lanes; ++j) l[j].codes[i] = Compress(l[j], l[j].x[i]);
    }
  }

  // The pair whose prediction of each sample from the two before it leaves the least squared
  // residual over the block, and that residual (*energy).  With a and b the pair's coefficients
  // (as fractions), the residual is R00 - 2a R01 - 2b R02 + a^2 R11 + 2ab R12 + b^2 R22, where
  // Rij sums x[n - i] x[n - j] over the block's predicted samples; three sums over the block
  // give all six.
  uint32_t ChoosePredictor(const int* x, double* energy) const {
    const uint32_t n = samples_;
    int64_t r00 = 0, r01 = 0, r02 = 0;
    for (uint32_t i = 2; i < n; ++i) {
      r00 += int64_t{x[i]} * x[i];
      r01 += int64_t{x[i]} * x[i - 1];
      r02 += int64_t{x[i]} * x[i - 2];
    }
    const int64_t first = int64_t{x[0]} * x[0], second = int64_t{x[1]} * x[1];
    const int64_t last = int64_t{x[n - 1]} * x[n - 1], beforeLast = int64_t{x[n - 2]} * x[n - 2];
    const auto r11 = static_cast<double>(r00 - last + second);
    const auto r22 = static_cast<double>(r00 - last - beforeLast + second + first);
    const auto r12 = static_cast<double>(r01 - int64_t{x[n - 1]} * x[n - 2] + int64_t{x[1]} * x[0]);
    uint32_t best = 0;
    double least = -1;
    for (uint32_t p = 0; p < coefficients_.size(); ++p) {
      if (!Encodable(coefficients_[p])) continue;
      const double a = coefficients_[p].first / 256.0, b = coefficients_[p].second / 256.0;
      const double e = static_cast<double>(r00) - 2 * a * static_cast<double>(r01) -
                       2 * b * static_cast<double>(r02) + a * a * r11 + 2 * a * b * r12 +
                       b * b * r22;
      if (least < 0 || e < least) best = p, least = e;
    }
    *energy = least;
    return best;
  }

  // One sample to the code nearest to its residual, rounding halves away from zero; the lane
  // then holds what Expand gives for that code.  In 32 bits, which pairs within +-16384 cannot
  // overflow with 16-bit samples and deltas below kMaxDelta.  The magnitude is counted by
  // independent comparisons rather than by a division, which would be the slowest step of the
  // chain from one sample to the next.
  static uint8_t Compress(Lane& c, int sample) {
    const int sum = c.sample1 * c.k.first + c.sample2 * c.k.second;
    const int predicted = sum / 256;
    const int residual = sample - predicted;
    const int d = c.delta;
    const float ratio = static_cast<float>(residual < 0 ? -residual : residual) * c.inverse;
    const int magnitude = std::min(static_cast<int>(ratio + 0.5f), 8);
    const int code = residual < 0 ? -magnitude : std::min(magnitude, 7);
    c.sample2 = c.sample1;
    c.sample1 = std::clamp(predicted + code * d, -32768, 32767);
    const auto nibble = static_cast<uint8_t>(code & 0x0F);
    c.delta = std::clamp((kAdaptation[nibble] * d) >> 8, kMinDelta, kMaxDelta);
    c.inverse = 1.0f / static_cast<float>(c.delta);
    return nibble;
  }

  // The last partial block is padded with silence to a whole one.
  uint32_t PartialOutputBytes(uint32_t) const override { return blockAlign_; }
  void ConvertPartial(uint8_t* in, uint32_t bytes, uint8_t* out) override {
    std::memset(in + bytes, 0, samples_ * 2 * channels_ - bytes);
    ConvertBlock(in, out);
  }

  uint32_t channels_;
  uint32_t blockAlign_;
  uint32_t samples_;  // frames per block
  std::vector<Coefficients> coefficients_;
  std::vector<int> input_;      // the samples of each lane, samples_ apiece
  std::vector<uint8_t> codes_;  // the codes of each lane, samples_ apiece (from index 2)
};

// Coefficient ADPCM -> PCM.  Blocks do not depend on each other.
class Decoder final : public BlockStream {
 public:
  explicit Decoder(const WAVEFORMATEX* f)
      : BlockStream(f->nBlockAlign,
                    SamplesPerBlock(f->nBlockAlign, f->nChannels) * 2 * f->nChannels),
        channels_(f->nChannels),
        blockAlign_(f->nBlockAlign),
        coefficients_(CoefficientsOf(f)) {}

 private:
  void Reset() override {}
  void ConvertBlock(const uint8_t* in, uint8_t* out) override { Decode(in, blockAlign_, out); }
  // A block cut short gives its header's two samples and a sample per nibble it holds.
  uint32_t PartialOutputBytes(uint32_t bytes) const override {
    return bytes < 7 * channels_ ? 0 : SamplesPerBlock(bytes, channels_) * 2 * channels_;
  }
  void ConvertPartial(uint8_t* in, uint32_t bytes, uint8_t* out) override {
    if (bytes >= 7 * channels_) Decode(in, bytes, out);
  }

  void Decode(const uint8_t* in, uint32_t bytes, uint8_t* out) const {
    const uint32_t ch = channels_;
    Channel state[2];
    Coefficients k[2];
    for (uint32_t c = 0; c < ch; ++c) {
      k[c] = coefficients_[in[c] < coefficients_.size() ? in[c] : 0];
      state[c].delta = GetSample(in + ch + 2 * c);
      state[c].sample1 = GetSample(in + 3 * ch + 2 * c);
      state[c].sample2 = GetSample(in + 5 * ch + 2 * c);
      PutSample(out + 2 * c, state[c].sample2);
      PutSample(out + 2 * (ch + c), state[c].sample1);
    }
    uint8_t* y = out + 4 * ch;
    const uint32_t second = ch == 2 ? 1 : 0;  // the channel of each byte's low nibble
    for (const uint8_t* p = in + 7 * ch; p < in + bytes; ++p, y += 4) {
      PutSample(y, Expand(state[0], k[0], *p >> 4));
      PutSample(y + 2, Expand(state[second], k[second], *p & 0x0F));
    }
  }

  uint32_t channels_;
  uint32_t blockAlign_;
  std::vector<Coefficients> coefficients_;
};

bool IsCounterpart(const WAVEFORMATEX* adpcm, const WAVEFORMATEX* pcm) {
  return pcm->wFormatTag == WAVE_FORMAT_PCM && pcm->wBitsPerSample == 16 &&
         pcm->nChannels == adpcm->nChannels && pcm->nSamplesPerSec == adpcm->nSamplesPerSec;
}

std::unique_ptr<CodecStream> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  if (source->wFormatTag == WAVE_FORMAT_ADPCM && IsCounterpart(source, dest)) {
    return std::make_unique<Decoder>(source);
  }
  if (dest->wFormatTag == WAVE_FORMAT_ADPCM && IsCounterpart(dest, source)) {
    const std::vector<Coefficients> pairs = CoefficientsOf(dest);
    if (std::none_of(pairs.begin(), pairs.end(), Encodable)) return nullptr;
    return std::make_unique<Encoder>(dest);
  }
  return nullptr;
}

}  // namespace

const CodecDriver kMsAdpcmDriver = {
    WAVE_FORMAT_ADPCM,
    "ADPCM",
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
