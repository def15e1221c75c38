// voxl record: records into a file through the recorder's method table: the capture format,
// limits, marker tones and silence detection are set on an idle recorder, then NewRecording,
// Record, and a message loop that shows levels and elapsed time until the seconds asked for
// have come in, the recording limit ends the run, or Ctrl-C.
//
// PCM, A-law and mu-law are sample formats of the recorder.  Every other format is compressed
// (sample format 100): its record is picked from the codec's standard formats by rate, channels
// and bitrate, given in hex (--format-bytes), or chosen in the format chooser (--choose), and
// handed to the recorder as a byte array (PutFormat).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "meter.h"
#include "voxl310k.h"

namespace voxl::cli {
namespace {

// The most bytes of audio a recording holds (its sizes and offsets are 32-bit).
constexpr double kMaxDataBytes = 0xFFFFFFFE;

struct RecordOptions {
  std::string out;
  std::string format = "pcm16";
  DWORD rate = 44100;
  WORD channels = 2;
  double seconds = 0.0;     // seconds of audio to take in; 0 = until Ctrl-C
  double maxSeconds = 0.0;  // recording limit, 0 = none
  double at = -1.0;         // position in an existing file; < 0 = not given
  bool insert = false;
  double startTone = 0.0;
  double endTone = 0.0;
  std::string silence = "off";
  float soundDb = 0.0f;
  float silenceDb = 0.0f;
  int hold = 0;
  bool headerless = false;
  bool rf64 = false;  // --rf64: turn the WAVE file into RF64 when it passes 4 GiB
  std::string device;
  bool quiet = false;
  int bitrate = 0;           // kbit/s of --format mp3; 0 = not given
  std::string formatBytes;   // --format-bytes: a format record in hex
  bool choose = false;       // --choose: the format chooser picks the format
  bool formatGiven = false;  // --format was on the command line
  // A compressed recording: the format record the recorder holds, and its description.
  FormatBytes record;
  std::string recordText;
  // An existing file recorded into (--at, --insert): its format in words.
  std::string openedText;
  std::string shown;          // OUT as the messages name it
  bool secondsLimit = false;  // --seconds set the recorder's length limit
};

bool Compressed(const RecordOptions& o) {
  return IsCodecFormat(o.format) || !o.formatBytes.empty() || o.choose;
}

// The callbacks have no context argument; voxl records with one recorder at a time.
// --seconds and the meter's clock count the audio taken in, not the time passed, so a device
// that starts late still gives the seconds asked for.  Each levels callback covers one device
// buffer, a tenth of a second in whole frames, stored or not (silence detection stores no quiet
// stretches), so the count follows the input itself; marker tones are not counted.
struct RunWatch {
  LevelMeter* meter = nullptr;
  DWORD rate = 44100;
  bool ended = false;
  WORD stopReason = VOXL_STOP_NORMAL;
  uint64_t measurements = 0;  // levels callbacks of the run
  DropoutCount dropouts;

  uint64_t AudioFrames() const { return measurements * (rate / 10); }
  double AudioSeconds() const { return static_cast<double>(AudioFrames()) / rate; }
};
RunWatch gWatch;

void CALLBACK OnCaptureEnded(DWORD code) {
  gWatch.ended = true;
  gWatch.stopReason = static_cast<WORD>(code);
}

void CALLBACK OnDropout(LONG position, DWORD frames, void* /*context*/) {
  const std::string line =
      "voxl: " +
      gWatch.dropouts.Add(static_cast<uint64_t>(std::max<LONG>(position, 0)), frames, gWatch.rate);
  if (gWatch.meter != nullptr) {
    gWatch.meter->Say(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

void CALLBACK OnLevels(FLOAT left, DWORD clipLeft, FLOAT right, DWORD clipRight) {
  ++gWatch.measurements;
  if (gWatch.meter == nullptr) return;
  gWatch.meter->SetLevels(left, right, clipLeft != 0, clipRight != 0, gWatch.AudioSeconds());
}

}  // namespace

namespace {

// A number as %g writes it, e.g. "1e+06" or "2.26757e-05".
std::string Compact(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

const WAVEFORMATEX& RecordFormat(const RecordOptions& o) {
  return *reinterpret_cast<const WAVEFORMATEX*>(o.record.data());
}

// Bytes of one second of audio in the chosen format.
double BytesPerSecond(const RecordOptions& o) {
  if (o.record.size() >= sizeof(WAVEFORMATEX) && RecordFormat(o).nAvgBytesPerSec != 0) {
    return RecordFormat(o).nAvgBytesPerSec;
  }
  return static_cast<double>(o.rate) * o.channels * (o.format == "pcm16" ? 2 : 1);
}

}  // namespace

namespace {

// Hands `record` to the recorder as its chosen format.  False, with the error printed, when the
// recorder takes no format.
bool PutRecord(VoxlRecorder* rec, const FormatBytes& record) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(record.size()));
  if (array == nullptr) {
    PrintError("out of memory for the format");
    return false;
  }
  for (size_t i = 0; i < record.size(); ++i) {
    LONG index = static_cast<LONG>(i);
    BYTE value = record[i];
    SafeArrayPutElement(array, &index, &value);
  }
  VARIANT format;
  VariantInit(&format);
  format.vt = VT_ARRAY | VT_UI1;
  format.parray = array;
  const HRESULT put = rec->lpVtbl->PutFormat(rec, format);
  VariantClear(&format);
  if (put == E_NOTIMPL) {
    PrintError("compressed formats are not available yet");
    return false;
  }
  if (put != S_OK) {
    PrintError(std::string("the recorder refused the format: ") +
               VoxlErrorText(VOXL_ERR_FORMAT_UNUSABLE));
    return false;
  }
  return true;
}

// The recorder's chosen format as bytes (GetFormat).
FormatBytes TakeRecord(VoxlRecorder* rec) {
  VARIANT format;
  VariantInit(&format);
  FormatBytes bytes;
  LONG low = 0, high = -1;
  if (rec->lpVtbl->GetFormat(rec, &format) == S_OK && format.vt == (VT_ARRAY | VT_UI1) &&
      SafeArrayGetLBound(format.parray, 1, &low) == S_OK &&
      SafeArrayGetUBound(format.parray, 1, &high) == S_OK) {
    for (LONG i = low; i <= high; ++i) {
      BYTE value = 0;
      SafeArrayGetElement(format.parray, &i, &value);
      bytes.push_back(value);
    }
  }
  VariantClear(&format);
  return bytes;
}

// The recorder's chosen format in words (GetFormatText).
std::string ChosenFormatText(VoxlRecorder* rec) {
  BSTR text = nullptr;
  WORD error = 0;
  rec->lpVtbl->GetFormatText(rec, &text, &error);
  const std::string words = NarrowName(text);
  SysFreeString(text);
  return words;
}

// Sets a compressed format on the idle recorder: a standard format, the bytes given, or the
// chooser's answer; then sample format 100 and, from the format, the rate and channels.
// kExitOk, or the exit code after printing why.
int ConfigureCompressed(VoxlRecorder* rec, RecordOptions& o) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  if (o.choose) {
    BSTR title = WideName("voxl record: the format of " + o.shown);
    WORD error = 0;
    const HRESULT chosen = o.formatGiven && IsCodecFormat(o.format)
                               ? m.ChooseFormatOfTag(rec, 0, title, CodecTag(o.format), &error)
                               : m.ChooseFormat(rec, 0, title, &error);
    SysFreeString(title);
    if (chosen == E_NOTIMPL) {
      PrintError("the format chooser is not available yet");
      return kExitFailure;
    }
    if (error != VOXL_ERR_NONE) {
      PrintError(std::string("no format chosen: ") + VoxlErrorText(error));
      return kExitFailure;
    }
    o.record = TakeRecord(rec);
  } else {
    if (!o.formatBytes.empty()) {
      const int parsed = ParseFormatBytes(o.formatBytes, &o.record);
      if (parsed != kExitOk) return parsed;
    } else if (!PickStandardFormat(o.format, o.bitrate, o.rate, o.channels, &o.record)) {
      return kExitUsage;
    }
    if (!PutRecord(rec, o.record)) return kExitUsage;
  }
  if (o.record.size() < sizeof(WAVEFORMATEX)) {
    PrintError(std::string("no format chosen: ") + VoxlErrorText(VOXL_ERR_NO_TARGET_FORMAT));
    return kExitFailure;
  }
  if (m.SetSampleFormat(rec, 100) != 0) {
    PrintError("the recorder refused compressed recording");
    return kExitUsage;
  }
  o.recordText = ChosenFormatText(rec);
  if (o.recordText.empty() || o.recordText[0] == '[') {
    o.recordText = "the format given (the codec manager cannot describe it)";
  }
  // The format decides the rate and channels; the recorder takes them from it when the file is
  // created, also a rate outside the list of its sample-rate property.
  o.rate = RecordFormat(o).nSamplesPerSec;
  o.channels = RecordFormat(o).nChannels;
  m.SetSampleRate(rec, o.rate);
  m.SetChannels(rec, o.channels);
  return kExitOk;
}

// Sets a marker tone through `set` once the format is set.  False, with the error printed, when
// the tone is longer than a recording in that format can hold.
bool SetTone(VoxlRecorder* rec, HRESULT(WINAPI* set)(VoxlRecorder*, FLOAT), const char* option,
             double seconds, const RecordOptions& o) {
  const double longest = std::floor(kMaxDataBytes / BytesPerSecond(o));
  if (seconds <= longest && set(rec, static_cast<FLOAT>(seconds)) == 0) return true;
  PrintError(std::string(option) + " " + Compact(seconds) +
             ": longer than a recording in this format can hold (at most " + Compact(longest) +
             " s)");
  return false;
}

// Applies the options to the idle recorder.  kExitOk, or the exit code after printing why.
int Configure(VoxlRecorder* rec, RecordOptions& o) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  static const std::map<std::string, WORD> kFormats = {
      {"pcm8", 8}, {"pcm16", 16}, {"alaw", 106}, {"mulaw", 107}};
  if (o.bitrate > 0 && o.format != "mp3") {
    PrintError("--bitrate is for --format mp3");
    return kExitUsage;
  }
  if (Compressed(o)) {
    const int result = ConfigureCompressed(rec, o);
    if (result != kExitOk) return result;
  } else if (m.SetSampleFormat(rec, kFormats.at(o.format)) != 0) {
    PrintError("the recorder refused the format " + o.format);
    return kExitUsage;
  } else if (m.SetSampleRate(rec, o.rate) != 0) {
    PrintError("the rate " + std::to_string(o.rate) +
               " Hz is not offered; use 6000, 8000, 11025, 16000, 22050, 32000, 44100, 48000, "
               "64000, 88200, 96000 or 192000");
    return kExitUsage;
  } else if (m.SetChannels(rec, o.channels) != 0) {
    PrintError("channels must be 1 or 2");
    return kExitUsage;
  }
  if (o.headerless) m.SetFileKind(rec, 1);
  // The limit in frames follows the rate: a limit shorter than half a frame would be none.
  DWORD limitFrames = 0;
  if (m.SetMaxLengthSeconds(rec, o.maxSeconds) != 0 || m.GetMaxLength(rec, &limitFrames) != 0 ||
      (o.maxSeconds > 0.0 && limitFrames == 0)) {
    PrintError("--max-seconds " + Compact(o.maxSeconds) + ": less than one frame at " +
               std::to_string(o.rate) + " Hz; the shortest limit is " + Compact(1.0 / o.rate) +
               " s (0 = none)");
    return kExitUsage;
  }
  if (!SetTone(rec, m.SetStartToneSeconds, "--start-tone", o.startTone, o) ||
      !SetTone(rec, m.SetEndToneSeconds, "--end-tone", o.endTone, o)) {
    return kExitUsage;
  }
  static const std::map<std::string, SHORT> kSilence = {
      {"off", 0}, {"left", 1}, {"right", 2}, {"both", 3}};
  if (m.SetSilenceMode(rec, kSilence.at(o.silence)) != 0 ||
      m.SetSoundThreshold(rec, o.soundDb) != 0 || m.SetSilenceThreshold(rec, o.silenceDb) != 0 ||
      m.SetSilenceHold(rec, static_cast<SHORT>(o.hold)) != 0) {
    PrintError("--sound-db and --silence-db must be 0 or below, --hold 0 or more");
    return kExitUsage;
  }
  if (!o.device.empty()) {
    LONG device = -1;
    if (!ResolveDevice(rec, false, o.device, &device)) return kExitUsage;
    m.SetInputDevice(rec, device);
  }
  return kExitOk;
}

std::string Describe(const RecordOptions& o) {
  static const std::map<std::string, std::string> kNames = {
      {"pcm8", "8-bit PCM"}, {"pcm16", "16-bit PCM"}, {"alaw", "A-law"}, {"mulaw", "mu-law"}};
  if (!o.openedText.empty()) return o.openedText;
  const std::string headerless = o.headerless ? ", headerless" : "";
  if (Compressed(o)) return o.recordText + headerless;
  return std::to_string(o.rate) + " Hz, " + kNames.at(o.format) + ", " +
         (o.channels == 1 ? "mono" : "stereo") + headerless;
}

// The folder where an insert collects its audio before it is spliced in.
std::string TemporaryFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// Why a run stopped, for a stop reason other than normal and the length limit.  A failed write is
// told apart by what shows after it: a recording at its 4 GiB, a file at the size limit of the
// process (ulimit -f), a full disk, or else the write itself.
std::string StopText(WORD reason, const RecordOptions& o) {
  if (reason != VOXL_STOP_WRITE_FAILED) return VoxlErrorText(reason);
  const double second = BytesPerSecond(o);
  struct stat st {};
  const double size = stat(o.out.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0.0;
  if (size + second > kMaxDataBytes) {
    return "the file is full: a recording holds at most 4 GiB of audio";
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size + second > static_cast<double>(limit.rlim_cur)) {
    return "the file reached the size limit of this process (ulimit -f)";
  }
  auto full = [second](const std::string& path) {
    struct statvfs fs {};
    return statvfs(path.c_str(), &fs) == 0 &&
           static_cast<double>(fs.f_bavail) * fs.f_frsize < second;
  };
  if (full(o.out)) return "the disk holding " + o.shown + " is full";
  if (o.insert && full(TemporaryFolder())) {
    return "the disk holding the temporary folder " + TemporaryFolder() + " is full";
  }
  return "the recorded audio could not be written";
}

// With silence detection on, the meter says how much the file holds, and when silence is
// declared, that the audio coming in is not stored.
std::string SilenceNote(VoxlRecorder* rec) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  WORD silent = 0;
  DOUBLE stored = 0.0;
  m.GetSilent(rec, &silent);
  m.GetLengthSeconds(rec, &stored);
  char text[80];
  std::snprintf(text, sizeof text, "  stored %.1f s%s", stored,
                silent != 0 ? "  SILENCE: not stored" : "");
  return text;
}

// `record -`: standard output redirected to a file is recorded into directly.  Into a pipe the
// recorder, which seeks in what it writes, records into a temporary file whose new bytes are
// copied out as they come; only headerless audio can go that way, as a WAVE header needs its
// sizes written at the end.
class StdoutCopy {
 public:
  ~StdoutCopy() {
    if (in_ >= 0) close(in_);
    if (!temp_.empty()) unlink(temp_.c_str());
  }
  // Sets o.out to the name to record into.  kExitOk, or the exit code after printing why.
  int Choose(RecordOptions& o) {
    struct stat st {};
    if (isatty(STDOUT_FILENO)) {
      PrintError("'-' records to stdout, which is a terminal: redirect it or give a file name");
      return kExitUsage;
    }
    if (o.at >= 0.0 || o.insert) {
      PrintError("--at and --insert add to an existing file, not to standard output");
      return kExitUsage;
    }
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
      // The recording is made anew from the start of the file: what it holds would be lost.
      if (st.st_size > 0 || (fcntl(STDOUT_FILENO, F_GETFL) & O_APPEND) != 0) {
        PrintError(
            "stdout is a file that holds data or is appended to (>>): record - writes a "
            "file of its own; redirect with > or give the file name");
        return kExitUsage;
      }
      o.out = "/proc/self/fd/1";
      return kExitOk;
    }
    if (!o.headerless) {
      PrintError(
          "a WAVE file on a pipe cannot get its sizes written at the end: add --headerless, or "
          "redirect stdout to a file");
      return kExitUsage;
    }
    std::string pattern = TemporaryFolder() + "/voxl-record-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
      PrintError("cannot make a temporary file in " + TemporaryFolder() + ": " +
                 std::strerror(errno));
      return kExitFailure;
    }
    in_ = fd;
    temp_ = o.out = pattern;
    return kExitOk;
  }
  // Copies what the recording gained since the last call; false once stdout takes no more.
  bool Copy() {
    if (in_ < 0 || failed_) return !failed_;
    char buffer[1 << 16];
    ssize_t n = 0;
    while ((n = read(in_, buffer, sizeof buffer)) > 0) {
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = write(STDOUT_FILENO, buffer + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return !(failed_ = true);
        done += w;
      }
    }
    return true;
  }

 private:
  int in_ = -1;
  std::string temp_;
  bool failed_ = false;
};

// The recorder, the file's name and the stop signals of one run of voxl record.
struct Take {
  RunLoop loop;
  VoxlRecorder* rec = nullptr;
  BSTR name = nullptr;
  bool existed = false;  // the file was there before the run
  StdoutCopy copy;       // record -
  ~Take() {
    if (rec != nullptr) VoxlDestroyRecorder(rec);
    SysFreeString(name);
  }
  // Closes the file after a failed start; a file that this run created goes again.
  void Discard(const RecordOptions& o) {
    WORD closeError = 0;
    rec->lpVtbl->Close(rec, &closeError);
    if (!existed) unlink(o.out.c_str());
  }
};

// Checks OUT before anything is made.  kExitOk, or the exit code after printing why.
int CheckOut(const RecordOptions& o, bool* exists) {
  const std::string nameProblem = OutNameProblem(o.out);
  if (!nameProblem.empty()) {
    PrintError(nameProblem);
    return kExitUsage;
  }
  struct stat existing {};
  *exists = stat(o.out.c_str(), &existing) == 0;
  if ((o.at >= 0.0 || o.insert) && !*exists) {
    PrintError("--at and --insert add to an existing file, and " + o.out + " does not exist");
    return kExitUsage;
  }
  return kExitOk;
}

// Opens the file that --at or --insert adds to, at the position asked for; the file decides the
// format.  kExitOk, or the exit code after printing why.
int OpenExisting(Take& t, RecordOptions& o) {
  const VoxlRecorderVtbl& m = *t.rec->lpVtbl;
  WORD error = 0;
  const HRESULT opened = m.OpenFile(t.rec, t.name, &error);
  if (opened == E_NOTIMPL) {
    PrintError(
        "adding to an existing file (--at, --insert) is not available yet; record into "
        "a new file instead");
    return kExitUsage;
  }
  if (error != VOXL_ERR_NONE) {
    PrintError("cannot open " + o.out + ": " + VoxlErrorText(error));
    return kExitFailure;
  }
  m.SetInsertMode(t.rec, o.insert ? 1 : 0);
  // Past the end is refused, as 'voxl play --at' refuses it: the recording would not start
  // where it was asked to.
  DOUBLE lasts = 0.0;
  m.GetLengthSeconds(t.rec, &lasts);
  if (o.at > lasts) {
    char at[64], end[64];
    std::snprintf(at, sizeof at, "%.3f s", o.at);
    std::snprintf(end, sizeof end, "%.3f s", lasts);
    PrintError("--at " + std::string(at) + " is past the end of " + o.out + ", which lasts " + end);
    m.Close(t.rec, &error);
    return kExitFailure;
  }
  if (o.at >= 0.0) m.SetPositionSeconds(t.rec, o.at);
  // The rate and channels of the meter come from the file.
  DWORD rate = 0;
  WORD channels = 0;
  m.GetSampleRate(t.rec, &rate);
  m.GetChannels(t.rec, &channels);
  if (rate >= 10) o.rate = rate;
  if (channels == 1 || channels == 2) o.channels = channels;
  BSTR text = nullptr;
  WORD textError = 0;
  m.GetFileFormatText(t.rec, &text, &textError);
  o.openedText = NarrowName(text);
  SysFreeString(text);
  if (o.openedText.empty()) o.openedText = "the format of the file";
  return kExitOk;
}

// Creates the new recording.  kExitOk, or the exit code after printing why.
int CreateNew(Take& t, RecordOptions& o) {
  const VoxlRecorderVtbl& m = *t.rec->lpVtbl;
  WORD error = 0;
  m.NewRecording(t.rec, t.name, &error);
  if (Compressed(o) && (error == VOXL_ERR_FORMAT_UNUSABLE || error == VOXL_ERR_NO_TARGET_FORMAT)) {
    if (!t.existed) unlink(o.out.c_str());
    PrintError("cannot record in " + o.recordText + ": " + VoxlErrorText(error));
    return kExitFailure;
  }
  if (error != VOXL_ERR_NONE) {
    const std::string why = CreateProblem(o.out);
    PrintError("cannot create " + o.shown + ": " + (why.empty() ? VoxlErrorText(error) : why));
    return kExitFailure;
  }
  if (!Compressed(o)) return kExitOk;
  // The recorder took the rate and channels from the format.  The watch counts a tenth of the
  // rate per buffer, so a rate below 10 would never reach --seconds.
  DWORD rate = 0;
  WORD channels = 0;
  m.GetSampleRate(t.rec, &rate);
  m.GetChannels(t.rec, &channels);
  if (rate < 10 || channels < 1 || channels > 2) {
    PrintError("cannot record in " + o.recordText + ": " + VoxlErrorText(VOXL_ERR_FORMAT_UNUSABLE));
    t.Discard(o);
    return kExitFailure;
  }
  o.rate = rate;
  o.channels = channels;
  return kExitOk;
}

// --seconds becomes the recorder's own length limit where it is shorter than --max-seconds: the
// recorder stops on the audio it stored, to the buffer, however far the device runs ahead of the
// level callbacks (a free-running clock).  The level count below still ends a run whose quiet
// stretches are not stored.  The rate is the file's, known once it is created or opened.
void LimitToSeconds(VoxlRecorder* rec, RecordOptions& o) {
  if (o.seconds <= 0.0) return;
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  const double frames = std::max(std::round(o.seconds * o.rate), 1.0);
  DWORD limit = 0;
  m.GetMaxLength(rec, &limit);
  if (frames > 0x7FFFFFFF || (limit != 0 && limit <= frames)) return;
  o.secondsLimit = m.SetMaxLength(rec, static_cast<LONG>(frames)) == 0;
}

// Starts the run.  kExitOk, or kExitFailure after printing why and discarding the file.
int Start(Take& t, const RecordOptions& o) {
  WORD error = 0;
  NoteVirtualInput(o.quiet);
  t.rec->lpVtbl->Record(t.rec, &error);
  if (error == VOXL_ERR_NONE) return kExitOk;
  gWatch.meter = nullptr;
  // An insert collects its audio in the temporary folder first: when that folder takes no
  // file, the device is not to blame.
  const bool tempRefused = o.insert && error == VOXL_ERR_CAPTURE_START &&
                           access(TemporaryFolder().c_str(), W_OK | X_OK) != 0;
  PrintError("cannot record: " + (tempRefused ? "the temporary folder " + TemporaryFolder() +
                                                    " (TMPDIR) takes no file for the insert"
                                              : std::string(VoxlErrorText(error))));
  // Nothing was recorded.
  t.Discard(o);
  return kExitFailure;
}

// Runs until the seconds asked for have come in, the run ends by itself, or a stop signal;
// then stops and closes the file and says how it went.  The exit code.
int RunUntilDone(Take& t, const RecordOptions& o, LevelMeter& meter) {
  const VoxlRecorderVtbl& m = *t.rec->lpVtbl;
  // At least one frame; 0 = until Ctrl-C.
  const double wanted = o.seconds > 0.0 ? std::max(std::round(o.seconds * o.rate), 1.0) : INFINITY;
  const RunLoop::End end = t.loop.Run([&] {
    if (o.silence != "off") meter.SetNote(SilenceNote(t.rec));
    meter.Show(gWatch.AudioSeconds());
    // A reader of stdout that went away ends the run as Ctrl-C does, without an error.
    return t.copy.Copy() && !gWatch.ended && static_cast<double>(gWatch.AudioFrames()) < wanted;
  });
  // Stop waits for the engine; the end of the run reaches this thread as a message, which
  // writes the file's sizes.
  m.Stop(t.rec);
  t.loop.Drain([] { return gWatch.ended; }, 5.0);
  meter.Show(gWatch.AudioSeconds());
  meter.Finish();
  gWatch.meter = nullptr;
  DOUBLE seconds = 0.0;
  m.GetLengthSeconds(t.rec, &seconds);
  WORD closeError = 0;
  m.Close(t.rec, &closeError);
  t.copy.Copy();

  int result = kExitOk;
  const WORD reason = gWatch.stopReason;
  if (reason != VOXL_STOP_NORMAL && reason != VOXL_STOP_LENGTH_LIMIT) {
    // An insert goes into the recording only whole: a run that failed added nothing.
    PrintError("recording stopped: " + StopText(reason, o) +
               (o.insert ? "; nothing was inserted, the recording is as it was"
                         : "; the audio before that is kept"));
    result = kExitFailure;
  }
  if (closeError != VOXL_ERR_NONE) {
    PrintError("cannot finish " + o.shown + ": " + VoxlErrorText(closeError));
    result = kExitFailure;
  }
  if (!o.quiet) {
    std::fprintf(stderr, "voxl: %s%.1f s recorded to %s (%s)%s%s\n",
                 end == RunLoop::End::Interrupted ? "interrupted; " : "", seconds, o.shown.c_str(),
                 Describe(o).c_str(),
                 reason == VOXL_STOP_LENGTH_LIMIT && !o.secondsLimit
                     ? "; the length limit ended the recording"
                     : "",
                 gWatch.dropouts.Summary(o.rate).c_str());
  }
  return result;
}

int RunRecord(RecordOptions o) {
  Take t;
  const bool toStdout = o.out == "-";
  int result = toStdout ? t.copy.Choose(o) : kExitOk;
  bool exists = false;
  if (result == kExitOk) result = CheckOut(o, &exists);
  if (result != kExitOk) return result;
  // The name the messages give.
  o.shown = toStdout ? "stdout" : o.out;
  t.existed = exists;
  t.name = WideName(o.out);
  if (t.name == nullptr) {
    PrintError("out of memory for the file name");
    return kExitFailure;
  }
  if (!t.loop.ok()) return kExitFailure;
  t.rec = NewRecorder();
  if (t.rec == nullptr) return kExitFailure;
  // The room for the 64-bit sizes is reserved when the file is created, so the mode comes first.
  if (o.rf64) VoxlSetLargeFileMode(t.rec, VOXL_LARGE_FILE_RF64);
  result = Configure(t.rec, o);
  if (result == kExitOk) result = o.at >= 0.0 || o.insert ? OpenExisting(t, o) : CreateNew(t, o);
  if (result != kExitOk) return result;
  LimitToSeconds(t.rec, o);
  if (!o.quiet) {
    std::fprintf(stderr, "voxl: recording into %s (%s)\n", o.shown.c_str(), Describe(o).c_str());
  }
  LevelMeter meter(stderr, LevelMeter::ModeFor(stderr, o.quiet), o.channels);
  gWatch = RunWatch{&meter, o.rate, false, 0, 0, {}};
  VoxlRecorderCallbacks callbacks{};
  callbacks.captureEnded = OnCaptureEnded;
  callbacks.levels = OnLevels;
  VoxlSetCallbacks(t.rec, &callbacks);
  VoxlSetDropoutCallback(t.rec, OnDropout, nullptr);
  result = Start(t, o);
  return result != kExitOk ? result : RunUntilDone(t, o, meter);
}

}  // namespace

constexpr const char* kRecordFooter =
    "A compressed format sets the rate and channels its record holds; 'voxl formats' lists\n"
    "the standard formats of every codec.  Ctrl-C stops cleanly and the file keeps everything\n"
    "recorded.  OUT '-' is standard output: any format when it is redirected to a file, a\n"
    "headerless one (--headerless) when it is a pipe, as a WAVE header needs its sizes written\n"
    "at the end.  Audio the device never delivered (a stalled system, an overrun) is told as it\n"
    "is found, \"dropout at 0:01.52, 1004 ms\", also with -q, and counted in the summary;\n"
    "a WAVE file gets a cue point there.  Exit status: 0 done, 1 the recording failed (the\n"
    "reason is printed), 2 a wrong option.";

void AddRecordCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "record",
      "Record from an input device into a WAVE or headerless file, with a live level "
      "meter");
  auto o = std::make_shared<RecordOptions>();
  cmd->add_option("OUT", o->out, "File to record into (created, or replaced), or '-' for stdout")
      ->required();
  CLI::Option* format =
      cmd->add_option("--format", o->format,
                      "Format: PCM, A-law, mu-law, or a codec's standard format for the rate and "
                      "channels (mp3 MPEG Layer-3, ima IMA ADPCM, adpcm ADPCM, gsm GSM 6.10)")
          ->check(CLI::IsMember({"pcm8", "pcm16", "alaw", "mulaw", "mp3", "ima", "adpcm", "gsm"}))
          ->capture_default_str();
  CLI::Option* bitrate =
      cmd->add_option("--bitrate", o->bitrate, "kbit/s of --format mp3 (default 128)")
          ->check(CLI::Range(1, 1000))
          ->type_name("KBPS");
  CLI::Option* bytes =
      cmd->add_option("--format-bytes", o->formatBytes,
                      "Record in this format: its record in hex, as 'voxl formats' prints it")
          ->type_name("HEX");
  CLI::Option* choose =
      cmd->add_flag("--choose", o->choose,
                    "Choose the format in the format chooser (of the --format codec when given)");
  CLI::Option* rate =
      cmd->add_option("--rate", o->rate, "Sample rate in Hz")->capture_default_str();
  CLI::Option* channels = cmd->add_option("--channels", o->channels, "1 or 2")
                              ->check(CLI::Range(1, 2))
                              ->capture_default_str();
  bytes->excludes(format)->excludes(bitrate)->excludes(choose)->excludes(rate)->excludes(channels);
  choose->excludes(bitrate)->excludes(rate)->excludes(channels);
  cmd->add_option("--seconds", o->seconds,
                  "Stop once this much audio has come in (default, and 0: at Ctrl-C)")
      ->check(SecondsOption())
      ->type_name("SECONDS");
  cmd->add_option("--max-seconds", o->maxSeconds,
                  "Recording limit (0 = none), reached at the end of a whole 0.1 s buffer")
      ->check(SecondsOption())
      ->type_name("SECONDS");
  cmd->add_option("--at", o->at, "Record from this position of an existing file")
      ->check(SecondsOption())
      ->type_name("SECONDS");
  cmd->add_flag("--insert", o->insert, "Insert into an existing file instead of overwriting");
  cmd->add_option("--start-tone", o->startTone, "Marker tone before the recording")
      ->check(SecondsOption())
      ->type_name("SECONDS");
  cmd->add_option("--end-tone", o->endTone, "Marker tone after the recording")
      ->check(SecondsOption())
      ->type_name("SECONDS");
  cmd->add_option("--silence", o->silence, "Silence detection: which channel is watched")
      ->check(CLI::IsMember({"off", "left", "right", "both"}))
      ->capture_default_str();
  cmd->add_option("--sound-db", o->soundDb, "Level (0 or below) at which sound is declared")
      ->check(DecibelOption())
      ->type_name("DB");
  cmd->add_option("--silence-db", o->silenceDb, "Level (0 or below) below which it is quiet")
      ->check(DecibelOption())
      ->type_name("DB");
  cmd->add_option("--hold", o->hold, "Quiet 100 ms measurements before silence is declared")
      ->check(CLI::Range(0, 32767));
  CLI::Option* headerless =
      cmd->add_flag("--headerless", o->headerless, "Write the audio without a WAVE header");
  cmd->add_flag("--rf64", o->rf64,
                "Past 4 GiB the WAVE file turns into RF64 (64-bit sizes) instead of the "
                "recording stopping there")
      ->excludes(headerless);
  cmd->add_option("--device", o->device,
                  "Input device: a number from 'voxl devices' (-1 = default) or its name");
  cmd->add_flag("-q,--quiet", o->quiet, "No level meter and no summary");
  cmd->footer(kRecordFooter);
  cmd->callback([o, format, &exitCode] {
    o->formatGiven = format->count() > 0;
    exitCode = RunRecord(*o);
  });
}

}  // namespace voxl::cli
