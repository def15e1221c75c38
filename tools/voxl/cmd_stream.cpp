// voxl stream: captures from an input device through the eight flat capture functions only, the
// way a host program uses them: a window receives "block ready" and "levels" messages, the
// blocks are taken one by one and written to a WAVE file (or as raw PCM to stdout), and a live
// level meter runs on stderr until the blocks hold the seconds asked for, or Ctrl-C.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "meter.h"
#include "voxl310k.h"

namespace voxl::cli {
namespace {

constexpr double kNoAudioTimeout = 5.0;  // seconds without a block before the run is given up
constexpr double kHeaderRefresh = 1.0;   // seconds between updates of the WAVE sizes on disk
// The header: "RIFF" <form size> "WAVE", with --rf64 a "JUNK" chunk holding the room for the
// "ds64" chunk of an RF64 file, a 16-byte "fmt " chunk, and the header of "data".
constexpr uint32_t kFormHeaderBytes = 12;
constexpr uint32_t kLargeSizesBytes = 28;  // "ds64": form size, data size, sample count, table 0
constexpr uint32_t kLargeRoomBytes = 8 + kLargeSizesBytes;
constexpr uint32_t kFormatChunkBytes = 8 + 16;
constexpr uint32_t kWaveHeaderBytes = kFormHeaderBytes + kFormatChunkBytes + 8;
constexpr uint32_t kLargeHeaderBytes = kWaveHeaderBytes + kLargeRoomBytes;
constexpr uint64_t kMaxRiffSize = 0xFFFFFFFFull;
// The flat functions capture at this rate, and count dropout positions in its frames.
constexpr DWORD kStreamRate = 44100;

struct StreamOptions {
  std::string device = VOXL_DEFAULT_DEVICE_NAME;
  double seconds = 0.0;  // seconds of audio; 0 = until Ctrl-C
  std::string out;
  bool outGiven = false;
  bool quiet = false;
  bool rf64 = false;  // --rf64: past 4 GiB the file turns into RF64
};

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}
void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Where the blocks go: a PCM WAVE file whose header is written first and whose sizes are kept
// current while the audio grows, or raw PCM on stdout.  A plain RIFF/WAVE file holds up to 4 GiB;
// with `rf64` it has the room for the 64-bit sizes, and past 4 GiB its header turns into RF64.
class BlockSink {
 public:
  // `seconds` > 0: the sink takes that much audio (at least one frame) and no more.
  BlockSink(double seconds, bool rf64)
      : seconds_(seconds), headerBytes_(rf64 ? kLargeHeaderBytes : kWaveHeaderBytes) {}
  ~BlockSink() {
    if (fd_ > 1) close(fd_);
  }

  bool Open(const std::string& out) {
    if (out == "-") {
      fd_ = STDOUT_FILENO;
      raw_ = true;
      return true;
    }
    path_ = out;
    fd_ = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) return Fail("cannot create " + out + ": " + std::strerror(errno));
    // Until the first block shows the format, the header describes the capture format.
    format_ = WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    return WriteHeader() && WriteAll(nullptr, 0, headerBytes_);
  }

  // Appends a block, or as much of it as the seconds asked for still take.  False on a write
  // error, when the format changes (a WAVE file holds one), or when the file is full; error()
  // says which.
  bool Write(const AcmBlock& block, double now) {
    if (blocks_ == 0) {
      format_ = block.format;
      if (seconds_ > 0.0) {
        const double frames = std::max(std::round(seconds_ * format_.nSamplesPerSec), 1.0);
        limit_ = static_cast<uint64_t>(std::min(frames, 1e15)) * format_.nBlockAlign;
      }
    }
    ++blocks_;
    if (std::memcmp(&block.format, &format_, sizeof format_) != 0) {
      return Fail("the device changed its format during the run");
    }
    uint64_t bytes = std::min<uint64_t>(block.dataLength, limit_ - dataBytes_);
    bool full = false;
    const uint64_t maxData = kMaxRiffSize - (headerBytes_ - 8);
    if (!raw_ && headerBytes_ == kWaveHeaderBytes && dataBytes_ + bytes > maxData) {
      const uint32_t align = std::max<uint32_t>(format_.nBlockAlign, 1);
      bytes = (maxData - dataBytes_) / align * align;
      full = true;
    }
    if (!WriteAll(ACM_BLOCK_DATA(&block), bytes, 0)) return false;
    dataBytes_ += bytes;
    if (full) return Fail("stopped: a WAVE file holds at most 4 GiB of audio");
    if (!raw_ && now - lastHeader_ >= kHeaderRefresh) {
      lastHeader_ = now;
      if (!WriteHeader()) return false;
    }
    return true;
  }

  // Writes the final sizes; false (with error()) when that fails.
  bool Finish() {
    if (raw_ || fd_ < 0) return true;
    const bool ok = WriteHeader() && fsync(fd_) == 0;
    if (close(fd_) != 0 && ok) return Fail("cannot close " + path_ + ": " + std::strerror(errno));
    fd_ = -1;
    return ok || Fail("cannot finish " + path_ + ": " + std::strerror(errno));
  }

  uint64_t dataBytes() const { return dataBytes_; }
  // The audio holds the seconds asked for.
  bool complete() const { return dataBytes_ >= limit_; }
  const WAVEFORMATEX& format() const { return format_; }
  bool pipeClosed() const { return pipeClosed_; }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& message) {
    if (error_.empty()) error_ = message;
    return false;
  }

  // The whole header in one write, with the sizes of the audio written so far: the sizes never
  // cover more than the file holds, and a file that passes 4 GiB turns into RF64 in this write
  // ("ds64" in place of "JUNK", the 32-bit sizes 0xFFFFFFFF), so it is readable at every moment.
  bool WriteHeader() {
    uint8_t h[kLargeHeaderBytes] = {};
    const uint64_t form = headerBytes_ - 8 + dataBytes_;
    const bool large = form > kMaxRiffSize;
    std::memcpy(h, large ? "RF64" : "RIFF", 4);
    Put32(h + 4, large ? 0xFFFFFFFFu : static_cast<uint32_t>(form));
    std::memcpy(h + 8, "WAVE", 4);
    uint8_t* p = h + kFormHeaderBytes;
    if (headerBytes_ == kLargeHeaderBytes) {
      std::memcpy(p, large ? "ds64" : "JUNK", 4);
      Put32(p + 4, kLargeSizesBytes);
      if (large) {
        Put64(p + 8, form);
        Put64(p + 16, dataBytes_);
        Put64(p + 24, dataBytes_ / std::max<WORD>(format_.nBlockAlign, 1));
      }
      p += kLargeRoomBytes;
    }
    std::memcpy(p, "fmt ", 4);
    Put32(p + 4, 16);
    Put16(p + 8, format_.wFormatTag);
    Put16(p + 10, format_.nChannels);
    Put32(p + 12, format_.nSamplesPerSec);
    Put32(p + 16, format_.nAvgBytesPerSec);
    Put16(p + 20, format_.nBlockAlign);
    Put16(p + 22, format_.wBitsPerSample);
    std::memcpy(p + 24, "data", 4);
    Put32(p + 28, large ? 0xFFFFFFFFu : static_cast<uint32_t>(dataBytes_));
    if (pwrite(fd_, h, headerBytes_, 0) != static_cast<ssize_t>(headerBytes_)) {
      return Fail("cannot write the WAVE header of " + path_ + ": " + std::strerror(errno));
    }
    return true;
  }

  // Writes `size` bytes of `data`, or `zeros` zero bytes when data is null.
  bool WriteAll(const void* data, uint64_t size, size_t zeros) {
    std::vector<uint8_t> blank;
    if (data == nullptr) {
      blank.assign(zeros, 0);
      data = blank.data();
      size = zeros;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
      const ssize_t n = write(fd_, p, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (raw_ && errno == EPIPE) {
          pipeClosed_ = true;
          return Fail("the reader of stdout went away");
        }
        return Fail(std::string("cannot write ") + (raw_ ? "to stdout" : path_) + ": " +
                    (n < 0 ? std::strerror(errno) : "nothing was written"));
      }
      p += n;
      size -= static_cast<uint64_t>(n);
    }
    return true;
  }

  int fd_ = -1;
  bool raw_ = false;
  bool pipeClosed_ = false;
  std::string path_;
  WAVEFORMATEX format_{};
  uint64_t blocks_ = 0;
  uint64_t dataBytes_ = 0;
  double seconds_;
  uint32_t headerBytes_;
  uint64_t limit_ = UINT64_MAX;  // bytes of audio wanted
  double lastHeader_ = 0.0;
  std::string error_;
};

// What the host window's procedure works on.
struct StreamSession {
  StreamSession(double seconds, bool rf64) : sink(seconds, rf64) {}
  BlockSink sink;
  std::unique_ptr<LevelMeter> meter;
  double lastBlock = 0.0;  // monotonic seconds when the last block came
  // The meter's clock: the seconds of audio taken so far.
  double AudioSeconds() const {
    const DWORD perSecond = sink.format().nAvgBytesPerSec;
    return perSecond == 0 ? 0.0 : static_cast<double>(sink.dataBytes()) / perSecond;
  }
  bool sinkFailed = false;
  DropoutCount dropouts;
  int endedBy = -1;  // the stop reason of a run that ended by itself, -1 while it runs
};

// Takes the oldest waiting block into the sink; false when none waits.
bool TakeBlock(StreamSession& s) {
  AcmBlock* block = nullptr;
  if (GetNextACMBlock(&block) == 0) return false;
  const double now = MonotonicSeconds();
  s.lastBlock = now;
  if (!s.sinkFailed && !s.sink.Write(*block, now)) s.sinkFailed = true;
  FreeACMBlock(block);
  return true;
}

LRESULT CALLBACK StreamWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = reinterpret_cast<StreamSession*>(GetWindowLongA(window, GWL_USERDATA));
  if (s == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  switch (message) {
    case VOXL_MSG_BLOCK_READY:
      TakeBlock(*s);
      return 0;
    case VOXL_MSG_CAPTURE_ENDED:
      s->endedBy = static_cast<int>(wParam);
      return 0;
    case VOXL_MSG_DROPOUT:
      s->meter->Say("voxl: " + s->dropouts.Add(wParam, static_cast<uint64_t>(lParam), kStreamRate));
      return 0;
    case VOXL_MSG_LEVELS: {
      // The flat functions pass no clip flags; a level within 0.1 dB of full scale shows CLIP.
      const int left = VOXL_LEVEL_LEFT_TENTHS(lParam);
      const int right = VOXL_LEVEL_RIGHT_TENTHS(lParam);
      s->meter->SetLevels(left / 10.0, right / 10.0, left >= -1, right >= -1, s->AudioSeconds());
      return 0;
    }
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

// The input device names the flat functions know, for the error of an unknown name.
std::string KnownDevices() {
  std::string list;
  char name[VOXL_DEVICE_NAME_BYTES];
  for (BOOL more = GetFirstACMDevice(name); more; more = GetNextACMDevice(name)) {
    list += std::string(list.empty() ? "" : ", ") + "\"" + name + "\"";
  }
  return list;
}

bool KnownDevice(const std::string& wanted) {
  char name[VOXL_DEVICE_NAME_BYTES];
  for (BOOL more = GetFirstACMDevice(name); more; more = GetNextACMDevice(name)) {
    if (wanted == name) return true;
  }
  return false;
}

// The host window with its class; destroyed with the object.
class HostWindow {
 public:
  explicit HostWindow(StreamSession* session) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = StreamWindowProc;
    windowClass.lpszClassName = "VoxlStreamHost";
    atom_ = RegisterClassA(&windowClass);
    if (atom_ == 0) return;
    window_ = CreateWindowExA(0, MAKEINTATOM(atom_), "voxl stream", WS_POPUP, 0, 0, 1, 1, nullptr,
                              nullptr, nullptr, nullptr);
    if (window_ != nullptr) {
      SetWindowLongA(window_, GWL_USERDATA, reinterpret_cast<LONG_PTR>(session));
    }
  }
  ~HostWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
    if (atom_ != 0) UnregisterClassA(MAKEINTATOM(atom_), nullptr);
  }
  HWND handle() const { return window_; }

 private:
  ATOM atom_ = 0;
  HWND window_ = nullptr;
};

std::string DescribeFormat(const WAVEFORMATEX& f) {
  return std::to_string(f.nSamplesPerSec) + " Hz, " + std::to_string(f.wBitsPerSample) + "-bit, " +
         (f.nChannels == 1   ? "mono"
          : f.nChannels == 2 ? "stereo"
                             : std::to_string(f.nChannels) + " channels");
}

// Where the audio goes: OUT, or "-" when it is not given and stdout is no terminal.  kExitOk,
// or kExitUsage after printing why.
int ChooseOut(const StreamOptions& options, std::string* out) {
  *out = options.out;
  if (options.outGiven) {
    const std::string problem = OutNameProblem(*out);
    if (problem.empty()) return kExitOk;
    PrintError(problem);
    return kExitUsage;
  }
  if (isatty(STDOUT_FILENO)) {
    PrintError(
        "give an output file (OUT.wav), or '-' with stdout redirected (see voxl stream --help)");
    return kExitUsage;
  }
  *out = "-";
  return kExitOk;
}

// Opens the flat functions on the window, the sink, and starts recording.  kExitOk, or the exit
// code after printing why (the flat functions closed again).
int StartStream(const StreamOptions& options, const std::string& out, StreamSession& session,
                HWND window) {
  if (InitACM(window) == 0) {
    PrintError(
        "cannot start the recorder: the default input device does not accept 44100 Hz "
        "16-bit stereo, or the recorder's engine could not start");
    return kExitFailure;
  }
  int result = kExitOk;
  if (!KnownDevice(options.device)) {
    PrintError("no input device is named \"" + options.device + "\"; the names are " +
               KnownDevices() + " (letter case counts)");
    result = kExitUsage;
  } else if (!session.sink.Open(out)) {
    PrintError(session.sink.error());
    result = kExitFailure;
  } else {
    NoteVirtualInput(options.quiet);
    if (StartACMRecord(options.device.c_str()) == 0) {
      PrintError("recording could not be started on \"" + options.device + "\"");
      result = kExitFailure;
    }
  }
  if (result != kExitOk) {
    DeinitACM();
    if (out != "-" && result == kExitFailure) unlink(out.c_str());
  }
  return result;
}

// Takes blocks until the sink holds the seconds asked for, the run ends, no audio comes, or a
// stop signal; then stops and takes the last blocks.  `failure` says why a run failed; false
// when the device reported an error while stopping.
bool TakeUntilDone(const StreamOptions& options, StreamSession& session, RunLoop& loop,
                   bool* interrupted, std::string* failure) {
  session.lastBlock = MonotonicSeconds();
  const RunLoop::End end = loop.Run([&] {
    session.meter->Show(session.AudioSeconds());
    if (session.sinkFailed || session.sink.complete()) return false;
    if (session.endedBy >= 0) {
      *failure = "the recording on \"" + options.device +
                 "\" ended by itself: " + VoxlErrorText(static_cast<WORD>(session.endedBy));
      return false;
    }
    if (MonotonicSeconds() - session.lastBlock > kNoAudioTimeout) {
      *failure = "no audio came from \"" + options.device + "\" for 5 seconds; stopped";
      return false;
    }
    return true;
  });
  if (end == RunLoop::End::Failed) {
    *failure = std::string("waiting for audio failed: ") + std::strerror(errno);
  }
  *interrupted = end == RunLoop::End::Interrupted;
  // Blocks already announced, then the stop, then the last blocks of the run, which arrive
  // after the stop.
  PumpMessages();
  const bool stopped = StopACMRecord() != 0;
  PumpMessages();
  while (TakeBlock(session)) {
  }
  DeinitACM();
  session.meter->Show(session.AudioSeconds());
  session.meter->Finish();
  return stopped;
}

// Finishes the sink and says how the run went.  The exit code.
int Report(const StreamOptions& options, const std::string& out, StreamSession& session,
           bool stopped, bool interrupted, const std::string& failure) {
  int result = kExitOk;
  const bool finished = session.sink.Finish();
  if (session.sinkFailed && !session.sink.pipeClosed()) {
    PrintError(session.sink.error());
    result = kExitFailure;
  }
  if (!finished) {
    PrintError(session.sink.error());
    result = kExitFailure;
  }
  if (!failure.empty()) {
    PrintError(failure);
    result = kExitFailure;
  }
  if (!stopped) {
    PrintError("the device reported an error while stopping; the audio before it is kept");
    result = kExitFailure;
  }
  if (!options.quiet) {
    const WAVEFORMATEX& f = session.sink.format();
    std::fprintf(stderr, "voxl: %s%.1f s of %s (%llu bytes) %s %s%s\n",
                 interrupted ? "interrupted; " : "", session.AudioSeconds(),
                 DescribeFormat(f).c_str(),
                 static_cast<unsigned long long>(session.sink.dataBytes()),
                 out == "-" ? "written" : "written to", out == "-" ? "to stdout" : out.c_str(),
                 session.dropouts.Summary(kStreamRate).c_str());
  }
  return result;
}

int RunStream(const StreamOptions& options) {
  std::string out;
  const int chosen = ChooseOut(options, &out);
  if (chosen != kExitOk) return chosen;
  RunLoop loop;
  if (!loop.ok()) return kExitFailure;
  StreamSession session(options.seconds, options.rf64);
  session.meter =
      std::make_unique<LevelMeter>(stderr, LevelMeter::ModeFor(stderr, options.quiet), 2);
  HostWindow window(&session);
  if (window.handle() == nullptr) {
    PrintError("cannot create the window that receives the audio");
    return kExitFailure;
  }
  const int started = StartStream(options, out, session, window.handle());
  if (started != kExitOk) return started;
  bool interrupted = false;
  std::string failure;
  const bool stopped = TakeUntilDone(options, session, loop, &interrupted, &failure);
  return Report(options, out, session, stopped, interrupted, failure);
}

}  // namespace

void AddStreamCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "stream",
      "Capture from an input device through the flat capture functions, into a WAVE "
      "file or as raw PCM on stdout, with a live level meter");
  auto options = std::make_shared<StreamOptions>();
  cmd->add_option("--device", options->device,
                  "Input device, exactly as 'voxl devices' names it, or \"Default Device\"")
      ->capture_default_str();
  cmd->add_option("--seconds", options->seconds,
                  "Stop once this much audio has come in (default, and 0: at Ctrl-C)")
      ->check(SecondsOption())
      ->type_name("SECONDS");
  cmd->add_flag("-q,--quiet", options->quiet, "No level meter and no summary");
  cmd->add_flag("--rf64", options->rf64,
                "Past 4 GiB the WAVE file turns into RF64 (64-bit sizes) instead of the run "
                "stopping there");
  CLI::Option* out = cmd->add_option(
      "OUT", options->out,
      "WAVE file to write, or '-' for raw PCM on stdout (the default when stdout is not a "
      "terminal)");
  cmd->footer(
      "The audio is 44100 Hz, 16-bit stereo PCM, taken block by block (100 ms each).\n"
      "Ctrl-C stops cleanly: the file is complete and its sizes are written.  The meter shows\n"
      "both channels in dBFS (-60 to 0) with CLIP marks; on a terminal it is redrawn in place,\n"
      "otherwise written as one line per second.  The sizes in the file are kept current every\n"
      "second, so a file cut short by a crash still opens with nearly all its audio.  A WAVE\n"
      "file holds up to 4 GiB (6 h 45 min); with --rf64 it has the room for 64-bit sizes and\n"
      "turns into RF64 when it passes 4 GiB, a plain RIFF/WAVE file until then.\n"
      "Audio the device never delivered (a stalled system, an overrun) is told as it is found,\n"
      "\"dropout at 0:01.52, 1004 ms\", also with -q, and counted in the summary; nothing stands\n"
      "in for it.");
  cmd->callback([options, out, &exitCode] {
    options->outGiven = out->count() > 0;
    exitCode = RunStream(*options);
  });
}

}  // namespace voxl::cli
