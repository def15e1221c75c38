// The G.711 A-law and mu-law kernel, shared by the codec manager's G.711 driver and the
// recorder's capture and playback paths (which encode and decode in place, without a stream).
//
// The per-sample functions below are the defining forms: ITU-T G.711 in the segment-search form
// that works on 16-bit two's-complement samples. Capture encodes device PCM with them when the
// file format is A-law (tag 6) or mu-law (tag 7); playback decodes such files back to 16-bit PCM.
//
// The buffer functions at the end are the forms the capture and playback paths call. They look
// every value up in tables that the compiler builds, allocate nothing, and give exactly the
// defining results for every input (the tests check all of them).
//
// One deliberate difference from the plain segment-search form: A-law encoding of the negative
// samples -1 to -7. There the form computes a negative magnitude (-x - 8) and its arithmetic
// shift turns a near-silent sample into code 0x5A, which decodes to -248. Here the magnitude is
// held at 0, so these samples give code 0x55 (-8), the nearest A-law level, as every other
// negative sample of the first step does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace voxl {

// Upper ends of the eight G.711 segments, in 16-bit sample units: segment s covers magnitudes up
// to kG711SegmentEnds[s]; the first two segments share one step size.
inline constexpr std::int16_t kG711SegmentEnds[8] = {0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                                     0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF};

// Index of the first of `size` table entries that is >= value, or `size` when there is none.
constexpr int SegmentSearch(int value, const std::int16_t* table, int size) noexcept {
  for (int i = 0; i < size; ++i) {
    if (value <= table[i]) return i;
  }
  return size;
}

// 16-bit signed sample -> A-law code byte (even bits inverted, as transmitted).
constexpr std::uint8_t LinearToALaw(std::int16_t sample) noexcept {
  int mask;
  int v;
  if (sample >= 0) {
    mask = 0xD5;
    v = sample;
  } else {
    mask = 0x55;
    v = -static_cast<int>(sample) - 8;
    if (v < 0) v = 0;  // -1 .. -7: nearest level is -8 (see the note at the top)
  }
  const int s = SegmentSearch(v, kG711SegmentEnds, 8);
  if (s >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
  const int step = s < 2 ? 4 : s + 3;
  const int code = (s << 4) | ((v >> step) & 0xF);
  return static_cast<std::uint8_t>(code ^ mask);
}

// 16-bit signed sample -> mu-law code byte (all bits inverted, as transmitted). The bias 0x84 is
// added in int, so the extremes clip to codes 0x80 (+) and 0x00 (-) instead of wrapping.
constexpr std::uint8_t LinearToMuLaw(std::int16_t sample) noexcept {
  int mask;
  int v;
  if (sample < 0) {
    v = 0x84 - static_cast<int>(sample);
    mask = 0x7F;
  } else {
    v = static_cast<int>(sample) + 0x84;
    mask = 0xFF;
  }
  const int s = SegmentSearch(v, kG711SegmentEnds, 8);
  if (s >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
  const int code = (s << 4) | ((v >> (s + 3)) & 0xF);
  return static_cast<std::uint8_t>(code ^ mask);
}

// A-law code byte -> 16-bit signed sample, magnitudes 8 to 32256.
constexpr std::int16_t ALawToLinear(std::uint8_t code) noexcept {
  const int c = code ^ 0x55;
  int t = (c & 0xF) << 4;
  const int s = (c >> 4) & 7;
  if (s == 0) {
    t += 8;
  } else if (s == 1) {
    t += 0x108;
  } else {
    t = (t + 0x108) << (s - 1);
  }
  return static_cast<std::int16_t>((c & 0x80) != 0 ? t : -t);
}

// mu-law code byte -> 16-bit signed sample, magnitudes 0 to 32124.
constexpr std::int16_t MuLawToLinear(std::uint8_t code) noexcept {
  const int c = ~code & 0xFF;
  int t = ((c & 0xF) << 3) + 0x84;
  t <<= (c >> 4) & 7;
  return static_cast<std::int16_t>((c & 0x80) != 0 ? 0x84 - t : t - 0x84);
}

// Whole-buffer forms. `samples` points at `count` signed 16-bit samples in host order and may have
// any alignment (device buffers are byte arrays); `codes` at `count` bytes. Encoding may work in
// place (codes == samples: the codes then fill the first half of the buffer), and so may decoding
// (samples == codes: the buffer must hold 2 * count bytes). Other overlaps are not allowed.
void LinearToALawBuffer(const void* samples, std::size_t count, std::uint8_t* codes) noexcept;
void LinearToMuLawBuffer(const void* samples, std::size_t count, std::uint8_t* codes) noexcept;
void ALawToLinearBuffer(const std::uint8_t* codes, std::size_t count, void* samples) noexcept;
void MuLawToLinearBuffer(const std::uint8_t* codes, std::size_t count, void* samples) noexcept;

}  // namespace voxl
