// The MPEG Layer-3 codec's parts: the layouts it supports (mp3_driver.cpp), the encoder
// (mp3_encoder.cpp, libmp3lame) and the decoder (mp3_decoder.cpp, libmpg123).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/acm/acm.h"
#include "platform/acm/acm_driver.h"

namespace voxl::acm::mp3 {

// What a stream of the codec is: sample rate, channels and constant bitrate.
struct Layout {
  uint32_t rate = 0;      // Hz, one of the MPEG-1, MPEG-2 or MPEG-2.5 rates
  uint16_t channels = 0;  // 1 or 2
  uint32_t kbps = 0;      // kbit/s, one of the bitrates of the rate's MPEG version
};

// Samples per channel in one frame: 1152 for MPEG-1 rates, 576 for MPEG-2 and 2.5.
uint32_t FrameSamples(uint32_t rate);
// Bytes of one frame without its padding byte.
uint32_t FrameBytes(const Layout& layout);

// The encoder's look-ahead before the first frame it is given (libmp3lame's, 576 samples per
// channel at every layout) and the decoder's filter-bank delay (529): the decoded stream of a
// recording holds kRecordingDelay frames before the first recorded one.  The formats the codec
// offers state it in nCodecDelay.
constexpr uint32_t kEncoderDelay = 576;
constexpr uint32_t kDecoderDelay = kMpegLayer3DecoderDelay;
constexpr uint32_t kRecordingDelay = kEncoderDelay + kDecoderDelay;

// Streams from 16-bit PCM of the layout's rate and channels, and back; null when the library
// refuses the layout, cannot allocate its state, or (the encoder) has another delay than
// kEncoderDelay.  The decoder leaves out the first `skipFrames` frames of every stream it
// starts.
std::unique_ptr<CodecStream> OpenEncoder(const Layout& layout);
std::unique_ptr<CodecStream> OpenDecoder(const Layout& layout, uint32_t skipFrames);

}  // namespace voxl::acm::mp3
