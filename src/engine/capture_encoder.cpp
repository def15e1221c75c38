// The encoder steps of a compressed capture run.
//
// The encode header's source buffer holds up to pcmBlockBytes of PCM: each conversion consumes
// what the codec can take (cbSrcLengthUsed) and the rest moves to the front for the next one;
// the output buffer (encodedBlockBytes) is emptied before every conversion.
#include "engine/capture_encoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/capture_internal.h"
#include "formats/conversion.h"
#include "wavefile/frames.h"
#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {
namespace {

// Nothing waiting in the source buffer, nothing produced.
void ClearEncoderBuffers(ACMSTREAMHEADER& h) {
  h.cbSrcLength = 0;
  h.cbSrcLengthUsed = 0;
  h.cbDstLength = 0;
  h.cbDstLengthUsed = 0;
}

// Moves what the last conversion left unconsumed to the front of the source buffer; returns
// its size.
uint32_t KeepLeftover(ACMSTREAMHEADER& h) {
  const uint32_t leftover = h.cbSrcLength - h.cbSrcLengthUsed;
  if (leftover > 0) std::memmove(h.pbSrc, h.pbSrc + h.cbSrcLengthUsed, leftover);
  return leftover;
}

// One conversion of the first `sourceBytes` of the source buffer into the emptied output buffer.
void Convert(Recorder& r, uint32_t sourceBytes, DWORD flags) {
  ACMSTREAMHEADER& h = r.encodeHeader;
  h.cbSrcLength = sourceBytes;
  h.cbSrcLengthUsed = 0;
  h.cbDstLength = r.encodedBlockBytes;
  h.cbDstLengthUsed = 0;
  acmStreamConvert(r.encodeStream, &h, flags);
  if (r.pcmFormat.nBlockAlign > 0) {
    r.encoderFramesIn.fetch_add(h.cbSrcLengthUsed / r.pcmFormat.nBlockAlign);
  }
}

// One step of the encoder: keeps what it left unconsumed, appends up to a block's worth of
// `data` (`available` bytes) and converts once.  Returns the bytes of `data` taken.  With
// `endWhenAllTaken`, a step that takes all of `data` ends the encoder's stream.
uint32_t FeedEncoderOnce(Recorder& r, const uint8_t* data, uint32_t available,
                         bool endWhenAllTaken) {
  ACMSTREAMHEADER& h = r.encodeHeader;
  const uint32_t leftover = KeepLeftover(h);
  const uint32_t take = std::min(available, r.pcmBlockBytes - leftover);
  if (take > 0) std::memcpy(h.pbSrc + leftover, data, take);
  if (endWhenAllTaken && take == available) r.encodeFlags |= ACM_STREAMCONVERTF_END;
  Convert(r, leftover + take, r.encodeFlags);
  r.encodeFlags = ACM_STREAMCONVERTF_BLOCKALIGN;
  return take;
}

// The frames that `produced` bytes of output written at position add.  Counted from the byte
// offset where position writes, not per piece: rounding each piece on its own would let the
// length drift from the bytes written, and the data chunk that the length gives at close would
// cut off the end of the recording.
uint32_t FramesOfOutput(const Recorder& r, uint32_t produced) {
  const auto position = static_cast<uint64_t>(std::max<int64_t>(r.position.load(), 0));
  const uint64_t end = FrameToByte64(r, position) + produced;
  const uint64_t endFrames = ByteToFrames(r, end);
  return static_cast<uint32_t>(
      std::min<uint64_t>(endFrames > position ? endFrames - position : 0, UINT32_MAX));
}

// Delivers one pass of encoder output (drain or flush at the end of a run).  False when there
// was none.
bool DeliverEncoderOutput(Recorder& r) {
  const uint32_t produced = r.encodeHeader.cbDstLengthUsed;
  if (produced == 0) return false;
  EmitData(r, r.encodeHeader.pbDst, produced);
  r.fileCursor.fetch_add(produced);
  CountStoredFrames(r, FramesOfOutput(r, produced));
  return true;
}

// Whether the bytes at `h` (three of them) begin an MPEG audio Layer-3 frame header at `rate`:
// the 11 sync bits, a version that exists, layer III, a bitrate index that names a bitrate and a
// sample-rate index that gives the file's rate.  A bare 0xFF byte is not enough: frame data is
// full of them, and writing from one would cut a frame in two.
bool IsLayer3FrameHeader(const uint8_t* h, uint32_t rate) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const int version = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  const int layer = (h[1] >> 1) & 3;    // 1 = layer III
  const int bitrateIndex = h[2] >> 4;
  const int rateIndex = (h[2] >> 2) & 3;
  if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
    return false;
  }
  static constexpr uint32_t kMpeg1Rates[3] = {44100, 48000, 32000};
  const uint32_t divisor = version == 3 ? 1 : version == 2 ? 2 : 4;
  return kMpeg1Rates[rateIndex] / divisor == rate;
}

// Writing into part of an existing MPEG Layer-3 file must begin at a frame header, and frames
// vary in length: looks for the first frame header within two blocks of the block at position,
// writes from there and moves position to match.  Without one there, writing begins at the
// block of position, or at the end of the data when the data ends inside the two blocks.
void AlignToMpegFrame(Recorder& r) {
  const WAVEFORMATEX& format = *r.fileFormat;
  if (format.nBlockAlign == 0 || r.samplesPerBlock <= 0.0 ||
      r.fileFormatSize < static_cast<int32_t>(sizeof(MPEGLAYER3WAVEFORMAT))) {
    return;
  }
  uint16_t blockSize = 0;
  std::memcpy(&blockSize, reinterpret_cast<const uint8_t*>(r.fileFormat) + 24, sizeof blockSize);
  const uint64_t dataStart = r.dataChunk.dwDataOffset;
  const uint64_t dataEnd = dataStart + r.dataChunk.cksize;
  const uint64_t start = PositionFileOffset(r);
  const uint64_t limit = start + 2ull * blockSize;
  if (start >= kMaxDataEnd || start >= dataEnd) return;

  // The two blocks and the two bytes a header found at their end needs.
  std::vector<uint8_t> window(std::min(limit + 2, dataEnd) - start);
  SeekTo(r.fileHandle, start);
  if (!ReadAll(r.fileHandle, window.data(), window.size())) window.clear();
  uint64_t p = limit < dataEnd ? start : dataEnd;
  for (size_t i = 0; i + 2 < window.size() && start + i < limit; ++i) {
    if (IsLayer3FrameHeader(&window[i], format.nSamplesPerSec)) {
      p = start + i;
      break;
    }
  }
  SeekTo(r.fileHandle, p);
  r.fileCursor = p;
  r.position = static_cast<int64_t>(ByteToFrames(r, p - dataStart));
}

}  // namespace

void StartEncoder(Recorder& r) {
  OpenConversionStreams(r);
  ClearEncoderBuffers(r.encodeHeader);
  r.encodeFlags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
  if (r.fileHandle != nullptr && r.fileFormat != nullptr &&
      r.fileFormat->wFormatTag == WAVE_FORMAT_MPEGLAYER3) {
    AlignToMpegFrame(r);
  }
  // Frames taken by the encoder, marker tones included: when the run writes the whole data of a
  // file whose length is the frames recorded, they are its length at the end of the run.
  r.encoderFramesIn = 0;
  r.encodesWholeFile = r.fileHandle != nullptr && (r.fileKind == 0 || r.fileKind == 1) &&
                               r.length.load() == 0 && LengthIsFramesRecorded(r)
                           ? 1
                           : 0;
}

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
      CountStoredFrames(r, FramesOfOutput(r, produced));
    }
  }
}

bool EncodeTonePiece(Recorder& r, const uint8_t* tone, uint32_t bytes, bool firstPiece,
                     bool lastPiece, bool final) {
  ACMSTREAMHEADER& h = r.encodeHeader;
  if (firstPiece) ClearEncoderBuffers(h);
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

void EmptyEncoder(Recorder& r) {
  if (r.fileHandle != nullptr) {
    if (!ResolveFileCursor(r)) return;
    SeekForWrite(r, r.fileCursor);
  }
  ACMSTREAMHEADER& h = r.encodeHeader;
  while (h.cbSrcLength > h.cbSrcLengthUsed) {
    Convert(r, KeepLeftover(h), ACM_STREAMCONVERTF_BLOCKALIGN);
    if (!DeliverEncoderOutput(r)) break;
  }
  // The flush.  When it ends the stream, the partial block still in the source buffer goes with
  // it and the codec encodes it padded, so no captured audio is lost; when the end tone follows,
  // the tone takes the stream over and the partial block is discarded with it.
  const bool endToneFollows = r.startTonePending == 0 && r.endToneSeconds > 0.0f;
  const DWORD flags = endToneFollows ? ACM_STREAMCONVERTF_BLOCKALIGN
                                     : ACM_STREAMCONVERTF_END | ACM_STREAMCONVERTF_BLOCKALIGN;
  do {
    Convert(r, endToneFollows ? 0 : KeepLeftover(h), flags);
  } while (DeliverEncoderOutput(r));
}

}  // namespace voxl
