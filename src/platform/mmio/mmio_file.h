// Private to the mmio service: the open-file record and the positioned I/O that the file
// operations (mmio_file.cpp) and the chunk operations (mmio_chunks.cpp) share.
#pragma once

#include <cstdint>

#include "platform/mmio/mmio.h"

// One open file or memory block.  Used by one thread at a time (the caller's).
struct HMMIO__ {
  int fd = -1;                // file descriptor; -1 for a memory file
  char* memory = nullptr;     // memory file: the caller's block
  uint64_t memorySize = 0;    // memory file: bytes in the block, the file's fixed length
  bool readable = false;      // opened with MMIO_READ or MMIO_READWRITE
  bool writable = false;      // opened with MMIO_WRITE or MMIO_READWRITE
  uint64_t position = 0;      // bytes from the start; never above LimitOf(h)
  bool largeOffsets = false;  // AllowLargeOffsets: the position may pass kMaxPosition
};

namespace voxl::mmio {

// The highest position the 32-bit interface can name.  Seeks, reads, writes and ascends keep the
// position at or below it, so every offset handed out (positions, dwDataOffset) is exact.
inline constexpr uint64_t kMaxPosition = 0xFFFFFFFFu;

// The highest position of a handle given AllowLargeOffsets (what off_t reaches).
inline constexpr uint64_t kMaxLargePosition = 0x7FFFFFFFFFFFFFFFu;

inline uint64_t LimitOf(const HMMIO__* h) {
  return h->largeOffsets ? kMaxLargePosition : kMaxPosition;
}

// False for null and for the (HMMIO)1 that MMIO_EXIST and MMIO_DELETE return.
bool IsOpenFile(HMMIO h);

// Reads up to `count` bytes at `offset` without moving the position.  Returns the bytes read
// (fewer at the end of the file), or -1 when the first read fails.
int64_t ReadAt(HMMIO h, uint64_t offset, void* buffer, uint64_t count);
// Writes up to `count` bytes at `offset` without moving the position.  Returns the bytes
// written (fewer when the disk or the memory block is full), or -1 when nothing could be
// written.
int64_t WriteAt(HMMIO h, uint64_t offset, const void* buffer, uint64_t count);
// The file's current length in bytes (the block size for memory files).
bool FileLength(HMMIO h, uint64_t* length);

inline uint32_t LoadLe32(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void StoreLe32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace voxl::mmio
