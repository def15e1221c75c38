// Frames, bytes and seconds.
#include "wavefile/frames.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace voxl {
namespace {

// Whether positions count whole compressed blocks (the conversion set exists).
bool CountsBlocks(const Recorder& r) {
  return r.compressed.load() != 0 && r.fileFormat != nullptr;
}

// A frame count rounded to nearest: 0 below half a frame and for not-a-number, kMaxFrames for
// counts past it.
uint64_t RoundFrames(double frames) {
  const double rounded = frames + 0.5;
  if (!(rounded > 0.0)) return 0;
  if (rounded >= static_cast<double>(kMaxFrames)) return kMaxFrames;
  return static_cast<uint64_t>(rounded);
}

}  // namespace

uint64_t FrameToByte64(const Recorder& r, uint64_t frames) {
  if (CountsBlocks(r)) {
    const double perBlock = r.samplesPerBlock;
    if (!(perBlock > 0.0) || !std::isfinite(perBlock)) return 0;
    const double blocks = std::trunc(static_cast<double>(frames) / perBlock + 0.5);
    // perBlock > 0 keeps `blocks` finite; the product is done in 64 bits.
    const uint64_t whole =
        blocks >= 18446744073709551615.0 ? ~uint64_t{0} : static_cast<uint64_t>(blocks);
    const uint64_t align = r.fileFormat->nBlockAlign;
    if (align != 0 && whole > (~uint64_t{0}) / align) return ~uint64_t{0};
    return whole * align;
  }
  const uint64_t align = r.pcmFormat.nBlockAlign;
  if (align != 0 && frames > (~uint64_t{0}) / align) return ~uint64_t{0};
  return frames * align;
}

uint64_t FrameToFileOffset(const Recorder& r, uint64_t frames) {
  const uint64_t bytes = FrameToByte64(r, frames);
  const uint64_t base = r.dataChunk.dwDataOffset;
  return bytes > ~uint64_t{0} - base ? ~uint64_t{0} : base + bytes;
}

uint64_t PositionFileOffset(const Recorder& r) {
  return FrameToFileOffset(r, static_cast<uint64_t>(std::max<int64_t>(r.position.load(), 0)));
}

uint64_t ByteToFrames(const Recorder& r, uint64_t bytes) {
  if (CountsBlocks(r)) {
    const uint16_t align = r.fileFormat->nBlockAlign;
    return align == 0 ? 0 : RoundFrames(static_cast<double>(bytes) * r.samplesPerBlock / align);
  }
  const uint16_t align = r.pcmFormat.nBlockAlign;
  return align == 0 ? 0 : std::min<uint64_t>(bytes / align, kMaxFrames);
}

uint64_t SecondsToFrames(double seconds, uint32_t hertz) {
  return RoundFrames(static_cast<double>(hertz) * seconds);
}

int64_t HeldFrames(double frames) {
  constexpr auto kHigh = static_cast<double>(kMaxFrames);
  return std::isnan(frames) ? 0 : static_cast<int64_t>(std::clamp(frames, -kHigh, kHigh));
}

double FramesToSeconds(int64_t frames, uint32_t hertz) {
  if (frames < 1 || hertz == 0) return 0.0;
  return static_cast<double>(frames) / static_cast<double>(hertz);
}

uint32_t FrameRate(const Recorder& r) {
  if (r.compressed.load() != 0) {
    return r.fileFormat != nullptr ? r.fileFormat->nSamplesPerSec : 0;
  }
  return r.pcmFormat.nSamplesPerSec;
}

}  // namespace voxl
