// Capture runs on the engine thread: the start of a run (input device, its ten buffers, the
// splice file of an insert-mode run, the write position in an MPEG Layer-3 file), the path of
// each filled buffer to the host and the file, and the end of a run.
//
// Every piece of recorded data goes two ways at once: to the host as a CapturedBlock and, when a
// file is open, into the file at the write position (overwrite mode) or into the splice file
// (insert mode), which FinishCapture splices into the recording when the run ends.  The encoder
// steps of a compressed run live in capture_encoder.cpp, marker tones in capture_tone.cpp, the
// splice file and the splice in splice.cpp.
//
// Writes never let the data pass DataEndLimit (4 GiB, or beyond for an RF64 recording), and a write
// that fails or falls short ends the run with ErrCaptureWrite; nothing recorded after that is
// stored, so what is on disk stays one unbroken stretch.  In overwrite mode the sizes of a
// RIFF/WAVE file follow the stored audio (KeepSizesCurrent) after every device buffer, or once
// for a batch of buffers that came back together, before the host hears of them; so a process
// killed at any moment leaves a file that opens with all but the buffers being stored, and with
// every block the host was given.  The end of the run writes them once more.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/block_pool.h"
#include "engine/capture_encoder.h"
#include "engine/capture_internal.h"
#include "engine/device_buffers.h"
#include "engine/dropouts.h"
#include "engine/engine.h"
#include "engine/levels.h"
#include "formats/conversion.h"
#include "formats/pcm_format.h"
#include "platform/acm/g711/g711.h"
#include "wavefile/frames.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {

void MarkChunksDirty(Recorder& r) {
  r.riffChunk.dwFlags |= MMIO_DIRTY;
  r.dataChunk.dwFlags |= MMIO_DIRTY;
}

namespace {

// Adds `frames` to a frame count, stopping at `most` (or where it stands, when beyond): the
// counts never wrap.  Returns the new count.
template <typename T>
T AddFramesUpTo(std::atomic<T>& count, uint32_t frames, int64_t most) {
  T before = count.load();
  T after;
  do {
    const int64_t stop = std::max<int64_t>(most, before);
    after = static_cast<T>(std::min<int64_t>(static_cast<int64_t>(before) + frames, stop));
  } while (!count.compare_exchange_weak(before, after));
  return after;
}

}  // namespace

int64_t RecordingFrameLimit(const Recorder& r) {
  const bool large = r.fileHandle != nullptr && r.fileKind == 0 && r.insertMode == 0 &&
                     DataEndLimit(r) == kMaxLargeDataEnd;
  return large ? kMaxLargeRecordingFrames : kMaxRecordingFrames;
}

// Position and length stop at RecordingFrameLimit: a stream runs on past it (its blocks do not
// depend on them) and a file run ends before it (OnCaptureBufferDone).
void AdvanceOverStoredFrames(Recorder& r, uint32_t frames) {
  const int64_t most = RecordingFrameLimit(r);
  const int64_t position = AddFramesUpTo(r.position, frames, most);
  if (r.insertMode != 0) {
    AddFramesUpTo(r.length, frames, most);
  } else if (position > 0 && static_cast<uint64_t>(position) > r.length) {
    r.length = static_cast<uint64_t>(position);
  }
}

void CountStoredFrames(Recorder& r, uint32_t frames) {
  AddFramesUpTo(r.recordedLength, frames, kMaxLargeRecordingFrames);
  AdvanceOverStoredFrames(r, frames);
}

uint64_t FileFramesLeft(const Recorder& r) {
  if (r.fileHandle == nullptr) return UINT64_MAX;
  const int64_t end = r.insertMode != 0 ? static_cast<int64_t>(r.length.load())
                                        : std::max<int64_t>(r.position.load(), 0);
  return static_cast<uint64_t>(std::max<int64_t>(RecordingFrameLimit(r) - end, 0));
}

void KeepSizesCurrent(Recorder& r) {
  if (r.fileHandle == nullptr || r.fileKind != 0 || r.insertMode != 0) return;
  const uint64_t frames = r.length.load();
  if (WriteSizesInPlace(r, FrameToFileOffset(r, frames), r.readOnly == 0 ? &frames : nullptr)) {
    return;
  }
  if (r.engineStage == Capturing) {
    FailCapture(r, ErrCaptureWrite);
  } else if (r.stopReason == ErrNone) {
    r.stopReason = ErrCaptureWrite;
    r.lastError = ErrCaptureWrite;
  }
}

namespace {

// The device's buffers and the device itself; `prepared` headers were prepared.
void ReleaseDeviceBuffers(Recorder& r, int prepared) {
  FreeDeviceBuffers(r, prepared, [&](WAVEHDR& header) {
    waveInUnprepareHeader(r.waveIn, &header, sizeof(WAVEHDR));
  });
  if (r.waveIn != nullptr) waveInClose(r.waveIn);
  r.waveIn = nullptr;
}

void FailStart(Recorder& r) {
  EndSizeUpdates(r);
  DiscardSpliceFile(r);
  r.engineStage = CaptureFailed;
  CloseConversionStreams(r);
}

// Uncompressed path.  A-law and mu-law are encoded in place: the codes fill the first half of
// the device buffer, which the device overwrites when it gets the buffer back.
bool StoreUncompressed(Recorder& r, uint8_t* data, uint32_t bytes) {
  if (IsG711(r.pcmFormat)) {
    const uint32_t samples = bytes / 2;
    if (r.pcmFormat.wFormatTag == WAVE_FORMAT_ALAW) {
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

void SeekForWrite(Recorder& r, uint64_t offset) {
  if (r.fileHandle != nullptr && r.insertMode == 0) SeekTo(r.fileHandle, offset);
}

bool ResolveFileCursor(Recorder& r) {
  if (r.fileCursor != kCursorUnknown) return true;
  const uint64_t offset = PositionFileOffset(r);
  if (offset > DataEndLimit(r)) return false;
  r.fileCursor = offset;
  return true;
}

namespace {

// The format a block carries: the file's for a compressed recording, else the PCM one.
const void* BlockFormat(const Recorder& r, uint32_t* bytes) {
  const bool compressed = r.compressed != 0 && r.fileFormat != nullptr;
  *bytes = compressed ? static_cast<uint32_t>(r.fileFormatSize) : sizeof(WAVEFORMATEX);
  return compressed ? static_cast<const void*>(r.fileFormat) : &r.pcmFormat;
}

// Posts `count` bytes of `data` to the host: in a block of the recorder's pool when it has one
// (one copy, no allocation once the pool is warm), else as a CapturedBlock with its own copies
// of the format and the data, which callback slot 4 receives.
void PostBlock(Recorder& r, const void* data, uint32_t count) {
  uint32_t formatBytes = 0;
  const void* format = BlockFormat(r, &formatBytes);
  if (BlockPool* pool = r.blockPool.load(); pool != nullptr) {
    PooledBlock* block = pool->Take(count);
    if (block == nullptr) return;
    block->acm.format = WAVEFORMATEX{};
    std::memcpy(&block->acm.format, format, std::min<size_t>(formatBytes, sizeof(WAVEFORMATEX)));
    block->acm.reserved = 0;
    block->acm.dataLength = count;
    block->run = r.run;
    if (count > 0) std::memcpy(BlockData(block), data, count);
    PostNotification(r, NotifyPooledBlock, reinterpret_cast<LPARAM>(block));
    return;
  }
  auto* block = static_cast<CapturedBlock*>(std::malloc(sizeof(CapturedBlock)));
  if (block == nullptr) return;
  block->format = std::malloc(formatBytes);
  block->formatSize = formatBytes;
  block->data = std::malloc(count > 0 ? count : 1);
  block->dataLength = count;
  block->run = r.run;
  if (block->format != nullptr && block->data != nullptr) {
    std::memcpy(block->format, format, formatBytes);
    std::memcpy(block->data, data, count);
    PostNotification(r, NotifyBlock, reinterpret_cast<LPARAM>(block));
  } else {
    FreeCapturedBlock(block);
  }
}

}  // namespace

int32_t EmitData(Recorder& r, const void* data, uint32_t count) {
  if (r.fileHandle != nullptr) {
    uint64_t end = 0;
    if (r.insertMode != 0) {
      // Where the data will end once the collected audio is spliced in.
      const uint64_t before =
          uint64_t{r.dataChunk.dwDataOffset} + r.dataChunk.cksize + CollectedSpliceBytes(r);
      end = std::max(before, FrameToFileOffset(r, r.length)) + count;
    } else {
      end = r.fileCursor + count;
    }
    if (end > DataEndLimit(r)) return -1;
  }

  // The host gets its copy first.  When memory for it cannot be had the host misses this piece,
  // but the file still gets it.  A recorder without a helper window (one that converts a file)
  // has no host to take a copy.
  if (r.notifyWindow.load() != nullptr) PostBlock(r, data, count);

  if (r.fileHandle == nullptr) return static_cast<int32_t>(count);
  if (r.insertMode != 0) return StoreInSpliceFile(r, data, count);
  return mmioWrite(r.fileHandle, static_cast<const char*>(data), static_cast<LONG>(count));
}

bool BeginStoring(Recorder& r) {
  r.fileCursor = kCursorUnknown;
  const bool haveFile = r.fileHandle != nullptr;
  if (haveFile) r.fileChanged = 1;  // closing the file writes its sizes from now on
  if (r.compressed != 0) StartEncoder(r);
  if (haveFile && r.fileKind == 0 && r.insertMode == 0) BeginSizeUpdates(r);

  r.spliceFile = nullptr;
  r.spliceFileName[0] = '\0';
  // An insert moves the tail with 32-bit sizes; an RF64 file takes overwriting runs only.
  if (haveFile && r.insertMode != 0 && (r.large.active || !OpenSpliceFile(r))) {
    FailStart(r);
    return false;
  }
  return true;
}

void BeginCapture(Recorder& r) {
  // The device records 16-bit PCM for an A-law or mu-law recording; the engine encodes it.
  WAVEFORMATEX device = DeviceFormat(r.pcmFormat);
  if (!BeginStoring(r)) return;

  const uint32_t bufferBytes = TenthOfASecondBytes(device);
  HWAVEIN waveIn = nullptr;
  if (bufferBytes == 0 || waveInOpen(&waveIn, static_cast<UINT>(r.inputDevice.load()), &device,
                                     r.threadId.load(), 0, CALLBACK_THREAD) != MMSYSERR_NOERROR) {
    FailStart(r);
    return;
  }
  r.waveIn = waveIn;
  r.waveBufferBytes = bufferBytes;

  const int prepared = AllocateDeviceBuffers(r, bufferBytes, [&](WAVEHDR& header) {
    return waveInPrepareHeader(r.waveIn, &header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR;
  });
  if (prepared < kWaveBufferCount) {
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
  uint32_t recorded = std::min(header.dwBytesRecorded, header.dwBufferLength);
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
      KeepSizesCurrent(r);
    }
    return;
  }
  StoreRecorded(r, reinterpret_cast<uint8_t*>(header.lpData), recorded);
}

void StoreRecorded(Recorder& r, uint8_t* data, uint32_t recorded) {
  const uint16_t align = r.pcmFormat.nBlockAlign;
  if (recorded == 0 || align == 0) return;
  uint32_t frames = recorded / align;
  if (IsG711(r.pcmFormat)) frames /= 2;
  const uint64_t limit = r.maxLengthSamples;
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

  // Whole device frames only, so the file never holds part of a frame.
  const uint32_t deviceAlign = IsG711(r.pcmFormat) ? 2u * align : align;
  // A file holds no more frames than its positions reach: the buffer that gets there is stored
  // as far as it fits and ends the run.  An encoder keeps a few blocks in hand, so a compressed
  // run stops that much earlier.
  const double perBlock = std::isfinite(r.samplesPerBlock) ? r.samplesPerBlock : 1.0;
  const uint32_t margin =
      r.compressed != 0 ? static_cast<uint32_t>(4.0 * std::clamp(perBlock, 1.0, 65536.0)) : 0;
  const uint64_t left = FileFramesLeft(r);
  const uint64_t room = left > margin ? left - margin : 0;
  const bool fillsFile = frames >= room;
  if (fillsFile) {
    frames = static_cast<uint32_t>(room);
    recorded = frames * deviceAlign;
  }

  if (r.compressed != 0) {
    if (recorded > 0) EncodeAndDeliver(r, data, recorded);
  } else {
    const uint32_t bytes = recorded - recorded % deviceAlign;
    if (bytes > 0) {
      if (StoreUncompressed(r, data, bytes)) {
        CountStoredFrames(r, frames);
      } else {
        FailCapture(r, ErrCaptureWrite);
      }
    }
  }
  if (fillsFile && r.engineStage == Capturing) FailCapture(r, ErrLengthLimit);
  MarkChunksDirty(r);
  if (!DeferSizesToBatchEnd(r)) KeepSizesCurrent(r);
}

void FinishCapture(Recorder& r) {
  ReleaseDeviceBuffers(r, kWaveBufferCount);
  MarkRunEnd(r);
  EndStoring(r);
  SettleRunMarks(r);
  r.engineStage = Idle;
  PostNotification(r, NotifyCaptureEnded, static_cast<LPARAM>(r.run.load()));
  r.state = StateOpen;
}

void EndStoring(Recorder& r) {
  if (r.compressed != 0) EmptyEncoder(r);
  if (r.startTonePending == 0 && !WriteMarkerTone(r, r.endToneSeconds, true) &&
      r.stopReason == ErrNone) {
    r.stopReason = ErrCaptureWrite;
    r.lastError = ErrCaptureWrite;
  }
  KeepSizesCurrent(r);  // the encoder's flush and the end tone
  EndSizeUpdates(r);
  CloseConversionStreams(r);
  if (r.insertMode != 0 && r.spliceFile != nullptr) {
    SpliceInsertion(r);
  } else {
    DiscardSpliceFile(r);
  }
}

}  // namespace voxl
