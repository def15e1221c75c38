// The subcommands of voxl.  Each lives in its own cmd_<name>.cpp and adds itself to the
// application with Add<Name>Command; its callback runs the command and stores the process exit
// code.  Errors go to stderr as one line starting with "voxl: ".
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "voxl310k.h"

namespace voxl::cli {

// Exit codes of voxl.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the operation failed (device, file, format)
constexpr int kExitUsage = 2;    // the command line is wrong

void AddDevicesCommand(CLI::App& app, int& exitCode);
void AddStreamCommand(CLI::App& app, int& exitCode);
void AddRecordCommand(CLI::App& app, int& exitCode);
void AddFormatsCommand(CLI::App& app, int& exitCode);
void AddInfoCommand(CLI::App& app, int& exitCode);
void AddPlayCommand(CLI::App& app, int& exitCode);
void AddEditCommands(CLI::App& app, int& exitCode);  // cut, compact
void AddConvertCommand(CLI::App& app, int& exitCode);

// How an existing file is read: RIFF/WAVE by default, headerless samples (--raw
// FORMAT,RATE,CHANNELS), behind a header (--header-bytes N) or an MPEG Layer-3 stream (--mpeg).
struct OpenOptions {
  std::string raw;
  bool mpeg = false;
  long headerBytes = 0;
  bool writable = false;  // opened for editing instead of read-only
};
void AddOpenOptions(CLI::App* cmd, OpenOptions& o);
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
// A new recorder, or null after printing why none could be made.  `filesOnly`: for commands that
// touch no sound device (the default input device is not asked at creation).
VoxlRecorder* NewRecorder(bool filesOnly = false);
// Opens `file` on the idle recorder as `o` says (read-only unless o.writable).  kExitOk, or the
// exit code after printing why.
int OpenForReading(VoxlRecorder* rec, const std::string& file, const OpenOptions& o);
// UTF-8 text as a new BSTR (null when it is not valid UTF-8), and a BSTR as UTF-8 text.
BSTR WideName(const std::string& text);
std::string NarrowName(BSTR wide);
// The device for --device: a number (-1 = the default device) or a name as 'voxl devices'
// prints it, among the output devices or the input devices.  False, with the error printed,
// when none matches.
bool ResolveDevice(VoxlRecorder* rec, bool output, const std::string& wanted, LONG* device);

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
// The standard format of that codec for the rate, channels and bitrate (kbit/s of mp3, 0 = 128)
// asked for.  False, with the error printed, when the codec offers none.
bool PickStandardFormat(const std::string& format, int bitrate, DWORD rate, WORD channels,
                        FormatBytes* record);
// The record --format-bytes gives.  kExitOk, or kExitUsage after printing why.
int ParseFormatBytes(const std::string& text, FormatBytes* record);

// Bytes as lower-case hex without spaces, and back (false for anything but pairs of hex digits).
std::string HexText(const FormatBytes& bytes);
bool ParseHex(const std::string& text, FormatBytes* bytes);

// The meaning of a wave device result, e.g. "the device is already in use (MMSYSERR_ALLOCATED)".
std::string WaveErrorText(MMRESULT result);

// `text` as a JSON string, quotes included.
std::string JsonString(const std::string& text);

// Prints "voxl: <message>" as one line on stderr.
void PrintError(const std::string& message);

// Checks of duration and level options: the value must be a finite number (never nan or inf)
// within the range, which the error names in words, e.g. "seconds, 0 or more".
CLI::Validator SecondsOption();  // 0 or more
CLI::Validator DecibelOption();  // 0 or below, within what a FLOAT holds

// Why OUT cannot name the file to write (empty, or not valid UTF-8); empty when it can.
std::string OutNameProblem(const std::string& out);

// The system's reason why `path` cannot be created or written (a missing or read-only folder,
// no permission, a folder in its place); empty when none shows.
std::string CreateProblem(const std::string& path);

}  // namespace voxl::cli
