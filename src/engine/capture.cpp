// Capture runs on the engine thread: the start of a run (input device, its ten buffers, the
// splice file of an insert-mode run, the write position in an MPEG Layer-3 file), the path of
// each filled buffer to the host and the file, and the end of a run.
//
// Every piece of recorded data goes two ways at once: to the host as a CapturedBlock and, when a
// file is open, into the file at the write position (overwrite mode) or into the splice file
// (insert mode), which FinishCapture splices into the recording when the run ends.  Marker tones
// live in capture_tone.cpp, the splice file and the splice in splice.cpp.
//
// Writes never let the data pass kMaxDataEnd, and a write that fails or falls short ends the run
// with ErrCaptureWrite; nothing recorded after that is stored, so what is on disk stays one
// unbroken stretch whose sizes the end of the run writes.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/capture_internal.h"
#include "engine/engine.h"
#include "engine/transport.h"
#include "formats/conversion.h"
#include "formats/g711.h"
#include "platform/system/system.h"
#include "wavefile/recording_file.h"

namespace voxl {

void MarkChunksDirty(Recorder& r) {
  r.riffChunk.dwFlags |= MMIO_DIRTY;
  r.dataChunk.dwFlags |= MMIO_DIRTY;
}

void AdvanceOverStoredFrames(Recorder& r, uint32_t frames) {
  const int32_t position =
      r.position.fetch_add(static_cast<int32_t>(frames)) + static_cast<int32_t>(frames);
  if (r.insertMode != 0) {
    r.length.fetch_add(frames);
  } else if (position > 0 && static_cast<uint32_t>(position) > r.length) {
    r.length = static_cast<uint32_t>(position);
  }
}

uint32_t FeedEncoderOnce(Recorder& r, const uint8_t* data, uint32_t available,
                         bool endWhenAllTaken) {
  ACMSTREAMHEADER& h = r.encodeHeader;
  const uint32_t leftover = h.cbSrcLength - h.cbSrcLengthUsed;
  if (leftover > 0) std::memmove(h.pbSrc, h.pbSrc + h.cbSrcLengthUsed, leftover);
  const uint32_t take = std::min(available, r.pcmBlockBytes - leftover);
  if (take > 0) std::memcpy(h.pbSrc + leftover, data, take);
  if (endWhenAllTaken && take == available) r.encodeFlags |= ACM_STREAMCONVERTF_END;
  h.cbSrcLength = leftover + take;
  h.cbSrcLengthUsed = 0;
  h.cbDstLength = r.encodedBlockBytes;
  h.cbDstLengthUsed = 0;
  acmStreamConvert(r.encodeStream, &h, r.encodeFlags);
  r.encodeFlags = ACM_STREAMCONVERTF_BLOCKALIGN;
  return take;
}

namespace {

bool IsG711(const WAVEFORMATEX& format) {
  return format.wFormatTag == WAVE_FORMAT_ALAW || format.wFormatTag == WAVE_FORMAT_MULAW;
}

uint32_t RoundToFrames(double value) {
  return static_cast<uint32_t>(value + 0.5);
}

// Length bookkeeping after `frames` recorded frames were stored (tones are not counted in
// recordedLength).
void CountStoredFrames(Recorder& r, uint32_t frames) {
  r.recordedLength.fetch_add(frames);
  AdvanceOverStoredFrames(r, frames);
}

// Frames in `bytes` of encoder output.
uint32_t EncodedFrames(const Recorder& r, uint32_t bytes) {
  const uint16_t align = r.fileFormat->nBlockAlign;
  return align == 0 ? 0 : RoundToFrames(bytes * r.samplesPerBlock / align);
}

// The device's buffers and the device itself; `prepared` headers were prepared.
void ReleaseDeviceBuffers(Recorder& r, int prepared) {
  if (r.waveHeaders != nullptr) {
    for (int i = 0; i < kWaveBufferCount; ++i) {
      WAVEHDR& header = r.waveHeaders[i];
      if (i < prepared) waveInUnprepareHeader(r.waveIn, &header, sizeof(WAVEHDR));
      std::free(header.lpData);
    }
    std::free(r.waveHeaders);
    r.waveHeaders = nullptr;
  }
  if (r.waveIn != nullptr) waveInClose(r.waveIn);
  r.waveIn = nullptr;
}

void FailStart(Recorder& r) {
  DiscardSpliceFile(r);
  r.engineStage = CaptureFailed;
  CloseConversionStreams(r);
}

// Writing into part of an existing MPEG Layer-3 file must begin at a frame header, and frames
// vary in length: looks for the first 0xFF byte within two blocks of the block at position (one
// more byte must follow inside the data), writes from there and moves position to match.
void AlignToMpegFrame(Recorder& r) {
  const WAVEFORMATEX& format = *r.fileFormat;
  if (format.nBlockAlign == 0 || r.samplesPerBlock <= 0.0 ||
      r.fileFormatSize < static_cast<int32_t>(sizeof(MPEGLAYER3WAVEFORMAT))) {
    return;
  }
  uint16_t blockSize = 0;
  std::memcpy(&blockSize, reinterpret_cast<const uint8_t*>(r.fileFormat) + 24, sizeof blockSize);
  const int32_t position = std::max(r.position.load(), 0);
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const uint64_t dataEnd = dataStart + r.dataChunk.cksize;
  const uint64_t start =
      uint64_t{RoundToFrames(position / r.samplesPerBlock)} * format.nBlockAlign + dataStart;
  const uint64_t limit = start + 2ull * blockSize;
  if (start >= kMaxDataEnd) return;
  mmioSeek(r.fileHandle, static_cast<LONG>(start), SEEK_SET);

  uint64_t p = start;
  bool havePrevious = false;
  uint8_t previous = 0;
  while (p < dataEnd && p < limit) {
    char byte;
    if (mmioRead(r.fileHandle, &byte, 1) != 1) break;
    ++p;
    if (havePrevious && previous == 0xFF) {
      p -= 2;
      break;
    }
    previous = static_cast<uint8_t>(byte);
    havePrevious = true;
  }
  if (p == limit) p = start;
  mmioSeek(r.fileHandle, static_cast<LONG>(p), SEEK_SET);
  r.fileCursor = static_cast<uint32_t>(p);
  r.position =
      static_cast<int32_t>(RoundToFrames((p - dataStart) * r.samplesPerBlock / format.nBlockAlign));
}

// The encoder path: captured PCM goes through encodeStream in pcmBlockBytes pieces, behind
// whatever an earlier call left unconsumed in the source buffer.
void EncodeAndDeliver(Recorder& r, const uint8_t* data, uint32_t bytes) {
  const ACMSTREAMHEADER& h = r.encodeHeader;
  uint32_t remaining = bytes;
  while (remaining > 0) {
    const uint32_t take = FeedEncoderOnce(r, data, remaining, false);
    data += take;
    remaining -= take;
    if (h.cbSrcLengthUsed == 0 && h.cbDstLengthUsed == 0 && h.cbSrcLength == r.pcmBlockBytes) {
      FailCapture(r, ErrCaptureWrite);  // the encoder takes nothing from a full buffer
      return;
    }
    if (h.cbDstLengthUsed > 0) {
      const uint32_t produced = h.cbDstLengthUsed;
      const int32_t stored = EmitData(r, h.pbDst, produced);
      r.fileCursor.fetch_add(produced);
      if (stored < 0 || static_cast<uint32_t>(stored) != produced) {
        FailCapture(r, ErrCaptureWrite);
        return;
      }
      CountStoredFrames(r, EncodedFrames(r, produced));
    }
  }
}

// Delivers one pass of encoder output (drain or flush at the end of a run).
bool DeliverEncoderOutput(Recorder& r) {
  const uint32_t produced = r.encodeHeader.cbDstLengthUsed;
  if (produced == 0) return false;
  EmitData(r, r.encodeHeader.pbDst, produced);
  r.fileCursor.fetch_add(produced);
  CountStoredFrames(r, EncodedFrames(r, produced));
  return true;
}

// End of a compressed run: encodes what is left in the source buffer, then flushes the encoder
// (it ends the stream unless the end tone still follows).
void EmptyEncoder(Recorder& r) {
  if (r.fileHandle != nullptr) {
    if (!ResolveFileCursor(r)) return;
    SeekForWrite(r, r.fileCursor);
  }
  ACMSTREAMHEADER& h = r.encodeHeader;
  while (h.cbSrcLength > h.cbSrcLengthUsed) {
    const uint32_t leftover = h.cbSrcLength - h.cbSrcLengthUsed;
    std::memmove(h.pbSrc, h.pbSrc + h.cbSrcLengthUsed, leftover);
    h.cbSrcLength = leftover;
    h.cbSrcLengthUsed = 0;
    h.cbDstLength = r.encodedBlockBytes;
    h.cbDstLengthUsed = 0;
    acmStreamConvert(r.encodeStream, &h, ACM_STREAMCONVERTF_BLOCKALIGN);
    if (!DeliverEncoderOutput(r)) break;
  }
  const bool endToneFollows = r.startTonePending == 0 && r.endToneSeconds > 0.0f;
  const DWORD flags = endToneFollows ? ACM_STREAMCONVERTF_BLOCKALIGN
                                     : ACM_STREAMCONVERTF_END | ACM_STREAMCONVERTF_BLOCKALIGN;
  do {
    h.cbSrcLength = 0;
    h.cbSrcLengthUsed = 0;
    h.cbDstLength = r.encodedBlockBytes;
    h.cbDstLengthUsed = 0;
    acmStreamConvert(r.encodeStream, &h, flags);
  } while (DeliverEncoderOutput(r));
}

// Uncompressed path.  A-law and mu-law are encoded in place: the codes fill the first half of
// the device buffer, which the device overwrites when it gets the buffer back.
bool StoreUncompressed(Recorder& r, uint8_t* data, uint32_t bytes) {
  const uint16_t tag = r.pcmFormat.wFormatTag;
  if (tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW) {
    const uint32_t samples = bytes / 2;
    if (tag == WAVE_FORMAT_ALAW) {
      LinearToALawBuffer(data, samples, data);
    } else {
      LinearToMuLawBuffer(data, samples, data);
    }
    const int32_t stored = EmitData(r, data, samples);
    r.fileCursor.fetch_add(samples);
    return stored == static_cast<int32_t>(samples);
  }
  const int32_t stored = EmitData(r, data, bytes);
  r.fileCursor.fetch_add(bytes);
  return stored == static_cast<int32_t>(bytes);
}

}  // namespace

void FailCapture(Recorder& r, uint16_t code) {
  waveInReset(r.waveIn);
  r.engineStage = Draining;
  r.stopReason = code;
  r.lastError = code;
}

void SeekForWrite(Recorder& r, uint32_t offset) {
  if (r.fileHandle != nullptr && r.insertMode == 0) {
    mmioSeek(r.fileHandle, static_cast<LONG>(offset), SEEK_SET);
  }
}

bool ResolveFileCursor(Recorder& r) {
  if (r.fileCursor != kCursorUnknown) return true;
  const int32_t position = r.position;
  const uint64_t offset = FrameToFileOffset(r, position < 0 ? 0u : static_cast<uint32_t>(position));
  if (offset > kMaxDataEnd) return false;
  r.fileCursor = static_cast<uint32_t>(offset);
  return true;
}

int32_t EmitData(Recorder& r, const void* data, uint32_t count) {
  if (r.fileHandle != nullptr) {
    uint64_t end = 0;
    if (r.insertMode != 0) {
      // Where the data will end once the collected audio is spliced in.
      const uint64_t before =
          uint64_t{r.dataChunk.dwDataOffset} + r.dataChunk.cksize + CollectedSpliceBytes(r);
      end = std::max(before, FrameToFileOffset(r, r.length)) + count;
    } else {
      end = uint64_t{r.fileCursor} + count;
    }
    if (end > kMaxDataEnd) return -1;
  }

  // The host gets its copy first.  When memory for it cannot be had the host misses this piece,
  // but the file still gets it.
  auto* block = static_cast<CapturedBlock*>(std::malloc(sizeof(CapturedBlock)));
  if (block != nullptr) {
    const bool compressed = r.compressed != 0 && r.fileFormat != nullptr;
    const uint32_t formatBytes =
        compressed ? static_cast<uint32_t>(r.fileFormatSize) : sizeof(WAVEFORMATEX);
    block->format = std::malloc(formatBytes);
    block->formatSize = formatBytes;
    block->data = std::malloc(count > 0 ? count : 1);
    block->dataLength = count;
    block->run = r.run;
    if (block->format != nullptr && block->data != nullptr) {
      std::memcpy(block->format, compressed ? static_cast<const void*>(r.fileFormat) : &r.pcmFormat,
                  formatBytes);
      std::memcpy(block->data, data, count);
      PostNotification(r, NotifyBlock, reinterpret_cast<LPARAM>(block));
    } else {
      FreeCapturedBlock(block);
    }
  }

  if (r.fileHandle == nullptr) return static_cast<int32_t>(count);
  if (r.insertMode != 0) return StoreInSpliceFile(r, data, count);
  return mmioWrite(r.fileHandle, static_cast<const char*>(data), static_cast<LONG>(count));
}

void BeginCapture(Recorder& r) {
  WAVEFORMATEX device = r.pcmFormat;
  r.fileCursor = kCursorUnknown;
  const bool haveFile = r.fileHandle != nullptr;

  if (r.compressed != 0) {
    OpenConversionStreams(r);
    r.encodeHeader.cbSrcLength = 0;
    r.encodeHeader.cbSrcLengthUsed = 0;
    r.encodeHeader.cbDstLength = 0;
    r.encodeHeader.cbDstLengthUsed = 0;
    r.encodeFlags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
    if (haveFile && r.fileFormat != nullptr && r.fileFormat->wFormatTag == WAVE_FORMAT_MPEGLAYER3) {
      AlignToMpegFrame(r);
    }
  }

  // The device records 16-bit PCM for an A-law or mu-law recording; the engine encodes it.
  if (IsG711(device)) {
    device.wFormatTag = WAVE_FORMAT_PCM;
    device.nAvgBytesPerSec *= 2;
    device.nBlockAlign *= 2;
    device.wBitsPerSample *= 2;
  }

  r.spliceFile = nullptr;
  r.spliceFileName[0] = '\0';
  if (haveFile && r.insertMode != 0 && !OpenSpliceFile(r)) {
    FailStart(r);
    return;
  }

  // A tenth of a second in whole frames.
  const uint32_t tenth = device.nAvgBytesPerSec / 10;
  const uint32_t bufferBytes = device.nBlockAlign == 0 ? 0 : tenth - tenth % device.nBlockAlign;
  HWAVEIN waveIn = nullptr;
  if (bufferBytes == 0 || waveInOpen(&waveIn, static_cast<UINT>(r.inputDevice.load()), &device,
                                     r.threadId.load(), 0, CALLBACK_THREAD) != MMSYSERR_NOERROR) {
    FailStart(r);
    return;
  }
  r.waveIn = waveIn;
  r.waveBufferBytes = bufferBytes;

  r.waveHeaders = static_cast<WAVEHDR*>(std::calloc(kWaveBufferCount, sizeof(WAVEHDR)));
  int prepared = 0;
  bool ready = r.waveHeaders != nullptr;
  for (; ready && prepared < kWaveBufferCount; ++prepared) {
    WAVEHDR& header = r.waveHeaders[prepared];
    header.lpData = static_cast<LPSTR>(std::malloc(bufferBytes));
    header.dwBufferLength = bufferBytes;
    header.dwFlags = 0;
    ready = header.lpData != nullptr &&
            waveInPrepareHeader(r.waveIn, &header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR;
    if (!ready) break;
  }
  if (!ready) {
    ReleaseDeviceBuffers(r, prepared);
    FailStart(r);
    return;
  }

  for (int i = 0; i < kWaveBufferCount; ++i) {
    waveInAddBuffer(r.waveIn, &r.waveHeaders[i], sizeof(WAVEHDR));
  }
  r.buffersQueued = kWaveBufferCount;
  r.startTonePending = 1;
  waveInStart(r.waveIn);
  r.engineStage = Capturing;
}

void OnCaptureBufferDone(Recorder& r, WAVEHDR& header) {
  const uint32_t recorded = std::min(header.dwBytesRecorded, header.dwBufferLength);
  const uint16_t align = r.pcmFormat.nBlockAlign;
  if (recorded == 0 || align == 0) return;
  uint32_t frames = recorded / align;
  if (IsG711(r.pcmFormat)) frames /= 2;
  MeasureLevels(r, header, static_cast<int32_t>(frames));

  if (r.paused != 0 || r.silent != 0) {
    if (r.startTonePending == 0) {
      if (!WriteMarkerTone(r, r.endToneSeconds, true) && r.engineStage == Capturing) {
        FailCapture(r, ErrCaptureWrite);
      }
      r.startTonePending = 1;
    }
    return;
  }
  const uint32_t limit = r.maxLengthSamples;
  if (limit > 0 && r.recordedLength >= limit) {
    FailCapture(r, ErrLengthLimit);
    return;
  }
  // After a failed write nothing more is stored: the file keeps one unbroken stretch.
  if (r.stopReason == ErrCaptureWrite) return;

  if (r.startTonePending != 0) {
    const bool toneStored = WriteMarkerTone(r, r.startToneSeconds, false);
    r.startTonePending = 0;
    if (!toneStored) {
      FailCapture(r, ErrCaptureWrite);
      MarkChunksDirty(r);
      return;
    }
  }
  if (r.fileHandle != nullptr) {
    if (!ResolveFileCursor(r)) {
      FailCapture(r, ErrCaptureWrite);
      MarkChunksDirty(r);
      return;
    }
    SeekForWrite(r, r.fileCursor);
  }

  auto* data = reinterpret_cast<uint8_t*>(header.lpData);
  if (r.compressed != 0) {
    EncodeAndDeliver(r, data, recorded);
  } else {
    // Whole device frames only, so the file never holds part of a frame.
    const uint32_t deviceAlign = IsG711(r.pcmFormat) ? 2u * align : align;
    const uint32_t bytes = recorded - recorded % deviceAlign;
    if (bytes > 0) {
      if (StoreUncompressed(r, data, bytes)) {
        CountStoredFrames(r, frames);
      } else {
        FailCapture(r, ErrCaptureWrite);
      }
    }
  }
  MarkChunksDirty(r);
}

void FinishCapture(Recorder& r) {
  if (r.compressed != 0) EmptyEncoder(r);

  ReleaseDeviceBuffers(r, kWaveBufferCount);

  if (r.startTonePending == 0 && !WriteMarkerTone(r, r.endToneSeconds, true) &&
      r.stopReason == ErrNone) {
    r.stopReason = ErrCaptureWrite;
    r.lastError = ErrCaptureWrite;
  }
  CloseConversionStreams(r);
  if (r.insertMode != 0 && r.spliceFile != nullptr) {
    SpliceInsertion(r);
  } else {
    DiscardSpliceFile(r);
  }

  r.engineStage = Idle;
  PostNotification(r, NotifyCaptureEnded, 0);
  r.state = StateOpen;
}

}  // namespace voxl
