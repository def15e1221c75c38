// Format records of the samples the recorder handles without a codec: linear PCM on the wave
// devices and in files, and A-law and mu-law in files (8 bits per sample), which the engine
// encodes from 16-bit device PCM itself.
#pragma once

#include <cstdint>

#include "voxl310k_platform.h"

namespace voxl {

// A format record of `bits` per sample: nBlockAlign = bits / 8 x channels, nAvgBytesPerSec =
// nBlockAlign x rate (held at 0xFFFFFFFF rather than wrapped), cbSize 0.
WAVEFORMATEX SampleFormat(WORD tag, WORD bits, WORD channels, DWORD rate);

// The format a recording stores for sampleFormat 8 or 16 (linear PCM of that many bits), 106
// (A-law, tag 6) or 107 (mu-law, tag 7).
WAVEFORMATEX StoredFormat(uint16_t sampleFormat, uint16_t channels, uint32_t rate);

// What the input device records for a recording stored in `stored`: the same linear PCM, or
// 16-bit PCM for A-law and mu-law.
WAVEFORMATEX DeviceFormat(const WAVEFORMATEX& stored);

// A tenth of a second of `format` in whole blocks: the size of one device buffer and of one
// conversion block.  0 when the format has no block size.
inline uint32_t TenthOfASecondBytes(const WAVEFORMATEX& format) {
  const uint32_t tenth = format.nAvgBytesPerSec / 10;
  return format.nBlockAlign == 0 ? 0 : tenth - tenth % format.nBlockAlign;
}

// WAVE_FORMAT_EXTENSIBLE: a record of 18 + 22 bytes whose subformat names the plain tag.
constexpr WORD kWaveFormatExtensible = 0xFFFE;

// The plain tag of a format record (`size` readable bytes): wFormatTag, or for an extensible
// record the tag its subformat names (0 when the record is too short to say).
WORD PlainFormatTag(const WAVEFORMATEX& format, size_t size);

// Whether a format holds linear samples whose length follows from the data size alone: PCM,
// IEEE float, A-law or mu-law, plain or extensible.
bool IsLinearLayout(const WAVEFORMATEX& format, size_t size);

inline bool IsG711(const WAVEFORMATEX& format) {
  return format.wFormatTag == WAVE_FORMAT_ALAW || format.wFormatTag == WAVE_FORMAT_MULAW;
}

}  // namespace voxl
