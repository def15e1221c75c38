// Format records of linear PCM, A-law and mu-law samples.
#include "formats/pcm_format.h"

namespace voxl {

WAVEFORMATEX SampleFormat(WORD tag, WORD bits, WORD channels, DWORD rate) {
  WAVEFORMATEX f{};
  f.wFormatTag = tag;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<WORD>((bits / 8) * channels);
  f.wBitsPerSample = bits;
  const uint64_t perSecond = static_cast<uint64_t>(f.nBlockAlign) * rate;
  f.nAvgBytesPerSec = perSecond > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(perSecond);
  f.cbSize = 0;
  return f;
}

WAVEFORMATEX StoredFormat(uint16_t sampleFormat, uint16_t channels, uint32_t rate) {
  if (sampleFormat == 106) return SampleFormat(WAVE_FORMAT_ALAW, 8, channels, rate);
  if (sampleFormat == 107) return SampleFormat(WAVE_FORMAT_MULAW, 8, channels, rate);
  return SampleFormat(WAVE_FORMAT_PCM, sampleFormat, channels, rate);
}

WAVEFORMATEX DeviceFormat(const WAVEFORMATEX& stored) {
  if (!IsG711(stored)) return stored;
  return SampleFormat(WAVE_FORMAT_PCM, 16, stored.nChannels, stored.nSamplesPerSec);
}

}  // namespace voxl
