// Marker tones: an 880 Hz sine at half of full scale written into the recording where recorded
// audio begins or resumes (start tone) and where it pauses or ends (end tone).
//
// A tone is made and delivered in pieces of at most one second, so its length never decides how
// much memory the engine asks for, and a stop or quit that the host has posted meanwhile ends
// the tone after the piece being written: the engine handles one message at a time, so a long
// tone would otherwise hold up the stop until all of it was on disk.  Its frames move position
// and length like recorded audio but are not counted in recordedLength, so marker tones never
// bring the length limit closer.
#include "engine/capture_tone.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/capture_encoder.h"
#include "engine/capture_internal.h"
#include "platform/acm/g711/g711.h"
#include "wavefile/riff_layout.h"

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

// Whether a marker tone of `seconds` can be stored in recordings of the current format (see
// capture_tone.h).
bool ToneFits(const Recorder& r, double seconds) {
  if (!(seconds >= 0.0)) return false;
  const double frames = std::floor(seconds * r.sampleRate + 0.5);
  if (!(frames <= static_cast<double>(std::numeric_limits<uint32_t>::max()))) return false;
  double bytes = frames * r.channels * (r.sampleFormat == 16 ? 2 : 1);
  if (r.sampleFormat == 100) {
    const WAVEFORMATEX* format = r.fileFormat != nullptr ? r.fileFormat : r.chosenFormat;
    bytes = format != nullptr ? seconds * format->nAvgBytesPerSec : 0.0;
  }
  return bytes <= static_cast<double>(kMaxDataEnd);
}

}  // namespace

uint32_t SetStartToneSeconds(Recorder& r, float seconds) {
  if (!ToneFits(r, seconds)) return kRefused;
  r.startToneSeconds = seconds;
  return kAccepted;
}

uint32_t SetEndToneSeconds(Recorder& r, float seconds) {
  if (!ToneFits(r, seconds)) return kRefused;
  r.endToneSeconds = seconds;
  return kAccepted;
}

bool WriteMarkerTone(Recorder& r, double seconds, bool final) {
  const WAVEFORMATEX& format = r.pcmFormat;
  if (!(seconds > 0.0) || format.nSamplesPerSec == 0) return true;
  // After a failed write the run stores nothing more, tones included.
  if (r.stopReason == ErrCaptureWrite) return true;
  const double wanted = std::trunc(format.nSamplesPerSec * seconds);
  if (!(wanted >= 1.0)) return true;
  // A tone's frames are counted in 32 bits: it is never longer than 2147483647 of them.
  auto frames = static_cast<uint32_t>(
      std::min(wanted, static_cast<double>(std::numeric_limits<int32_t>::max())));
  // Nor longer than a file still has frames for: a full file takes no tone.
  frames = static_cast<uint32_t>(std::min<uint64_t>(frames, FileFramesLeft(r)));
  if (frames == 0) return true;

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
      stored = EncodeTonePiece(r, piece, bytes, done == 0, done + n == frames, final);
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
