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
// Decoders in use differ in that division: some shift right by 8 instead, which rounds negative
// predictions down.  The encoder therefore only chooses, per block and channel, among the
// predictors whose predictions in that block are the same either way (pair 0 always is), so
// every decoder gives the same samples from what we write; of those it takes the one with the
// least squared error.  The delta carries over from block to block.
#include <algorithm>
#include <climits>
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

// PCM -> coefficient ADPCM, one block of samplesPerBlock frames at a time.
class Encoder final : public BlockStream {
 public:
  explicit Encoder(const WAVEFORMATEX* f)
      : BlockStream(SamplesPerBlock(f->nBlockAlign, f->nChannels) * 2 * f->nChannels,
                    f->nBlockAlign),
        channels_(f->nChannels),
        blockAlign_(f->nBlockAlign),
        samples_(SamplesPerBlock(f->nBlockAlign, f->nChannels)),
        coefficients_(CoefficientsOf(f)),
        trial_(samples_),
        best_(2, std::vector<uint8_t>(samples_)) {}

 private:
  void Reset() override { delta_[0] = delta_[1] = kMinDelta; }

  void ConvertBlock(const uint8_t* in, uint8_t* out) override {
    const uint32_t ch = channels_;
    for (uint32_t c = 0; c < ch; ++c) {
      const int delta = std::clamp(delta_[c], kMinDelta, kMaxHeaderDelta);
      out[c] = static_cast<uint8_t>(ChoosePredictor(in + 2 * c, delta, best_[c], delta_[c]));
      PutSample(out + ch + 2 * c, delta);
      PutSample(out + 3 * ch + 2 * c, GetSample(in + 2 * (ch + c)));
      PutSample(out + 5 * ch + 2 * c, GetSample(in + 2 * c));
    }
    uint8_t* p = out + 7 * ch;
    if (ch == 1) {
      for (uint32_t i = 2; i + 1 < samples_; i += 2) {
        *p++ = static_cast<uint8_t>((best_[0][i] << 4) | best_[0][i + 1]);
      }
    } else {
      for (uint32_t i = 2; i < samples_; ++i) {
        *p++ = static_cast<uint8_t>((best_[0][i] << 4) | best_[1][i]);
      }
    }
  }

  // Encodes the channel whose first sample is at `x` with each predictor, leaving the codes of
  // the best in `codes` and the delta it ends with in `endDelta`; returns its index.
  uint32_t ChoosePredictor(const uint8_t* x, int delta, std::vector<uint8_t>& codes,
                           int& endDelta) {
    const uint32_t stride = 2 * channels_;
    uint32_t best = 0;
    int64_t bestError = -1;
    bool bestAgrees = false;
    for (uint32_t p = 0; p < coefficients_.size(); ++p) {
      const Coefficients& k = coefficients_[p];
      Channel c{GetSample(x + stride), GetSample(x), delta};
      int64_t error = 0;
      bool agrees = true;
      for (uint32_t i = 2; i < samples_; ++i) {
        const int64_t sum = PredictionSum(c, k);
        agrees = agrees && (sum >= 0 || sum % 256 == 0);
        if (bestAgrees && (!agrees || error >= bestError)) break;
        const int64_t predicted = sum / 256;
        const int64_t target = GetSample(x + i * stride);
        const int64_t difference = target - predicted;
        const int64_t half = difference >= 0 ? c.delta / 2 : -(c.delta / 2);
        const auto code =
            static_cast<int>(std::clamp<int64_t>((difference + half) / c.delta, -8, 7));
        trial_[i] = static_cast<uint8_t>(code & 0x0F);
        const int64_t e = target - Update(c, predicted, code & 0x0F);
        error += e * e;
      }
      const bool better =
          bestError < 0 || (agrees && !bestAgrees) || (agrees == bestAgrees && error < bestError);
      if (better) {
        best = p;
        bestError = error;
        bestAgrees = agrees;
        endDelta = c.delta;
        std::swap(codes, trial_);
      }
    }
    return best;
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
  std::vector<uint8_t> trial_;              // codes of the predictor being tried
  std::vector<std::vector<uint8_t>> best_;  // codes of the chosen predictor, per channel
  int delta_[2] = {kMinDelta, kMinDelta};   // the delta each channel ended the last block with
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
