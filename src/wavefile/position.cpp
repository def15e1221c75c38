// The position and length of the open recording.
#include "wavefile/position.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "wavefile/frames.h"

namespace voxl {

uint64_t OpenLength(const Recorder& r) {
  const uint16_t state = r.state.load();
  return (state == StateOpen || state == StateRecording || state == StatePlaying) ? r.length.load()
                                                                                  : 0;
}

double LengthSeconds(const Recorder& r) {
  return FramesToSeconds(OpenLength(r), FrameRate(r));
}

double PositionSeconds(const Recorder& r) {
  return FramesToSeconds(r.position.load(), FrameRate(r));
}

int32_t HostPosition(const Recorder& r) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(r.position.load(), 0, std::numeric_limits<int32_t>::max()));
}

uint32_t HostLength(const Recorder& r) {
  return static_cast<uint32_t>(
      std::min<uint64_t>(OpenLength(r), std::numeric_limits<uint32_t>::max()));
}

uint32_t SetPosition(Recorder& r, int64_t frames) {
  const uint16_t state = r.state.load();
  const bool acts = r.insertMode.load() != 0
                        ? (state == StateOpen || state == StatePlaying)
                        : (state == StateOpen || state == StateRecording || state == StatePlaying);
  if (!acts) return kAccepted;

  const auto length = static_cast<int64_t>(std::min<uint64_t>(r.length.load(), kMaxFrames));
  int64_t target = frames;
  if (target < 0 || target > length) target = length;
  const double perBlock = r.samplesPerBlock;
  if (r.compressed.load() != 0 && perBlock >= 1.0 && std::isfinite(perBlock)) {
    // Compressed data is read and written in whole blocks.  A block size below one frame (or
    // not a number) cannot be snapped to and is left out.
    target =
        static_cast<int64_t>(std::floor(static_cast<double>(target) / perBlock) * perBlock + 0.5);
  }
  target = std::clamp<int64_t>(target, 0, length);

  const double moved = static_cast<double>(r.position.load()) - static_cast<double>(target);
  r.position = target;
  const double readPosition = r.readPosition.load();
  r.readPosition = moved <= readPosition ? readPosition - moved : 0.0;
  r.fileCursor = kCursorUnknown;
  return kAccepted;
}

uint32_t SetPositionSeconds(Recorder& r, double seconds) {
  if (StateIsCreatedOrIdle(r)) return kAccepted;
  const double frames = static_cast<double>(FrameRate(r)) * seconds;
  if (std::isnan(frames)) return kAccepted;
  // Past the frames any file holds is past its end, as a negative count is.
  return SetPosition(r, HeldFrames(frames));
}

}  // namespace voxl
