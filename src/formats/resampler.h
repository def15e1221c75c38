// Sample-rate conversion and channel mapping of 16-bit PCM, for converting files.
//
// The resampler is a polyphase windowed-sinc filter (Kaiser window, beta 10): its passband runs
// to 0.9 of the lower rate's Nyquist frequency with a ripple below 0.001 dB, its stopband starts
// at that Nyquist frequency with 99.7 dB of attenuation or more, so nothing above it aliases.  The
// filter spans 130 samples of the lower rate.  The phases are exact for rate ratios whose reduced
// numerator is at most kExactPhases; other ratios interpolate linearly between kExactPhases
// phases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace voxl {

class Resampler {
 public:
  static constexpr uint32_t kExactPhases = 1024;

  // False when a rate is 0.
  bool Init(uint32_t inRate, uint32_t outRate, uint16_t channels);

  // Takes `frames` interleaved frames and appends the frames they complete to `out`.
  void Process(const int16_t* in, size_t frames, std::vector<int16_t>& out);
  // The end of the input: appends the remaining frames, so that the output holds
  // ceil(input frames x outRate / inRate) frames in all.
  void Finish(std::vector<int16_t>& out);

 private:
  // Adds input frames to the history, not counted as input (the silence behind the end too).
  void Append(const int16_t* in, size_t frames);
  // Output frames while the input reaches far enough (`end` = no more input comes).
  void Produce(std::vector<int16_t>& out, bool end);

  uint64_t up_ = 1, down_ = 1;  // out/in = up_/down_, reduced
  uint16_t channels_ = 1;
  uint32_t half_ = 1;           // taps on each side of the centre, in input samples
  uint32_t phases_ = 1;         // rows of the table
  bool interpolate_ = false;    // phases_ + 1 rows, interpolated between
  std::vector<float> table_;    // rows of 2 * half_ taps
  std::vector<float> history_;  // per channel, the input from index start_ on
  int64_t start_ = 0;           // input index of history_'s first frame
  size_t held_ = 0;             // frames in history_ per channel
  uint64_t inFrames_ = 0;       // input frames taken
  uint64_t outFrames_ = 0;      // output frames given
  uint64_t base_ = 0;           // input index at or below the next output's centre
  uint64_t phase_ = 0;          // its fraction, in 1/up_
  std::vector<float> scratch_;
};

// Maps interleaved 16-bit frames from `inChannels` to `outChannels`: fewer channels take the
// mean (rounded) of the input channels that fall on them (channel i goes to i mod outChannels),
// more repeat the input channels in turn.  Appends to `out`.
void MapChannels(const int16_t* in, size_t frames, uint16_t inChannels, uint16_t outChannels,
                 std::vector<int16_t>& out);

}  // namespace voxl
