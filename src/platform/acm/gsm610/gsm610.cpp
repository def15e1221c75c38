// GSM 6.10 (tag 0x31), the CodecDriver of acm_driver.h, through libgsm.
//
// One format only: 8000 Hz mono, 65-byte blocks of 320 samples.  A block holds two 160-sample
// frames in the WAVE framing (libgsm's GSM_OPT_WAV49): the first frame takes 32.5 bytes and the
// second starts in the middle of byte 32, so the encoder writes the second frame at offset 32 and
// the decoder reads it from offset 33.  Any bit pattern is a frame libgsm can decode; a frame it
// refuses all the same decodes to silence.
//
// At the end, the encoder pads the partial block with silence; the decoder drops a truncated
// block (it holds no complete pair of frames).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/acm/acm_driver.h"
#include "platform/acm/block_stream.h"
#include "platform/acm/codec_library.h"

namespace voxl::acm {
namespace {

// The library's functions, once Gsm() has loaded them (every stream starts in NewHandle).
const GsmLibrary& G() {
  return *Gsm();
}

constexpr uint32_t kRate = 8000;
constexpr uint16_t kBlockBytes = 65;
constexpr uint16_t kSamplesPerBlock = 320;
constexpr uint32_t kPcmBlockBytes = kSamplesPerBlock * 2;
constexpr int kFrameSamples = 160;
constexpr uint32_t kAvgBytesPerSec = kRate / kSamplesPerBlock * kBlockBytes;  // 1625
constexpr WORD kExtraBytes = 2;                                               // samples per block

WORD ReadWord(const uint8_t* p) {
  return static_cast<WORD>(p[0] | (p[1] << 8));
}

void Fill(WAVEFORMATEX* out) {
  *out = WAVEFORMATEX{WAVE_FORMAT_GSM610, 1, kRate, kAvgBytesPerSec, kBlockBytes, 0, kExtraBytes};
  const uint8_t extra[2] = {kSamplesPerBlock & 0xFF, kSamplesPerBlock >> 8};
  std::memcpy(reinterpret_cast<uint8_t*>(out) + sizeof(WAVEFORMATEX), extra, sizeof extra);
}

bool IsPcm16(const WAVEFORMATEX* f) {
  return f->wFormatTag == WAVE_FORMAT_PCM && f->nChannels == 1 && f->nSamplesPerSec == kRate &&
         f->wBitsPerSample == 16 && f->nBlockAlign == 2;
}

struct GsmDeleter {
  void operator()(gsm_state* g) const { G().gsm_destroy(g); }
};
using GsmHandle = std::unique_ptr<gsm_state, GsmDeleter>;

GsmHandle NewHandle() {
  if (Gsm() == nullptr) return nullptr;
  GsmHandle g(G().gsm_create());
  if (g) {
    int wav49 = 1;
    G().gsm_option(g.get(), GSM_OPT_WAV49, &wav49);
  }
  return g;
}

class GsmEncoder final : public BlockStream {
 public:
  explicit GsmEncoder(GsmHandle g) : BlockStream(kPcmBlockBytes, kBlockBytes), gsm_(std::move(g)) {}

 private:
  void Reset() override { gsm_ = NewHandle(); }
  void ConvertBlock(const uint8_t* in, uint8_t* out) override {
    std::array<gsm_signal, kSamplesPerBlock> samples;
    std::memcpy(samples.data(), in, kPcmBlockBytes);
    if (!gsm_) {  // no memory for a fresh state: silence
      std::memset(out, 0, kBlockBytes);
      return;
    }
    G().gsm_encode(gsm_.get(), samples.data(), out);
    G().gsm_encode(gsm_.get(), samples.data() + kFrameSamples, out + 32);
  }
  uint32_t PartialOutputBytes(uint32_t) const override { return kBlockBytes; }
  // The last partial block, padded with silence (a half sample included).
  void ConvertPartial(uint8_t* in, uint32_t bytes, uint8_t* out) override {
    std::memset(in + bytes / 2 * 2, 0, kPcmBlockBytes - bytes / 2 * 2);
    ConvertBlock(in, out);
  }

  GsmHandle gsm_;
};

class GsmDecoder final : public BlockStream {
 public:
  explicit GsmDecoder(GsmHandle g) : BlockStream(kBlockBytes, kPcmBlockBytes), gsm_(std::move(g)) {}

 private:
  void Reset() override { gsm_ = NewHandle(); }
  void ConvertBlock(const uint8_t* in, uint8_t* out) override {
    std::array<gsm_byte, kBlockBytes> block;
    std::memcpy(block.data(), in, kBlockBytes);
    std::array<gsm_signal, kSamplesPerBlock> samples{};
    if (gsm_ && G().gsm_decode(gsm_.get(), block.data(), samples.data()) < 0) {
      std::fill_n(samples.begin(), kFrameSamples, 0);
    }
    if (gsm_ && G().gsm_decode(gsm_.get(), block.data() + 33, samples.data() + kFrameSamples) < 0) {
      std::fill_n(samples.begin() + kFrameSamples, kFrameSamples, 0);
    }
    std::memcpy(out, samples.data(), kPcmBlockBytes);
  }
  // A truncated block at the end holds no complete pair of frames: it gives nothing.
  uint32_t PartialOutputBytes(uint32_t) const override { return 0; }
  void ConvertPartial(uint8_t*, uint32_t, uint8_t*) override {}

  GsmHandle gsm_;
};

DWORD StandardFormatCount() {
  return 1;
}

bool StandardFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (index != 0 || capacity < sizeof(WAVEFORMATEX) + kExtraBytes) return false;
  Fill(out);
  return true;
}

bool Accepts(const WAVEFORMATEX* f, DWORD size) {
  if (f == nullptr || size < sizeof(WAVEFORMATEX)) return false;
  if (f->wFormatTag != WAVE_FORMAT_GSM610 || f->cbSize < kExtraBytes ||
      sizeof(WAVEFORMATEX) + f->cbSize > size) {
    return false;
  }
  const auto* extra = reinterpret_cast<const uint8_t*>(f) + sizeof(WAVEFORMATEX);
  return f->nChannels == 1 && f->nSamplesPerSec == kRate && f->nBlockAlign == kBlockBytes &&
         ReadWord(extra) == kSamplesPerBlock;
}

void Describe(const WAVEFORMATEX* f, char* text, size_t capacity) {
  std::snprintf(text, capacity, "%u Hz, Mono", static_cast<unsigned>(f->nSamplesPerSec));
}

void PcmCounterpart(const WAVEFORMATEX*, WAVEFORMATEX* pcm) {
  *pcm = WAVEFORMATEX{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
}

bool SuggestFromPcm(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  return IsPcm16(pcm) && StandardFormat(0, out, capacity);
}

std::unique_ptr<CodecStream> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  const bool encode = source->wFormatTag == WAVE_FORMAT_PCM;
  if (!IsPcm16(encode ? source : dest)) return nullptr;
  GsmHandle handle = NewHandle();
  if (!handle) return nullptr;
  if (encode) return std::make_unique<GsmEncoder>(std::move(handle));
  return std::make_unique<GsmDecoder>(std::move(handle));
}

}  // namespace

const CodecDriver kGsm610Driver = {WAVE_FORMAT_GSM610,
                                   "GSM 6.10",
                                   sizeof(WAVEFORMATEX) + kExtraBytes,
                                   ACMDRIVERDETAILS_SUPPORTF_CODEC,
                                   StandardFormatCount,
                                   StandardFormat,
                                   Accepts,
                                   Describe,
                                   PcmCounterpart,
                                   SuggestFromPcm,
                                   Open};

}  // namespace voxl::acm
