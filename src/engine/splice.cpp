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
// For as long as the splice file exists, the edit journal beside the recording describes the
// step the run is in (wavefile/edit_journal.h): collecting and growing (a kill is undone by
// cutting the recording back to its old length), moving the tail and filling the gap (undone by
// moving the tail back down), and writing the new sizes (finished).  The next writable open of
// the recording does what the journal says, so the recording holds its old content or the new,
// never a mix.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/capture_internal.h"
#include "platform/system/system.h"
#include "wavefile/edit_journal.h"
#include "wavefile/frames.h"
#include "wavefile/recording_file.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {
namespace {

// Copies `count` bytes from the start of `source` to `to` in `target`.
bool CopyIn(HMMIO source, HMMIO target, uint64_t to, uint64_t count, uint8_t* buffer) {
  return CopyThroughBuffer(source, 0, target, to, count, buffer);
}

}  // namespace

namespace {

void EndSpliceJournal(Recorder& r) {
  if (r.spliceJournal == nullptr) return;
  if (r.spliceJournal->active()) r.spliceJournal->End();
  delete r.spliceJournal;
  r.spliceJournal = nullptr;
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
  // The journal is a safeguard for a killed process, not needed for the run: the run goes on
  // without it (a kill would then leave the splice file in the temporary folder).
  HMMIO file = r.fileHandle;
  const LONG here = mmioSeek(file, 0, SEEK_CUR);
  const LONG end = mmioSeek(file, 0, SEEK_END);
  if (here != -1) SeekTo(file, static_cast<DWORD>(here));
  JournalRecord collect;
  collect.step = JournalStep::Collect;
  collect.fileBytes = static_cast<DWORD>(end);
  collect.endBytes = collect.fileBytes;
  collect.headerBytes = r.fileKind != 0 ? 0 : std::min<uint64_t>(r.dataChunk.dwDataOffset, 0x10000);
  const char* base = r.spliceFileName;
  for (const char* c = base; *c != '\0'; ++c) {
    if (std::strchr(VOXL_PATH_SEPARATORS, *c) != nullptr) base = c + 1;
  }
  if (std::strlen(base) < sizeof collect.temp) {
    std::memcpy(collect.temp, base, std::strlen(base) + 1);
  }
  auto* journal = new (std::nothrow) EditJournal;
  if (journal != nullptr && end != -1) {
    if (!journal->Begin(r.fileName, file, collect)) journal->BeginUnbacked(collect);
    r.spliceJournal = journal;
  } else {
    delete journal;
  }
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
  }
  EndSpliceJournal(r);  // after the file it names
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
    r.length = r.length - std::min(static_cast<uint64_t>(frames), r.length.load());
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
  const uint64_t frames = ByteToFrames(r, size);

  // Insertion point, and the end of the data as it stood before the run: the larger of what
  // the data chunk records and what length covers, since the sizes of an earlier run may not
  // have been written yet when this one began.  Whatever lies behind the data (its pad byte)
  // moves up with the tail, so the file can be cut back to exactly its old length.
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const auto insertStart = static_cast<uint64_t>(std::max<int64_t>(r.insertStart, 0));
  const uint64_t lengthBefore = r.length >= frames ? r.length - frames : 0;
  const uint64_t dataEnd =
      std::max(dataStart + r.dataChunk.cksize, FrameToFileOffset(r, lengthBefore));
  const uint64_t insertAt = std::min(FrameToFileOffset(r, insertStart), dataEnd);
  const LONG endBefore = mmioSeek(file, 0, SEEK_END);
  const uint64_t fileEnd = endBefore == -1 ? dataEnd : static_cast<uint32_t>(endBefore);
  const uint64_t tailEnd = std::max(fileEnd, dataEnd);

  auto* buffer = static_cast<uint8_t*>(std::malloc(kMoveBufferBytes));
  EditJournal* journal = r.spliceJournal;
  const bool grown = buffer != nullptr && endBefore != -1 && tailEnd + size <= kMaxDataEnd &&
                     journal != nullptr && journal->active() &&
                     CopyIn(splice, file, tailEnd, size, buffer);
  bool inserted = false;
  bool undone = !grown;
  if (grown) {
    // From here a kill is undone by moving the tail back down: the journal says how far it got.
    JournalRecord& j = journal->record();
    j.step = JournalStep::Up;
    j.fileBytes = tailEnd + size;
    j.from = insertAt;
    j.to = insertAt + size;
    j.count = tailEnd - insertAt;
    j.done = 0;
    inserted = journal->Update() && journal->Move(file, buffer) &&
               CopyIn(splice, file, insertAt, size, buffer);
    if (inserted) {
      // The new sizes, in one write that the journal can finish: the chunks behind the data
      // moved up with the tail, so the form grows with them.  The old data's pad byte moved up
      // too; the new data needs one only at odd size.  (A failure here is made good by the end
      // of the run, which writes the sizes again.)
      if (r.fileKind == 0) {
        const uint64_t formEnd = uint64_t{r.riffChunk.dwDataOffset} + r.riffChunk.cksize;
        const uint64_t samples = r.length.load();
        j.sizes = InPlaceSizes(r, dataEnd + size, r.hasFactChunk != 0 ? &samples : nullptr,
                               formEnd > insertAt ? std::min(formEnd, tailEnd) + size : 0);
      }
      const bool oddPad = fileEnd == dataEnd + 1 && (dataEnd + size - dataStart) % 2 == 0;
      j.endBytes = oddPad ? dataEnd + size : tailEnd + size;
      j.finalSum = FinalChecksum(file, j);
      // The chunks of the marks the file was opened with moved up with the tail.
      if (r.marks.storedAt >= insertAt) r.marks.storedAt += size;
      if (FinishEdit(*journal, file) && r.fileKind == 0) {
        r.dataChunk.cksize = static_cast<DWORD>(j.sizes.data);
        r.riffChunk.cksize = static_cast<DWORD>(j.sizes.form);
      }
    } else {
      undone = UndoInsertMove(*journal, file, buffer);
    }
  }
  std::free(buffer);
  if (inserted) {
    DiscardSpliceFile(r);
    return;
  }
  // The recording keeps its old content without the new audio.  When the tail could not be
  // moved back, the journal stays: the next writable open finishes undoing the move.
  if (!grown) mmio::Truncate(file, static_cast<DWORD>(fileEnd));
  if (!undone && journal != nullptr) {
    mmioClose(splice, 0);  // the splice file goes, the journal stays for the next open
    r.spliceFile = nullptr;
    DeleteFileA(r.spliceFileName);
    delete journal;
    r.spliceJournal = nullptr;
  }
  DiscardSpliceFile(r);
  r.length = lengthBefore;
  r.position = r.insertStart;
  r.stopReason = ErrCaptureWrite;
  r.lastError = ErrCaptureWrite;
}

}  // namespace voxl
