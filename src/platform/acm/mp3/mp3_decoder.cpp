// MPEG Layer-3 decoding through libmpg123's feed interface, to 16-bit PCM at the format's rate
// and channels whatever the frames say (the library converts channels and rates when a frame
// differs).
//
// Each call hands over as much decoded PCM as the destination holds, first from what the library
// already holds; it takes the source bytes it is given (all of them) only when that is not
// enough.  So the library holds no more than about one call's source however long the stream,
// even when every call gives more source than its destination's worth.  Every frame is decoded
// as it stands (the library's own gapless trimming is off: a WAVE file's frames carry no Info
// frame); the delay the format record states is left out at the start of every stream, so a
// recording's first recorded frame comes first.  Junk between frames is skipped however long it
// is; a stream the library gives up on is restarted at the next source bytes.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/acm/codec_library.h"
#include "platform/acm/mp3/mp3_codec.h"

namespace voxl::acm::mp3 {
namespace {

// The library's functions, once Mpg123() has loaded them (every decoder starts in NewDecoder).
const Mpg123Library& M() {
  return *Mpg123();
}

bool LibraryReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = Mpg123() != nullptr && M().mpg123_init() == MPG123_OK; });
  return ready;
}

struct Mpg123Deleter {
  void operator()(mpg123_handle* mh) const { M().mpg123_delete(mh); }
};
using Mpg123Handle = std::unique_ptr<mpg123_handle, Mpg123Deleter>;

Mpg123Handle NewDecoder(const Layout& l) {
  if (!LibraryReady()) return nullptr;
  Mpg123Handle mh(M().mpg123_new(nullptr, nullptr));
  if (!mh) return nullptr;
  M().mpg123_param(mh.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  M().mpg123_param(mh.get(), MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
  M().mpg123_param(mh.get(), MPG123_RESYNC_LIMIT, -1, 0);
  if (M().mpg123_format_none(mh.get()) != MPG123_OK ||
      M().mpg123_format(mh.get(), static_cast<long>(l.rate),
                        l.channels == 1 ? MPG123_MONO : MPG123_STEREO,
                        MPG123_ENC_SIGNED_16) != MPG123_OK ||
      M().mpg123_open_feed(mh.get()) != MPG123_OK) {
    return nullptr;
  }
  return mh;
}

class Decoder final : public CodecStream {
 public:
  Decoder(const Layout& l, uint32_t skipFrames, Mpg123Handle mh)
      : layout_(l),
        frameBytes_(2u * l.channels),
        skipFrames_(skipFrames),
        toSkip_(skipFrames),
        mh_(std::move(mh)) {}

  // The PCM of `sourceBytes` at the bitrate, plus one frame's.
  uint32_t MaxOutputBytes(uint32_t sourceBytes) const override {
    if (sourceBytes == 0) return 0;
    const uint64_t avg = layout_.kbps * 1000 / 8;
    const uint64_t frames =
        (uint64_t{sourceBytes} * layout_.rate + avg - 1) / avg + FrameSamples(layout_.rate);
    return static_cast<uint32_t>(
        std::min<uint64_t>(frames * frameBytes_, UINT32_MAX / frameBytes_ * frameBytes_));
  }

  // The bytes of `outputBytes` of PCM at the bitrate, plus one frame with its padding byte.
  uint32_t SourceBytesFor(uint32_t outputBytes) const override {
    const uint64_t avg = layout_.kbps * 1000 / 8;
    const uint64_t frames = (uint64_t{outputBytes} / frameBytes_ + 1);
    const uint64_t bytes =
        (frames * avg + layout_.rate - 1) / layout_.rate + FrameBytes(layout_) + 1;
    return static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
  }

  MMRESULT Convert(ConvertIo& io, DWORD flags) override {
    io.srcUsed = io.dstUsed = 0;
    if ((flags & ACM_STREAMCONVERTF_START) != 0) {
      if (M().mpg123_open_feed(mh_.get()) != MPG123_OK) return MMSYSERR_ERROR;
      toSkip_ = skipFrames_;
    }
    bool fed = io.srcBytes == 0;
    const auto feed = [&] {
      fed = true;
      io.srcUsed = io.srcBytes;
      return M().mpg123_feed(mh_.get(), io.src, io.srcBytes) == MPG123_OK;
    };
    while (io.dstBytes - io.dstUsed >= frameBytes_) {
      const size_t room = (io.dstBytes - io.dstUsed) / frameBytes_ * frameBytes_;
      size_t done = 0;
      const int r = M().mpg123_read(mh_.get(), io.dst + io.dstUsed, room, &done);
      if (toSkip_ > 0 && done > 0) {
        const size_t skip = std::min<size_t>(done / frameBytes_, toSkip_) * frameBytes_;
        std::memmove(io.dst + io.dstUsed, io.dst + io.dstUsed + skip, done - skip);
        toSkip_ -= static_cast<uint32_t>(skip / frameBytes_);
        done -= skip;
      }
      io.dstUsed += static_cast<uint32_t>(done);
      if (r == MPG123_OK || r == MPG123_NEW_FORMAT) continue;
      if (r != MPG123_NEED_MORE && r != MPG123_DONE) {
        // The library gave up on what it holds: start afresh with the next bytes.
        if (M().mpg123_open_feed(mh_.get()) != MPG123_OK) return MMSYSERR_ERROR;
      }
      if (fed) break;
      if (!feed()) return MMSYSERR_NOMEM;
    }
    // A destination too small for one sample frame still takes the source.
    if (!fed && io.dstUsed == 0 && !feed()) return MMSYSERR_NOMEM;
    return MMSYSERR_NOERROR;
  }

 private:
  const Layout layout_;
  const uint32_t frameBytes_;  // bytes of one PCM sample frame
  const uint32_t skipFrames_;  // left out at the start of every stream
  uint32_t toSkip_ = 0;        // of them, not yet left out in this stream
  Mpg123Handle mh_;
};

}  // namespace

std::unique_ptr<CodecStream> OpenDecoder(const Layout& layout, uint32_t skipFrames) {
  Mpg123Handle mh = NewDecoder(layout);
  if (!mh) return nullptr;
  return std::make_unique<Decoder>(layout, skipFrames, std::move(mh));
}

}  // namespace voxl::acm::mp3
