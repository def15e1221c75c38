// The codec drivers, in the order the chooser and `voxl formats` list them, each with what it
// accepts.  Every record is also checked by the manager first (18 bytes, cbSize within the
// record, no zero channels, rate, block size or byte rate).
#include <array>
#include <cstdio>

#include "platform/acm/acm_driver.h"

namespace voxl::acm {
namespace {

constexpr std::array<const CodecDriver*, 9> kDrivers = {
    // PCM, 8 (unsigned), 16, 24 or 32 bits, 1 to 8 channels, 1000 to 384000 Hz; converts
    // between two linear layouts of one rate (fewer channels take the mean of those that fall
    // on them).  Standard formats: 8 and 16 bits, mono and stereo.
    &kPcmDriver,
    // IEEE float (tag 3), 32 or 64 bits, as PCM; standard formats: 32 bits, mono and stereo.
    &kFloatDriver,
    // WAVE_FORMAT_EXTENSIBLE (tag 0xFFFE) with subformat PCM or IEEE float, as those; opened
    // and recorded into, not offered as a standard format.
    &kExtensibleDriver,
    // A-law (tag 6): 8-bit codes, mono or stereo, 1000 to 192000 Hz, nBlockAlign = channels;
    // from and to 16-bit PCM of the same rate and channels.
    &kALawDriver,
    // mu-law (tag 7): as A-law.
    &kMuLawDriver,
    // IMA ADPCM (tag 0x11): 4 bits, mono or stereo, samples-per-block word in cbSize 2; from and
    // to 16-bit PCM.
    &kImaAdpcmDriver,
    // Coefficient ADPCM (tag 2): 4 bits, mono or stereo, cbSize 32 (samples per block, 7 and
    // the seven standard coefficient pairs); from and to 16-bit PCM.
    &kMsAdpcmDriver,
    // GSM 6.10 (tag 0x31): 8000 Hz mono, 65-byte blocks of 320 samples; from and to 16-bit PCM.
    &kGsm610Driver,
    // MPEG Layer-3 (tag 0x55): the 30-byte record, CBR at the rates and sample rates of MPEG-1,
    // 2 and 2.5, mono or stereo; encodes 16-bit PCM, decodes to it.
    &kMpegLayer3Driver,
};

}  // namespace

std::span<const CodecDriver* const> Drivers() {
  return kDrivers;
}

void Pcm16Counterpart(const WAVEFORMATEX* format, WAVEFORMATEX* pcm) {
  const auto align = static_cast<WORD>(2 * format->nChannels);
  *pcm = WAVEFORMATEX{WAVE_FORMAT_PCM,
                      format->nChannels,
                      format->nSamplesPerSec,
                      format->nSamplesPerSec * align,
                      align,
                      16,
                      0};
}

void DescribeBasics(const WAVEFORMATEX* format, char* text, size_t capacity) {
  if (format->nChannels <= 2) {
    std::snprintf(
        text, capacity, "%u Hz, %u Bit, %s", static_cast<unsigned>(format->nSamplesPerSec),
        static_cast<unsigned>(format->wBitsPerSample), format->nChannels == 1 ? "Mono" : "Stereo");
  } else {
    std::snprintf(
        text, capacity, "%u Hz, %u Bit, %u Channels", static_cast<unsigned>(format->nSamplesPerSec),
        static_cast<unsigned>(format->wBitsPerSample), static_cast<unsigned>(format->nChannels));
  }
}

const CodecDriver* DriverForTag(WORD tag) {
  for (const CodecDriver* d : kDrivers) {
    if (d->formatTag == tag) return d;
  }
  return nullptr;
}

}  // namespace voxl::acm
