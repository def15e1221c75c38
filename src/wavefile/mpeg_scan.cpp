// MPEG audio frame headers: the parser with its bitrate and sample-rate tables, the ID3v2 tag
// skip and the scan that turns the first frame of a headerless stream into a wave format.
#include "wavefile/mpeg_scan.h"

#include <vector>

#include "formats/conversion.h"
#include "platform/acm/acm.h"
#include "platform/mmio/mmio.h"
#include "wavefile/riff_io.h"

namespace voxl {

namespace {

// Bitrates in kbit/s: MPEG-1 Layer I, II, III; MPEG-2/2.5 Layer I; MPEG-2/2.5 Layers II and III.
// Index 0 is free format, index 15 forbidden (-1).
constexpr int16_t kBitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, -1},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, -1},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, -1},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1},
};

// Row of kBitrates for version id x 4 + layer id; -1 for a reserved version or layer.
constexpr int16_t kBitrateRow[16] = {
    -1, 4,  4,  3,   // MPEG-2.5: Layer III, II, I
    -1, -1, -1, -1,  // reserved version
    -1, 4,  4,  3,   // MPEG-2
    -1, 2,  1,  0,   // MPEG-1
};

// Sample rates in Hz for version id x 4 + sample-rate index; 0 for the reserved ones.
constexpr uint32_t kSampleRates[16] = {
    11025, 12000, 8000,  0,  // MPEG-2.5
    0,     0,     0,     0,  // reserved version
    22050, 24000, 16000, 0,  // MPEG-2
    44100, 48000, 32000, 0,  // MPEG-1
};

// Tags skipped in front of a stream at most (each takes at least 10 bytes).
constexpr int kMaxLeadingTags = 16;

// Decodes the 4 bytes at `p`; false when they are no valid header.
bool DecodeHeader(const uint8_t* p, MpegFrameHeader* out) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  MpegFrameHeader h{};
  h.versionId = (p[1] >> 3) & 3u;
  h.layerId = (p[1] >> 1) & 3u;
  h.protection = p[1] & 1u;
  if (h.layerId == 0 || h.versionId == kMpegNoHeader) return false;
  const int16_t row = kBitrateRow[h.versionId * 4 + h.layerId];
  if (row < 0) return false;
  h.bitrateIndex = (p[2] >> 4) & 15u;
  const int16_t bitrate = kBitrates[row][h.bitrateIndex];
  if (bitrate < 0) return false;
  h.bitrate = static_cast<uint32_t>(bitrate);
  h.sampleRateIndex = (p[2] >> 2) & 3u;
  h.sampleRate = kSampleRates[h.versionId * 4 + h.sampleRateIndex];
  if (h.sampleRate == 0) return false;
  h.padding = (p[2] >> 1) & 1u;
  h.privateBit = p[2] & 1u;
  h.channelMode = (p[3] >> 6) & 3u;
  h.modeExtension = (p[3] >> 4) & 3u;
  h.copyright = (p[3] >> 3) & 1u;
  h.original = (p[3] >> 2) & 1u;
  h.emphasis = p[3] & 3u;
  *out = h;
  return true;
}

}  // namespace

uint32_t MpegFrameBytes(const MpegFrameHeader& h) {
  if (h.versionId == kMpegNoHeader || h.sampleRate == 0) return 0;
  const uint32_t bitsPerSecond = h.bitrate * 1000;
  switch (h.layerId) {
    case 3:  // Layer I: slots of 4 bytes
      return (12 * bitsPerSecond / h.sampleRate + h.padding) * 4;
    case 2:
      return 144 * bitsPerSecond / h.sampleRate + h.padding;
    case 1:  // Layer III: MPEG-2 and 2.5 frames hold half the samples
      return (h.versionId == 3 ? 144 : 72) * bitsPerSecond / h.sampleRate + h.padding;
    default:
      return 0;
  }
}

MpegFrameHeader ParseMpegFrameHeader(const uint8_t* data, uint32_t* count) {
  MpegFrameHeader none{};
  none.versionId = kMpegNoHeader;
  if (data == nullptr || count == nullptr || *count <= 3) return none;
  const uint32_t n = *count;
  for (uint32_t i = 0; i + 3 < n; ++i) {
    MpegFrameHeader h{};
    if (!DecodeHeader(data + i, &h)) continue;
    const uint32_t frame = MpegFrameBytes(h);
    if (frame != 0 && frame <= n - i && n - i - frame >= 4) {
      MpegFrameHeader next{};
      if (!DecodeHeader(data + i + frame, &next) || next.versionId != h.versionId ||
          next.layerId != h.layerId || next.sampleRateIndex != h.sampleRateIndex) {
        continue;
      }
    }
    *count = i;
    return h;
  }
  return none;
}

uint32_t Id3v2TagBytes(const uint8_t* data, uint32_t count) {
  if (data == nullptr || count < 10) return 0;
  if (data[0] != 'I' || data[1] != 'D' || data[2] != '3') return 0;
  if (data[3] == 0xFF || data[4] == 0xFF) return 0;
  uint32_t size = 0;
  for (int k = 6; k < 10; ++k) {
    if (data[k] & 0x80) return 0;  // sizes are syncsafe: 7 bits per byte
    size = (size << 7) | data[k];
  }
  const uint32_t footer = (data[5] & 0x10) != 0 ? 10 : 0;
  return 10 + size + footer;
}

uint32_t ScanMpegStream(Recorder& r, uint16_t* error) {
  HMMIO h = r.fileHandle;
  if (h == nullptr) {
    ReportError(r, error, ErrFormatUnusable);
    return 0;
  }
  std::vector<uint8_t> buffer(kMpegScanBytes);
  // Tags in front of the audio (one after another, as some taggers leave them) are skipped by
  // the sizes they declare: pictures inside them may hold anything, false frame syncs included.
  uint64_t start = 0;
  for (int tags = 0; tags < kMaxLeadingTags; ++tags) {
    uint8_t tag[10];
    if (!SeekTo(h, start)) break;
    const LONG got = mmioRead(h, reinterpret_cast<HPSTR>(tag), sizeof tag);
    if (got < 0) {
      mmioSeek(h, 0, SEEK_SET);
      ReportError(r, error, ErrFileOpen);
      return 0;
    }
    const uint32_t skip = Id3v2TagBytes(tag, static_cast<uint32_t>(got));
    if (skip == 0) break;
    start += skip;
  }

  LONG got = 0;
  if (SeekTo(h, start)) {
    got = mmioRead(h, reinterpret_cast<HPSTR>(buffer.data()), static_cast<LONG>(buffer.size()));
  }
  mmioSeek(h, 0, SEEK_SET);
  if (got < 0) {
    ReportError(r, error, ErrFileOpen);
    return 0;
  }
  uint32_t offset = static_cast<uint32_t>(got);
  const MpegFrameHeader header = ParseMpegFrameHeader(buffer.data(), &offset);
  // A free-format stream (bitrate 0) gives no bytes per second: its positions cannot be mapped.
  if (header.versionId == kMpegNoHeader || header.layerId != 1 || header.bitrate == 0) {
    ReportError(r, error, ErrFormatUnusable);
    return 0;
  }

  MPEGLAYER3WAVEFORMAT format{};
  format.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  format.wfx.nChannels = header.channelMode == 3 ? 1 : 2;
  format.wfx.nSamplesPerSec = header.sampleRate;
  format.wfx.nAvgBytesPerSec = header.bitrate * 1000 / 8;
  format.wfx.nBlockAlign = 1;
  format.wfx.wBitsPerSample = 0;
  format.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
  format.wID = MPEGLAYER3_ID_MPEG;
  format.fdwFlags = header.padding != 0 ? MPEGLAYER3_FLAG_PADDING_ON : MPEGLAYER3_FLAG_PADDING_OFF;
  format.nBlockSize = static_cast<WORD>((header.versionId == 3 ? 144000 : 72000) * header.bitrate /
                                        header.sampleRate);
  format.nFramesPerBlock = 1;
  format.nCodecDelay = 1393;
  if (ApplyTargetFormat(r, &format.wfx, static_cast<int32_t>(sizeof format)) != kAccepted) {
    ReportError(r, error, ErrFormatUnusable);
    return 0;
  }
  r.sampleFormat = 100;
  ReportError(r, error, ErrNone);
  const uint64_t at = start + offset;
  return at > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(at);
}

}  // namespace voxl
