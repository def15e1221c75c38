// The codec drivers behind the codec manager.
//
// A driver converts between PCM and one format tag (the PCM converter between two PCM formats).
// It says once what it accepts (Accepts), what it offers (its standard formats, in the order the
// chooser and `voxl formats` list them), how it describes a format in words, and opens streams.
// The manager (acm_manager.cpp) owns the handles, the headers and the flags' bookkeeping; a
// driver sees only formats and buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/acm/acm.h"

namespace voxl::acm {

// The buffers of one conversion.  The codec reads at most srcBytes from src and writes at most
// dstBytes to dst, and reports what it took (srcUsed) and wrote (dstUsed).
struct ConvertIo {
  const uint8_t* src = nullptr;
  uint32_t srcBytes = 0;
  uint32_t srcUsed = 0;
  uint8_t* dst = nullptr;
  uint32_t dstBytes = 0;
  uint32_t dstUsed = 0;
};

// One open conversion: the state a codec keeps between calls (predictors, library handles,
// samples held back).
//
// Flags of Convert:
// - ACM_STREAMCONVERTF_START: the stream starts anew; state from earlier calls is forgotten.
// - ACM_STREAMCONVERTF_BLOCKALIGN: only whole source blocks are taken (a block codec's encoder
//   takes whole blocks of samplesPerBlock frames, its decoder whole nBlockAlign blocks); what is
//   left stays with the caller.  Without it, a block codec takes everything it can.
// - ACM_STREAMCONVERTF_END: the stream ends with this call: an encoder encodes the last partial
//   block (padded with silence) and gives everything it held back; a decoder gives everything it
//   held back.  END takes precedence over BLOCKALIGN for the last partial block.
// The output of one call never exceeds MaxOutputBytes(srcBytes) plus what END flushes; when the
// destination is too small, the codec takes less source rather than losing output.
class CodecStream {
 public:
  virtual ~CodecStream() = default;
  // The largest output `sourceBytes` of input can give (ACM_STREAMSIZEF_SOURCE); 0 when none.
  virtual uint32_t MaxOutputBytes(uint32_t sourceBytes) const = 0;
  // The source bytes needed to give `outputBytes` of output (ACM_STREAMSIZEF_DESTINATION).
  virtual uint32_t SourceBytesFor(uint32_t outputBytes) const = 0;
  // MMSYSERR_NOERROR, or an MMSYSERR_* code when the codec itself failed.
  virtual MMRESULT Convert(ConvertIo& io, DWORD flags) = 0;
};

struct CodecDriver {
  WORD formatTag;
  const char* tagName;       // szFormatTag, e.g. "IMA ADPCM"
  DWORD largestFormatBytes;  // 18 + the largest cbSize of the tag's formats
  DWORD support;             // ACMDRIVERDETAILS_SUPPORTF_CODEC or _CONVERTER
  // Number of standard formats, and format `index` of them written to `out` (`capacity` bytes;
  // false when it does not fit or index is past the end).
  DWORD (*StandardFormatCount)();
  bool (*StandardFormat)(DWORD index, WAVEFORMATEX* out, DWORD capacity);
  // Whether `format`, of which `size` bytes are readable, is a record of this tag the driver can
  // convert: every field in range and 18 + cbSize <= size.  Never reads past `size`.
  bool (*Accepts)(const WAVEFORMATEX* format, DWORD size);
  // szFormat of an accepted format: rate, bits, channels and what else tells it apart.
  void (*Describe)(const WAVEFORMATEX* format, char* text, size_t capacity);
  // The PCM format (same rate and channels) an accepted format decodes to and encodes from.
  void (*PcmCounterpart)(const WAVEFORMATEX* format, WAVEFORMATEX* pcm);
  // The format of this tag the driver would encode `pcm` into, written to `out` (`capacity`
  // bytes); false when it offers none for that rate and channel count.
  bool (*SuggestFromPcm)(const WAVEFORMATEX* pcm, WAVEFORMATEX* out, DWORD capacity);
  // A conversion from `source` to `dest` (both accepted by the manager's checks: one of them is
  // this driver's tag, the other PCM), or null when the driver does not convert that pair.
  std::unique_ptr<CodecStream> (*Open)(const WAVEFORMATEX* source, const WAVEFORMATEX* dest);
};

// The drivers, one per codec folder.
extern const CodecDriver kPcmDriver;         // pcm/
extern const CodecDriver kFloatDriver;       // pcm/
extern const CodecDriver kExtensibleDriver;  // pcm/
extern const CodecDriver kALawDriver;        // g711/
extern const CodecDriver kMuLawDriver;       // g711/
extern const CodecDriver kImaAdpcmDriver;    // ima_adpcm/
extern const CodecDriver kMsAdpcmDriver;     // ms_adpcm/
extern const CodecDriver kGsm610Driver;      // gsm610/
extern const CodecDriver kMpegLayer3Driver;  // mp3/

// "libmp3lame 3.100, libmpg123 (interface 47), libgsm 1.0.22": the codec libraries built in.
const char* CodecLibraryVersions();

// The drivers, in the order the chooser and `voxl formats` list them.
std::span<const CodecDriver* const> Drivers();
// The common start of every szFormat: "44100 Hz, 16 Bit, Stereo" (rate without separators,
// wBitsPerSample, "Mono", "Stereo" or "N Channels").  A codec appends what tells its formats
// apart after ", " (e.g. ", 128 kbit/s").
void DescribeBasics(const WAVEFORMATEX* format, char* text, size_t capacity);
// 16-bit PCM of the rate and channels of `format`: what every codec decodes to and encodes from.
void Pcm16Counterpart(const WAVEFORMATEX* format, WAVEFORMATEX* pcm);
// The driver of `tag`, or null.
const CodecDriver* DriverForTag(WORD tag);

// Fault injection for the tests of the conversion set: the call of `kind` after `callsBefore`
// further calls of that kind (whatever they answer; queries count) fails once with
// MMSYSERR_NOMEM, before it looks at its arguments.  Details covers both acmFormatTagDetailsA
// and acmFormatDetailsA.  Lift clears it.
enum class Call { StreamOpen, StreamSize, PrepareHeader, FormatSuggest, Metrics, Details };
void FailCallForTesting(Call kind, int callsBefore);
void LiftFaultsForTesting();
// Streams open and headers prepared right now, to show that a failure released what it took.
int OpenStreamsForTesting();
int PreparedHeadersForTesting();

}  // namespace voxl::acm
