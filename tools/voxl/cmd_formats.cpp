// voxl formats: every codec of the codec manager and its standard formats, one line each: the
// format in words ("tag name: details", as the recorder's GetFormatText gives it) and its record
// in hex, which `voxl record --format-bytes` takes back.
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

// The format tags of every codec the codec manager lists, in its order.
std::vector<WORD> EveryCodecTag() {
  std::vector<WORD> tags;
  for (DWORD index = 0;; ++index) {
    ACMFORMATTAGDETAILSA codec{};
    codec.cbStruct = sizeof codec;
    codec.dwFormatTagIndex = index;
    if (acmFormatTagDetailsA(nullptr, &codec, ACM_FORMATTAGDETAILSF_INDEX) != MMSYSERR_NOERROR) {
      return tags;
    }
    tags.push_back(static_cast<WORD>(codec.dwFormatTag));
  }
}

int RunFormats(const std::string& tagText) {
  std::vector<WORD> tags;
  if (!tagText.empty()) {
    WORD tag = 0;
    if (!ParseFormatTag(tagText, &tag)) {
      PrintError("--tag " + tagText + ": not a format tag; give a number (0x55, 85) or " +
                 TagNameList());
      return kExitUsage;
    }
    tags.push_back(tag);
  } else {
    tags = EveryCodecTag();
    if (tags.empty()) {
      PrintError("the codec manager lists no codecs");
      return kExitFailure;
    }
  }
  std::vector<StandardFormat> lines;
  for (const WORD tag : tags) {
    std::string name;
    std::vector<StandardFormat> formats;
    if (!StandardFormats(tag, &name, &formats)) {
      PrintError("--tag " + tagText + ": no codec handles format tag " + TagText(tag) +
                 "; 'voxl formats' lists them all");
      return kExitUsage;
    }
    if (formats.empty()) lines.push_back({{}, name + ": (no standard formats)"});
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
