// The conversion stream of a block codec: whole source blocks in, whole output blocks out, a
// block begun in one call and finished in a later one, and the last partial block at END.
//
// A codec derives from BlockStream and converts single blocks; the flags of Convert (START,
// BLOCKALIGN, END, see acm_driver.h) are handled here once:
// - START forgets the held bytes and calls Reset.
// - BLOCKALIGN without END takes whole source blocks only; the rest stays with the caller.
// - Without BLOCKALIGN every byte is taken: a partial block is held until later calls complete it.
// - END also converts the partial block left at the end (ConvertPartial).
// When the destination cannot take a block's output, that block's source is not taken.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/acm/acm_driver.h"

namespace voxl::acm {

class BlockStream : public CodecStream {
 public:
  // `sourceBlockBytes` of input give `outputBlockBytes` of output; both non-zero.
  BlockStream(uint32_t sourceBlockBytes, uint32_t outputBlockBytes)
      : sourceBlock_(sourceBlockBytes), outputBlock_(outputBlockBytes), held_(sourceBlockBytes) {}

  // By whole blocks, a partial block counted as a whole one; 0 when it does not fit 32 bits.
  uint32_t MaxOutputBytes(uint32_t sourceBytes) const override {
    return Scale(sourceBytes, sourceBlock_, outputBlock_);
  }
  uint32_t SourceBytesFor(uint32_t outputBytes) const override {
    return Scale(outputBytes, outputBlock_, sourceBlock_);
  }

  MMRESULT Convert(ConvertIo& io, DWORD flags) final {
    if ((flags & ACM_STREAMCONVERTF_START) != 0) {
      heldBytes_ = 0;
      Reset();
    }
    const bool end = (flags & ACM_STREAMCONVERTF_END) != 0;
    const bool wholeOnly = (flags & ACM_STREAMCONVERTF_BLOCKALIGN) != 0 && !end;
    io.srcUsed = 0;
    io.dstUsed = 0;
    auto room = [&io] { return io.dstBytes - io.dstUsed; };

    if (heldBytes_ > 0) {
      const uint32_t take = std::min(sourceBlock_ - heldBytes_, io.srcBytes);
      const uint32_t total = heldBytes_ + take;
      const bool complete = total == sourceBlock_;
      const bool fits =
          complete ? room() >= outputBlock_ : !end || room() >= PartialOutputBytes(total);
      if (fits && (complete || !wholeOnly)) {
        std::memcpy(held_.data() + heldBytes_, io.src, take);
        heldBytes_ = total;
        io.srcUsed = take;
        if (complete) {
          ConvertBlock(held_.data(), io.dst);
          io.dstUsed = outputBlock_;
          heldBytes_ = 0;
        }
      }
    }
    if (heldBytes_ == 0) {
      const uint32_t blocks =
          std::min((io.srcBytes - io.srcUsed) / sourceBlock_, room() / outputBlock_);
      if (blocks > 0) ConvertBlocks(io.src + io.srcUsed, io.dst + io.dstUsed, blocks);
      io.srcUsed += blocks * sourceBlock_;
      io.dstUsed += blocks * outputBlock_;
      const uint32_t rest = io.srcBytes - io.srcUsed;
      if (rest > 0 && rest < sourceBlock_ && !wholeOnly &&
          (!end || room() >= PartialOutputBytes(rest))) {
        std::memcpy(held_.data(), io.src + io.srcUsed, rest);
        heldBytes_ = rest;
        io.srcUsed += rest;
      }
    }
    if (end && heldBytes_ > 0 && room() >= PartialOutputBytes(heldBytes_)) {
      ConvertPartial(held_.data(), heldBytes_, io.dst + io.dstUsed);
      io.dstUsed += PartialOutputBytes(heldBytes_);
      heldBytes_ = 0;
    }
    return MMSYSERR_NOERROR;
  }

 protected:
  // The stream starts anew: state carried from block to block returns to its initial value.
  virtual void Reset() = 0;
  // One whole block: sourceBlockBytes from `in`, outputBlockBytes to `out`.
  virtual void ConvertBlock(const uint8_t* in, uint8_t* out) = 0;
  // `count` whole blocks in a row, for codecs that convert several at once faster.
  virtual void ConvertBlocks(const uint8_t* in, uint8_t* out, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      ConvertBlock(in + i * sourceBlock_, out + i * outputBlock_);
    }
  }
  // The output of a last partial block of `bytes` (0 < bytes < sourceBlockBytes): at most
  // outputBlockBytes.
  virtual uint32_t PartialOutputBytes(uint32_t bytes) const = 0;
  // Converts a last partial block; `in` has room for a whole block (the codec may pad it there).
  virtual void ConvertPartial(uint8_t* in, uint32_t bytes, uint8_t* out) = 0;

 private:
  static uint32_t Scale(uint32_t bytes, uint32_t from, uint32_t to) {
    const uint64_t result = (uint64_t{bytes} + from - 1) / from * to;
    return result > std::numeric_limits<uint32_t>::max() ? 0 : static_cast<uint32_t>(result);
  }

  uint32_t sourceBlock_;
  uint32_t outputBlock_;
  std::vector<uint8_t> held_;  // a partial source block, heldBytes_ of sourceBlock_ bytes
  uint32_t heldBytes_ = 0;
};

}  // namespace voxl::acm
