// MPEG audio frame headers: finding the first frame of a headerless MPEG audio stream and
// describing it as an MPEG Layer-3 wave format for the codec manager.
//
// Host's thread, while the engine is idle.
#pragma once

#include <cstdint>
#include <vector>

#include "core/recorder.h"

namespace voxl {

// The fields of one 4-byte frame header.  versionId: 0 MPEG-2.5, 1 reserved (also: no header
// found), 2 MPEG-2, 3 MPEG-1.  layerId: 1 Layer III, 2 Layer II, 3 Layer I.  bitrate in kbit/s
// (0 free format), sampleRate in Hz; channelMode 3 is a single channel.
struct MpegFrameHeader {
  uint32_t versionId;
  uint32_t layerId;
  uint32_t protection;
  uint32_t bitrateIndex;
  uint32_t bitrate;
  uint32_t sampleRateIndex;
  uint32_t sampleRate;
  uint32_t padding;
  uint32_t privateBit;
  uint32_t channelMode;
  uint32_t modeExtension;
  uint32_t copyright;
  uint32_t original;
  uint32_t emphasis;
};

constexpr uint32_t kMpegNoHeader = 1;  // versionId when no header was found
// Bytes read from the stream's start (behind a leading ID3v2 tag) in search of the first frame.
constexpr uint32_t kMpegScanBytes = 32768;

// Finds the first frame header in `data` (`*count` bytes): 0xFF and three set sync bits, a
// defined version and layer, a bitrate index that is not forbidden and a defined sample rate.
// A candidate whose frame length is known (not free format) is taken only when another header
// of the same version, layer and rate stands right behind the frame, or the data ends before
// it: a sync pattern inside audio data or a picture is not a frame.  Found: *count becomes its
// offset.  Not found: versionId kMpegNoHeader and *count unchanged.
MpegFrameHeader ParseMpegFrameHeader(const uint8_t* data, uint32_t* count);

// Bytes of the frame a header starts (padding included); 0 for free format or no header.
uint32_t MpegFrameBytes(const MpegFrameHeader& header);

// Bytes a complete ID3v2 tag at the start of `data` (`count` bytes) takes: its 10-byte header,
// the size it declares and the 10-byte footer when its flags announce one.  0 when `data` does
// not start with a well-formed tag header.
uint32_t Id3v2TagBytes(const uint8_t* data, uint32_t count);

// What an Info (or Xing) frame says of the stream behind it: its frames and bytes (the Info
// frame not counted) and, where its encoder extension states them, the encoder's delay and the
// padding at the end, in samples per channel.  Decoders that read it play frames x samples per
// frame - delay - padding samples, less their own filter-bank delay at the start.
struct MpegInfoTag {
  uint32_t frames = 0;
  uint32_t bytes = 0;
  bool statesDelays = false;
  uint32_t delay = 0;
  uint32_t padding = 0;
};

// Whether the frame at `frame` (`bytes` of it, from its header) is an Info or Xing frame, and
// what it says.
bool ParseMpegInfoFrame(const uint8_t* frame, uint32_t bytes, MpegInfoTag* tag);

// An Info frame for a constant-bitrate Layer III stream of `format` (an MPEG Layer-3 record):
// a frame of the stream's version, rate and channels that decoders skip, with the tag, a linear
// seek table and the encoder extension stating delay and padding.  Its bitrate is the stream's,
// or the lowest one whose frame holds the tag.  Empty for a format it cannot describe.
std::vector<uint8_t> MakeMpegInfoFrame(const WAVEFORMATEX& format, const MpegInfoTag& tag);

// Finds the first MPEG Layer III frame of the open file (behind a leading ID3v2 tag, within
// kMpegScanBytes), applies the MPEG Layer-3 format it describes as the target format, sets
// sampleFormat 100 and returns its file offset.  The file is left at offset 0.  Errors through
// *error and lastError: ErrFormatUnusable when no file is open, no Layer III header is found,
// the stream is free format or the codec manager refuses the format; ErrFileOpen when the file
// cannot be read.  An Info frame in front of the first frame is skipped; where it states the
// encoder's delay and padding, the format states the decoded frames before the first recorded
// one and *statedFrames (when given) becomes the frames recorded, else 0.
uint32_t ScanMpegStream(Recorder& r, uint16_t* error, uint32_t* statedFrames = nullptr);

}  // namespace voxl
