// voxl formats: every codec of the codec manager and its standard formats, one line each: the
// format in words ("tag name: details", as the recorder's GetFormatText gives it) and its record
// in hex, which `voxl record --format-bytes` takes back.  Also the format helpers that
// `voxl record` shares: tag names, the standard formats of a tag, hex text.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "voxl310k.h"

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

int RunFormats(const std::string& tagText) {
  std::vector<ACMFORMATTAGDETAILSA> codecs;
  if (!tagText.empty()) {
    WORD tag = 0;
    if (!ParseFormatTag(tagText, &tag)) {
      PrintError("--tag " + tagText + ": not a format tag; give a number (0x55, 85) or " +
                 TagNameList());
      return kExitUsage;
    }
    ACMFORMATTAGDETAILSA codec{};
    if (!TagDetails(tag, &codec)) {
      PrintError("--tag " + tagText + ": no codec handles format tag " + TagText(tag) +
                 "; 'voxl formats' lists them all");
      return kExitUsage;
    }
    codecs.push_back(codec);
  } else {
    for (DWORD index = 0;; ++index) {
      ACMFORMATTAGDETAILSA codec{};
      codec.cbStruct = sizeof codec;
      codec.dwFormatTagIndex = index;
      if (acmFormatTagDetailsA(nullptr, &codec, ACM_FORMATTAGDETAILSF_INDEX) != MMSYSERR_NOERROR) {
        break;
      }
      codecs.push_back(codec);
    }
    if (codecs.empty()) {
      PrintError("the codec manager lists no codecs");
      return kExitFailure;
    }
  }
  std::vector<StandardFormat> lines;
  for (ACMFORMATTAGDETAILSA& codec : codecs) {
    codec.szFormatTag[sizeof codec.szFormatTag - 1] = '\0';
    std::vector<StandardFormat> formats = FormatsOf(codec);
    if (formats.empty()) {
      lines.push_back({{}, std::string(codec.szFormatTag) + ": (no standard formats)"});
    }
    for (StandardFormat& f : formats) lines.push_back(std::move(f));
  }
  size_t width = 0;
  for (const StandardFormat& line : lines) width = std::max(width, line.text.size());
  for (const StandardFormat& line : lines) {
    std::printf("%-*s  %s\n", static_cast<int>(width), line.text.c_str(),
                HexText(line.bytes).c_str());
  }
  return kExitOk;
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

void AddFormatsCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "formats", "List every codec and its standard formats: the format in words and in hex");
  auto tag = std::make_shared<std::string>();
  cmd->add_option("--tag", *tag, "Only this codec: a format tag (0x55, 85) or " + TagNameList())
      ->type_name("TAG");
  cmd->footer(
      "One line per format: \"codec: details\", then the format record in hex, which\n"
      "'voxl record --format-bytes HEX' records in.  Exit status: 0 done, 2 an unknown tag.");
  cmd->callback([tag, &exitCode] { exitCode = RunFormats(*tag); });
}

}  // namespace voxl::cli
