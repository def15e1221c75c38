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
  if (formBytes > kMaxRiffOffset) return false;
  const uint32_t frames = r.length.load();
  for (int attempt = 0; attempt < 2; ++attempt) {
    WriteSizeFields(r, dataBytes, formBytes, r.hasFactChunk != 0 ? &frames : nullptr);
    RereadChunks(r);
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

// Writes the sizes of the open file for `dataBytes` of data, which now end its content; the
// "fact" count follows at once, so that a file left behind by a crash never claims more frames
// than it holds.  True when the file says so afterwards.
bool WriteShrunkSizes(Recorder& r, uint64_t dataBytes) {
  const uint64_t dataOffset = r.dataChunk.dwDataOffset;
  if (r.fileKind != 0) {
    // A headerless file ends with its data: what lies behind it would be read as audio.
    r.dataChunk.cksize = static_cast<DWORD>(std::min<uint64_t>(dataBytes, kMaxRiffOffset));
    return dataOffset + dataBytes <= kMaxRiffOffset &&
           mmio::Truncate(r.fileHandle, static_cast<DWORD>(dataOffset + dataBytes));
  }
  // The form ends with the data: chunks that followed it are left behind with the old tail.
  return WriteWaveSizes(r, dataBytes, FormEndingWithData(r, dataBytes));
}

// Places the file at the position again; the engine works out its write offset anew.
void ReturnToPosition(Recorder& r) {
  const int32_t position = r.position.load();
  SeekTo(r.fileHandle, FrameToFileOffset(r, position < 0 ? 0u : static_cast<uint32_t>(position)));
  r.fileCursor = kCursorUnknown;
}

// ---- Compaction ----

// The end of the open file's content, once its sizes are as Close writes them (RIFF/WAVE: behind
// the form; headerless: behind the data), for a file of `fileBytes`.  False when the sizes on
// disk could not be made so.
bool ContentEnd(Recorder& r, uint64_t fileBytes, uint64_t* end) {
  const uint64_t dataOffset = r.dataChunk.dwDataOffset;
  const uint64_t audioBytes = FrameToByte64(r, r.length.load());
  const uint64_t dataBytes = std::max<uint64_t>(r.dataChunk.cksize, audioBytes);
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
                                                std::min<uint64_t>(r.riffChunk.cksize, held));
  *end = riffOffset + formBytes;
  return dataBytes <= kMaxRiffOffset && WriteWaveSizes(r, dataBytes, formBytes);
}

// The folder a file name lies in: up to its last separator, "." for a bare name, the root for a
// file in it (also a drive's root, "C:\\").
std::string FolderOf(const char* name) {
  const char* separator = nullptr;
  for (const char* c = name; *c != '\0'; ++c) {
    if (std::strchr(VOXL_PATH_SEPARATORS, *c) != nullptr) separator = c;
  }
  if (separator == nullptr) return ".";
  const bool root = separator == name || separator[-1] == ':';
  return std::string(name, static_cast<size_t>(separator - name) + (root ? 1 : 0));
}

// Copies the first `bytes` of the file `source` into the file `target`, through the platform's
// file services, and flushes the copy to disk.  Every piece must move whole.
bool CopyStart(char* source, char* target, uint64_t bytes) {
  const std::unique_ptr<uint8_t[]> buffer = MoveBuffer();
  HMMIO from = mmioOpenA(source, nullptr, MMIO_READ);
  HMMIO to = mmioOpenA(target, nullptr, MMIO_CREATE | MMIO_WRITE);
  bool copied = buffer != nullptr && from != nullptr && to != nullptr;
  // The disk writes each stretch while the next is copied, so the flush at the end has little
  // left to wait for.
  constexpr uint64_t kStretch = uint64_t{8} << 20;
  for (uint64_t at = 0; copied && at < bytes; at += kStretch) {
    const uint64_t n = std::min(kStretch, bytes - at);
    copied = MoveRange(from, at, to, at, n, MoveOrder::FirstPieceFirst, buffer.get()).moved == n;
    mmio::StartWriteBack(to);
  }
  copied = copied && mmio::FlushToDisk(to);
  if (from != nullptr) mmioClose(from, 0);
  if (to != nullptr && mmioClose(to, 0) != 0) copied = false;
  return copied;
}

// Puts a copy of the first `bytes` of the file `name` in its place: a new file beside it is
// written whole and flushed before it replaces the file, so that the name always holds either
// the old file or the new one.  False, with the new file removed and `name` as it was, when any
// step fails.
bool ReplaceWithStart(char* name, uint64_t bytes) {
  char copy[kNameBytes + MAX_PATH] = {};
  if (GetTempFileNameA(FolderOf(name).c_str(), "VOX", 0, copy) == 0) return false;
  if (CopyStart(name, copy, bytes) &&
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

uint32_t DeleteSamples(Recorder& r, int32_t count, uint16_t* error) {
  const uint16_t refusal = EditRefusal(r);
  const double perBlock = FramesPerBlock(r);
  int64_t frames = count;
  if (perBlock > 0.0 && frames > 0) frames = SnapToBlocks(frames, perBlock);
  if (refusal != ErrNone || frames < 1) {
    ReportError(r, error, refusal);
    return 0;
  }

  HMMIO h = r.fileHandle;
  const uint32_t length = r.length.load();
  const int64_t position = std::clamp<int64_t>(r.position.load(), 0, length);
  uint32_t newLength = static_cast<uint32_t>(position);
  if (frames <= length - position) {
    const uint64_t dataOffset = r.dataChunk.dwDataOffset;
    const uint64_t to = FrameToByte64(r, static_cast<uint32_t>(position));
    const uint64_t from = to + FrameToByte64(r, static_cast<uint32_t>(frames));
    const uint64_t end = FrameToByte64(r, length);
    const uint64_t tail = end > from ? end - from : 0;
    const std::unique_ptr<uint8_t[]> buffer = MoveBuffer();
    if (buffer == nullptr || MoveRange(h, dataOffset + from, h, dataOffset + to, tail,
                                       MoveOrder::FirstPieceFirst, buffer.get())
                                     .moved != tail) {
      ReturnToPosition(r);
      ReportError(r, error, ErrCaptureWrite);
      return 0;
    }
    const int64_t left = length - frames;
    newLength = static_cast<uint32_t>(
        perBlock > 0.0 ? std::clamp<int64_t>(SnapToBlocks(left, perBlock), 0, length) : left);
  }
  r.length = newLength;
  const bool sized = WriteShrunkSizes(r, FrameToByte64(r, newLength));
  ReturnToPosition(r);
  ReportError(r, error, sized ? ErrNone : ErrCaptureWrite);
  return 0;
}

uint32_t DeleteSeconds(Recorder& r, double seconds, uint16_t* error) {
  if (r.state.load() != StateOpen) {
    ReportError(r, error, ErrNeedsOpen);
    return 0;
  }
  const double frames = std::trunc(static_cast<double>(FrameRate(r)) * seconds);
  constexpr double kLow = std::numeric_limits<int32_t>::min();
  constexpr double kHigh = std::numeric_limits<int32_t>::max();
  const int32_t count =
      std::isnan(frames) ? 0 : static_cast<int32_t>(std::clamp(frames, kLow, kHigh));
  return DeleteSamples(r, count, error);
}

uint32_t CompactFile(Recorder& r, uint16_t* error) {
  const uint16_t refusal = EditRefusal(r);
  if (refusal != ErrNone) {
    ReportError(r, error, refusal);
    return 0;
  }
  const LONG last = mmioSeek(r.fileHandle, 0, SEEK_END);
  const uint64_t fileBytes = static_cast<DWORD>(last);
  uint64_t end = 0;
  const bool sized = last != -1 && ContentEnd(r, fileBytes, &end);
  if (!sized || fileBytes <= end) {
    ReturnToPosition(r);
    ReportError(r, error, sized ? ErrNone : ErrVolumeControl);
    return 0;
  }

  const int32_t position = r.position.load();
  const uint16_t deleteOnClose = r.deleteOnClose.load();
  const uint32_t recorded = r.recordedLength.load();
  char name[kNameBytes];
  std::memcpy(name, r.fileName, sizeof name);
  r.deleteOnClose = 0;  // the file is closed here to be replaced, not to go away
  CloseRecordingTarget(r);

  const bool replaced = ReplaceWithStart(name, end);
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
  r.position = static_cast<int32_t>(
      std::clamp<int64_t>(position, 0, std::min<int64_t>(r.length.load(), INT32_MAX)));
  r.readPosition = 0.0;
  ReturnToPosition(r);
  ReportError(r, error, replaced ? ErrNone : ErrVolumeControl);
  return 0;
}

}  // namespace voxl
