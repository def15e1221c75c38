// Marker tones: an 880 Hz sine at half of full scale written into the recording where recorded
// audio begins or resumes (start tone) and where it pauses or ends (end tone).
//
// A tone is made and delivered in pieces of at most one second, so its length never decides how
// much memory the engine asks for, and a stop or quit that the host has posted meanwhile ends
// the tone after the piece being written: the engine handles one message at a time, so a long
// tone would otherwise hold up the stop until all of it was on disk.  Its frames move position
// and length like recorded audio but are not counted in recordedLength, so marker tones never
// bring the length limit closer.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/capture_internal.h"
#include "formats/g711.h"

namespace voxl {
namespace {

// 2 pi x 880 with pi taken as 3.141592654.
constexpr double kToneRadiansPerSecond = 5529.20307104;

// Whether the first engine command waiting in the engine thread's queue is a stop of the run or
// a quit.  The command stays queued for the engine's loop.
bool StopIsPending() {
  MSG msg{};
  if (PeekMessageA(&msg, nullptr, kEngineCommandMessage, kEngineCommandMessage, PM_NOREMOVE) ==
      FALSE) {
    return false;
  }
  return msg.message == kEngineCommandMessage &&
         (msg.wParam == CmdStopRecord || msg.wParam == CmdQuit);
}

// One piece of encoder input: feeds `bytes` of PCM tone through encodeStream.  The first piece
// of a tone discards what captured audio the source buffer still held; the last piece of a final
// tone ends the encoder's stream.  False when the output could not be stored whole, or the
// encoder takes nothing from a full source buffer.
bool FeedToneToEncoder(Recorder& r, const uint8_t* tone, uint32_t bytes, bool firstPiece,
                       bool lastPiece, bool final) {
  ACMSTREAMHEADER& h = r.encodeHeader;
  if (firstPiece) {
    h.cbSrcLength = 0;
    h.cbSrcLengthUsed = 0;
    h.cbDstLength = 0;
    h.cbDstLengthUsed = 0;
  }
  uint32_t remaining = bytes;
  for (;;) {
    const uint32_t leftover = h.cbSrcLength - h.cbSrcLengthUsed;
    if (remaining == 0 && (leftover == 0 || !lastPiece)) break;
    const uint32_t take = FeedEncoderOnce(r, tone, remaining, final && lastPiece);
    tone += take;
    remaining -= take;
    const uint16_t align = r.fileFormat->nBlockAlign;
    if (h.cbDstLengthUsed > 0 && align > 0) {
      const uint32_t whole = h.cbDstLengthUsed - h.cbDstLengthUsed % align;
      if (whole > 0) {
        if (EmitData(r, h.pbDst, whole) != static_cast<int32_t>(whole)) return false;
        r.fileCursor.fetch_add(whole);
      }
    }
    // What the encoder would not take stays for the captured audio that follows.
    if (remaining == 0 && h.cbSrcLengthUsed == 0) break;
    if (take == 0 && h.cbSrcLengthUsed == 0 && h.cbDstLengthUsed == 0) return false;
  }
  return true;
}

// Fills `frames` tone frames starting at frame `first` in the layout of pcmFormat; returns the
// bytes filled.  `out` holds at least frames x channels x 2 bytes.
uint32_t FillTone(const WAVEFORMATEX& format, uint64_t first, uint32_t frames, uint8_t* out) {
  const double step = kToneRadiansPerSecond / format.nSamplesPerSec;
  const uint16_t channels = std::max<uint16_t>(uint16_t{format.nChannels}, 1);
  const bool sixteenBit = format.wFormatTag == WAVE_FORMAT_PCM && format.wBitsPerSample != 8;
  uint8_t* p = out;
  for (uint32_t i = 0; i < frames; ++i) {
    const double s = std::sin(static_cast<double>(first + i) * step);
    if (sixteenBit) {
      const auto v = static_cast<int16_t>(16384.0 * s);
      for (uint16_t c = 0; c < channels; ++c, p += 2) std::memcpy(p, &v, 2);
      continue;
    }
    uint8_t v;
    if (format.wFormatTag == WAVE_FORMAT_ALAW) {
      v = LinearToALaw(static_cast<int16_t>(16384.0 * s));
    } else if (format.wFormatTag == WAVE_FORMAT_MULAW) {
      v = LinearToMuLaw(static_cast<int16_t>(16384.0 * s));
    } else {
      v = static_cast<uint8_t>(128 - static_cast<int>(-64.0 * s));
    }
    for (uint16_t c = 0; c < channels; ++c) *p++ = v;
  }
  return static_cast<uint32_t>(p - out);
}

}  // namespace

bool WriteMarkerTone(Recorder& r, double seconds, bool final) {
  const WAVEFORMATEX& format = r.pcmFormat;
  if (!(seconds > 0.0) || format.nSamplesPerSec == 0) return true;
  // After a failed write the run stores nothing more, tones included.
  if (r.stopReason == ErrCaptureWrite) return true;
  const double wanted = std::trunc(format.nSamplesPerSec * seconds);
  if (!(wanted >= 1.0)) return true;
  // Positions are 32-bit frame counts: a tone can never be longer than that.
  auto frames = static_cast<uint32_t>(
      std::min(wanted, static_cast<double>(std::numeric_limits<int32_t>::max())));

  if (r.fileHandle != nullptr) {
    if (!ResolveFileCursor(r)) return false;
    SeekForWrite(r, r.fileCursor);
  }

  const uint32_t pieceFrames = std::max<uint32_t>(uint32_t{format.nSamplesPerSec}, 1);
  const uint16_t channels = std::max<uint16_t>(uint16_t{format.nChannels}, 1);
  auto* piece = static_cast<uint8_t*>(std::malloc(size_t{pieceFrames} * channels * 2));
  bool stored = piece != nullptr;
  uint32_t done = 0;
  const bool encode = r.compressed != 0 && r.fileFormat != nullptr;
  while (stored && done < frames) {
    const uint32_t n = std::min(pieceFrames, frames - done);
    // A stop or quit waiting makes this piece the last (the first piece is always written, so
    // the place is still marked).
    if (done + n < frames && StopIsPending()) frames = done + n;
    const uint32_t bytes = FillTone(format, done, n, piece);
    if (encode) {
      stored = FeedToneToEncoder(r, piece, bytes, done == 0, done + n == frames, final);
    } else {
      stored = EmitData(r, piece, bytes) == static_cast<int32_t>(bytes);
      if (stored) r.fileCursor.fetch_add(bytes);
    }
    if (!stored) break;
    done += n;
  }
  std::free(piece);

  if (done > 0) {
    MarkChunksDirty(r);
    AdvanceOverStoredFrames(r, done);
  }
  r.fileCursor = kCursorUnknown;
  return stored;
}

}  // namespace voxl
