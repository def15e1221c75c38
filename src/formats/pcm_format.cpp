// Format records of linear PCM, A-law and mu-law samples.
#include "formats/pcm_format.h"

#include <cstring>

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

WORD PlainFormatTag(const WAVEFORMATEX& format, size_t size) {
  if (format.wFormatTag != kWaveFormatExtensible) return format.wFormatTag;
  // The subformat identifier is the tag in its first two bytes, then a fixed tail.
  static constexpr uint8_t kTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  constexpr size_t kSubformat = sizeof(WAVEFORMATEX) + 6;
  if (format.cbSize < 22 || size < kSubformat + 16) return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&format);
  if (std::memcmp(bytes + kSubformat + 2, kTail, sizeof kTail) != 0) return 0;
  return static_cast<WORD>(bytes[kSubformat] | (bytes[kSubformat + 1] << 8));
}

bool IsLinearLayout(const WAVEFORMATEX& format, size_t size) {
  const WORD tag = PlainFormatTag(format, size);
  return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_ALAW ||
         tag == WAVE_FORMAT_MULAW;
}

}  // namespace voxl
