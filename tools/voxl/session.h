// What every voxl command shares: the recorder it makes, a file opened for reading, names
// between UTF-8 and BSTR, the device an option names, the run loop over the host message queue
// and the stop signals, the format records of the codecs, and one-line errors.  The cmd_*.cpp
// files use these and define none of them.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "voxl310k.h"

namespace voxl::cli {

// Exit codes of voxl.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the operation failed (device, file, format)
constexpr int kExitUsage = 2;    // the command line is wrong

// Prints "voxl: <message>" as one line on stderr.
void PrintError(const std::string& message);

// --- The recorder and its files ---

// A new recorder, or null after printing why none could be made.  `filesOnly`: for commands that
// touch no sound device (the default input device is not asked at creation).
VoxlRecorder* NewRecorder(bool filesOnly = false);

// How an existing file is read: RIFF/WAVE by default, headerless samples (--raw
// FORMAT,RATE,CHANNELS), behind a header (--header-bytes N) or an MPEG Layer-3 stream (--mpeg).
struct OpenOptions {
  std::string raw;
  bool mpeg = false;
  long headerBytes = 0;
  bool writable = false;  // opened for editing instead of read-only
};
void AddOpenOptions(CLI::App* cmd, OpenOptions& o);

// The file kind the open options give (as SetFileKind takes it) and, with --raw, the samples'
// format (8, 16, 106, 107), rate and channels.  False, with the error printed, for a --raw that
// does not parse.
struct RawSamples {
  SHORT kind = 0;
  WORD format = 16;
  DWORD rate = 44100;
  WORD channels = 2;
};
bool ParseOpenOptions(const OpenOptions& o, RawSamples* raw);
// Whether `path` begins as an MPEG audio stream does: an ID3v2 tag, or a frame sync.
bool LooksLikeMpeg(const std::string& path);
// Opens `file` on the idle recorder as `o` says (read-only unless o.writable).  kExitOk, or the
// exit code after printing why.
int OpenForReading(VoxlRecorder* rec, const std::string& file, const OpenOptions& o);

// "-" as a file name: standard input, copied into a temporary file (the recorder reads files
// by name, and seeks in them) that goes when the object does.  Any other name stays as it is.
class StdinFile {
 public:
  // Replaces `name` by the temporary file's when it is "-"; ok() is false (the reason printed)
  // when standard input could not be copied.
  explicit StdinFile(std::string& name);
  ~StdinFile();
  StdinFile(const StdinFile&) = delete;
  StdinFile& operator=(const StdinFile&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = true;
};

// UTF-8 text as a new BSTR (null when it is not valid UTF-8), and a BSTR as UTF-8 text.
BSTR WideName(const std::string& text);
std::string NarrowName(BSTR wide);
// The device for --device: a number (-1 = the default device) or a name as 'voxl devices'
// prints it, among the output devices or the input devices.  False, with the error printed,
// when none matches.
bool ResolveDevice(VoxlRecorder* rec, bool output, const std::string& wanted, LONG* device);

// Why OUT cannot name the file to write (empty, or not valid UTF-8); empty when it can.
std::string OutNameProblem(const std::string& out);
// The system's reason why `path` cannot be created or written (a missing or read-only folder,
// no permission, a folder in its place); empty when none shows.
std::string CreateProblem(const std::string& path);

// --- The run loop ---

// Dispatches every host message waiting on this thread's queue: blocks, levels, dropouts and the
// end of a run reach their window procedure or callback here.
void PumpMessages();

// The loop of a command that runs until its work is done or it is stopped: it pumps the message
// queue, lets the command look at where things stand, and waits (a tenth of a second at most)
// for the next message, a stop signal (Ctrl-C, SIGTERM) or the keyboard.
class RunLoop {
 public:
  enum class End {
    Done,         // the step said the work is over
    Interrupted,  // a stop signal came, or the keys handler asked to stop
    Failed,       // waiting failed; errno says why
  };
  // Watches the stop signals from now on (see OpenStopSignals); ok() is false, the reason
  // printed, when they cannot be watched.  Make it before the recorder starts its threads.
  RunLoop();
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  bool ok() const { return signals_ >= 0; }

  // Repeats: pump the messages, then `step` (false: the work is over); wait.  `keys`, when not
  // -1, is watched too and `onKeys` called when it is readable (false: stop, as a signal does).
  End Run(const std::function<bool()>& step, int keys = -1,
          const std::function<bool()>& onKeys = {});
  // Pumps the messages until `done` or `seconds` have passed: the end of a stopped run comes as
  // a message.
  void Drain(const std::function<bool()>& done, double seconds);

 private:
  int signals_ = -1;
};

// Seconds as m:ss.cc, e.g. "0:01.52" (h:mm:ss.cc from an hour on).
std::string PositionText(double seconds);

// The length of the open recording in frames: GetLength, or, for a file longer than the
// 4294967295 frames it stops at (RF64), its exact length in seconds at the recording's rate.
uint64_t LengthFrames(VoxlRecorder* rec);

// The dropouts of a run: audio the input device never delivered.  Each is told as it is found,
// "dropout at 0:01.52, 1004 ms" (its place in the recording and how long it lasted), and the
// summary counts them.
struct DropoutCount {
  uint64_t count = 0;
  uint64_t missingFrames = 0;
  // Adds a dropout of `frames` missing before frame `position` at `rate`; its line.
  std::string Add(uint64_t position, uint64_t frames, DWORD rate);
  // "" without dropouts, else e.g. "; 2 dropouts, 1.3 s missing".
  std::string Summary(DWORD rate) const;
};

// --- Format records ---

// A format record with its extra bytes.
using FormatBytes = std::vector<uint8_t>;
// A standard format of a codec and its description, "tag name: details".
struct StandardFormat {
  FormatBytes bytes;
  std::string text;
};

// The format tag that `text` names: a number (0x55, 85) or one of TagNameList(); false when it
// names none.
bool ParseFormatTag(const std::string& text, WORD* tag);
// "pcm|adpcm|alaw|mulaw|ima|gsm|mp3".
std::string TagNameList();
// A tag as "0x0055".
std::string TagText(WORD tag);
// The codec's name and its standard formats, in the codec's order; false when no codec of the
// codec manager handles `tag`.
bool StandardFormats(WORD tag, std::string* tagName, std::vector<StandardFormat>* formats);
// The format options of record and convert.  Whether --format names a codec (mp3, ima, adpcm,
// gsm) rather than a sample format (pcm8, pcm16, alaw, mulaw).
bool IsCodecFormat(const std::string& format);
// The codec's format tag of a --format that names a codec.
WORD CodecTag(const std::string& format);
// The standard format of that codec for the rate, channels and bitrate (kbit/s of mp3, 0 = 128)
// asked for.  False, with the error printed, when the codec offers none.
bool PickStandardFormat(const std::string& format, int bitrate, DWORD rate, WORD channels,
                        FormatBytes* record);
// The record --format-bytes gives.  kExitOk, or kExitUsage after printing why.
int ParseFormatBytes(const std::string& text, FormatBytes* record);
// "mono", "stereo" or "N channels".
std::string ChannelText(WORD channels);

// Bytes as lower-case hex without spaces, and back (false for anything but pairs of hex digits).
std::string HexText(const FormatBytes& bytes);
bool ParseHex(const std::string& text, FormatBytes* bytes);

// The fields of a "fmt " record as a file gives them, whatever the recorder makes of it.
struct HeaderFields {
  uint16_t tag = 0, subTag = 0, channels = 0, blockAlign = 0, bits = 0;
  uint32_t rate = 0, bytesPerSecond = 0;
};
// The chunks of a RIFF/WAVE file as they lie on disk.  In an RF64 file (rf64) the form and data
// sizes and the sample count are the 64-bit ones of its "ds64" chunk wherever the 32-bit field
// says 0xFFFFFFFF.
struct RiffLayout {
  bool wave = false;
  bool rf64 = false;
  uint64_t dataOffset = 0;
  uint64_t dataSize = 0;  // the bytes present, at most what the chunk declares
  uint64_t declared = 0;
  bool hasData = false;
  std::optional<uint64_t> fact;
  uint64_t contentEnd = 0;            // behind the RIFF form, or the data, whichever ends later
  std::vector<unsigned char> format;  // the first "fmt " chunk's content, at most 40 bytes
};
RiffLayout ReadRiffLayout(const std::string& path, uint64_t fileSize);
// Nothing when the record is shorter than the 16 bytes every "fmt " holds.
std::optional<HeaderFields> ParseHeader(const std::vector<unsigned char>& record);
// "32-bit float, 6 channels, 48000 Hz", "IMA ADPCM (tag 0x0011), mono, 8000 Hz".
std::string HeaderWords(const HeaderFields& h);

// --- Messages and options ---

// The meaning of a wave device result, e.g. "the device is already in use (MMSYSERR_ALLOCATED)".
std::string WaveErrorText(MMRESULT result);
// `text` as a JSON string, quotes included.
std::string JsonString(const std::string& text);

// Checks of duration and level options: the value must be a finite number (never nan or inf)
// within the range, which the error names in words, e.g. "seconds, 0 or more".
CLI::Validator SecondsOption();  // 0 or more
CLI::Validator DecibelOption();  // 0 or below, within what a FLOAT holds

}  // namespace voxl::cli
