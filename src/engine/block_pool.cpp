#include "engine/block_pool.h"

#include <cstdlib>

namespace voxl {

BlockPool::~BlockPool() {
  while (free_ != nullptr) {
    PooledBlock* next = free_->older;
    std::free(free_);
    free_ = next;
  }
}

PooledBlock* BlockPool::Take(uint32_t bytes) {
  PooledBlock* block = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (free_ != nullptr) {
      block = free_;
      free_ = block->older;
      --freeCount_;
    }
  }
  if (block != nullptr && block->capacity < bytes) {
    std::free(block);
    block = nullptr;
  }
  if (block == nullptr) {
    block = static_cast<PooledBlock*>(std::malloc(sizeof(PooledBlock) + (bytes > 0 ? bytes : 1)));
    if (block == nullptr) return nullptr;
    block->pool = this;
    block->capacity = bytes;
  }
  block->older = block->newer = nullptr;
  outstanding_.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void BlockPool::Give(PooledBlock* block) {
  if (block == nullptr) return;
  outstanding_.fetch_sub(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(mutex_);
    if (freeCount_ < kKeptBlocks) {
      block->older = free_;
      free_ = block;
      ++freeCount_;
      return;
    }
  }
  std::free(block);
}

size_t BlockPool::Kept() const {
  std::lock_guard lock(mutex_);
  return freeCount_;
}

}  // namespace voxl
