// The splice at the end of an insert-mode run: the audio collected in the splice file goes into
// the recording at the point where the run began, and everything behind that point moves up.
//
// The file is first grown by the collected size, so the only step that can run out of disk comes
// before anything is moved; then the tail moves up from its end backwards, piece by piece, so no
// byte is overwritten before it has been read; then the collected audio fills the gap.  One
// fixed buffer serves every step, whatever the size of the file.
#include <algorithm>
#include <cstdlib>

#include "engine/capture_internal.h"
#include "platform/system/system.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

bool SeekTo(HMMIO file, uint64_t offset) {
  return offset <= kMaxDataEnd && mmioSeek(file, static_cast<LONG>(offset), SEEK_SET) != -1;
}

bool WriteAll(HMMIO file, const uint8_t* data, uint32_t count) {
  return mmioWrite(file, reinterpret_cast<const char*>(data), static_cast<LONG>(count)) ==
         static_cast<LONG>(count);
}

bool ReadAll(HMMIO file, uint8_t* data, uint32_t count) {
  return mmioRead(file, reinterpret_cast<HPSTR>(data), static_cast<LONG>(count)) ==
         static_cast<LONG>(count);
}

// Frames held by `bytes` of collected audio.
uint32_t CollectedFrames(const Recorder& r, uint64_t bytes) {
  if (r.compressed != 0 && r.fileFormat != nullptr) {
    const uint16_t align = r.fileFormat->nBlockAlign;
    return align == 0 ? 0 : static_cast<uint32_t>(bytes * r.samplesPerBlock / align + 0.5);
  }
  const uint16_t align = r.pcmFormat.nBlockAlign;
  return align == 0 ? 0 : static_cast<uint32_t>(bytes / align);
}

void ReportSpliceFailure(Recorder& r) {
  if (r.stopReason == ErrNone) {
    r.stopReason = ErrCaptureWrite;
    r.lastError = ErrCaptureWrite;
  }
}

}  // namespace

void SpliceInsertion(Recorder& r) {
  HMMIO file = r.fileHandle;
  const long collected = r.spliceFile != nullptr ? std::ftell(r.spliceFile) : -1;
  if (file == nullptr || collected <= 0) {
    DiscardSpliceFile(r);
    return;
  }
  const auto size = static_cast<uint64_t>(collected);
  const uint32_t frames = CollectedFrames(r, size);

  // Insertion point, and the end of the data as it stood before the run: the larger of what
  // the data chunk records and what length covers, since the sizes of an earlier run may not
  // have been written yet when this one began.
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const uint32_t insertStart = r.insertStart < 0 ? 0u : static_cast<uint32_t>(r.insertStart);
  const uint64_t insertAt = FrameToFileOffset(r, insertStart);
  const uint32_t lengthBefore = r.length >= frames ? r.length - frames : 0;
  const uint64_t dataEnd =
      std::max(dataStart + r.dataChunk.cksize, FrameToFileOffset(r, lengthBefore));
  const uint64_t insertEnd = insertAt + size;

  auto* buffer = static_cast<uint8_t*>(std::malloc(kSpliceBufferBytes));
  bool grown = buffer != nullptr && dataEnd + size <= kMaxDataEnd && SeekTo(file, dataEnd);
  for (uint64_t done = 0; grown && done < size;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(size - done, kSpliceBufferBytes));
    grown = WriteAll(file, buffer, n);
    done += n;
  }
  if (!grown) {
    // Nothing has moved: the recording stays as it was before the run, without the new audio.
    r.length = lengthBefore;
    r.position = r.insertStart;
    ReportSpliceFailure(r);
    std::free(buffer);
    DiscardSpliceFile(r);
    return;
  }

  bool ok = true;
  for (uint64_t tail = dataEnd > insertAt ? dataEnd - insertAt : 0; ok && tail > 0;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(tail, kSpliceBufferBytes));
    const uint64_t to = insertEnd + tail - n;
    ok = SeekTo(file, to - size) && ReadAll(file, buffer, n) && SeekTo(file, to) &&
         WriteAll(file, buffer, n);
    tail -= n;
  }

  ok = ok && std::fseek(r.spliceFile, 0, SEEK_SET) == 0 && SeekTo(file, insertAt);
  for (uint64_t done = 0; ok && done < size;) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(size - done, kSpliceBufferBytes));
    ok = std::fread(buffer, 1, n, r.spliceFile) == n && WriteAll(file, buffer, n);
    done += n;
  }
  if (!ok) ReportSpliceFailure(r);

  DiscardSpliceFile(r);
  std::free(buffer);
}

}  // namespace voxl
