// The chosen target format and the conversion set: the codec manager's encode stream (device
// PCM to the file format) and decode stream (file format to device PCM), each with one header
// and its two buffers of one conversion block (100 ms of PCM).
//
// The set is built once per file (SetUpConversion), its streams are opened and closed around
// every run (Open/CloseConversionStreams), and it is freed when the file closes
// (ReleaseConversion).  The codec manager chooses the drivers: no driver handle, filter or
// callback is ever given.
#include "formats/conversion.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "formats/pcm_format.h"
#include "platform/wave/wave.h"

namespace voxl {
namespace {

constexpr int32_t kFormatBytes = sizeof(WAVEFORMATEX);  // 18

// Whether `format` lies inside the `size` bytes it is given in: the 18 bytes of the record and,
// unless it is PCM (whose cbSize nothing reads), the extra bytes it announces.  Records are
// never read further than that, by us or by the codec manager.
bool FormatFits(const WAVEFORMATEX& format, int32_t size) {
  if (size < kFormatBytes) return false;
  return format.wFormatTag == WAVE_FORMAT_PCM || int64_t{kFormatBytes} + format.cbSize <= size;
}

// The PCM format for `format` when the codec manager suggests none: 16 bits with the format's
// channels and rate.  False when those would not fit the record's fields.
bool FallbackPcm(const WAVEFORMATEX& format, WAVEFORMATEX& pcm) {
  const uint64_t align = 2ull * format.nChannels;
  const uint64_t perSecond = align * format.nSamplesPerSec;
  if (align > 0xFFFFu || perSecond > 0xFFFFFFFFu) return false;
  pcm = WAVEFORMATEX{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.nChannels = format.nChannels;
  pcm.nSamplesPerSec = format.nSamplesPerSec;
  pcm.wBitsPerSample = 16;
  pcm.nBlockAlign = static_cast<WORD>(align);
  pcm.nAvgBytesPerSec = static_cast<DWORD>(perSecond);
  pcm.cbSize = 0;
  return true;
}

// A query of the codec manager for a conversion from `source` to `dest`.
bool ConversionPossible(const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  return acmStreamOpen(nullptr, nullptr, const_cast<LPWAVEFORMATEX>(source),
                       const_cast<LPWAVEFORMATEX>(dest), nullptr, 0, 0,
                       ACM_STREAMOPENF_QUERY) == MMSYSERR_NOERROR;
}

bool OpenStream(HACMSTREAM* stream, const WAVEFORMATEX* source, const WAVEFORMATEX* dest) {
  *stream = nullptr;
  const MMRESULT result = acmStreamOpen(stream, nullptr, const_cast<LPWAVEFORMATEX>(source),
                                        const_cast<LPWAVEFORMATEX>(dest), nullptr, 0, 0, 0);
  if (result != MMSYSERR_NOERROR) *stream = nullptr;
  return result == MMSYSERR_NOERROR;
}

void CloseStream(HACMSTREAM* stream) {
  if (*stream != nullptr) acmStreamClose(*stream, 0);
  *stream = nullptr;
}

void FreeBuffers(ACMSTREAMHEADER& header) {
  std::free(header.pbSrc);
  std::free(header.pbDst);
  header.pbSrc = nullptr;
  header.pbDst = nullptr;
}

// acmStreamSize rounded up to whole blocks of the file format; false when the codec manager
// gives no size, or none that a buffer can have.
bool BlockSize(HACMSTREAM stream, uint32_t input, DWORD flags, uint16_t blockAlign,
               uint32_t& bytes) {
  DWORD size = 0;
  if (acmStreamSize(stream, input, &size, flags) != MMSYSERR_NOERROR || size == 0) return false;
  const uint64_t rounded = RoundUpToBlockAlign(size, blockAlign);
  if (rounded > 0xFFFFFFFFu) return false;
  bytes = static_cast<uint32_t>(rounded);
  return true;
}

// Fresh source and destination buffers of the given sizes in a header cleared before; false
// (with neither kept) when memory runs out.
bool AllocateBuffers(ACMSTREAMHEADER& header, uint32_t sourceBytes, uint32_t destBytes) {
  header.cbSrcLength = sourceBytes;
  header.cbDstLength = destBytes;
  header.pbSrc = static_cast<BYTE*>(std::malloc(sourceBytes));
  header.pbDst = static_cast<BYTE*>(std::malloc(destBytes));
  if (header.pbSrc != nullptr && header.pbDst != nullptr) return true;
  FreeBuffers(header);
  return false;
}

bool Prepare(HACMSTREAM stream, ACMSTREAMHEADER& header) {
  return acmStreamPrepareHeader(stream, &header, 0) == MMSYSERR_NOERROR;
}

// Sample frames per block of a file format.  The ADPCM and GSM formats state it in the word that
// follows the record; their byte rate is rounded to whole bytes per second, so the ratio of rate
// to byte rate would drift from it by a fraction of a frame on every block (a second in half an
// hour of IMA ADPCM at 22050 Hz).  Other formats (MPEG Layer-3) have no such word: there it is
// the rate over the byte rate times the block size.
double SamplesPerFileBlock(const WAVEFORMATEX& file, int32_t fileBytes) {
  // Linear samples: one frame per block, exactly (the ratio below may miss 1 by a rounding).
  if (IsLinearLayout(file, static_cast<size_t>(fileBytes))) return 1.0;
  const bool statesIt = file.wFormatTag == WAVE_FORMAT_IMA_ADPCM ||
                        file.wFormatTag == WAVE_FORMAT_ADPCM ||
                        file.wFormatTag == WAVE_FORMAT_GSM610;
  if (statesIt && file.cbSize >= 2 && fileBytes >= static_cast<int32_t>(sizeof(WAVEFORMATEX)) + 2) {
    uint16_t word = 0;
    std::memcpy(&word, reinterpret_cast<const uint8_t*>(&file) + sizeof(WAVEFORMATEX), 2);
    if (word > 0) return word;
  }
  return static_cast<double>(file.nSamplesPerSec) / static_cast<double>(file.nAvgBytesPerSec) *
         static_cast<double>(file.nBlockAlign);
}

// The longest codec block a conversion block grows to, in seconds of audio.
constexpr double kMaxBlockSeconds = 10.0;

// One conversion block of device PCM: a tenth of a second, or, when one block of the file
// format holds more than that, the frames of that block, so that every conversion has a whole
// codec block to work on (otherwise a decoder has no room for one block's output and an encoder
// never receives a whole block).  0 when a block would hold more than kMaxBlockSeconds.
uint32_t ConversionBlockBytes(const WAVEFORMATEX& pcm, double framesPerBlock) {
  const uint32_t tenth = TenthOfASecondBytes(pcm);
  if (!std::isfinite(framesPerBlock) || framesPerBlock <= 0.0) return tenth;
  const double blockFrames = std::ceil(framesPerBlock);
  if (blockFrames * pcm.nBlockAlign <= tenth) return tenth;
  if (blockFrames > kMaxBlockSeconds * pcm.nSamplesPerSec) return 0;
  return static_cast<uint32_t>(blockFrames) * pcm.nBlockAlign;
}

}  // namespace

uint64_t RoundUpToBlockAlign(uint64_t bytes, uint16_t blockAlign) {
  if (blockAlign == 0) return bytes;
  return (bytes + blockAlign - 1) / blockAlign * blockAlign;
}

uint32_t SetTargetFormat(Recorder& r, const WAVEFORMATEX* format, int32_t size,
                         bool testConversion) {
  if (format == nullptr || !FormatFits(*format, size)) return kRefused;

  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  pcm.cbSize = 0;
  if (acmFormatSuggest(nullptr, const_cast<LPWAVEFORMATEX>(format), &pcm, sizeof pcm,
                       ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR &&
      !FallbackPcm(*format, pcm)) {
    return kRefused;
  }
  // The format is usable only on a machine that can both record and play its PCM counterpart.
  if (waveInOpen(nullptr, static_cast<UINT>(r.inputDevice.load()), &pcm, 0, 0, WAVE_FORMAT_QUERY) !=
          MMSYSERR_NOERROR ||
      waveOutOpen(nullptr, static_cast<UINT>(r.outputDevice.load()), &pcm, 0, 0,
                  WAVE_FORMAT_QUERY) != MMSYSERR_NOERROR) {
    return kRefused;
  }
  if (testConversion && (!ConversionPossible(format, &pcm) || !ConversionPossible(&pcm, format))) {
    return kRefused;
  }
  if (format->nAvgBytesPerSec == 0 || format->nBlockAlign == 0 || format->nChannels == 0 ||
      format->nSamplesPerSec == 0) {
    return kRefused;
  }

  // The buffer only grows: a smaller format goes to its start and the bytes behind it stay.
  if (r.chosenFormat == nullptr || size > r.chosenFormatSize) {
    auto* grown = static_cast<WAVEFORMATEX*>(std::malloc(static_cast<size_t>(size)));
    if (grown == nullptr) return kRefused;
    std::memcpy(grown, format, static_cast<size_t>(size));
    std::free(r.chosenFormat);
    r.chosenFormat = grown;
    r.chosenFormatSize = size;
  } else if (format != r.chosenFormat) {
    std::memmove(r.chosenFormat, format, static_cast<size_t>(size));
  }
  r.suggestedPcmFormat = pcm;
  return kAccepted;
}

uint32_t ApplyTargetFormat(Recorder& r, const WAVEFORMATEX* format, int32_t size) {
  if (SetTargetFormat(r, format, size, true) != kAccepted) return kRefused;
  r.channels = r.chosenFormat->nChannels;
  r.sampleRate = r.chosenFormat->nSamplesPerSec;
  return kAccepted;
}

void SetUpConversion(Recorder& r, uint16_t* error) {
  if (r.chosenFormat == nullptr || static_cast<uint32_t>(r.chosenFormatSize) < kFormatBytes) {
    ReportError(r, error, ErrNoTargetFormat);
    return;
  }
  const auto refuse = [&] { ReportError(r, error, ErrFormatUnusable); };
  if (ApplyTargetFormat(r, r.chosenFormat, r.chosenFormatSize) != kAccepted) return refuse();

  // The file's copy of the format.  A PCM target carries no extra bytes, and its sample width
  // follows from its byte rate.
  const WAVEFORMATEX& chosen = *r.chosenFormat;
  const bool pcmTarget = chosen.wFormatTag == WAVE_FORMAT_PCM;
  if (!FormatFits(chosen, r.chosenFormatSize)) return refuse();
  std::free(r.fileFormat);
  r.fileFormatSize = pcmTarget ? kFormatBytes : kFormatBytes + chosen.cbSize;
  r.fileFormat = static_cast<WAVEFORMATEX*>(std::malloc(static_cast<size_t>(r.fileFormatSize)));
  if (r.fileFormat == nullptr) {
    r.fileFormatSize = 0;
    return refuse();
  }
  std::memcpy(r.fileFormat, &chosen, static_cast<size_t>(r.fileFormatSize));
  WAVEFORMATEX& file = *r.fileFormat;
  if (pcmTarget) {
    file.cbSize = 0;
    const uint64_t bytesPerFrame =
        file.nAvgBytesPerSec / (uint64_t{file.nChannels} * file.nSamplesPerSec);
    file.wBitsPerSample = static_cast<WORD>(bytesPerFrame * 8);
  }
  r.pcmFormat = r.suggestedPcmFormat;

  const bool encodes = r.readOnly == 0;
  if (!OpenStream(&r.decodeStream, r.fileFormat, &r.pcmFormat)) return refuse();
  if (encodes && !OpenStream(&r.encodeStream, &r.pcmFormat, r.fileFormat)) {
    CloseStream(&r.decodeStream);
    return refuse();
  }
  const auto closeAndRefuse = [&] {
    if (encodes) CloseStream(&r.encodeStream);
    CloseStream(&r.decodeStream);
    refuse();
  };

  r.pcmBlockBytes =
      ConversionBlockBytes(r.pcmFormat, SamplesPerFileBlock(*r.fileFormat, r.fileFormatSize));
  if (r.pcmBlockBytes == 0) return closeAndRefuse();
  if (encodes && !BlockSize(r.encodeStream, r.pcmBlockBytes, ACM_STREAMSIZEF_SOURCE,
                            file.nBlockAlign, r.encodedBlockBytes)) {
    return closeAndRefuse();
  }
  if (!BlockSize(r.decodeStream, r.pcmBlockBytes, ACM_STREAMSIZEF_DESTINATION, file.nBlockAlign,
                 r.decodeSourceBytes)) {
    return closeAndRefuse();
  }

  r.encodeHeader = ACMSTREAMHEADER{};
  r.decodeHeader = ACMSTREAMHEADER{};
  r.encodeHeader.cbStruct = sizeof(ACMSTREAMHEADER);
  r.decodeHeader.cbStruct = sizeof(ACMSTREAMHEADER);
  if (encodes) {
    if (!AllocateBuffers(r.encodeHeader, r.pcmBlockBytes, r.encodedBlockBytes)) {
      return closeAndRefuse();
    }
    if (!Prepare(r.encodeStream, r.encodeHeader)) {
      FreeBuffers(r.encodeHeader);
      return closeAndRefuse();
    }
  }
  if (!AllocateBuffers(r.decodeHeader, r.decodeSourceBytes, r.pcmBlockBytes) ||
      !Prepare(r.decodeStream, r.decodeHeader)) {
    FreeBuffers(r.decodeHeader);
    if (encodes) {
      acmStreamUnprepareHeader(r.encodeStream, &r.encodeHeader, 0);
      FreeBuffers(r.encodeHeader);
    }
    return closeAndRefuse();
  }

  r.samplesPerBlock = SamplesPerFileBlock(*r.fileFormat, r.fileFormatSize);
  r.compressed = 1;
  CloseConversionStreams(r);
}

void OpenConversionStreams(Recorder& r) {
  if (r.compressed == 0) return;
  OpenStream(&r.decodeStream, r.fileFormat, &r.pcmFormat);
  r.decodeHeader.cbSrcLength = r.decodeSourceBytes;
  r.decodeHeader.cbDstLength = r.pcmBlockBytes;
  Prepare(r.decodeStream, r.decodeHeader);
  if (r.readOnly != 0) return;
  OpenStream(&r.encodeStream, &r.pcmFormat, r.fileFormat);
  r.encodeHeader.cbSrcLength = r.pcmBlockBytes;
  r.encodeHeader.cbDstLength = r.encodedBlockBytes;
  Prepare(r.encodeStream, r.encodeHeader);
}

void CloseConversionStreams(Recorder& r) {
  if (r.compressed == 0) return;
  if (r.readOnly == 0) {
    if (r.encodeStream != nullptr) acmStreamUnprepareHeader(r.encodeStream, &r.encodeHeader, 0);
    CloseStream(&r.encodeStream);
  }
  if (r.decodeStream != nullptr) acmStreamUnprepareHeader(r.decodeStream, &r.decodeHeader, 0);
  CloseStream(&r.decodeStream);
}

void ReleaseConversion(Recorder& r) {
  if (r.compressed == 0) return;
  FreeBuffers(r.decodeHeader);
  FreeBuffers(r.encodeHeader);  // none were taken while readOnly is set
  r.compressed = 0;
}

bool LengthIsFramesRecorded(const Recorder& r) {
  return r.compressed.load() != 0 && r.fileFormatSize > 0 &&
         MpegLayer3StatedDelay(r.fileFormat, static_cast<size_t>(r.fileFormatSize)) > 0;
}

}  // namespace voxl
