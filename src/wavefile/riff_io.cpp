// RIFF file I/O of the recorder.
#include "wavefile/riff_io.h"

#include <algorithm>

namespace voxl {
namespace {

bool ReadAt(HMMIO h, uint64_t offset, uint8_t* data, uint32_t count) {
  return SeekTo(h, offset) && ReadAll(h, data, count);
}

bool WriteAt(HMMIO h, uint64_t offset, const uint8_t* data, uint32_t count) {
  return SeekTo(h, offset) && WriteAll(h, data, count);
}

}  // namespace

bool SeekTo(HMMIO h, uint64_t offset) {
  // The 32-bit seek answers offset 0xFFFFFFFF as -1, its failure: a handle that may pass 4 GiB
  // (where data of an odd frame size can end right there) takes the 64-bit one.
  if (offset >= kMaxRiffOffset && mmio::LargeOffsetsAllowed(h)) return mmio::Seek64(h, offset);
  if (offset > kMaxRiffOffset) return false;
  return mmioSeek(h, static_cast<LONG>(static_cast<uint32_t>(offset)), SEEK_SET) != -1;
}

uint64_t TellAt(HMMIO h) {
  uint64_t here = 0;
  return mmio::Tell64(h, &here) ? here : UINT64_MAX;
}

bool ReadAll(HMMIO h, void* data, uint32_t count) {
  return mmioRead(h, static_cast<HPSTR>(data), static_cast<LONG>(count)) ==
         static_cast<LONG>(count);
}

bool WriteAll(HMMIO h, const void* data, uint32_t count) {
  return mmioWrite(h, static_cast<const char*>(data), static_cast<LONG>(count)) ==
         static_cast<LONG>(count);
}

bool WriteU32(HMMIO h, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return WriteAll(h, bytes, 4);
}

bool CopyThroughBuffer(HMMIO source, uint64_t from, HMMIO target, uint64_t to, uint64_t count,
                       uint8_t* buffer) {
  for (uint64_t done = 0; done < count;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(count - done, kMoveBufferBytes));
    if (!ReadAt(source, from + done, buffer, n) || !WriteAt(target, to + done, buffer, n)) {
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace voxl
