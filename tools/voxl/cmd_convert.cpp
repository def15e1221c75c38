// voxl convert: converts a sound file into a new file in another format through the library's
// VoxlConvertFile: the input opened as voxl info opens it (--raw, --mpeg, --header-bytes), the
// output format given as voxl record takes it (--format, --bitrate, --format-bytes, --rate,
// --channels, --headerless), with a progress line on a terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "commands.h"
#include "meter.h"
#include "voxl310k.h"

namespace voxl::cli {
namespace {

struct ConvertOptions {
  std::string in;
  std::string out;
  OpenOptions open;
  std::string format = "pcm16";
  int bitrate = 0;
  std::string formatBytes;
  DWORD rate = 0;     // 0 = the input's
  WORD channels = 0;  // 0 = the input's
  bool headerless = false;
  bool quiet = false;
};

// The progress line, redrawn in place on a terminal when the percentage changes, and Ctrl-C
// (or SIGTERM), which cancels the work.
struct Progress {
  bool draw = false;
  bool shown = false;
  int percent = -1;
  int signals = -1;
  bool interrupted = false;
};

BOOL CALLBACK ShowProgress(DOUBLE fraction, void* context) {
  auto* p = static_cast<Progress*>(context);
  if (p->signals >= 0 && TakeStopSignal(p->signals)) {
    p->interrupted = true;
    return FALSE;
  }
  const int percent = static_cast<int>(std::floor(fraction * 100.0));
  if (p->draw && percent != p->percent) {
    p->percent = percent;
    p->shown = true;
    std::fprintf(stderr, "\rvoxl: converting %3d%%", percent);
    std::fflush(stderr);
  }
  return TRUE;
}

// The rate and channels of the input as the recorder opens it, for picking a codec's standard
// format.  kExitOk, or the exit code after printing why.
int InputShape(const ConvertOptions& o, DWORD* rate, WORD* channels) {
  VoxlRecorder* rec = NewRecorder(true);
  if (rec == nullptr) return kExitFailure;
  const int opened = OpenForReading(rec, o.in, o.open);
  if (opened == kExitOk) {
    rec->lpVtbl->GetSampleRate(rec, rate);
    rec->lpVtbl->GetChannels(rec, channels);
    WORD error = 0;
    rec->lpVtbl->Close(rec, &error);
  }
  VoxlDestroyRecorder(rec);
  return opened;
}

// Why the conversion failed, in words.
std::string FailureText(WORD error, const ConvertOptions& o, SHORT inputKind) {
  if (error == VOXL_ERR_FILE_OPEN) {
    if (access(o.in.c_str(), R_OK) != 0) return "cannot read " + o.in + ": " + std::strerror(errno);
    const std::string why = CreateProblem(o.out);
    return "cannot create " + o.out + ": " + (why.empty() ? VoxlErrorText(error) : why);
  }
  if (error == VOXL_ERR_NOT_RIFF_WAVE && o.open.raw.empty() && !o.open.mpeg &&
      o.open.headerBytes == 0 && LooksLikeMpeg(o.in)) {
    return "cannot open " + o.in + ": " + VoxlErrorText(error) +
           "; it looks like an MPEG audio stream: try --mpeg";
  }
  if (error == VOXL_ERR_FORMAT_UNUSABLE && inputKind == 2) {
    return "cannot open " + o.in + ": it " +
           (o.open.mpeg ? "" : "looks like an MPEG audio stream, but it ") +
           "holds no MPEG audio frame the recorder can use";
  }
  if (error == VOXL_ERR_SAME_FILE) return "cannot convert " + o.in + " into itself";
  if (error == VOXL_ERR_CAPTURE_WRITE) {
    return "cannot write " + o.out +
           ": the audio could not be stored (a full disk, or the size limit of this process); " +
           "nothing was written";
  }
  return "cannot convert " + o.in + " into " + o.out + ": " + VoxlErrorText(error);
}

std::string Describe(const ConvertOptions& o) {
  static const std::map<std::string, std::string> kNames = {
      {"pcm8", "8-bit PCM"},   {"pcm16", "16-bit PCM"}, {"alaw", "A-law"},     {"mulaw", "mu-law"},
      {"mp3", "MPEG Layer-3"}, {"ima", "IMA ADPCM"},    {"adpcm", "MS ADPCM"}, {"gsm", "GSM 6.10"}};
  std::string text = o.formatBytes.empty() ? kNames.at(o.format) : "the format given";
  if (o.rate != 0) text += ", " + std::to_string(o.rate) + " Hz";
  if (o.channels != 0) text += o.channels == 1 ? ", mono" : ", stereo";
  return text + (o.headerless ? ", headerless" : "");
}

// The output format of the conversion into `c`: a codec's record (kept in `record`) or a sample
// format with the rate and channels asked for.  kExitOk, or the exit code after printing why.
int ChooseOutputFormat(ConvertOptions& o, bool rateGiven, bool channelsGiven, FormatBytes* record,
                       VoxlConvertOptions* c) {
  if (o.formatBytes.empty() && !IsCodecFormat(o.format)) {
    static const std::map<std::string, WORD> kFormats = {
        {"pcm8", 8}, {"pcm16", 16}, {"alaw", 106}, {"mulaw", 107}};
    c->sampleFormat = kFormats.at(o.format);
    c->sampleRate = o.rate;
    c->channels = o.channels;
    return kExitOk;
  }
  if (!o.formatBytes.empty()) {
    const int parsed = ParseFormatBytes(o.formatBytes, record);
    if (parsed != kExitOk) return parsed;
  } else {
    // A codec's standard format is picked for the rate and channels: the input's unless given.
    DWORD rate = 0;
    WORD channels = 0;
    if (!rateGiven || !channelsGiven) {
      const int shaped = InputShape(o, &rate, &channels);
      if (shaped != kExitOk) return shaped;
    }
    if (rateGiven) rate = o.rate;
    if (channelsGiven) channels = o.channels;
    if (!PickStandardFormat(o.format, o.bitrate, rate, channels, record)) return kExitUsage;
    o.rate = rate;
    o.channels = channels;
  }
  c->sampleFormat = 100;
  c->format = reinterpret_cast<const WAVEFORMATEX*>(record->data());
  c->formatSize = static_cast<DWORD>(record->size());
  return kExitOk;
}

int RunConvert(ConvertOptions o, bool rateGiven, bool channelsGiven) {
  const std::string shown = o.in;
  StdinFile input(o.in);
  if (!input.ok()) return kExitFailure;
  const std::string nameProblem = OutNameProblem(o.out);
  if (!nameProblem.empty()) {
    PrintError(nameProblem);
    return kExitUsage;
  }
  struct stat st {};
  if (stat(o.in.c_str(), &st) != 0) {
    PrintError("cannot open " + o.in + ": " + std::strerror(errno));
    return kExitFailure;
  }
  if (o.bitrate > 0 && o.format != "mp3") {
    PrintError("--bitrate is for --format mp3");
    return kExitUsage;
  }
  RawSamples raw;
  if (!ParseOpenOptions(o.open, &raw)) return kExitUsage;
  // A file that begins as an MPEG stream does (a RIFF/WAVE file never does) is read as one.
  if (raw.kind == 0 && S_ISREG(st.st_mode) && LooksLikeMpeg(o.in)) raw.kind = 2;

  VoxlConvertOptions c{};
  c.inputKind = raw.kind;
  c.inputSampleFormat = raw.format;
  c.inputSampleRate = raw.rate;
  c.inputChannels = raw.channels;
  c.outputKind = o.headerless ? 1 : 0;
  FormatBytes record;
  const int chosen = ChooseOutputFormat(o, rateGiven, channelsGiven, &record, &c);
  if (chosen != kExitOk) return chosen;

  Progress progress;
  progress.draw = !o.quiet && isatty(STDERR_FILENO);
  progress.signals = OpenStopSignals();
  c.progress = ShowProgress;
  c.progressContext = &progress;
  const WORD error = VoxlConvertFile(o.in.c_str(), o.out.c_str(), &c);
  if (progress.signals >= 0) close(progress.signals);
  if (progress.shown) std::fprintf(stderr, "\n");
  if (error == VOXL_ERR_CANCELLED && progress.interrupted) {
    PrintError("interrupted; " + o.out + " was not written");
    return kExitFailure;
  }
  if (error != VOXL_ERR_NONE) {
    if (error == VOXL_ERR_FORMAT_UNUSABLE && c.sampleFormat != 100 && o.rate != 0) {
      PrintError("cannot convert into " + Describe(o) + ": the rate " + std::to_string(o.rate) +
                 " Hz is not offered, or " + VoxlErrorText(error));
    } else {
      PrintError(FailureText(error, o, raw.kind));
    }
    return kExitFailure;
  }
  if (!o.quiet) {
    std::fprintf(stderr, "voxl: %s converted into %s (%s)\n", shown.c_str(), o.out.c_str(),
                 Describe(o).c_str());
  }
  return kExitOk;
}

}  // namespace

void AddConvertCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "convert", "Convert a sound file into a new WAVE or headerless file in another format");
  auto o = std::make_shared<ConvertOptions>();
  cmd->add_option("IN", o->in, "The file to convert (RIFF/WAVE, headerless or MPEG audio)")
      ->required();
  cmd->add_option("OUT", o->out, "The file to write (created, or replaced once complete)")
      ->required();
  AddOpenOptions(cmd, o->open);
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
                      "Write in this format: its record in hex, as 'voxl formats' prints it")
          ->type_name("HEX");
  CLI::Option* rate = cmd->add_option("--rate", o->rate, "Sample rate in Hz (default: the input's)")
                          ->check(CLI::Range(1, 0x7FFFFFFF))
                          ->type_name("HZ");
  CLI::Option* channels =
      cmd->add_option("--channels", o->channels, "1 or 2 (default: the input's)")
          ->check(CLI::Range(1, 2));
  bytes->excludes(format)->excludes(bitrate)->excludes(rate)->excludes(channels);
  cmd->add_flag("--headerless", o->headerless, "Write the audio without a WAVE header");
  cmd->add_flag("-q,--quiet", o->quiet, "No progress line and no summary");
  cmd->footer(
      "Without --format the output is 16-bit PCM at the input's rate and channels (two when it\n"
      "has more).  A different rate is made with a windowed-sinc filter; fewer channels take the\n"
      "mean, more repeat.  OUT is written under a temporary name beside it and replaces an\n"
      "existing file only once complete; IN is never written.  Exit status: 0 done, 1 the\n"
      "conversion failed or was interrupted (the reason is printed), 2 a wrong option.");
  cmd->callback([o, rate, channels, &exitCode] {
    exitCode = RunConvert(*o, rate->count() > 0, channels->count() > 0);
  });
}

}  // namespace voxl::cli
