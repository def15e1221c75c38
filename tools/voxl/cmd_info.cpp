// voxl info: opens a sound file read-only through the recorder (OpenFile with the file kind the
// options name) and prints what the recorder makes of it: kind, format, rate, channels and
// length.  The chunk layout of a RIFF/WAVE file (data offset and size, "fact" count, bytes
// behind the content) is read here from the file itself.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "voxl310k.h"

namespace voxl::cli {
namespace {

// What the header of a RIFF/WAVE file says, for a file the recorder cannot use: its format in
// words and every field, the data and the length they give.  False when `path` holds no RIFF
// "WAVE" form with a readable "fmt " chunk.
bool PrintUnusableHeader(const std::string& path, uint64_t fileSize) {
  const RiffLayout l = ReadRiffLayout(path, fileSize);
  const std::optional<HeaderFields> h = ParseHeader(l.format);
  if (!l.wave || !h) return false;
  std::printf("file:      %s\n", path.c_str());
  std::printf("kind:      %s (file kind 0), a format this recorder cannot use\n",
              l.rf64 ? "RF64/WAVE" : "RIFF/WAVE");
  std::printf("format:    %s\n", HeaderWords(*h).c_str());
  std::printf("fields:    tag %s", TagText(h->tag).c_str());
  if (h->tag == 0xFFFE) std::printf(" (subformat %s)", TagText(h->subTag).c_str());
  std::printf(", %u channels, %lu Hz, %u bits, block align %u, %lu bytes/s\n", h->channels,
              static_cast<unsigned long>(h->rate), h->bits, h->blockAlign,
              static_cast<unsigned long>(h->bytesPerSecond));
  std::printf("data:      offset %llu, %llu bytes\n", static_cast<unsigned long long>(l.dataOffset),
              static_cast<unsigned long long>(l.dataSize));
  const bool linear = h->subTag == 1 || h->subTag == 3 || h->subTag == 6 || h->subTag == 7;
  if (linear && h->blockAlign > 0) {
    const uint64_t frames = l.dataSize / h->blockAlign;
    std::printf("length:    %llu frames", static_cast<unsigned long long>(frames));
    if (h->rate > 0) std::printf(" (%.3f s)", static_cast<double>(frames) / h->rate);
    std::printf("\n");
  } else if (l.fact) {
    std::printf("length:    %llu frames (the \"fact\" count)\n",
                static_cast<unsigned long long>(*l.fact));
  }
  return true;
}

struct InfoOptions {
  std::string file;
  OpenOptions open;
  bool json = false;
};

std::string Frames(uint64_t frames, double seconds) {
  char text[96];
  std::snprintf(text, sizeof text, "%llu frames (%.3f s)", static_cast<unsigned long long>(frames),
                seconds);
  return text;
}

// One field of what info prints, once as text (under its label; none: JSON only) and as JSON.
struct Field {
  const char* key;
  const char* label;
  std::string text, json;
};

// The fields of where the audio lies in the file: the data chunk, the "fact" count and what
// lies behind the content of a RIFF/WAVE file (`l`), or the offset of headerless samples.
void AddLayoutFields(const RiffLayout& l, uint64_t fileSize, SHORT kind,
                     std::vector<Field>* fields) {
  auto add = [fields](const char* key, const char* label, const std::string& text, uint64_t value) {
    fields->push_back({key, label, text, std::to_string(value)});
  };
  auto bytes = [](uint64_t n) { return std::to_string(n) + " bytes"; };
  if (kind == 0) {
    std::string data = "offset " + std::to_string(l.dataOffset) + ", " + bytes(l.dataSize);
    if (l.declared > l.dataSize) data += " (the chunk declares " + std::to_string(l.declared) + ")";
    add("dataOffset", "data", data, l.dataOffset);
    add("dataBytes", nullptr, "", l.dataSize);
    add("declaredDataBytes", nullptr, "", l.declared);
    fields->push_back({"factFrames", "fact", l.fact ? std::to_string(*l.fact) + " frames" : "none",
                       l.fact ? std::to_string(*l.fact) : "null"});
    const uint64_t behind = fileSize > l.contentEnd ? fileSize - l.contentEnd : 0;
    add("bytesBehind", "behind", behind == 0 ? "nothing" : bytes(behind), behind);
  } else if (kind < 0 || kind == 1) {
    const uint64_t offset =
        kind < 0 ? std::min<uint64_t>(static_cast<uint64_t>(-kind), fileSize) : 0;
    add("dataOffset", "data", "offset " + std::to_string(offset) + ", " + bytes(fileSize - offset),
        offset);
    add("dataBytes", nullptr, "", fileSize - offset);
  }
}

int RunInfo(InfoOptions o) {
  const std::string shown = o.file;
  StdinFile input(o.file);
  if (!input.ok()) return kExitFailure;
  VoxlRecorder* rec = NewRecorder(true);
  if (rec == nullptr) return kExitFailure;
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  WORD error = 0;
  int result = OpenForReading(rec, o.file, o.open);
  if (result != kExitOk) {
    VoxlDestroyRecorder(rec);
    // What the header says is still worth showing when the recorder cannot use the file.
    struct stat st {};
    if (result == kExitFailure && o.open.raw.empty() && !o.open.mpeg && o.open.headerBytes == 0 &&
        stat(o.file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      PrintUnusableHeader(o.file, static_cast<uint64_t>(st.st_size));
    }
    return result;
  }
  SHORT kind = 0;
  DWORD rate = 0;
  WORD channels = 0;
  DOUBLE seconds = 0.0;
  m.GetFileKind(rec, &kind);
  m.GetSampleRate(rec, &rate);
  m.GetChannels(rec, &channels);
  m.GetLengthSeconds(rec, &seconds);
  const uint64_t frames = LengthFrames(rec);
  BSTR text = nullptr;
  m.GetFileFormatText(rec, &text, &error);
  const std::string format = NarrowName(text);
  SysFreeString(text);
  m.Close(rec, &error);
  VoxlDestroyRecorder(rec);

  struct stat st {};
  stat(o.file.c_str(), &st);
  const auto fileSize = static_cast<uint64_t>(st.st_size);
  const RiffLayout layout = kind == 0 ? ReadRiffLayout(o.file, fileSize) : RiffLayout{};
  const char* kindText = kind == 0   ? (layout.rf64 ? "RF64/WAVE" : "RIFF/WAVE")
                         : kind == 1 ? "headerless"
                         : kind == 2 ? "MPEG audio stream"
                                     : "headerless behind a header";
  char seconds3[32];
  std::snprintf(seconds3, sizeof seconds3, "%.6f", seconds);
  std::vector<Field> fields = {
      {"file", "file", shown, JsonString(shown)},
      {"kind", "kind", std::string(kindText) + " (file kind " + std::to_string(kind) + ")",
       JsonString(kindText)},
      {"fileKind", nullptr, "", std::to_string(kind)},
      {"format", "format", format, JsonString(format)},
      {"rate", "rate", std::to_string(rate) + " Hz", std::to_string(rate)},
      {"channels", "channels", std::to_string(channels), std::to_string(channels)},
      {"frames", "length", Frames(frames, seconds), std::to_string(frames)},
      {"seconds", nullptr, "", seconds3},
  };
  AddLayoutFields(layout, fileSize, kind, &fields);
  if (o.json) {
    std::string out = "{";
    for (const Field& f : fields) {
      out += (out.size() > 1 ? "," : "") + JsonString(f.key) + ":" + f.json;
    }
    std::printf("%s}\n", out.c_str());
    return kExitOk;
  }
  for (const Field& f : fields) {
    if (f.label != nullptr)
      std::printf("%-10s %s\n", (std::string(f.label) + ":").c_str(), f.text.c_str());
  }
  return kExitOk;
}

}  // namespace

void AddInfoCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "info", "Show what the recorder makes of a sound file: format, length and layout");
  auto o = std::make_shared<InfoOptions>();
  cmd->add_option("FILE", o->file, "A RIFF/WAVE, headerless or MPEG audio file")->required();
  AddOpenOptions(cmd, o->open);
  cmd->add_flag("--json", o->json, "Print one JSON object with every field instead of text");
  cmd->footer(
      "The file is opened read-only.  Exit status: 0 done, 1 the file cannot be opened (the "
      "reason is\nprinted), 2 a wrong option.");
  cmd->callback([o, &exitCode] { exitCode = RunInfo(*o); });
}

}  // namespace voxl::cli
