// Editing and saving the open file.
#include "wavefile/editing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "core/wide_text.h"
#include "platform/mmio/mmio.h"
#include "platform/system/system.h"
#include "wavefile/cue_chunk.h"
#include "wavefile/edit_journal.h"
#include "wavefile/frames.h"
#include "wavefile/open_file.h"
#include "wavefile/position.h"
#include "wavefile/recording_file.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {
namespace {

// Why an edit cannot touch the recorder now, or ErrNone.
uint16_t EditRefusal(const Recorder& r) {
  if (r.readOnly != 0) return ErrReadOnly;
  if (r.state.load() != StateOpen) return ErrNeedsOpen;
  if (r.fileHandle == nullptr) return ErrNoFile;
  return ErrNone;
}

// The frames of a compressed block while the conversion set exists and describes a usable block;
// 0 when counts are not snapped to blocks.
double FramesPerBlock(const Recorder& r) {
  const double perBlock = r.samplesPerBlock;
  const bool blocks = r.compressed.load() != 0 && r.fileFormat != nullptr;
  return blocks && perBlock >= 1.0 && std::isfinite(perBlock) ? perBlock : 0.0;
}

// `frames` (not negative, below 2^33) as the nearest whole number of blocks, in frames.
int64_t SnapToBlocks(int64_t frames, double perBlock) {
  const double blocks = std::trunc(static_cast<double>(frames) / perBlock + 0.5);
  return static_cast<int64_t>(std::trunc(blocks * perBlock + 0.5));
}

std::unique_ptr<uint8_t[]> MoveBuffer() {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kMoveBufferBytes]);
}

bool HoldsSize(const MMCKINFO& chunk, uint64_t bytes) {
  return (chunk.dwFlags & MMIO_DIRTY) == 0 && chunk.cksize == bytes;
}

// Writes the sizes of the RIFF/WAVE file, `dataBytes` of data and a form of `formBytes`, and the
// "fact" count for the length, then reads them back; a try that left other sizes (a write that
// failed) is made once more.  True when the file holds the sizes asked for.
bool WriteWaveSizes(Recorder& r, uint64_t dataBytes, uint64_t formBytes) {
  if (formBytes > kMaxRiffOffset && !r.large.active) return false;
  const uint64_t frames = r.length.load();
  for (int attempt = 0; attempt < 2; ++attempt) {
    WriteSizeFields(r, dataBytes, formBytes, r.hasFactChunk != 0 ? &frames : nullptr);
    RereadChunks(r);
    if (r.large.active && r.large.data == dataBytes && r.large.form == formBytes) return true;
    if (HoldsSize(r.dataChunk, dataBytes) && HoldsSize(r.riffChunk, formBytes)) return true;
  }
  return false;
}

// The form size of a RIFF/WAVE file whose content ends with `dataBytes` of data (and the pad
// byte of odd-sized data).
uint64_t FormEndingWithData(const Recorder& r, uint64_t dataBytes) {
  return uint64_t{r.dataChunk.dwDataOffset} + dataBytes + (dataBytes & 1) -
         r.riffChunk.dwDataOffset;
}

// The sizes of the open RIFF/WAVE file once its data is `dataBytes` long and ends its content,
// with the "fact" count for `frames`: chunks that followed the data are left behind with the old
// tail, outside the form.
SizeFields ShrunkSizes(const Recorder& r, uint64_t dataBytes, uint64_t frames) {
  SizeFields s;
  if (r.fileKind != 0) return s;  // headerless: no header, the file ends with its data
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  s.formAt = r.riffChunk.dwDataOffset - 4;
  s.form = FormEndingWithData(r, dataBytes);
  s.dataAt = dataStart - 4;
  s.data = dataBytes;
  if ((dataBytes & 1) != 0) s.padAt = dataStart + dataBytes;
  if (r.large.active) {
    // RF64: the sizes of "ds64"; its 32-bit fields keep saying 0xFFFFFFFF.
    s.wide = true;
    s.formAt = kLargeSizesAt;
    s.dataAt = kLargeSizesAt + 8;
    s.factAt = kLargeSizesAt + 16;
    s.fact = frames;
    return s;
  }
  if (r.hasFactChunk != 0 && r.factChunk.cksize >= 4 && r.factChunk.dwDataOffset >= 8) {
    s.factAt = r.factChunk.dwDataOffset;
    s.fact = frames;
  }
  return s;
}

// Bytes of the header the edit journal checks the file by.
uint64_t JournalHeaderBytes(const Recorder& r) {
  return r.fileKind != 0 ? 0 : std::min<uint64_t>(r.dataChunk.dwDataOffset, 0x10000);
}

// Places the file at the position again; the engine works out its write offset anew.
void ReturnToPosition(Recorder& r) {
  SeekTo(r.fileHandle, PositionFileOffset(r));
  r.fileCursor = kCursorUnknown;
}

// ---- Compaction ----

// The end of the open file's content, once its sizes are as Close writes them (RIFF/WAVE: behind
// the form; headerless: behind the data), for a file of `fileBytes`.  False when the sizes on
// disk could not be made so.
bool ContentEnd(Recorder& r, uint64_t fileBytes, uint64_t* end) {
  const uint64_t dataOffset = r.dataChunk.dwDataOffset;
  const uint64_t audioBytes = FrameToByte64(r, r.length.load());
  const uint64_t dataBytes = std::max<uint64_t>(DataBytesHeld(r), audioBytes);
  if (r.fileKind != 0) {
    *end = dataOffset + dataBytes;
    return true;
  }
  // Sizes are never cut below what the file holds: the data may hold the rest of a last
  // compressed block, and chunks may follow it.  A form that claims more than the file holds is
  // written as far as the file reaches.
  const uint64_t riffOffset = r.riffChunk.dwDataOffset;
  const uint64_t held = fileBytes > riffOffset ? fileBytes - riffOffset : 0;
  const uint64_t formBytes = std::max<uint64_t>(FormEndingWithData(r, dataBytes),
                                                std::min<uint64_t>(FormBytesHeld(r), held));
  *end = riffOffset + formBytes;
  return (dataBytes <= kMaxRiffOffset || r.large.active) && WriteWaveSizes(r, dataBytes, formBytes);
}

// Copies the first `bytes` of the file `source` into the file `target` (each stretch reported
// to `progress`), through the platform's file services, and flushes the copy to disk.  Every
// piece must move whole.
bool CopyStart(char* source, char* target, uint64_t bytes, const ProgressHook& progress) {
  const std::unique_ptr<uint8_t[]> buffer = MoveBuffer();
  HMMIO from = mmioOpenA(source, nullptr, MMIO_READ);
  HMMIO to = mmioOpenA(target, nullptr, MMIO_CREATE | MMIO_WRITE);
  bool copied = buffer != nullptr && from != nullptr && to != nullptr;
  mmio::AllowLargeOffsets(from);  // an RF64 file
  mmio::AllowLargeOffsets(to);
  // The disk writes each stretch while the next is copied, so the flush at the end has little
  // left to wait for.
  constexpr uint64_t kStretch = uint64_t{8} << 20;
  // The system copies inside itself where it can (no pass through this process); where it
  // cannot (another file system, no support), the buffer takes over.
  bool inSystem = true;
  for (uint64_t at = 0; copied && at < bytes; at += kStretch) {
    const uint64_t n = std::min(kStretch, bytes - at);
    uint64_t done = 0;
    if (inSystem && !mmio::CopyRange(from, at, to, at, n, &done)) {
      inSystem = false;
      copied = done == 0;  // a copy that failed part-way failed
    }
    if (copied && !inSystem) {
      copied = CopyThroughBuffer(from, at, to, at, n, buffer.get());
    }
    mmio::StartWriteBack(to);
    if (copied) progress.Report(at + n, bytes);
  }
  copied = copied && mmio::FlushToDisk(to);
  if (from != nullptr) mmioClose(from, 0);
  if (to != nullptr && mmioClose(to, 0) != 0) copied = false;
  return copied;
}

// Puts a copy of the first `bytes` of the file `name` in its place through `copy`, a new file
// beside it that is written whole and flushed before it replaces the file, so that the name
// always holds either the old file or the new one.  False, with the copy removed and `name` as
// it was, when any step fails.
bool ReplaceWithStart(char* name, char* copy, uint64_t bytes, const ProgressHook& progress) {
  if (CopyStart(name, copy, bytes, progress) &&
      MoveFileExA(copy, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    return true;
  }
  DeleteFileA(copy);
  return false;
}

// Opens `name` (system code page) again as the recording, as OpenFile does from state 2: the
// Close it begins with has no file to close and tests nothing.  Returns OpenFile's error.
uint16_t Reopen(Recorder& r, const char* name) {
  uint16_t error = ErrFileOpen;
  BSTR bstr = ToWideString(name);
  if (bstr == nullptr) return error;
  if (bstr[0] == 0) {
    SysFreeString(bstr);
    return error;
  }
  // Whether the input takes the capture format has nothing to do with saving a file.
  r.state = StateOpen;
  OpenFile(r, bstr, &error);
  SysFreeString(bstr);
  if (error != ErrNone) r.state = StateIdle;  // nothing is open, whichever step failed
  return error;
}

}  // namespace

uint32_t DeleteSamples(Recorder& r, int64_t count, uint16_t* error) {
  const uint16_t refusal = EditRefusal(r);
  const double perBlock = FramesPerBlock(r);
  int64_t frames = count;
  if (perBlock > 0.0 && frames > 0) frames = SnapToBlocks(frames, perBlock);
  if (refusal != ErrNone || frames < 1) {
    ReportError(r, error, refusal);
    return 0;
  }

  HMMIO h = r.fileHandle;
  const auto length = static_cast<int64_t>(std::min<uint64_t>(r.length.load(), kMaxFrames));
  const int64_t position = std::clamp<int64_t>(r.position.load(), 0, length);
  const uint64_t dataOffset = r.dataChunk.dwDataOffset;
  // A cut that reaches past the end keeps everything before the position: nothing moves.
  int64_t newLength = position;
  JournalRecord move;
  move.step = JournalStep::Down;
  if (frames <= length - position) {
    const uint64_t to = FrameToByte64(r, static_cast<uint64_t>(position));
    const uint64_t from = to + FrameToByte64(r, static_cast<uint64_t>(frames));
    const uint64_t end = FrameToByte64(r, static_cast<uint64_t>(length));
    move.from = dataOffset + from;
    move.to = dataOffset + to;
    move.count = end > from ? end - from : 0;
    const int64_t left = length - frames;
    newLength =
        perBlock > 0.0 ? std::clamp<int64_t>(SnapToBlocks(left, perBlock), 0, length) : left;
  }
  // The whole edit is described in the journal before anything is written: a kill at any
  // moment leaves a file that the next writable open finishes.  Where no journal can be written
  // beside the recording (a folder without write permission) the cut runs without one.
  const uint64_t dataBytes = FrameToByte64(r, static_cast<uint64_t>(newLength));
  uint64_t fileEnd = 0;
  const bool haveEnd = mmio::Length64(h, &fileEnd);
  move.endBytes = r.fileKind != 0 ? dataOffset + dataBytes : fileEnd;
  move.sizes = ShrunkSizes(r, dataBytes, static_cast<uint64_t>(newLength));
  move.headerBytes = JournalHeaderBytes(r);
  const std::unique_ptr<uint8_t[]> buffer = MoveBuffer();
  EditJournal journal;
  if (buffer == nullptr || !haveEnd ||
      ((move.sizes.form > kMaxRiffOffset || dataBytes > kMaxRiffOffset) && !r.large.active)) {
    ReturnToPosition(r);
    ReportError(r, error, ErrCaptureWrite);
    return 0;
  }
  if (!journal.Begin(r.fileName, h, move)) journal.BeginUnbacked(move);
  r.fileChanged = 1;
  // A move or size write that fails leaves the journal: the next writable open finishes it.
  journal.ReportTo(&r.progress);
  const bool done = journal.Finish(h, buffer.get());
  if (done) {
    // The sizes on disk are the journal's now.
    r.length = static_cast<uint64_t>(newLength);
    CutMarks(r.marks, position, length - newLength);
    r.dataChunk.cksize = static_cast<DWORD>(std::min<uint64_t>(dataBytes, 0xFFFFFFFFu));
    if (r.fileKind == 0) {
      r.riffChunk.cksize = static_cast<DWORD>(std::min<uint64_t>(move.sizes.form, 0xFFFFFFFFu));
    }
    if (r.large.active) {
      r.large.form = move.sizes.form;
      r.large.data = dataBytes;
      r.large.samples = static_cast<uint64_t>(newLength);
    }
  }
  ReturnToPosition(r);
  ReportError(r, error, done ? ErrNone : ErrCaptureWrite);
  return 0;
}

uint32_t DeleteSeconds(Recorder& r, double seconds, uint16_t* error) {
  if (r.state.load() != StateOpen) {
    ReportError(r, error, ErrNeedsOpen);
    return 0;
  }
  return DeleteSamples(r, HeldFrames(static_cast<double>(FrameRate(r)) * seconds), error);
}

uint32_t CompactFile(Recorder& r, uint16_t* error) {
  const uint16_t refusal = EditRefusal(r);
  if (refusal != ErrNone) {
    ReportError(r, error, refusal);
    return 0;
  }
  uint64_t fileBytes = 0;
  uint64_t end = 0;
  const bool sized = mmio::Length64(r.fileHandle, &fileBytes) && ContentEnd(r, fileBytes, &end);
  // Closing the file below writes the chunks of its marks, which the copy keeps.
  if (sized && r.fileChanged.load() != 0) end = std::max(end, CueChunksEnd(r));
  if (!sized || fileBytes <= end) {
    ReturnToPosition(r);
    ReportError(r, error, sized ? ErrNone : ErrVolumeControl);
    return 0;
  }

  const int64_t position = r.position.load();
  const uint16_t deleteOnClose = r.deleteOnClose.load();
  const uint64_t recorded = r.recordedLength.load();
  char name[kNameBytes];
  std::memcpy(name, r.fileName, sizeof name);
  char copy[kNameBytes + MAX_PATH] = {};
  if (GetTempFileNameA(FolderOf(name).c_str(), "VOX", 0, copy) == 0) {
    ReturnToPosition(r);
    ReportError(r, error, ErrVolumeControl);
    return 0;
  }
  // The copy is named in the journal, so that a kill before it replaces the recording leaves
  // nothing that the next writable open does not remove.  (Without a journal the compaction
  // still runs: the copy is removed after any failure it sees.)
  JournalRecord compact;
  compact.step = JournalStep::Compact;
  compact.headerBytes = JournalHeaderBytes(r);
  const char* base = copy + FolderOf(copy).size();
  while (*base != '\0' && std::strchr(VOXL_PATH_SEPARATORS, *base) != nullptr) ++base;
  if (std::strlen(base) < sizeof compact.temp)
    std::memcpy(compact.temp, base, std::strlen(base) + 1);
  EditJournal journal;
  journal.Begin(name, r.fileHandle, compact);

  r.deleteOnClose = 0;  // the file is closed here to be replaced, not to go away
  CloseRecordingTarget(r);
  const bool replaced = ReplaceWithStart(name, copy, end, r.progress);
  journal.End();
  const uint16_t reopened = Reopen(r, name);
  if (reopened != ErrNone) {
    // A temporary recording that can no longer be reached goes away, as Close would take it.
    if (deleteOnClose != 0) DeleteFileA(name);
    ReportError(r, error, reopened);
    return 0;
  }
  r.deleteOnClose = deleteOnClose;
  r.recordedLength = recorded;
  // The position comes back exactly as it was (within the reopened length), not snapped to a
  // block: compaction moves no audio, so nothing the host sees may move either.
  r.position = std::clamp<int64_t>(
      position, 0, static_cast<int64_t>(std::min<uint64_t>(r.length.load(), kMaxFrames)));
  r.readPosition = 0.0;
  ReturnToPosition(r);
  ReportError(r, error, replaced ? ErrNone : ErrVolumeControl);
  return 0;
}

}  // namespace voxl
