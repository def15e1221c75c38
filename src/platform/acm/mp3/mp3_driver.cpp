// MPEG Layer-3 (tag 0x55), the CodecDriver of acm_driver.h: the formats it accepts and offers.
//
// The format record is the 30-byte MPEGLAYER3WAVEFORMAT.  The codec encodes constant-bitrate
// streams at every rate and bitrate libmp3lame offers: MPEG-1 (32000, 44100, 48000 Hz; 32 to
// 320 kbit/s), MPEG-2 (16000, 22050, 24000 Hz; 8 to 160 kbit/s) and MPEG-2.5 (8000, 11025,
// 12000 Hz; 8 to 64 kbit/s, the most libmp3lame encodes at those rates), mono or joint stereo.
// The formats it offers state in nCodecDelay the decoded frames before the first recorded one
// (kRecordingDelay, the same at every layout), so a recording in them is decoded from its first
// recorded frame.  A record written elsewhere is accepted whatever its wID, flags, block size and
// delay say, as long as its rate, bitrate and channels are ones the codec supports: the decoder
// reads those from the frames themselves, and skips the delay the record states
// (MpegLayer3StatedDelay: none for 0 and for the conventional 1393).
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

#include "platform/acm/mp3/mp3_codec.h"

namespace voxl::acm {
namespace mp3 {
namespace {

// The bitrates of each MPEG version (ISO 11172-3 and 13818-3 tables, without the free format),
// in kbit/s, and the rates of each, in the order the formats are offered.
constexpr uint16_t kMpeg1Kbps[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr uint16_t kMpeg2Kbps[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr uint16_t kMpeg25Kbps[] = {8, 16, 24, 32, 40, 48, 56, 64};

struct Version {
  uint32_t rates[3];
  std::span<const uint16_t> kbps;
  uint16_t suggestedKbps;  // what SuggestFromPcm picks
};
constexpr Version kVersions[] = {
    {{32000, 44100, 48000}, kMpeg1Kbps, 128},
    {{16000, 22050, 24000}, kMpeg2Kbps, 64},
    {{8000, 11025, 12000}, kMpeg25Kbps, 32},
};

const Version* VersionOf(uint32_t rate) {
  for (const Version& v : kVersions) {
    for (uint32_t r : v.rates) {
      if (r == rate) return &v;
    }
  }
  return nullptr;
}

bool Supported(const Layout& l) {
  const Version* v = VersionOf(l.rate);
  if (v == nullptr || (l.channels != 1 && l.channels != 2)) return false;
  for (uint16_t k : v->kbps) {
    if (k == l.kbps) return true;
  }
  return false;
}

constexpr DWORD kFormatBytes = sizeof(MPEGLAYER3WAVEFORMAT);

void Fill(const Layout& l, WAVEFORMATEX* out) {
  MPEGLAYER3WAVEFORMAT f{};
  f.wfx = WAVEFORMATEX{WAVE_FORMAT_MPEGLAYER3,    l.channels, l.rate, l.kbps * 1000 / 8, 1, 0,
                       MPEGLAYER3_WFX_EXTRA_BYTES};
  f.wID = MPEGLAYER3_ID_MPEG;
  f.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
  f.nBlockSize = static_cast<WORD>(FrameBytes(l));
  f.nFramesPerBlock = 1;
  f.nCodecDelay = static_cast<WORD>(kRecordingDelay);
  std::memcpy(out, &f, sizeof f);
}

Layout LayoutOf(const WAVEFORMATEX* f) {
  return Layout{f->nSamplesPerSec, f->nChannels,
                static_cast<uint32_t>(f->nAvgBytesPerSec * uint64_t{8} / 1000)};
}

bool IsPcm16(const WAVEFORMATEX* f) {
  return f->wFormatTag == WAVE_FORMAT_PCM && f->wBitsPerSample == 16 &&
         f->nBlockAlign == f->nChannels * 2;
}

DWORD StandardFormatCount() {
  DWORD n = 0;
  for (const Version& v : kVersions)
    n += static_cast<DWORD>(std::size(v.rates) * v.kbps.size() * 2);
  return n;
}

// Formats by version, rate, bitrate, then mono before stereo.
bool StandardFormat(DWORD index, WAVEFORMATEX* out, DWORD capacity) {
  if (capacity < kFormatBytes) return false;
  for (const Version& v : kVersions) {
    const DWORD perRate = static_cast<DWORD>(v.kbps.size() * 2);
    if (index < std::size(v.rates) * perRate) {
      const Layout l{v.rates[index / perRate], static_cast<uint16_t>(index % 2 + 1),
                     v.kbps[index % perRate / 2]};
      Fill(l, out);
      return true;
    }
    index -= static_cast<DWORD>(std::size(v.rates) * perRate);
  }
  return false;
}

bool Accepts(const WAVEFORMATEX* f, DWORD size) {
  if (f == nullptr || size < sizeof(WAVEFORMATEX)) return false;
  if (f->wFormatTag != WAVE_FORMAT_MPEGLAYER3 || f->cbSize < MPEGLAYER3_WFX_EXTRA_BYTES ||
      sizeof(WAVEFORMATEX) + f->cbSize > size || f->nBlockAlign == 0 ||
      f->nAvgBytesPerSec * uint64_t{8} % 1000 != 0) {
    return false;
  }
  return Supported(LayoutOf(f));
}

void Describe(const WAVEFORMATEX* f, char* text, size_t capacity) {
  std::snprintf(text, capacity, "%u Hz, %u kbit/s, %s", static_cast<unsigned>(f->nSamplesPerSec),
                static_cast<unsigned>(f->nAvgBytesPerSec * uint64_t{8} / 1000),
                f->nChannels == 1 ? "Mono" : "Stereo");
}

bool SuggestFromPcm(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity) {
  const Version* v = VersionOf(pcm->nSamplesPerSec);
  if (!IsPcm16(pcm) || v == nullptr || capacity < kFormatBytes) return false;
  const Layout l{pcm->nSamplesPerSec, pcm->nChannels, v->suggestedKbps};
  if (!Supported(l)) return false;
  Fill(l, out);
  return true;
}

std::unique_ptr<CodecStream> Open(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  const bool encode = source->wFormatTag == WAVE_FORMAT_PCM;
  const WAVEFORMATEX* pcm = encode ? source : dest;
  const WAVEFORMATEX* mpeg = encode ? dest : source;
  if (!IsPcm16(pcm) || pcm->nChannels != mpeg->nChannels ||
      pcm->nSamplesPerSec != mpeg->nSamplesPerSec) {
    return nullptr;
  }
  const Layout l = LayoutOf(mpeg);
  if (!Supported(l)) return nullptr;
  return encode ? OpenEncoder(l) : OpenDecoder(l, MpegLayer3StatedDelay(mpeg, kFormatBytes));
}

}  // namespace

uint32_t FrameSamples(uint32_t rate) {
  return rate >= 32000 ? 1152 : 576;
}

uint32_t FrameBytes(const Layout& l) {
  return (l.rate >= 32000 ? 144000 : 72000) * l.kbps / l.rate;
}

}  // namespace mp3

const CodecDriver kMpegLayer3Driver = {WAVE_FORMAT_MPEGLAYER3,
                                       "MPEG Layer-3",
                                       mp3::kFormatBytes,
                                       ACMDRIVERDETAILS_SUPPORTF_CODEC,
                                       mp3::StandardFormatCount,
                                       mp3::StandardFormat,
                                       mp3::Accepts,
                                       mp3::Describe,
                                       Pcm16Counterpart,
                                       mp3::SuggestFromPcm,
                                       mp3::Open};

}  // namespace voxl::acm
