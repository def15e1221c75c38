// Tone analysis for tests: frequency and levels of one channel of 16-bit PCM.
//
// Levels are in dB relative to full scale (32768): a peak of 16384 is -6.02 dBFS.  A channel that
// holds only zeros has a level of minus infinity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace voxl::test {

// One channel of interleaved 16-bit samples.
struct ChannelView {
  const int16_t* samples = nullptr;  // interleaved frames
  size_t frames = 0;
  int channels = 1;
  int channel = 0;

  int16_t operator[](size_t frame) const {
    return samples[frame * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
  }
  // Frames [begin, end) of the same channel; clamped to the frames present.
  ChannelView Slice(size_t begin, size_t end) const;
};

ChannelView Channel(const std::vector<int16_t>& interleaved, int channels, int channel);
// Reinterprets little-endian bytes as samples (whole samples only).
std::vector<int16_t> SamplesFromBytes(const std::vector<uint8_t>& bytes);

// Frequency in Hz from the spacing of the upward zero crossings (DC removed, interpolated
// between samples).  Precise to far better than 1% for a clean tone of a few dozen periods;
// 0 when fewer than two crossings are found.
double EstimateFrequency(const ChannelView& view, double rate);

double PeakDbfs(const ChannelView& view);

// Peak amplitude, in dBFS, of the sinusoid at `frequency` (Goertzel over the whole view).
// A -6 dBFS sine reads -6 dBFS at its own frequency and far less at any other.
double ToneDbfs(const ChannelView& view, double frequency, double rate);

// Checks that a tone played through a real sound server came back: more than `wholeFrames`
// frames of it sound (above -20 dBFS), and every stretch long enough to measure has the tone's
// frequency and its -6 dBFS level.  A stretch is a run of loud samples with no quiet gap of 2 ms
// or more inside: a player starved of CPU on a busy machine leaves such gaps (the sink plays
// silence until the player catches up), which a measurement across them would take for a lower
// frequency, so what arrived is judged within each stretch (their first and last 0.1 s and the
// edges of gaps left out), and the gaps are reported.
void ExpectToneStretches(const ChannelView& view, double rate, double hertz, size_t wholeFrames);

// `frames` frames of a sine with the given peak level, the same on every channel, starting at
// phase 0.
std::vector<int16_t> MakeTone(double frequency, double peakDbfs, double rate, int channels,
                              size_t frames);

}  // namespace voxl::test
