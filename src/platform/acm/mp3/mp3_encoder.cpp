// MPEG Layer-3 encoding through libmp3lame: constant bitrate, the format's rate kept (no
// resampling), joint stereo for two channels, no Xing/Info frame (a WAVE file has no place to
// rewrite it at the end) and no ID3 tag.
//
// libmp3lame keeps samples until it has a frame's worth and more (its look-ahead), so the stream
// takes every whole sample frame it is given and gives what the library has finished; END flushes
// the rest, once.  What does not fit the destination waits for the next call, and no source is
// taken while it waits.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/acm/codec_library.h"
#include "platform/acm/mp3/mp3_codec.h"

namespace voxl::acm::mp3 {
namespace {

// The library's functions, once Lame() has loaded them (every encoder starts in NewEncoder).
const LameLibrary& L() {
  return *Lame();
}

// Sample frames handed to the library per call, and the output room it needs for them: it
// promises at most 1.25 bytes per sample and 7200 bytes more.
constexpr uint32_t kChunkFrames = 8192;
constexpr uint64_t WorstCaseBytes(uint64_t frames) {
  return (frames * 5 + 3) / 4 + 7200;
}

// libmp3lame fills tables shared by all its encoders while it sets one up.
std::mutex& SetupMutex() {
  static std::mutex m;
  return m;
}

struct LameDeleter {
  void operator()(lame_global_flags* gf) const { L().lame_close(gf); }
};
using LameHandle = std::unique_ptr<lame_global_flags, LameDeleter>;

LameHandle NewEncoder(const Layout& l) {
  if (Lame() == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(SetupMutex());
  LameHandle gf(L().lame_init());
  if (!gf) return nullptr;
  L().lame_set_num_channels(gf.get(), l.channels);
  L().lame_set_in_samplerate(gf.get(), static_cast<int>(l.rate));
  L().lame_set_out_samplerate(gf.get(), static_cast<int>(l.rate));
  L().lame_set_VBR(gf.get(), vbr_off);
  L().lame_set_brate(gf.get(), static_cast<int>(l.kbps));
  L().lame_set_mode(gf.get(), l.channels == 1 ? MONO : JOINT_STEREO);
  L().lame_set_bWriteVbrTag(gf.get(), 0);
  L().lame_set_write_id3tag_automatic(gf.get(), 0);
  if (L().lame_init_params(gf.get()) < 0 ||
      L().lame_get_brate(gf.get()) != static_cast<int>(l.kbps) ||
      L().lame_get_out_samplerate(gf.get()) != static_cast<int>(l.rate) ||
      L().lame_get_encoder_delay(gf.get()) != static_cast<int>(kEncoderDelay)) {
    return nullptr;
  }
  return gf;
}

class Encoder final : public CodecStream {
 public:
  Encoder(const Layout& l, LameHandle gf)
      : layout_(l),
        frameBytes_(2u * l.channels),
        gf_(std::move(gf)),
        scratch_(WorstCaseBytes(kChunkFrames)),
        samples_(size_t{kChunkFrames} * l.channels) {}

  uint32_t MaxOutputBytes(uint32_t sourceBytes) const override {
    const uint32_t frames = sourceBytes / frameBytes_;
    return frames == 0
               ? 0
               : static_cast<uint32_t>(std::min<uint64_t>(WorstCaseBytes(frames), UINT32_MAX));
  }

  // The PCM of `outputBytes` at the bitrate, plus the frame the library holds back.
  uint32_t SourceBytesFor(uint32_t outputBytes) const override {
    const uint64_t avg = layout_.kbps * 1000 / 8;
    const uint64_t frames =
        (uint64_t{outputBytes} * layout_.rate + avg - 1) / avg + FrameSamples(layout_.rate);
    return static_cast<uint32_t>(
        std::min<uint64_t>(frames * frameBytes_, UINT32_MAX / frameBytes_ * frameBytes_));
  }

  MMRESULT Convert(ConvertIo& io, DWORD flags) override {
    io.srcUsed = io.dstUsed = 0;
    if ((flags & ACM_STREAMCONVERTF_START) != 0 && !Restart()) return MMSYSERR_NOMEM;
    Drain(io);
    while (held_.empty() && io.srcBytes - io.srcUsed >= frameBytes_) {
      if (flushed_ && !Restart()) return MMSYSERR_NOMEM;  // a new stream after the end
      const uint32_t frames = std::min((io.srcBytes - io.srcUsed) / frameBytes_, kChunkFrames);
      std::memcpy(samples_.data(), io.src + io.srcUsed, size_t{frames} * frameBytes_);
      const int n = layout_.channels == 1
                        ? L().lame_encode_buffer(gf_.get(), samples_.data(), samples_.data(),
                                                 static_cast<int>(frames), scratch_.data(),
                                                 static_cast<int>(scratch_.size()))
                        : L().lame_encode_buffer_interleaved(
                              gf_.get(), samples_.data(), static_cast<int>(frames), scratch_.data(),
                              static_cast<int>(scratch_.size()));
      if (n < 0) return MMSYSERR_ERROR;
      io.srcUsed += frames * frameBytes_;
      framesIn_ += frames;
      Emit(io, static_cast<uint32_t>(n));
    }
    if ((flags & ACM_STREAMCONVERTF_END) != 0 && held_.empty() &&
        io.srcBytes - io.srcUsed < frameBytes_) {
      io.srcUsed = io.srcBytes;  // a partial sample frame is not audio
      if (!flushed_ && framesIn_ > 0) {
        const int n =
            L().lame_encode_flush(gf_.get(), scratch_.data(), static_cast<int>(scratch_.size()));
        if (n < 0) return MMSYSERR_ERROR;
        Emit(io, static_cast<uint32_t>(n));
      }
      flushed_ = true;
    }
    return MMSYSERR_NOERROR;
  }

 private:
  bool Restart() {
    gf_ = NewEncoder(layout_);
    held_.clear();
    heldFrom_ = 0;
    framesIn_ = 0;
    flushed_ = false;
    return gf_ != nullptr;
  }

  // Hands over what waits from an earlier call.
  void Drain(ConvertIo& io) {
    const size_t n = std::min<size_t>(held_.size() - heldFrom_, io.dstBytes - io.dstUsed);
    if (n == 0) return;
    std::memcpy(io.dst + io.dstUsed, held_.data() + heldFrom_, n);
    io.dstUsed += static_cast<uint32_t>(n);
    heldFrom_ += n;
    if (heldFrom_ == held_.size()) {
      held_.clear();
      heldFrom_ = 0;
    }
  }

  // Hands over `n` bytes of scratch_, keeping what does not fit.
  void Emit(ConvertIo& io, uint32_t n) {
    const uint32_t fit = std::min(n, io.dstBytes - io.dstUsed);
    if (fit > 0) std::memcpy(io.dst + io.dstUsed, scratch_.data(), fit);
    io.dstUsed += fit;
    held_.assign(scratch_.begin() + fit, scratch_.begin() + n);
    heldFrom_ = 0;
  }

  const Layout layout_;
  const uint32_t frameBytes_;  // bytes of one PCM sample frame
  LameHandle gf_;
  std::vector<unsigned char> scratch_;
  std::vector<short> samples_;       // the chunk being encoded, aligned for the library
  std::vector<unsigned char> held_;  // encoded bytes not yet handed over, from heldFrom_
  size_t heldFrom_ = 0;
  uint64_t framesIn_ = 0;  // sample frames given to the library since the stream began
  bool flushed_ = false;
};

}  // namespace

std::unique_ptr<CodecStream> OpenEncoder(const Layout& layout) {
  LameHandle gf = NewEncoder(layout);
  if (!gf) return nullptr;
  return std::make_unique<Encoder>(layout, std::move(gf));
}

}  // namespace voxl::acm::mp3
