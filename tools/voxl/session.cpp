// The shared code of the voxl commands (see session.h): the recorder and its files, names,
// devices, the run loop and one-line errors.
#include "session.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "meter.h"

namespace voxl::cli {

void PrintError(const std::string& message) {
  std::fprintf(stderr, "voxl: %s\n", message.c_str());
}

namespace {

const std::map<std::string, WORD> kRawFormats = {
    {"pcm8", 8}, {"pcm16", 16}, {"alaw", 106}, {"mulaw", 107}};

CLI::Validator FiniteNumber(double low, double high, const std::string& range) {
  return CLI::Validator(
      [low, high, range](std::string& input) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(input.c_str(), &end);
        if (input.empty() || *end != '\0' || !std::isfinite(value)) {
          return input + " is not a finite number (" + range + ")";
        }
        if (value < low || value > high) return input + " is out of range (" + range + ")";
        return std::string();
      },
      "");
}

bool ParseNumber(const std::string& text, LONG* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < -1 || n > 0x7FFFFFFF) return false;
  *value = static_cast<LONG>(n);
  return true;
}

}  // namespace

CLI::Validator SecondsOption() {
  return FiniteNumber(0.0, DBL_MAX, "seconds, 0 or more");
}

CLI::Validator DecibelOption() {
  return FiniteNumber(-FLT_MAX, 0.0, "dB, 0 or below");
}

std::string OutNameProblem(const std::string& out) {
  if (out.empty()) return "OUT is empty: give the name of the file to write";
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, out.c_str(), -1, nullptr, 0) <= 0) {
    return "the file name is not valid UTF-8";
  }
  return std::string();
}

std::string CreateProblem(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) {
    return std::strerror(errno);
  }
  return std::string();
}

std::string WaveErrorText(MMRESULT result) {
  switch (result) {
    case MMSYSERR_NOERROR:
      return "no error (MMSYSERR_NOERROR)";
    case MMSYSERR_ERROR:
      return "unspecified device error (MMSYSERR_ERROR)";
    case MMSYSERR_BADDEVICEID:
      return "no device with that number (MMSYSERR_BADDEVICEID)";
    case MMSYSERR_NOTENABLED:
      return "the driver is not enabled (MMSYSERR_NOTENABLED)";
    case MMSYSERR_ALLOCATED:
      return "the device is already in use (MMSYSERR_ALLOCATED)";
    case MMSYSERR_INVALHANDLE:
      return "invalid device handle (MMSYSERR_INVALHANDLE)";
    case MMSYSERR_NODRIVER:
      return "no device driver is present (MMSYSERR_NODRIVER)";
    case MMSYSERR_NOMEM:
      return "out of memory for the device (MMSYSERR_NOMEM)";
    case MMSYSERR_NOTSUPPORTED:
      return "the function is not supported (MMSYSERR_NOTSUPPORTED)";
    case MMSYSERR_INVALFLAG:
      return "invalid flag (MMSYSERR_INVALFLAG)";
    case MMSYSERR_INVALPARAM:
      return "invalid parameter (MMSYSERR_INVALPARAM)";
    case WAVERR_BADFORMAT:
      return "the device does not accept the audio format (WAVERR_BADFORMAT)";
    case WAVERR_STILLPLAYING:
      return "buffers are still queued on the device (WAVERR_STILLPLAYING)";
    case WAVERR_UNPREPARED:
      return "the buffer is not prepared (WAVERR_UNPREPARED)";
    default:
      return "device error " + std::to_string(result);
  }
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

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

bool ResolveDevice(VoxlRecorder* rec, bool output, const std::string& wanted, LONG* device) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  const std::string kind = output ? "output" : "input";
  DWORD count = 0;
  (output ? m.GetOutputDeviceCount : m.GetInputDeviceCount)(rec, &count);
  if (ParseNumber(wanted, device)) {
    if (*device < static_cast<LONG>(count)) return true;
    PrintError("there is no " + kind + " device " + wanted + " (there are " +
               std::to_string(count) + "; -1 is the default device)");
    return false;
  }
  if (wanted == VOXL_DEFAULT_DEVICE_NAME) {
    *device = -1;
    return true;
  }
  std::string names;
  for (DWORD i = 0; i < count; ++i) {
    BSTR name = nullptr;
    (output ? m.GetOutputDeviceName : m.GetInputDeviceName)(rec, i, &name);
    const std::string text = NarrowName(name);
    SysFreeString(name);
    if (text == wanted) {
      *device = static_cast<LONG>(i);
      return true;
    }
    names += std::string(names.empty() ? "" : ", ") + "\"" + text + "\"";
  }
  PrintError("no " + kind + " device is named \"" + wanted + "\"; the names are " +
             (names.empty() ? std::string("(none)") : names) + " (letter case counts)");
  return false;
}

void PumpMessages() {
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) DispatchMessageA(&msg);
}

RunLoop::RunLoop() : signals_(OpenStopSignals()) {
  if (signals_ < 0) PrintError(std::string("cannot watch for Ctrl-C: ") + std::strerror(errno));
}

RunLoop::~RunLoop() {
  if (signals_ >= 0) close(signals_);
}

RunLoop::End RunLoop::Run(const std::function<bool()>& step, int keys,
                          const std::function<bool()>& onKeys) {
  pollfd fds[3] = {{VoxlMessageQueueFd(), POLLIN, 0}, {signals_, POLLIN, 0}, {keys, POLLIN, 0}};
  for (;;) {
    PumpMessages();
    if (!step()) return End::Done;
    if (poll(fds, keys >= 0 ? 3 : 2, 100) < 0 && errno != EINTR) return End::Failed;
    if ((fds[1].revents & POLLIN) != 0 && TakeStopSignal(signals_)) return End::Interrupted;
    if (keys >= 0 && (fds[2].revents & POLLIN) != 0 && !onKeys()) return End::Interrupted;
  }
}

void RunLoop::Drain(const std::function<bool()>& done, double seconds) {
  pollfd queue = {VoxlMessageQueueFd(), POLLIN, 0};
  const double deadline = MonotonicSeconds() + seconds;
  PumpMessages();
  while (!done() && MonotonicSeconds() < deadline) {
    poll(&queue, 1, 100);
    PumpMessages();
  }
}

uint64_t LengthFrames(VoxlRecorder* rec) {
  DWORD frames = 0, rate = 0;
  DOUBLE seconds = 0.0;
  rec->lpVtbl->GetLength(rec, &frames);
  rec->lpVtbl->GetLengthSeconds(rec, &seconds);
  rec->lpVtbl->GetSampleRate(rec, &rate);
  if (frames < 0xFFFFFFFFu || rate == 0) return frames;
  return static_cast<uint64_t>(std::llround(seconds * rate));
}

std::string PositionText(double seconds) {
  const double shown = std::isfinite(seconds) && seconds > 0.0 ? std::min(seconds, 3.6e9) : 0.0;
  const auto hundredths = static_cast<long long>(std::llround(shown * 100.0));
  const long long minutes = hundredths / 6000, hours = minutes / 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%02lld", hours, minutes % 60,
                  hundredths / 100 % 60, hundredths % 100);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld.%02lld", minutes, hundredths / 100 % 60,
                  hundredths % 100);
  }
  return text;
}

std::string DropoutCount::Add(uint64_t position, uint64_t frames, DWORD rate) {
  ++count;
  missingFrames += frames;
  const double perSecond = rate == 0 ? 1.0 : rate;
  char text[96];
  std::snprintf(text, sizeof text, "dropout at %s, %.0f ms",
                PositionText(static_cast<double>(position) / perSecond).c_str(),
                static_cast<double>(frames) * 1000.0 / perSecond);
  return text;
}

std::string DropoutCount::Summary(DWORD rate) const {
  if (count == 0) return "";
  char text[96];
  std::snprintf(text, sizeof text, "; %llu dropout%s, %.1f s missing",
                static_cast<unsigned long long>(count), count == 1 ? "" : "s",
                static_cast<double>(missingFrames) / (rate == 0 ? 1.0 : rate));
  return text;
}

}  // namespace voxl::cli
