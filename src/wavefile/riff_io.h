// RIFF file I/O of the recorder: seeks to 64-bit offsets within the 32-bit RIFF range (beyond it
// on a handle given mmio::AllowLargeOffsets, an RF64 file), reads and
// writes that succeed only whole, little-endian 32-bit fields, and moves of a byte range (inside
// one file or between two) through one fixed buffer, whatever the size of the range.
//
// Every call works on an open mmio handle and runs on the thread that owns the file at the time.
#pragma once

#include <cstdint>

#include "platform/mmio/mmio.h"

namespace voxl {

// Largest byte offset or size a RIFF file can describe.
constexpr uint64_t kMaxRiffOffset = 0xFFFFFFFFu;

// Bytes of the buffer a range moves through.
constexpr uint32_t kMoveBufferBytes = 0x10000;

// Seeks to an absolute file offset; false (and no seek) when the file cannot address it: past
// kMaxRiffOffset only a handle that allows large offsets can.
bool SeekTo(HMMIO h, uint64_t offset);
// The current position of the file, or UINT64_MAX when it cannot be had.
uint64_t TellAt(HMMIO h);

// Read or write all `count` bytes at the current position; false when fewer moved (what was
// moved stays moved).
bool ReadAll(HMMIO h, void* data, uint32_t count);
bool WriteAll(HMMIO h, const void* data, uint32_t count);

// Writes the 32-bit value little-endian at the current position; true when all 4 bytes were
// written.
bool WriteU32(HMMIO h, uint32_t value);

// A little-endian 32-bit field in memory.
inline uint32_t LoadLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t LoadLe64(const uint8_t* p) {
  return LoadLe32(p) | (uint64_t{LoadLe32(p + 4)} << 32);
}
inline void StoreLe64(uint8_t* p, uint64_t v) {
  StoreLe32(p, static_cast<uint32_t>(v));
  StoreLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Copies `count` bytes from offset `from` in `source` to offset `to` in another file `target` in
// pieces of at most kMoveBufferBytes through `buffer` (at least kMoveBufferBytes).  False at the
// first piece that cannot be read or written whole.
bool CopyThroughBuffer(HMMIO source, uint64_t from, HMMIO target, uint64_t to, uint64_t count,
                       uint8_t* buffer);

}  // namespace voxl
