// Playback runs on the engine thread: the open file is played from `position` through the
// output device, ten buffers of 100 ms kept queued, each buffer refilled as it comes back (the
// engine refills every buffer that has come back before it gives them to the device).
//
// Three kinds of data are played: PCM straight from the data chunk; A-law and mu-law expanded
// to 16-bit PCM in the device buffer itself (the device is opened for 16-bit PCM); any other
// format through the decode stream of the conversion set.
//
// Two positions are kept apart: `position` follows what the device has played (it moves when a
// buffer comes back), `readPosition` what has been read (it moves when a buffer is filled).
// The host's SetPosition writes both, and fileCursor, while a run goes on.  The engine never
// overwrites what the host wrote: it moves readPosition and fileCursor on only from the values
// it read them at (compare-and-exchange), so after a position change the next fill reads from
// the new place, while the buffers already queued still play.
//
// Resuming after a pause restarts the device (engine.cpp), so the audio queued when the pause
// began plays on and `position` keeps matching what was heard.  At the end of a compressed file
// the decoder is called with END until it gives nothing, so the audio it still holds is played.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/device_buffers.h"
#include "engine/engine.h"
#include "engine/levels.h"
#include "formats/conversion.h"
#include "formats/pcm_format.h"
#include "platform/acm/g711/g711.h"
#include "wavefile/frames.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {
namespace {

constexpr DWORD kFreshStream = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;

// Unprepares the first `prepared` headers, frees every buffer and the array, closes the device.
void ReleasePlayBuffers(Recorder& r, int prepared) {
  FreeDeviceBuffers(r, prepared, [&](WAVEHDR& header) {
    waveOutUnprepareHeader(r.waveOut, &header, sizeof(WAVEHDR));
  });
  if (r.waveOut != nullptr) waveOutClose(r.waveOut);
  r.waveOut = nullptr;
}

// Bytes of audio in the data chunk.  Right after recording, before the host has taken the end
// of the run and rewritten the chunk sizes, the chunk's size is stale (still the size it had
// before the run); the recorded length then tells where the audio ends.  An RF64 file's size
// is its 64-bit one.
uint64_t DataBytes(const Recorder& r) {
  const uint64_t size = DataBytesHeld(r);
  if ((r.dataChunk.dwFlags & MMIO_DIRTY) == 0) return size;
  const uint64_t limit = r.large.active ? UINT64_MAX : kMaxRiffOffset - r.dataChunk.dwDataOffset;
  return std::min<uint64_t>(std::max(size, FrameToByte64(r, r.length)), limit);
}

void FailStart(Recorder& r) {
  r.engineStage = PlaybackFailed;
  CloseConversionStreams(r);
}

// readPosition moves on by `frames` from the value `before` it was read at, unless the host
// has moved it since (then its value stands).
void AdvanceReadPosition(Recorder& r, double before, double frames) {
  r.readPosition.compare_exchange_strong(before, before + frames);
}

// PCM, A-law and mu-law: reads whole frames from the read position.  A-law and mu-law codes
// fill the first half of the buffer and are expanded in place.
int32_t FillUncompressed(Recorder& r, WAVEHDR& header) {
  const uint16_t align = r.pcmFormat.nBlockAlign;
  const double before = r.readPosition.load();
  const uint64_t offset = static_cast<uint64_t>(before * align + 0.5);
  const uint64_t size = DataBytes(r);
  if (offset >= size) return 0;
  if (!SeekTo(r.fileHandle, uint64_t{r.dataChunk.dwDataOffset} + offset)) return -1;

  const bool g711 = IsG711(r.pcmFormat);
  // The room of the buffer, not the length of its last fill (which may have been short).
  const uint32_t room = g711 ? r.waveBufferBytes / 2 : r.waveBufferBytes;
  uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(room, size - offset));
  want -= want % align;
  if (want == 0) return 0;
  const LONG got = mmioRead(r.fileHandle, header.lpData, static_cast<LONG>(want));
  if (got <= 0) return got;
  const uint32_t bytes = static_cast<uint32_t>(got) - static_cast<uint32_t>(got) % align;
  if (bytes == 0) return 0;
  auto* data = reinterpret_cast<uint8_t*>(header.lpData);
  if (g711) {
    if (r.pcmFormat.wFormatTag == WAVE_FORMAT_ALAW) {
      ALawToLinearBuffer(data, bytes, data);
    } else {
      MuLawToLinearBuffer(data, bytes, data);
    }
    header.dwBufferLength = 2 * bytes;
  } else {
    header.dwBufferLength = bytes;
  }
  const uint32_t frames = bytes / align;
  AdvanceReadPosition(r, before, frames);
  return static_cast<int32_t>(frames);
}

// A file whose length is the frames recorded plays up to its length: the data goes on with the
// padding of the last frame.  Other files play what their data decodes to.
void LimitDecodeToLength(Recorder& r) {
  const double from = std::max(r.readPosition.load(), 0.0);
  r.decodeFramesLeft =
      LengthIsFramesRecorded(r)
          ? static_cast<uint64_t>(std::max(static_cast<double>(r.length.load()) - from, 0.0))
          : UINT64_MAX;
}

// The byte offset in the data of the block nearest to the read position, and a decoder that
// starts afresh there: what it held from the old place is not played.
uint64_t ResolveDecodeCursor(Recorder& r) {
  const WAVEFORMATEX& file = *r.fileFormat;
  const double perBlock = r.samplesPerBlock;
  const double blocks =
      perBlock > 0.0 ? std::clamp(r.readPosition.load() / perBlock + 0.5, 0.0, 4294967295.0) : 0.0;
  const uint64_t offset =
      std::min<uint64_t>(static_cast<uint64_t>(blocks) * file.nBlockAlign, DataBytes(r));
  const uint64_t cursor = offset;
  uint64_t unknown = kCursorUnknown;
  r.fileCursor.compare_exchange_strong(unknown, cursor);
  ACMSTREAMHEADER& h = r.decodeHeader;
  h.cbSrcLength = 0;
  h.cbSrcLengthUsed = 0;
  r.decodeFlags = kFreshStream;
  LimitDecodeToLength(r);
  return cursor;
}

// One conversion: reads source bytes behind what the last one left and converts into the
// decode header's output.  Returns the bytes read (negative on a read error) and sets
// *finished when the data has ended and the decoder has given everything it held.
int32_t DecodeOnce(Recorder& r, bool forceEnd, bool* finished) {
  ACMSTREAMHEADER& h = r.decodeHeader;
  *finished = false;
  uint64_t cursor = r.fileCursor.load();
  if (cursor == kCursorUnknown) cursor = ResolveDecodeCursor(r);
  const uint64_t size = DataBytes(r);
  const uint32_t leftover =
      h.cbSrcLength > h.cbSrcLengthUsed ? h.cbSrcLength - h.cbSrcLengthUsed : 0;
  // At the end with a decoder that was never fed, or has been emptied: nothing more to play.
  if (cursor >= size && leftover == 0 && (r.decodeFlags & ACM_STREAMCONVERTF_START) != 0) {
    h.cbDstLengthUsed = 0;
    *finished = true;
    return 0;
  }
  if (leftover > 0) std::memmove(h.pbSrc, h.pbSrc + h.cbSrcLengthUsed, leftover);
  const uint32_t want =
      cursor < size ? std::min(r.decodeSourceBytes - std::min(leftover, r.decodeSourceBytes),
                               static_cast<uint32_t>(std::min<uint64_t>(size - cursor, UINT32_MAX)))
                    : 0;
  LONG n = 0;
  if (want > 0) {
    if (!SeekTo(r.fileHandle, uint64_t{r.dataChunk.dwDataOffset} + cursor)) return -1;
    n = mmioRead(r.fileHandle, reinterpret_cast<HPSTR>(h.pbSrc + leftover),
                 static_cast<LONG>(want));
    if (n < 0) return n;
  }
  const auto read = static_cast<uint32_t>(n);
  r.fileCursor.compare_exchange_strong(cursor, cursor + read);
  h.cbSrcLength = leftover + read;
  h.cbSrcLengthUsed = 0;
  // The source has ended: the decoder gives what it still holds, as often as it is asked.
  if (h.cbSrcLength == 0 || forceEnd) r.decodeFlags = ACM_STREAMCONVERTF_END;
  h.cbDstLength = std::min(r.waveBufferBytes, r.pcmBlockBytes);
  h.cbDstLengthUsed = 0;
  const DWORD flags = r.decodeFlags;
  acmStreamConvert(r.decodeStream, &h, flags);
  if ((flags & ACM_STREAMCONVERTF_END) != 0) {
    if (h.cbDstLengthUsed == 0) {
      h.cbSrcLength = 0;
      r.decodeFlags = kFreshStream;
      *finished = true;
    }
  } else {
    r.decodeFlags = ACM_STREAMCONVERTF_BLOCKALIGN;
  }
  return n;
}

// Compressed files: conversions until one gives output or the decoder is empty at the end of
// the data.  The read position moves by the frames of the source bytes read.
int32_t DecodePlayBuffer(Recorder& r, WAVEHDR& header) {
  const ACMSTREAMHEADER& h = r.decodeHeader;
  const uint16_t align = r.pcmFormat.nBlockAlign;
  const WAVEFORMATEX& file = *r.fileFormat;
  bool forceEnd = false;
  for (;;) {
    const double before = r.readPosition.load();
    bool finished = false;
    const int32_t read = DecodeOnce(r, forceEnd, &finished);
    if (read < 0) return read;
    if (read > 0 && file.nBlockAlign > 0) {
      AdvanceReadPosition(r, before,
                          static_cast<uint64_t>(read * r.samplesPerBlock / file.nBlockAlign + 0.5));
    }
    const uint32_t produced =
        static_cast<uint32_t>(std::min<uint64_t>(h.cbDstLengthUsed / align, r.decodeFramesLeft)) *
        align;
    if (produced == 0 && r.decodeFramesLeft == 0) return 0;
    if (produced > 0) {
      r.decodeFramesLeft -= produced / align;
      std::memcpy(header.lpData, h.pbDst, produced);
      header.dwBufferLength = produced;
      return static_cast<int32_t>(produced / align);
    }
    if (finished) return 0;
    // A conversion that read, took and gave nothing would give nothing again: end the stream.
    if (read == 0 && h.cbSrcLengthUsed == 0) forceEnd = true;
  }
}

int32_t FillPlayBuffer(Recorder& r, WAVEHDR& header) {
  return r.compressed != 0 ? DecodePlayBuffer(r, header) : FillUncompressed(r, header);
}

}  // namespace

void BeginPlaybackRead(Recorder& r, uint32_t bufferBytes) {
  if (r.compressed != 0) {
    OpenConversionStreams(r);
    ACMSTREAMHEADER& h = r.decodeHeader;
    h.cbSrcLength = h.cbSrcLengthUsed = h.cbDstLength = h.cbDstLengthUsed = 0;
    r.decodeFlags = kFreshStream;
  }
  r.waveBufferBytes = bufferBytes;
  r.readPosition = static_cast<double>(r.position.load());
  r.fileCursor = kCursorUnknown;
}

int32_t ReadPlayBuffer(Recorder& r, WAVEHDR& header) {
  return FillPlayBuffer(r, header);
}

void StartPlayback(Recorder& r) {
  // A-law and mu-law are expanded to 16-bit PCM for the device.
  const WAVEFORMATEX output = DeviceFormat(r.pcmFormat);
  const bool compressed = r.compressed != 0;
  // A tenth of a second, or a whole conversion block where one codec block holds more.
  const uint32_t bufferBytes = compressed ? std::max(TenthOfASecondBytes(output), r.pcmBlockBytes)
                                          : TenthOfASecondBytes(output);
  BeginPlaybackRead(r, bufferBytes);
  HWAVEOUT waveOut = nullptr;
  if (bufferBytes == 0 || r.pcmFormat.nBlockAlign == 0 || r.fileHandle == nullptr ||
      (compressed && (r.decodeStream == nullptr || r.fileFormat == nullptr)) ||
      waveOutOpen(&waveOut, static_cast<UINT>(r.outputDevice.load()), &output, r.threadId.load(), 0,
                  CALLBACK_THREAD) != MMSYSERR_NOERROR) {
    FailStart(r);
    return;
  }
  r.waveOut = waveOut;
  const int prepared = AllocateDeviceBuffers(r, bufferBytes, [&](WAVEHDR& header) {
    return waveOutPrepareHeader(r.waveOut, &header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR;
  });
  if (prepared < kWaveBufferCount) {
    ReleasePlayBuffers(r, prepared);
    FailStart(r);
    return;
  }

  // Nothing is played while the queue is being filled.
  waveOutPause(r.waveOut);
  r.stopPhase = 0;
  r.buffersQueued = 0;
  for (int i = 0; i < kWaveBufferCount; ++i) {
    WAVEHDR& header = r.waveHeaders[i];
    const int32_t frames = FillPlayBuffer(r, header);
    if (frames < 0) {
      r.buffersQueued = 0;
      break;
    }
    if (frames > 0) {
      waveOutWrite(r.waveOut, &header, sizeof(WAVEHDR));
      ++r.buffersQueued;
    }
  }
  if (r.buffersQueued == 0) {
    // Nothing to play from this position, or a read failed.  The reset returns the buffers
    // written so far at once; their MM_WOM_DONE messages are taken from the queue before the
    // buffers go, so the loop never sees them.
    waveOutReset(r.waveOut);
    MSG done{};
    while (PeekMessageA(&done, nullptr, MM_WOM_DONE, MM_WOM_DONE, PM_REMOVE) > 0) {
    }
    ReleasePlayBuffers(r, kWaveBufferCount);
    FailStart(r);
    return;
  }
  if (r.paused == 0) waveOutRestart(r.waveOut);
  r.engineStage = Playing;
}

PlayedBuffer OnPlayBufferDone(Recorder& r, WAVEHDR& header) {
  const uint16_t align = r.pcmFormat.nBlockAlign;
  uint32_t frames = align == 0 ? 0 : header.dwBufferLength / align;
  if (IsG711(r.pcmFormat)) frames /= 2;  // 16-bit samples made from 8-bit codes
  // After a stop, the buffer that was playing is counted in full and none behind it.
  if (r.stopPhase != 2) r.position.fetch_add(frames);
  if (r.stopPhase == 1) r.stopPhase = 2;
  MeasureLevels(r, header, static_cast<int32_t>(frames));

  if (r.engineStage == Playing) {
    const int32_t filled = FillPlayBuffer(r, header);
    if (filled > 0) return PlayedBuffer::Refilled;
    r.engineStage = Draining;
    if (filled < 0) {
      r.stopReason = ErrPlaybackRead;
      r.lastError = ErrPlaybackRead;
    }
  }
  --r.buffersQueued;
  return r.buffersQueued <= 0 ? PlayedBuffer::Last : PlayedBuffer::Drained;
}

void ReturnPlayBuffers(Recorder& r, WAVEHDR* const* headers, size_t count) {
  for (size_t i = 0; i < count; ++i) headers[i]->dwFlags &= ~WHDR_DONE;
#if defined(_WIN32)
  for (size_t i = 0; i < count; ++i) waveOutWrite(r.waveOut, headers[i], sizeof(WAVEHDR));
#else
  VoxlWaveOutWriteBuffers(r.waveOut, headers, static_cast<UINT>(count), nullptr);
#endif
}

void FinishPlayback(Recorder& r) {
  ReleasePlayBuffers(r, kWaveBufferCount);
  r.engineStage = Idle;
  CloseConversionStreams(r);
  PostNotification(r, NotifyPlaybackEnded, 0);
  r.state = StateOpen;
}

}  // namespace voxl
