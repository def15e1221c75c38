// MPEG audio frame headers: the parser with its bitrate and sample-rate tables, the ID3v2 tag
// skip and the scan that turns the first frame of a headerless stream into a wave format.
#include "wavefile/mpeg_scan.h"

#include <algorithm>
#include <cstring>
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

// Bytes in front of the Info tag inside its frame: the header, its check word and the side
// information of the version and channels.
uint32_t InfoTagOffset(const MpegFrameHeader& h) {
  const bool mono = h.channelMode == 3;
  const uint32_t side = h.versionId == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  return 4 + (h.protection == 0 ? 2 : 0) + side;
}

// The tag's parts, from its start: "Info", flags, frames, bytes, the 100-entry seek table and
// the quality, then the encoder extension with its version text, delay and padding (3 bytes, 12
// bits each) at kDelaysAt and its check word last.
constexpr uint32_t kTagHeadBytes = 120;
constexpr uint32_t kExtensionBytes = 36;
constexpr uint32_t kDelaysAt = 21;
constexpr uint32_t kAllFields = 0xF;  // frames, bytes, seek table, quality

uint32_t Big32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void PutBig32(uint8_t* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// The check word of the encoder extension: CRC-16 with polynomial 0x8005, bits reflected, from 0.
uint16_t Crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

}  // namespace

bool ParseMpegInfoFrame(const uint8_t* frame, uint32_t bytes, MpegInfoTag* tag) {
  MpegFrameHeader h{};
  if (frame == nullptr || tag == nullptr || bytes < 4 || !DecodeHeader(frame, &h) ||
      h.layerId != 1) {
    return false;
  }
  const uint32_t at = InfoTagOffset(h);
  if (bytes < at + 8 ||
      (std::memcmp(frame + at, "Info", 4) != 0 && std::memcmp(frame + at, "Xing", 4) != 0)) {
    return false;
  }
  const uint32_t flags = Big32(frame + at + 4);
  uint32_t p = at + 8;
  MpegInfoTag t;
  const uint32_t own = std::min(MpegFrameBytes(h), bytes);
  if ((flags & 1) != 0) {
    if (bytes < p + 4) return false;
    t.frames = Big32(frame + p);
    p += 4;
  }
  if ((flags & 2) != 0) {
    if (bytes < p + 4) return false;
    const uint32_t stated = Big32(frame + p);
    t.bytes = stated > own ? stated - own : 0;
    p += 4;
  }
  if ((flags & 4) != 0) p += 100;
  if ((flags & 8) != 0) p += 4;
  // Encoders that write the extension name themselves in its first bytes.
  if (bytes >= p + kExtensionBytes &&
      (std::memcmp(frame + p, "LAME", 4) == 0 || std::memcmp(frame + p, "Lav", 3) == 0)) {
    const uint8_t* d = frame + p + kDelaysAt;
    const uint32_t both = (uint32_t{d[0]} << 16) | (uint32_t{d[1]} << 8) | d[2];
    t.statesDelays = true;
    t.delay = both >> 12;
    t.padding = both & 0xFFF;
  }
  *tag = t;
  return true;
}

std::vector<uint8_t> MakeMpegInfoFrame(const WAVEFORMATEX& format, const MpegInfoTag& tag) {
  MpegFrameHeader h{};
  h.layerId = 1;
  h.protection = 1;  // no check word
  h.versionId = kMpegNoHeader;
  for (uint32_t i = 0; i < 16; ++i) {
    if (kSampleRates[i] == format.nSamplesPerSec && kSampleRates[i] != 0) {
      h.versionId = i / 4;
      h.sampleRateIndex = i % 4;
      h.sampleRate = kSampleRates[i];
    }
  }
  if (h.versionId == kMpegNoHeader || (format.nChannels != 1 && format.nChannels != 2)) return {};
  h.channelMode = format.nChannels == 1 ? 3 : 1;  // mono, or joint stereo
  const uint32_t at = InfoTagOffset(h);
  const uint32_t needed = at + kTagHeadBytes + kExtensionBytes;
  const int16_t* rates = kBitrates[kBitrateRow[h.versionId * 4 + 1]];
  const uint32_t streamKbps = format.nAvgBytesPerSec * 8 / 1000;
  uint32_t index = 0;
  for (uint32_t i = 1; i < 15 && index == 0; ++i) {
    if (static_cast<uint32_t>(rates[i]) == streamKbps) index = i;
  }
  h.bitrateIndex = index;
  h.bitrate = index != 0 ? static_cast<uint32_t>(rates[index]) : 0;
  for (uint32_t i = 1; i < 15 && (index == 0 || MpegFrameBytes(h) < needed); ++i) {
    index = i;
    h.bitrateIndex = i;
    h.bitrate = static_cast<uint32_t>(rates[i]);
  }
  const uint32_t size = MpegFrameBytes(h);
  if (size < needed) return {};

  std::vector<uint8_t> f(size, 0);
  f[0] = 0xFF;
  f[1] = static_cast<uint8_t>(0xE0 | h.versionId << 3 | h.layerId << 1 | h.protection);
  f[2] = static_cast<uint8_t>(h.bitrateIndex << 4 | h.sampleRateIndex << 2);
  f[3] = static_cast<uint8_t>(h.channelMode << 6);
  uint8_t* t = f.data() + at;
  std::memcpy(t, "Info", 4);  // constant bitrate
  PutBig32(t + 4, kAllFields);
  PutBig32(t + 8, tag.frames);
  PutBig32(t + 12, tag.bytes + size);
  for (uint32_t i = 0; i < 100; ++i) t[16 + i] = static_cast<uint8_t>(i * 256 / 100);
  uint8_t* e = t + kTagHeadBytes;
  // The extension's layout is the one libmp3lame (the encoder of the recordings) writes, and
  // decoders take the delays from it only behind that encoder's name.
  std::memcpy(e, "LAME3.100", 9);
  e[9] = 0x01;  // revision 0, constant bitrate
  e[20] = static_cast<uint8_t>(std::min<uint32_t>(streamKbps, 255));
  const uint32_t delays =
      (std::min<uint32_t>(tag.delay, 0xFFF) << 12) | std::min<uint32_t>(tag.padding, 0xFFF);
  e[kDelaysAt] = static_cast<uint8_t>(delays >> 16);
  e[kDelaysAt + 1] = static_cast<uint8_t>(delays >> 8);
  e[kDelaysAt + 2] = static_cast<uint8_t>(delays);
  PutBig32(e + 28, tag.bytes + size);  // the stream's length
  const size_t crcAt = at + kTagHeadBytes + kExtensionBytes - 2;
  const uint16_t crc = Crc16(f.data(), crcAt);
  f[crcAt] = static_cast<uint8_t>(crc >> 8);
  f[crcAt + 1] = static_cast<uint8_t>(crc);
  return f;
}

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

uint32_t ScanMpegStream(Recorder& r, uint16_t* error, uint32_t* statedFrames) {
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
  MpegFrameHeader header = ParseMpegFrameHeader(buffer.data(), &offset);
  // An Info frame in front of the audio is no audio: the format is the next frame's, and the
  // delays it states give the stream's decoded length.
  MpegInfoTag tag;
  const uint32_t tagFrame = header.versionId != kMpegNoHeader ? MpegFrameBytes(header) : 0;
  if (tagFrame != 0 && offset + tagFrame <= static_cast<uint32_t>(got) &&
      ParseMpegInfoFrame(buffer.data() + offset, tagFrame, &tag)) {
    uint32_t rest = static_cast<uint32_t>(got) - offset - tagFrame;
    const MpegFrameHeader next = ParseMpegFrameHeader(buffer.data() + offset + tagFrame, &rest);
    if (next.versionId != kMpegNoHeader && rest == 0) {
      header = next;
      offset += tagFrame;
    } else {
      tag = MpegInfoTag{};
    }
  }
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
  format.nCodecDelay = kMpegLayer3ConventionalDelay;
  const uint32_t samplesPerFrame = header.versionId == 3 ? 1152 : 576;
  const uint64_t decoded = uint64_t{tag.frames} * samplesPerFrame;
  if (statedFrames != nullptr) *statedFrames = 0;
  if (tag.statesDelays && tag.frames > 0 && decoded > uint64_t{tag.delay} + tag.padding &&
      tag.delay + kMpegLayer3DecoderDelay != kMpegLayer3ConventionalDelay) {
    format.nCodecDelay = static_cast<WORD>(tag.delay + kMpegLayer3DecoderDelay);
    if (statedFrames != nullptr) {
      *statedFrames =
          static_cast<uint32_t>(std::min<uint64_t>(decoded - tag.delay - tag.padding, UINT32_MAX));
    }
  }
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
