// voxl info: opens a sound file read-only through the recorder (OpenFile with the file kind the
// options name) and prints what the recorder makes of it: kind, format, rate, channels and
// length.  The chunk layout of a RIFF/WAVE file (data offset and size, "fact" count, bytes
// behind the content) is read here from the file itself.
//
// Also the opening shared with voxl play: --raw, --mpeg and --header-bytes.
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

const std::map<std::string, WORD> kRawFormats = {
    {"pcm8", 8}, {"pcm16", 16}, {"alaw", 106}, {"mulaw", 107}};

// The chunks of a RIFF/WAVE file as they lie on disk.
struct RiffLayout {
  bool wave = false;
  uint64_t dataOffset = 0;
  uint64_t dataSize = 0;  // the bytes present, at most what the chunk declares
  uint64_t declared = 0;
  bool hasData = false;
  std::optional<uint32_t> fact;
  uint64_t contentEnd = 0;            // behind the RIFF form, or the data, whichever ends later
  std::vector<unsigned char> format;  // the first "fmt " chunk's content, at most 40 bytes
};

uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

RiffLayout ReadRiffLayout(const std::string& path, uint64_t fileSize) {
  RiffLayout l;
  std::ifstream in(path, std::ios::binary);
  unsigned char head[12];
  if (!in.read(reinterpret_cast<char*>(head), 12) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    return l;
  }
  l.wave = true;
  // The form size is advisory, as for the recorder: too small a form ends at the file's end.
  const uint64_t declaredEnd = 8 + uint64_t{Le32(head + 4)};
  const uint64_t formEnd = declaredEnd <= 12 ? fileSize : std::min<uint64_t>(declaredEnd, fileSize);
  l.contentEnd = formEnd;
  bool format = false;
  for (uint64_t at = 12; at + 8 <= formEnd;) {
    unsigned char ck[8];
    in.seekg(static_cast<std::streamoff>(at));
    if (!in.read(reinterpret_cast<char*>(ck), 8)) break;
    const uint64_t size = Le32(ck + 4);
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
      if (in.read(reinterpret_cast<char*>(count), 4)) l.fact = Le32(count);
    }
    if (std::memcmp(ck, "data", 4) == 0 && !l.hasData) {
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

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The fields of a "fmt " record as the file gives them, whatever the recorder makes of it.
struct HeaderFields {
  uint16_t tag = 0, subTag = 0, channels = 0, blockAlign = 0, bits = 0;
  uint32_t rate = 0, bytesPerSecond = 0;
};

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

// "32-bit float, 6 channels, 48000 Hz", "IMA ADPCM (tag 0x0011), mono, 8000 Hz".
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

// What the header of a RIFF/WAVE file says, for a file the recorder cannot use: its format in
// words and every field, the data and the length they give.  False when `path` holds no RIFF
// "WAVE" form with a readable "fmt " chunk.
bool PrintUnusableHeader(const std::string& path, uint64_t fileSize) {
  const RiffLayout l = ReadRiffLayout(path, fileSize);
  const std::optional<HeaderFields> h = ParseHeader(l.format);
  if (!l.wave || !h) return false;
  std::printf("file:      %s\n", path.c_str());
  std::printf("kind:      RIFF/WAVE (file kind 0), a format this recorder cannot use\n");
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
    std::printf("length:    %lu frames (the \"fact\" count)\n",
                static_cast<unsigned long>(*l.fact));
  }
  return true;
}

struct InfoOptions {
  std::string file;
  OpenOptions open;
  bool json = false;
};

std::string Frames(DWORD frames, double seconds) {
  char text[96];
  std::snprintf(text, sizeof text, "%lu frames (%.3f s)", static_cast<unsigned long>(frames),
                seconds);
  return text;
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
  DWORD rate = 0, length = 0;
  WORD channels = 0;
  DOUBLE seconds = 0.0;
  m.GetFileKind(rec, &kind);
  m.GetSampleRate(rec, &rate);
  m.GetChannels(rec, &channels);
  m.GetLength(rec, &length);
  m.GetLengthSeconds(rec, &seconds);
  BSTR text = nullptr;
  m.GetFileFormatText(rec, &text, &error);
  const std::string format = NarrowName(text);
  SysFreeString(text);
  m.Close(rec, &error);
  VoxlDestroyRecorder(rec);

  struct stat st {};
  stat(o.file.c_str(), &st);
  const auto fileSize = static_cast<uint64_t>(st.st_size);
  const char* kindText = kind == 0   ? "RIFF/WAVE"
                         : kind == 1 ? "headerless"
                         : kind == 2 ? "MPEG audio stream"
                                     : "headerless behind a header";
  // Each field once, as text and as JSON.
  struct Field {
    const char* key;
    const char* label;
    std::string text, json;
  };
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
      {"frames", "length", Frames(length, seconds), std::to_string(length)},
      {"seconds", nullptr, "", seconds3},
  };
  auto add = [&](const char* key, const char* label, const std::string& text, uint64_t value) {
    fields.push_back({key, label, text, std::to_string(value)});
  };
  auto bytes = [](uint64_t n) { return std::to_string(n) + " bytes"; };
  if (kind == 0) {
    const RiffLayout l = ReadRiffLayout(o.file, fileSize);
    std::string data = "offset " + std::to_string(l.dataOffset) + ", " + bytes(l.dataSize);
    if (l.declared > l.dataSize) data += " (the chunk declares " + std::to_string(l.declared) + ")";
    add("dataOffset", "data", data, l.dataOffset);
    add("dataBytes", nullptr, "", l.dataSize);
    add("declaredDataBytes", nullptr, "", l.declared);
    fields.push_back({"factFrames", "fact", l.fact ? std::to_string(*l.fact) + " frames" : "none",
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

BSTR WideName(const std::string& text) {
  const int chars =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
  if (chars <= 0) return nullptr;
  BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(chars - 1));
  if (wide == nullptr) return nullptr;
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, wide, chars);
  return wide;
}

std::string NarrowName(BSTR wide) {
  if (wide == nullptr) return "";
  char text[VOXL_DEVICE_NAME_BYTES] = {};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  text[sizeof text - 1] = '\0';
  return text;
}

void AddOpenOptions(CLI::App* cmd, OpenOptions& o) {
  CLI::Option* raw = cmd->add_option("--raw", o.raw,
                                     "Headerless samples in FORMAT (pcm8, pcm16, alaw, mulaw) "
                                     "at RATE Hz with CHANNELS (1 or 2), e.g. pcm16,44100,2")
                         ->type_name("FORMAT,RATE,CHANNELS");
  CLI::Option* mpeg =
      cmd->add_flag("--mpeg", o.mpeg, "A headerless MPEG Layer-3 stream (found by scanning)");
  CLI::Option* header = cmd->add_option("--header-bytes", o.headerBytes,
                                        "Headerless behind a header of N bytes (the samples as "
                                        "--raw says, else pcm16,44100,2)")
                            ->check(CLI::Range(1, 32768))
                            ->type_name("N");
  mpeg->excludes(raw)->excludes(header);
}

VoxlRecorder* NewRecorder(bool filesOnly) {
  WORD error = 0;
  VoxlRecorder* rec = filesOnly ? VoxlCreateFileRecorder(&error) : VoxlCreateRecorder(&error);
  if (rec == nullptr) {
    PrintError(std::string("cannot start the recorder: ") + VoxlErrorText(error));
  }
  return rec;
}

StdinFile::StdinFile(std::string& name) {
  if (name != "-") return;
  const char* folder = std::getenv("TMPDIR");
  std::string pattern =
      std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/voxl-stdin-XXXXXX";
  const int fd = mkstemp(pattern.data());
  ok_ = fd >= 0;
  if (ok_) path_ = pattern;
  char buffer[1 << 16];
  for (ssize_t n = 0; ok_ && (n = read(STDIN_FILENO, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    for (ssize_t done = 0; ok_ && n > 0 && done < n;) {
      const ssize_t w = write(fd, buffer + done, static_cast<size_t>(n - done));
      ok_ = w > 0;
      done += w;
    }
    ok_ = ok_ && n > 0;
  }
  if (fd >= 0 && close(fd) != 0) ok_ = false;
  if (!ok_) PrintError(std::string("cannot take standard input: ") + std::strerror(errno));
  name = path_;
}

StdinFile::~StdinFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

namespace {

std::string RawProblem(const std::string& raw) {
  return "--raw " + raw +
         ": give FORMAT,RATE,CHANNELS with FORMAT pcm8, pcm16, alaw or mulaw, a rate the "
         "recorder offers and 1 or 2 channels";
}

}  // namespace

bool ParseOpenOptions(const OpenOptions& o, RawSamples* raw) {
  raw->kind = o.mpeg ? 2 : o.headerBytes > 0 ? static_cast<SHORT>(-o.headerBytes) : 0;
  if (o.raw.empty()) return true;
  std::istringstream fields(o.raw);
  std::string format, rate, channels;
  std::getline(fields, format, ',');
  std::getline(fields, rate, ',');
  std::getline(fields, channels, ',');
  const auto f = kRawFormats.find(format);
  char* end = nullptr;
  const unsigned long hz = std::strtoul(rate.c_str(), &end, 10);
  if (f == kRawFormats.end() || rate.empty() || *end != '\0' || hz > 0xFFFFFFFFul ||
      (channels != "1" && channels != "2")) {
    PrintError(RawProblem(o.raw));
    return false;
  }
  raw->format = f->second;
  raw->rate = static_cast<DWORD>(hz);
  raw->channels = static_cast<WORD>(channels[0] - '0');
  if (raw->kind == 0) raw->kind = 1;
  return true;
}

// Whether `path` begins as an MPEG audio stream does: an ID3v2 tag, or a frame sync (11 set bits).
bool LooksLikeMpeg(const std::string& path) {
  unsigned char head[3] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(head), 3)) return false;
  return std::memcmp(head, "ID3", 3) == 0 || (head[0] == 0xFF && (head[1] & 0xE0) == 0xE0);
}

int OpenForReading(VoxlRecorder* rec, const std::string& file, const OpenOptions& o) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  struct stat st {};
  const int problem = stat(file.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (problem != 0) {
    PrintError("cannot open " + file + ": " + std::strerror(problem));
    return kExitFailure;
  }
  m.SetReadOnly(rec, o.writable ? 0 : 1);
  RawSamples raw;
  if (!ParseOpenOptions(o, &raw)) return kExitUsage;
  if (!o.raw.empty() &&
      (m.SetSampleFormat(rec, raw.format) != 0 || m.SetSampleRate(rec, raw.rate) != 0 ||
       m.SetChannels(rec, raw.channels) != 0)) {
    PrintError(RawProblem(o.raw));
    return kExitUsage;
  }
  const SHORT kind = raw.kind;
  m.SetFileKind(rec, kind);
  BSTR name = WideName(file);
  if (name == nullptr) {
    PrintError("the file name is not valid UTF-8");
    return kExitUsage;
  }
  WORD error = 0;
  const HRESULT opened = m.OpenFile(rec, name, &error);
  // A file that is no RIFF/WAVE but begins as an MPEG stream does is opened as one.
  if (kind == 0 && error == VOXL_ERR_NOT_RIFF_WAVE && S_ISREG(st.st_mode) && LooksLikeMpeg(file)) {
    m.SetFileKind(rec, 2);
    WORD asMpeg = 0;
    m.OpenFile(rec, name, &asMpeg);
    if (asMpeg == VOXL_ERR_NONE) {
      error = VOXL_ERR_NONE;
    } else {
      m.SetFileKind(rec, kind);
    }
  }
  SysFreeString(name);
  if (opened == E_NOTIMPL) {
    PrintError("opening existing files is not available yet");
    return kExitFailure;
  }
  if (error != VOXL_ERR_NONE) {
    // A RIFF/WAVE header that parses but names a format the recorder cannot use is named.
    std::string words;
    if (kind == 0 && S_ISREG(st.st_mode)) {  // a FIFO would block the read
      const RiffLayout l = ReadRiffLayout(file, static_cast<uint64_t>(st.st_size));
      const std::optional<HeaderFields> h = ParseHeader(l.format);
      if (l.wave && h && error == VOXL_ERR_FORMAT_UNUSABLE) words = HeaderWords(*h) + ": ";
    }
    if (kind == 0 && error == VOXL_ERR_NOT_RIFF_WAVE && S_ISREG(st.st_mode) &&
        LooksLikeMpeg(file)) {
      PrintError("cannot open " + file + ": " + VoxlErrorText(error) +
                 "; it looks like an MPEG audio stream, but no frame the recorder can use was "
                 "found in it");
      return kExitFailure;
    }
    if (kind == 2 && error == VOXL_ERR_FORMAT_UNUSABLE) {
      PrintError("cannot open " + file + ": no MPEG audio frame the recorder can use was found");
      return kExitFailure;
    }
    PrintError("cannot open " + file + ": " + words + VoxlErrorText(error));
    return kExitFailure;
  }
  return kExitOk;
}

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
