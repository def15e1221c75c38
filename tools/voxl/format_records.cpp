// The format records the voxl commands share: tag names, a codec's standard formats, the record
// --format and --format-bytes give, hex text, and what a RIFF/WAVE file's own header says.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace voxl::cli {
namespace {

struct TagName {
  const char* name;
  WORD tag;
};
constexpr TagName kTagNames[] = {{"pcm", WAVE_FORMAT_PCM},       {"adpcm", WAVE_FORMAT_ADPCM},
                                 {"alaw", WAVE_FORMAT_ALAW},     {"mulaw", WAVE_FORMAT_MULAW},
                                 {"ima", WAVE_FORMAT_IMA_ADPCM}, {"gsm", WAVE_FORMAT_GSM610},
                                 {"mp3", WAVE_FORMAT_MPEGLAYER3}};

// The compressed formats of --format and the codec's format tag.
const std::map<std::string, WORD> kCodecFormats = {{"mp3", WAVE_FORMAT_MPEGLAYER3},
                                                   {"ima", WAVE_FORMAT_IMA_ADPCM},
                                                   {"adpcm", WAVE_FORMAT_ADPCM},
                                                   {"gsm", WAVE_FORMAT_GSM610}};
constexpr int kDefaultBitrate = 128;

// Bytes of a format record as its fields say: 18 and the extra bytes, at most `capacity`.
size_t RecordBytes(const WAVEFORMATEX& format, DWORD capacity) {
  return std::min<size_t>(sizeof(WAVEFORMATEX) + format.cbSize, capacity);
}

// The codec of `tag` (acmFormatTagDetailsA); false when there is none.
bool TagDetails(WORD tag, ACMFORMATTAGDETAILSA* details) {
  *details = ACMFORMATTAGDETAILSA{};
  details->cbStruct = sizeof *details;
  details->dwFormatTag = tag;
  return acmFormatTagDetailsA(nullptr, details, ACM_FORMATTAGDETAILSF_FORMATTAG) ==
         MMSYSERR_NOERROR;
}

std::vector<StandardFormat> FormatsOf(const ACMFORMATTAGDETAILSA& codec) {
  std::vector<StandardFormat> formats;
  const DWORD capacity = std::max<DWORD>(codec.cbFormatSize, sizeof(WAVEFORMATEX));
  for (DWORD index = 0; index < codec.cStandardFormats; ++index) {
    FormatBytes record(capacity);
    auto* format = reinterpret_cast<WAVEFORMATEX*>(record.data());
    format->wFormatTag = static_cast<WORD>(codec.dwFormatTag);
    ACMFORMATDETAILSA details{};
    details.cbStruct = sizeof details;
    details.dwFormatIndex = index;
    details.dwFormatTag = codec.dwFormatTag;
    details.pwfx = format;
    details.cbwfx = capacity;
    if (acmFormatDetailsA(nullptr, &details, ACM_FORMATDETAILSF_INDEX) != MMSYSERR_NOERROR) {
      continue;
    }
    details.szFormat[sizeof details.szFormat - 1] = '\0';
    record.resize(RecordBytes(*format, capacity));
    formats.push_back(
        {std::move(record), std::string(codec.szFormatTag) + ": " + details.szFormat});
  }
  return formats;
}

uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint64_t Le64(const unsigned char* p) {
  return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

// A 32-bit size field, or the 64-bit size of "ds64" that it stands for.
uint64_t SizeOf(uint32_t field, const std::optional<uint64_t>& large) {
  return field == 0xFFFFFFFFu && large ? *large : field;
}

}  // namespace

std::string TagNameList() {
  std::string names;
  for (const TagName& t : kTagNames) names += std::string(names.empty() ? "" : "|") + t.name;
  return names;
}

std::string TagText(WORD tag) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(tag));
  return text;
}

bool ParseFormatTag(const std::string& text, WORD* tag) {
  for (const TagName& t : kTagNames) {
    if (text == t.name) {
      *tag = t.tag;
      return true;
    }
  }
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > 0xFFFF) return false;
  *tag = static_cast<WORD>(value);
  return true;
}

bool StandardFormats(WORD tag, std::string* tagName, std::vector<StandardFormat>* formats) {
  ACMFORMATTAGDETAILSA codec{};
  if (!TagDetails(tag, &codec)) return false;
  codec.szFormatTag[sizeof codec.szFormatTag - 1] = '\0';
  *tagName = codec.szFormatTag;
  *formats = FormatsOf(codec);
  return true;
}

std::string HexText(const FormatBytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

bool ParseHex(const std::string& text, FormatBytes* bytes) {
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.empty() || text.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = value(text[i]), low = value(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

std::string ChannelText(WORD channels) {
  return channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels";
}

bool IsCodecFormat(const std::string& format) {
  return kCodecFormats.count(format) != 0;
}

WORD CodecTag(const std::string& format) {
  return kCodecFormats.at(format);
}

bool PickStandardFormat(const std::string& format, int bitrate, DWORD rate, WORD channels,
                        FormatBytes* record) {
  const WORD tag = kCodecFormats.at(format);
  std::string codec;
  std::vector<StandardFormat> formats;
  if (!StandardFormats(tag, &codec, &formats)) {
    PrintError("--format " + format + ": " + VoxlErrorText(VOXL_ERR_NO_CODEC_MANAGER) +
               " (no codec for format tag " + TagText(tag) + ")");
    return false;
  }
  const bool mp3 = tag == WAVE_FORMAT_MPEGLAYER3;
  const int kbps = bitrate > 0 ? bitrate : kDefaultBitrate;
  std::vector<std::string> rates;
  std::string bitrates;
  for (const StandardFormat& f : formats) {
    const auto& wf = *reinterpret_cast<const WAVEFORMATEX*>(f.bytes.data());
    if (wf.nSamplesPerSec != rate || wf.nChannels != channels) {
      const std::string rate =
          std::to_string(wf.nSamplesPerSec) + " Hz " + ChannelText(wf.nChannels);
      if (std::find(rates.begin(), rates.end(), rate) == rates.end()) rates.push_back(rate);
      continue;
    }
    const int offered = static_cast<int>((wf.nAvgBytesPerSec * 8 + 500) / 1000);
    if (mp3 && offered != kbps) {
      bitrates += (bitrates.empty() ? "" : ", ") + std::to_string(offered);
      continue;
    }
    *record = f.bytes;
    return true;
  }
  const std::string at = std::to_string(rate) + " Hz " + ChannelText(channels);
  if (!bitrates.empty()) {
    PrintError("--bitrate " + std::to_string(kbps) + ": " + codec + " at " + at + " offers " +
               bitrates + " kbit/s");
  } else {
    std::string offers;
    for (const std::string& rate : rates) offers += (offers.empty() ? "" : ", ") + rate;
    PrintError("--format " + format + ": " + codec + " has no format at " + at +
               (offers.empty() ? std::string() : "; it offers " + offers));
  }
  return false;
}

int ParseFormatBytes(const std::string& text, FormatBytes* record) {
  if (!ParseHex(text, record)) {
    PrintError(
        "--format-bytes: not a format in hex (pairs of hex digits, as 'voxl formats' prints "
        "them)");
    return kExitUsage;
  }
  if (record->size() < sizeof(WAVEFORMATEX) || record->size() > 0xFFFF) {
    PrintError("--format-bytes: a format record is 18 to 65535 bytes, not " +
               std::to_string(record->size()));
    return kExitUsage;
  }
  return kExitOk;
}

RiffLayout ReadRiffLayout(const std::string& path, uint64_t fileSize) {
  RiffLayout l;
  std::ifstream in(path, std::ios::binary);
  unsigned char head[12];
  if (!in.read(reinterpret_cast<char*>(head), 12) || std::memcmp(head + 8, "WAVE", 4) != 0) {
    return l;
  }
  l.rf64 = std::memcmp(head, "RF64", 4) == 0;
  if (!l.rf64 && std::memcmp(head, "RIFF", 4) != 0) return l;
  l.wave = true;
  // An RF64 file's first chunk, "ds64", holds the 64-bit form size, data size and sample count.
  std::optional<uint64_t> form, data, samples;
  unsigned char ds64[36];
  if (l.rf64 && in.read(reinterpret_cast<char*>(ds64), 36) && std::memcmp(ds64, "ds64", 4) == 0 &&
      Le32(ds64 + 4) >= 24) {
    form = Le64(ds64 + 8), data = Le64(ds64 + 16), samples = Le64(ds64 + 24);
  }
  // The form size is advisory, as for the recorder: too small a form ends at the file's end.
  const uint64_t declaredEnd = 8 + SizeOf(Le32(head + 4), form);
  const uint64_t formEnd = declaredEnd <= 12 ? fileSize : std::min<uint64_t>(declaredEnd, fileSize);
  l.contentEnd = formEnd;
  bool format = false;
  for (uint64_t at = 12; at + 8 <= formEnd;) {
    unsigned char ck[8];
    in.clear();
    in.seekg(static_cast<std::streamoff>(at));
    if (!in.read(reinterpret_cast<char*>(ck), 8)) break;
    const bool isData = std::memcmp(ck, "data", 4) == 0;
    const uint64_t size = isData ? SizeOf(Le32(ck + 4), data) : Le32(ck + 4);
    if (std::memcmp(ck, "fmt ", 4) == 0 && !format) {
      format = true;
      l.format.resize(std::min<uint64_t>(size, 40));
      if (!in.read(reinterpret_cast<char*>(l.format.data()),
                   static_cast<std::streamsize>(l.format.size()))) {
        l.format.clear();
      }
    }
    if (std::memcmp(ck, "fact", 4) == 0 && format && !l.hasData && size >= 4) {
      unsigned char count[4];
      if (in.read(reinterpret_cast<char*>(count), 4)) l.fact = SizeOf(Le32(count), samples);
    }
    if (isData && !l.hasData) {
      l.hasData = true;
      l.dataOffset = at + 8;
      l.declared = size;
      l.dataSize = std::min(size, fileSize - l.dataOffset);
      l.contentEnd = std::max(l.contentEnd, l.dataOffset + l.dataSize);
    }
    at += 8 + size + (size & 1);
  }
  return l;
}

std::optional<HeaderFields> ParseHeader(const std::vector<unsigned char>& f) {
  if (f.size() < 16) return std::nullopt;
  HeaderFields h;
  h.tag = Le16(f.data());
  h.channels = Le16(f.data() + 2);
  h.rate = Le32(f.data() + 4);
  h.bytesPerSecond = Le32(f.data() + 8);
  h.blockAlign = Le16(f.data() + 12);
  h.bits = Le16(f.data() + 14);
  h.subTag = h.tag;
  if (h.tag == 0xFFFE && f.size() >= 40) h.subTag = Le16(f.data() + 24);
  return h;
}

std::string HeaderWords(const HeaderFields& h) {
  std::string kind;
  const uint16_t tag = h.subTag;
  if (tag == 1) {
    kind = std::to_string(h.bits) + "-bit integer PCM";
  } else if (tag == 3) {
    kind = std::to_string(h.bits) + "-bit float";
  } else if (tag == 6 || tag == 7) {
    kind = tag == 6 ? "A-law" : "mu-law";
  } else {
    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = tag;
    kind = acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) == 0
               ? std::string(details.szFormatTag) + " (tag " + TagText(tag) + ")"
               : "format tag " + TagText(tag);
  }
  if (h.tag == 0xFFFE) kind += " (extensible)";
  const std::string channels = h.channels == 1   ? "mono"
                               : h.channels == 2 ? "stereo"
                                                 : std::to_string(h.channels) + " channels";
  return kind + ", " + channels + ", " + std::to_string(h.rate) + " Hz";
}

}  // namespace voxl::cli
