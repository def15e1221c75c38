// The splice file of an insert-mode run, and the splice at its end: the audio collected in the
// splice file goes into the recording at the point where the run began, and everything behind
// that point moves up.
//
// The splice file is unbuffered, so a write that fails (a full temporary folder) is known when it
// happens; the file is cut back to the whole pieces before it and the run ends with
// ErrCaptureWrite.  What was collected until then is spliced in.
//
// The splice either completes or leaves the recording as it was before the run:
//  1. Grow: the collected audio is copied from the splice file to the end of the recording file.
//     This is the only step that needs new disk space, and it reads back every byte that will be
//     inserted.  When it fails, the file is cut back to its old length; nothing has moved.
//  2. Move the tail (from the insertion point to the end of the file) up by the collected size,
//     last piece first, so no byte is overwritten before it has been read.
//  3. Fill the gap from the splice file.
// A read or write that fails in step 2 or 3 moves the tail back down and cuts the growth away.
// One fixed buffer serves every step, whatever the size of the file.
//
// For as long as the splice file exists, a splice record beside the recording names it
// (wavefile/splice_record.h), so that a process killed meanwhile leaves nothing behind that the
// next open of the recording does not remove.  Until step 2 begins the record also holds the
// recording's old length, and that open cuts away what step 1 had grown.  Once step 3 is done,
// the new sizes are written at once.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/capture_internal.h"
#include "platform/system/system.h"
#include "wavefile/frames.h"
#include "wavefile/recording_file.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"
#include "wavefile/splice_record.h"

namespace voxl {
namespace {

enum class Outcome { Inserted, Unchanged, Damaged };

// Moves [from, end) of `file` up by `by`, last piece first.  When a piece cannot be read or
// written, moves back down what had moved, so [from, end) holds what it held before (Unchanged),
// or, when that fails too, Damaged.
Outcome MoveUp(HMMIO file, uint64_t from, uint64_t end, uint64_t by, uint8_t* buffer) {
  const uint64_t count = end - from;
  const MoveResult up =
      MoveRange(file, from, file, from + by, count, MoveOrder::LastPieceFirst, buffer);
  if (up.moved == count) return Outcome::Inserted;
  const uint64_t moved = end - up.moved;  // [moved, end) now lies at [moved + by, end + by)
  if (!up.restIntact) return Outcome::Damaged;
  const MoveResult back =
      MoveRange(file, moved + by, file, moved, up.moved, MoveOrder::FirstPieceFirst, buffer);
  return back.moved == up.moved ? Outcome::Unchanged : Outcome::Damaged;
}

// Copies `count` bytes from the start of `source` to `to` in `target`.
bool CopyIn(HMMIO source, HMMIO target, uint64_t to, uint64_t count, uint8_t* buffer) {
  return MoveRange(source, 0, target, to, count, MoveOrder::FirstPieceFirst, buffer).moved == count;
}

}  // namespace

bool OpenSpliceFile(Recorder& r) {
  if (!CreateTempFile(r.spliceFileName)) return false;
  r.insertStart = r.position;
  r.spliceFile = mmioOpenA(r.spliceFileName, nullptr, MMIO_READWRITE);
  if (r.spliceFile == nullptr) {
    DeleteFileA(r.spliceFileName);
    r.spliceFileName[0] = '\0';
    return false;
  }
  // The record is a safeguard for a killed process, not needed for the run: the run goes on
  // without it (a kill would then leave the splice file in the temporary folder).
  HMMIO file = r.fileHandle;
  const LONG here = mmioSeek(file, 0, SEEK_CUR);
  const LONG end = mmioSeek(file, 0, SEEK_END);
  if (here != -1) SeekTo(file, static_cast<DWORD>(here));
  if (end != -1) WriteSpliceRecord(r.fileName, r.spliceFileName, static_cast<DWORD>(end));
  return true;
}

uint32_t CollectedSpliceBytes(const Recorder& r) {
  const LONG end = r.spliceFile != nullptr ? mmioSeek(r.spliceFile, 0, SEEK_CUR) : -1;
  return end == -1 ? 0 : static_cast<uint32_t>(end);
}

int32_t StoreInSpliceFile(Recorder& r, const void* data, uint32_t count) {
  if (r.spliceFile == nullptr) return -1;
  const uint32_t before = CollectedSpliceBytes(r);
  if (WriteAll(r.spliceFile, data, count)) return static_cast<int32_t>(count);
  // Keep the splice file to whole pieces, so what is spliced in is what was counted.
  SeekTo(r.spliceFile, before);
  mmio::Truncate(r.spliceFile, before);
  return -1;
}

void DiscardSpliceFile(Recorder& r) {
  if (r.spliceFile != nullptr) {
    mmioClose(r.spliceFile, 0);
    r.spliceFile = nullptr;
    DeleteFileA(r.spliceFileName);
    RemoveSpliceRecord(r.fileName);  // after the file it names
  }
  r.spliceFileName[0] = '\0';
}

void SpliceInsertion(Recorder& r) {
  HMMIO file = r.fileHandle;
  HMMIO splice = r.spliceFile;
  const LONG collected = mmioSeek(splice, 0, SEEK_CUR);
  if (file != nullptr && collected == -1) {
    // What was collected is unknown, so it cannot go in: the recording keeps its old content and
    // the run reports the failure.  The run advanced position and length by what it collected.
    const int64_t frames = std::max<int64_t>(int64_t{r.position.load()} - r.insertStart, 0);
    DiscardSpliceFile(r);
    r.length = r.length - static_cast<uint32_t>(std::min<int64_t>(frames, r.length.load()));
    r.position = r.insertStart;
    r.stopReason = ErrCaptureWrite;
    r.lastError = ErrCaptureWrite;
    return;
  }
  const uint64_t size = collected == -1 ? 0 : static_cast<uint32_t>(collected);
  if (file == nullptr || size == 0) {
    DiscardSpliceFile(r);
    return;
  }
  const uint32_t frames = ByteToFrames(r, size);

  // Insertion point, and the end of the data as it stood before the run: the larger of what
  // the data chunk records and what length covers, since the sizes of an earlier run may not
  // have been written yet when this one began.  Whatever lies behind the data (its pad byte)
  // moves up with the tail, so the file can be cut back to exactly its old length.
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const uint32_t insertStart = r.insertStart < 0 ? 0u : static_cast<uint32_t>(r.insertStart);
  const uint32_t lengthBefore = r.length >= frames ? r.length - frames : 0;
  const uint64_t dataEnd =
      std::max(dataStart + r.dataChunk.cksize, FrameToFileOffset(r, lengthBefore));
  const uint64_t insertAt = std::min(FrameToFileOffset(r, insertStart), dataEnd);
  const LONG endBefore = mmioSeek(file, 0, SEEK_END);
  const uint64_t fileEnd = endBefore == -1 ? dataEnd : static_cast<uint32_t>(endBefore);
  const uint64_t tailEnd = std::max(fileEnd, dataEnd);

  auto* buffer = static_cast<uint8_t*>(std::malloc(kMoveBufferBytes));
  Outcome outcome = Outcome::Unchanged;
  if (buffer != nullptr && endBefore != -1 && tailEnd + size <= kMaxDataEnd &&
      CopyIn(splice, file, tailEnd, size, buffer)) {
    ForgetLengthBefore(r.fileName);  // cutting back would now lose the moved tail
    outcome = MoveUp(file, insertAt, tailEnd, size, buffer);
    if (outcome == Outcome::Inserted && !CopyIn(splice, file, insertAt, size, buffer)) {
      // Back down again: the tail returns to the insertion point.
      const uint64_t tail = tailEnd - insertAt;
      const MoveResult down = MoveRange(file, insertAt + size, file, insertAt, tail,
                                        MoveOrder::FirstPieceFirst, buffer);
      outcome = down.moved == tail ? Outcome::Unchanged : Outcome::Damaged;
    }
  }
  std::free(buffer);

  if (outcome == Outcome::Inserted) {
    // The old data's pad byte moved up with the tail; the new data needs one only at odd size.
    if (fileEnd == dataEnd + 1 && (dataEnd + size - dataStart) % 2 == 0) {
      mmio::Truncate(file, static_cast<DWORD>(dataEnd + size));
    }
    // The sizes follow at once (the end of the run writes them again, so a failure here is
    // made good there).
    if (r.fileKind == 0) {
      // Chunks behind the data moved up with the tail: the form grows with them.
      const uint64_t formEnd = uint64_t{r.riffChunk.dwDataOffset} + r.riffChunk.cksize;
      const uint32_t samples = r.length.load();
      WriteSizesInPlace(r, dataEnd + size, r.hasFactChunk != 0 ? &samples : nullptr,
                        formEnd > insertAt ? std::min(formEnd, tailEnd) + size : 0);
    }
    DiscardSpliceFile(r);
    return;
  }
  // The recording keeps its old content without the new audio (when the tail could not be moved
  // back, the grown part keeps the only copy of it and stays).
  if (outcome == Outcome::Unchanged) mmio::Truncate(file, static_cast<DWORD>(fileEnd));
  DiscardSpliceFile(r);
  r.length = lengthBefore;
  r.position = r.insertStart;
  r.stopReason = ErrCaptureWrite;
  r.lastError = ErrCaptureWrite;
}

}  // namespace voxl
