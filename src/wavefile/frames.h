// Frames, bytes and seconds: the one place where positions and lengths (sample frames) become
// byte offsets in a file, byte counts become frames again, and frames meet seconds.
//
// Bytes are counted in the file's own format: nBlockAlign of pcmFormat for PCM, A-law and
// mu-law files (one byte per sample for the last two), whole compressed blocks of fileFormat
// while the conversion set exists (samplesPerBlock frames each).
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// The largest frame count a position or length takes (far beyond any disk): counts saturate here
// rather than wrap.
constexpr uint64_t kMaxFrames = uint64_t{1} << 62;

// Byte offset inside the data of a position of `frames` sample frames: frames x nBlockAlign of
// pcmFormat, or, while the conversion set exists, whole compressed blocks (frames /
// samplesPerBlock rounded to nearest) x nBlockAlign of fileFormat.  Computed in 64 bits, never
// wrapped (a count past 64 bits gives the largest value); 0 for a block size that is not a
// positive number.
uint64_t FrameToByte64(const Recorder& r, uint64_t frames);
// File offset of a position: dataChunk's data offset plus FrameToByte64 (never wrapped).
uint64_t FrameToFileOffset(const Recorder& r, uint64_t frames);
// The file offset of r.position (a negative one counts as 0).
uint64_t PositionFileOffset(const Recorder& r);

// Sample frames held by `bytes` of data in the file's format: whole frames of pcmFormat, or,
// while the conversion set exists, bytes / nBlockAlign x samplesPerBlock rounded to nearest
// (at most kMaxFrames).  0 when the block alignment is 0.
uint64_t ByteToFrames(const Recorder& r, uint64_t bytes);

// Frames of a duration at `hertz`, rounded to nearest.  Saturates at kMaxFrames instead of
// wrapping; 0 for durations that are not positive (not-a-number included).
uint64_t SecondsToFrames(double seconds, uint32_t hertz);
// A signed frame count given in a double (frames of a duration, moves either way), cut toward 0
// to whole frames and held within -kMaxFrames..kMaxFrames; 0 for not-a-number.
int64_t HeldFrames(double frames);
// Seconds of `frames` at `hertz`; 0 for fewer than one frame or an unknown rate (0 Hz).
double FramesToSeconds(int64_t frames, uint32_t hertz);

// Frames per second of positions and lengths: the file format's rate when the recording is
// compressed, else the device format's.  0 when neither is known yet (nothing open).
uint32_t FrameRate(const Recorder& r);

}  // namespace voxl
