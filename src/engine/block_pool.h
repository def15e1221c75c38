// Storage for the captured blocks that the flat functions hand to their host, recycled so that
// the steady flow of blocks allocates nothing.
//
// A block is one piece of storage in the shape GetNextACMBlock hands out (an AcmBlock with its
// audio right behind it), with the links of the receiver's list of blocks waiting to be taken in
// front of it.  The engine takes a block, copies a device buffer into it and posts it; the host
// gives it back once it is done with it, or it is given back wherever a notification is dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "voxl310k.h"

namespace voxl {

class BlockPool;

struct PooledBlock {
  PooledBlock* older;  // the receiver's list (toward its oldest block); the pool's free list
  PooledBlock* newer;  // the receiver's list (toward its newest block)
  BlockPool* pool;     // where the block goes back
  uint32_t run;        // the run that recorded it (Recorder::run)
  uint32_t capacity;   // bytes of audio the storage holds
  AcmBlock acm;        // what the host receives; the audio (acm.dataLength bytes) follows
};
static_assert(offsetof(PooledBlock, acm) + sizeof(AcmBlock) == sizeof(PooledBlock),
              "an AcmBlock's audio follows it directly");

inline uint8_t* BlockData(PooledBlock* block) {
  return ACM_BLOCK_DATA(&block->acm);
}
inline PooledBlock* PooledBlockOf(AcmBlock* acm) {
  return reinterpret_cast<PooledBlock*>(reinterpret_cast<uint8_t*>(acm) -
                                        offsetof(PooledBlock, acm));
}

// Thread-safe: the engine takes blocks while the host gives them back.  The pool keeps up to
// kKeptBlocks free blocks; a host that falls behind makes it allocate more, which go back to
// the heap when they return to a full pool.
class BlockPool {
 public:
  static constexpr size_t kKeptBlocks = 16;

  BlockPool() = default;
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  ~BlockPool();

  // A block with room for `bytes` of audio, its links cleared; null when no memory can be had.
  PooledBlock* Take(uint32_t bytes);
  // Takes a block back (null is accepted).  The caller must not touch it afterwards.
  void Give(PooledBlock* block);

  // Blocks handed out and not given back yet; free blocks the pool keeps.
  size_t Outstanding() const { return outstanding_.load(std::memory_order_relaxed); }
  size_t Kept() const;

 private:
  mutable std::mutex mutex_;
  PooledBlock* free_ = nullptr;  // linked through `older`
  size_t freeCount_ = 0;
  std::atomic<size_t> outstanding_{0};
};

// Gives `block` back to the pool it came from (null is accepted).
inline void ReturnBlock(PooledBlock* block) {
  if (block != nullptr) block->pool->Give(block);
}

}  // namespace voxl
