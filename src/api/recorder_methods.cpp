// The recorder's method table: property accessors with their range and state checks, the
// position, length and seconds conversions, the error register, and the transport and file slots,
// which hand over to the engine's host side (engine/transport.h) and the recording targets
// (wavefile/recording_file.h).
//
// Ranges are checked as signed numbers of the argument's own width.  Floating-point values are
// compared in double precision; a value that is not a number is refused wherever it would be
// kept.
#include "api/recorder_methods.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "api/strings_util.h"
#include "engine/capture_internal.h"
#include "engine/transport.h"
#include "wavefile/recording_file.h"

namespace voxl {
namespace {

Recorder& Self(VoxlRecorder* self) {
  return *FromHost(self);
}

template <class Out, class Value>
HRESULT Give(Out* out, Value value) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<Out>(value);
  return kAccepted;
}

bool StateIsCreatedOrIdle(const Recorder& r) {
  const uint16_t state = r.state.load();
  return state == StateCreated || state == StateIdle;
}

// Both are false for NaN.
bool AtLeastZero(double value) {
  return value >= 0.0;
}
bool AtMostZero(double value) {
  return value <= 0.0;
}

// Frames for a duration at `hertz`, rounded to nearest; durations past what 32 bits hold give
// the largest count instead of wrapping.
uint32_t FramesOf(double seconds, uint32_t hertz) {
  const double frames = static_cast<double>(hertz) * seconds + 0.5;
  if (!(frames < static_cast<double>(std::numeric_limits<uint32_t>::max()))) {
    return std::numeric_limits<uint32_t>::max();
  }
  return static_cast<uint32_t>(frames);
}

// Whether a marker tone of `seconds` (at least 0) can be stored in recordings of the current
// format: its frames at the current rate (rounded to nearest) fit a 32-bit count, and its bytes
// fit the data of a RIFF file.  A compressed tone is counted at its format's average byte rate
// (by its frames alone while no compressed format is known).
bool ToneFits(const Recorder& r, double seconds) {
  const double frames = std::floor(seconds * r.sampleRate + 0.5);
  if (!(frames <= static_cast<double>(std::numeric_limits<uint32_t>::max()))) return false;
  double bytes = frames * r.channels * (r.sampleFormat == 16 ? 2 : 1);
  if (r.sampleFormat == 100) {
    const WAVEFORMATEX* format = r.fileFormat != nullptr ? r.fileFormat : r.chosenFormat;
    bytes = format != nullptr ? seconds * format->nAvgBytesPerSec : 0.0;
  }
  return bytes <= static_cast<double>(kMaxDataEnd);
}

void ApplyMaxLengthSeconds(Recorder& r, double seconds) {
  r.maxLengthSeconds = seconds;
  r.maxLengthSamples = FramesOf(seconds, r.sampleRate);
}

// Rate of the seconds conversions: the file format's when the recording is compressed, else
// the device format's.  0 when neither is known yet (nothing open).
uint32_t ConversionRate(const Recorder& r) {
  if (r.compressed.load() != 0) {
    return r.fileFormat != nullptr ? r.fileFormat->nSamplesPerSec : 0;
  }
  return r.pcmFormat.nSamplesPerSec;
}

uint32_t CurrentLength(const Recorder& r) {
  const uint16_t state = r.state.load();
  return (state == StateOpen || state == StateRecording || state == StatePlaying) ? r.length.load()
                                                                                  : 0;
}

double FramesToSeconds(int64_t frames, uint32_t hertz) {
  if (frames < 1 || hertz == 0) return 0.0;
  return static_cast<double>(frames) / static_cast<double>(hertz);
}

void MovePosition(Recorder& r, int32_t frames) {
  const uint16_t state = r.state.load();
  const bool acts = r.insertMode.load() != 0
                        ? (state == StateOpen || state == StatePlaying)
                        : (state == StateOpen || state == StateRecording || state == StatePlaying);
  if (!acts) return;

  // Positions are 32-bit signed: a length past that range is reachable only up to its end.
  const int64_t length = std::min<int64_t>(r.length.load(), std::numeric_limits<int32_t>::max());
  int64_t target = frames;
  if (target < 0 || target > length) target = length;
  const double perBlock = r.samplesPerBlock;
  if (r.compressed.load() != 0 && perBlock >= 1.0 && std::isfinite(perBlock)) {
    // Compressed data is read and written in whole blocks.  A block size below one frame (or
    // not a number) cannot be snapped to and is left out.
    target =
        static_cast<int64_t>(std::floor(static_cast<double>(target) / perBlock) * perBlock + 0.5);
  }
  target = std::clamp<int64_t>(target, 0, length);

  const double moved = static_cast<double>(r.position.load()) - static_cast<double>(target);
  r.position = static_cast<int32_t>(target);
  const double readPosition = r.readPosition.load();
  r.readPosition = moved <= readPosition ? readPosition - moved : 0.0;
  r.fileCursor = kCursorUnknown;
}

constexpr uint32_t kSampleRates[] = {6000,  8000,  11025, 16000, 22050, 32000,
                                     44100, 48000, 64000, 88200, 96000, 192000};

// ---- Slots, in table order ----

HRESULT WINAPI GetFileKind(VoxlRecorder* self, SHORT* kind) {
  return Give(kind, Self(self).fileKind);
}

HRESULT WINAPI SetFileKind(VoxlRecorder* self, SHORT kind) {
  Recorder& r = Self(self);
  if (!StateIsCreatedOrIdle(r) || kind > 2) return kRefused;
  r.fileKind = kind;
  return kAccepted;
}

HRESULT WINAPI ChooseFormatOfTag(VoxlRecorder*, DWORD, BSTR, WORD, WORD*) {
  return E_NOTIMPL;
}

HRESULT WINAPI GetReadOnly(VoxlRecorder* self, WORD* readOnly) {
  return Give(readOnly, Self(self).readOnly);
}

HRESULT WINAPI SetReadOnly(VoxlRecorder* self, WORD readOnly) {
  Recorder& r = Self(self);
  if (!StateIsCreatedOrIdle(r)) return kRefused;
  r.readOnly = readOnly != 0 ? 1 : 0;
  return kAccepted;
}

HRESULT WINAPI GetSilenceHold(VoxlRecorder* self, WORD* measurements) {
  return Give(measurements, Self(self).silenceHold.load());
}

HRESULT WINAPI SetSilenceHold(VoxlRecorder* self, SHORT measurements) {
  if (measurements < 0) return kRefused;
  Self(self).silenceHold = static_cast<uint16_t>(measurements);
  return kAccepted;
}

HRESULT WINAPI GetSilent(VoxlRecorder* self, WORD* silent) {
  return Give(silent, Self(self).silent.load());
}

HRESULT WINAPI GetSilenceThreshold(VoxlRecorder* self, FLOAT* dB) {
  return Give(dB, Self(self).silenceThreshold.load());
}

HRESULT WINAPI SetSilenceThreshold(VoxlRecorder* self, FLOAT dB) {
  if (!AtMostZero(dB)) return kRefused;
  Self(self).silenceThreshold = dB;
  return kAccepted;
}

HRESULT WINAPI GetSoundThreshold(VoxlRecorder* self, FLOAT* dB) {
  return Give(dB, Self(self).soundThreshold.load());
}

HRESULT WINAPI SetSoundThreshold(VoxlRecorder* self, FLOAT dB) {
  if (!AtMostZero(dB)) return kRefused;
  Self(self).soundThreshold = dB;
  return kAccepted;
}

HRESULT WINAPI GetSilenceMode(VoxlRecorder* self, WORD* mode) {
  return Give(mode, Self(self).silenceMode.load());
}

HRESULT WINAPI SetSilenceMode(VoxlRecorder* self, SHORT mode) {
  Recorder& r = Self(self);
  if (r.state.load() == StateRecording || mode < 0 || mode > 3) return kRefused;
  r.silenceMode = static_cast<uint16_t>(mode);
  return kAccepted;
}

HRESULT WINAPI GetFileFormatText(VoxlRecorder*, BSTR*, WORD*) {
  return E_NOTIMPL;
}
HRESULT WINAPI GetFormatText(VoxlRecorder*, BSTR*, WORD*) {
  return E_NOTIMPL;
}
HRESULT WINAPI ChooseFormat(VoxlRecorder*, DWORD, BSTR, WORD*) {
  return E_NOTIMPL;
}
HRESULT WINAPI GetFormat(VoxlRecorder*, VARIANT*) {
  return E_NOTIMPL;
}
HRESULT WINAPI PutFormat(VoxlRecorder*, VARIANT) {
  return E_NOTIMPL;
}
HRESULT WINAPI CompactFile(VoxlRecorder*, WORD*) {
  return E_NOTIMPL;
}
HRESULT WINAPI DeleteSeconds(VoxlRecorder*, DOUBLE, WORD*) {
  return E_NOTIMPL;
}
HRESULT WINAPI DeleteSamples(VoxlRecorder*, LONG, WORD*) {
  return E_NOTIMPL;
}

HRESULT WINAPI GetInsertMode(VoxlRecorder* self, WORD* insert) {
  return Give(insert, Self(self).insertMode.load());
}

HRESULT WINAPI SetInsertMode(VoxlRecorder* self, WORD insert) {
  if (insert > 1) return kRefused;
  Self(self).insertMode = insert;
  return kAccepted;
}

HRESULT WINAPI GetMaxLengthSeconds(VoxlRecorder* self, DOUBLE* seconds) {
  return Give(seconds, Self(self).maxLengthSeconds.load());
}

HRESULT WINAPI SetMaxLengthSeconds(VoxlRecorder* self, DOUBLE seconds) {
  if (!AtLeastZero(seconds)) return kRefused;
  ApplyMaxLengthSeconds(Self(self), seconds);
  return kAccepted;
}

HRESULT WINAPI GetMaxLength(VoxlRecorder* self, DWORD* frames) {
  return Give(frames, Self(self).maxLengthSamples.load());
}

HRESULT WINAPI SetMaxLength(VoxlRecorder* self, LONG frames) {
  if (frames < 0) return kRefused;
  Recorder& r = Self(self);
  r.maxLengthSamples = static_cast<uint32_t>(frames);
  r.maxLengthSeconds = static_cast<double>(frames) / static_cast<double>(r.sampleRate);
  return kAccepted;
}

HRESULT WINAPI GetEndToneSeconds(VoxlRecorder* self, FLOAT* seconds) {
  return Give(seconds, Self(self).endToneSeconds.load());
}

HRESULT WINAPI SetEndToneSeconds(VoxlRecorder* self, FLOAT seconds) {
  Recorder& r = Self(self);
  if (!AtLeastZero(seconds) || !ToneFits(r, seconds)) return kRefused;
  r.endToneSeconds = seconds;
  return kAccepted;
}

HRESULT WINAPI GetStartToneSeconds(VoxlRecorder* self, FLOAT* seconds) {
  return Give(seconds, Self(self).startToneSeconds.load());
}

HRESULT WINAPI SetStartToneSeconds(VoxlRecorder* self, FLOAT seconds) {
  Recorder& r = Self(self);
  if (!AtLeastZero(seconds) || !ToneFits(r, seconds)) return kRefused;
  r.startToneSeconds = seconds;
  return kAccepted;
}

HRESULT WINAPI GetLengthSeconds(VoxlRecorder* self, DOUBLE* seconds) {
  const Recorder& r = Self(self);
  return Give(seconds, FramesToSeconds(CurrentLength(r), ConversionRate(r)));
}

HRESULT WINAPI GetPositionSeconds(VoxlRecorder* self, DOUBLE* seconds) {
  const Recorder& r = Self(self);
  return Give(seconds, FramesToSeconds(r.position.load(), ConversionRate(r)));
}

HRESULT WINAPI SetPositionSeconds(VoxlRecorder* self, DOUBLE seconds) {
  Recorder& r = Self(self);
  if (StateIsCreatedOrIdle(r)) return kAccepted;
  // Truncated toward zero; a NaN moves nothing, and values past 32 bits saturate (and so land
  // at the end, as every out-of-range position does).
  const double frames = static_cast<double>(ConversionRate(r)) * seconds;
  if (std::isnan(frames)) return kAccepted;
  constexpr double kLow = std::numeric_limits<int32_t>::min();
  constexpr double kHigh = std::numeric_limits<int32_t>::max();
  MovePosition(r, static_cast<int32_t>(std::clamp(frames, kLow, kHigh)));
  return kAccepted;
}

HRESULT WINAPI TakeLastError(VoxlRecorder* self, WORD* error) {
  if (error == nullptr) return E_POINTER;
  *error = Self(self).lastError.exchange(ErrNone);
  return kAccepted;
}

HRESULT WINAPI Play(VoxlRecorder* self, WORD* error) {
  return static_cast<HRESULT>(voxl::Play(Self(self), error));
}

HRESULT WINAPI Record(VoxlRecorder* self, WORD* error) {
  return static_cast<HRESULT>(voxl::Record(Self(self), error));
}

HRESULT WINAPI GetLevels(VoxlRecorder* self, FLOAT* levelLeft, WORD* clipLeft, FLOAT* levelRight,
                         WORD* clipRight) {
  if (levelLeft == nullptr || clipLeft == nullptr || levelRight == nullptr ||
      clipRight == nullptr) {
    return E_POINTER;
  }
  const Recorder& r = Self(self);
  const uint16_t state = r.state.load();
  if (state != StateRecording && state != StatePlaying) {
    *levelLeft = 0.0f;
    *clipLeft = 0;
    *levelRight = 0.0f;
    *clipRight = 0;
    return kAccepted;
  }
  *levelLeft = r.levelLeft.load();
  *clipLeft = static_cast<WORD>(r.clipLeft.load());
  if (r.channels == 1) {
    *levelRight = *levelLeft;
    *clipRight = *clipLeft;
  } else {
    *levelRight = r.levelRight.load();
    *clipRight = static_cast<WORD>(r.clipRight.load());
  }
  return kAccepted;
}

HRESULT WINAPI GetPosition(VoxlRecorder* self, LONG* frames) {
  return Give(frames, Self(self).position.load());
}

HRESULT WINAPI SetPosition(VoxlRecorder* self, LONG frames) {
  MovePosition(Self(self), frames);
  return kAccepted;
}

HRESULT WINAPI GetPaused(VoxlRecorder* self, WORD* paused) {
  return Give(paused, Self(self).paused.load());
}

HRESULT WINAPI SetPaused(VoxlRecorder* self, SHORT paused) {
  return static_cast<HRESULT>(voxl::SetPaused(Self(self), paused));
}

HRESULT WINAPI GetLength(VoxlRecorder* self, DWORD* frames) {
  return Give(frames, CurrentLength(Self(self)));
}

HRESULT WINAPI OpenFile(VoxlRecorder*, BSTR, WORD*) {
  return E_NOTIMPL;
}

HRESULT WINAPI NewTempRecording(VoxlRecorder* self, WORD* error) {
  return static_cast<HRESULT>(voxl::NewTempRecording(Self(self), error));
}

HRESULT WINAPI NewRecording(VoxlRecorder* self, BSTR name, WORD* error) {
  return static_cast<HRESULT>(voxl::NewRecording(Self(self), name, error));
}

HRESULT WINAPI Stop(VoxlRecorder* self) {
  return static_cast<HRESULT>(voxl::Stop(Self(self)));
}

HRESULT WINAPI GetDeleteOnClose(VoxlRecorder* self, WORD* deleteOnClose) {
  return Give(deleteOnClose, Self(self).deleteOnClose.load());
}

HRESULT WINAPI SetDeleteOnClose(VoxlRecorder* self, WORD deleteOnClose) {
  Self(self).deleteOnClose = deleteOnClose;
  return kAccepted;
}

HRESULT WINAPI GetFileName(VoxlRecorder* self, BSTR* name) {
  if (name == nullptr) return E_POINTER;
  char text[kNameBytes];
  std::memcpy(text, Self(self).fileName, sizeof text);
  text[sizeof text - 1] = '\0';
  ReplaceString(name, ToWideString(text));
  return kAccepted;
}

HRESULT WINAPI Close(VoxlRecorder* self, WORD* error) {
  return static_cast<HRESULT>(voxl::Close(Self(self), error));
}

HRESULT WINAPI GetState(VoxlRecorder* self, WORD* state) {
  return Give(state, Self(self).state.load());
}

HRESULT WINAPI GetMeterOption(VoxlRecorder* self, WORD* option) {
  return Give(option, Self(self).meterOption);
}

HRESULT WINAPI SetMeterOption(VoxlRecorder* self, WORD option) {
  if (option > 1) return kRefused;
  Self(self).meterOption = option;
  return kAccepted;
}

HRESULT WINAPI GetChannels(VoxlRecorder* self, WORD* channels) {
  return Give(channels, Self(self).channels);
}

HRESULT WINAPI SetChannels(VoxlRecorder* self, WORD channels) {
  Recorder& r = Self(self);
  if (!StateIsCreatedOrIdle(r) || (channels != 1 && channels != 2)) return kRefused;
  r.channels = channels;
  return kAccepted;
}

HRESULT WINAPI GetSampleFormat(VoxlRecorder* self, WORD* sampleFormat) {
  return Give(sampleFormat, Self(self).sampleFormat);
}

HRESULT WINAPI SetSampleFormat(VoxlRecorder* self, WORD sampleFormat) {
  Recorder& r = Self(self);
  const bool known = sampleFormat == 8 || sampleFormat == 16 || sampleFormat == 106 ||
                     sampleFormat == 107 || sampleFormat == 100;
  if (!StateIsCreatedOrIdle(r) || !known) return kRefused;
  r.sampleFormat = sampleFormat;
  return kAccepted;
}

HRESULT WINAPI GetSampleRate(VoxlRecorder* self, DWORD* hertz) {
  return Give(hertz, Self(self).sampleRate);
}

HRESULT WINAPI SetSampleRate(VoxlRecorder* self, DWORD hertz) {
  Recorder& r = Self(self);
  const bool known =
      std::find(std::begin(kSampleRates), std::end(kSampleRates), hertz) != std::end(kSampleRates);
  if (!StateIsCreatedOrIdle(r) || !known) return kRefused;
  r.sampleRate = hertz;
  // The limit in seconds stays; the limit in frames follows the rate.
  ApplyMaxLengthSeconds(r, r.maxLengthSeconds.load());
  return kAccepted;
}

HRESULT WINAPI GetMeterStyle(VoxlRecorder* self, WORD* style) {
  return Give(style, Self(self).meterStyle);
}

HRESULT WINAPI SetMeterStyle(VoxlRecorder* self, SHORT style) {
  if (style < 0 || style > 3) return kRefused;
  Self(self).meterStyle = static_cast<uint16_t>(style);
  return kAccepted;
}

HRESULT WINAPI GetMeterSegments(VoxlRecorder* self, WORD* segments) {
  return Give(segments, Self(self).meterSegments);
}

HRESULT WINAPI SetMeterSegments(VoxlRecorder* self, SHORT segments) {
  if (segments < 1 || segments > 20) return kRefused;
  Self(self).meterSegments = static_cast<uint16_t>(segments);
  return kAccepted;
}

HRESULT WINAPI GetMeterHighColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterHighColor);
}
HRESULT WINAPI SetMeterHighColor(VoxlRecorder* self, DWORD color) {
  Self(self).meterHighColor = color;
  return kAccepted;
}
HRESULT WINAPI GetMeterMidColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterMidColor);
}
HRESULT WINAPI SetMeterMidColor(VoxlRecorder* self, DWORD color) {
  Self(self).meterMidColor = color;
  return kAccepted;
}
HRESULT WINAPI GetMeterLowColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterLowColor);
}
HRESULT WINAPI SetMeterLowColor(VoxlRecorder* self, DWORD color) {
  Self(self).meterLowColor = color;
  return kAccepted;
}
HRESULT WINAPI GetMeterBackColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterBackColor);
}
HRESULT WINAPI SetMeterBackColor(VoxlRecorder* self, DWORD color) {
  Self(self).meterBackColor = color;
  return kAccepted;
}

}  // namespace

// Designated initialisers keep every slot next to its name; the compiler checks the order.
const VoxlRecorderVtbl kRecorderMethods = {
    .GetFileKind = GetFileKind,
    .SetFileKind = SetFileKind,
    .ChooseFormatOfTag = ChooseFormatOfTag,
    .GetReadOnly = GetReadOnly,
    .SetReadOnly = SetReadOnly,
    .GetSilenceHold = GetSilenceHold,
    .SetSilenceHold = SetSilenceHold,
    .GetSilent = GetSilent,
    .GetSilenceThreshold = GetSilenceThreshold,
    .SetSilenceThreshold = SetSilenceThreshold,
    .GetSoundThreshold = GetSoundThreshold,
    .SetSoundThreshold = SetSoundThreshold,
    .GetSilenceMode = GetSilenceMode,
    .SetSilenceMode = SetSilenceMode,
    .GetFileFormatText = GetFileFormatText,
    .GetFormatText = GetFormatText,
    .ChooseFormat = ChooseFormat,
    .GetFormat = GetFormat,
    .PutFormat = PutFormat,
    .CompactFile = CompactFile,
    .DeleteSeconds = DeleteSeconds,
    .DeleteSamples = DeleteSamples,
    .GetInsertMode = GetInsertMode,
    .SetInsertMode = SetInsertMode,
    .GetOutputDevice = methods::GetOutputDevice,
    .SetOutputDevice = methods::SetOutputDevice,
    .GetInputDevice = methods::GetInputDevice,
    .SetInputDevice = methods::SetInputDevice,
    .GetOutputDeviceName = methods::GetOutputDeviceName,
    .GetInputDeviceName = methods::GetInputDeviceName,
    .GetOutputDeviceCount = methods::GetOutputDeviceCount,
    .GetInputDeviceCount = methods::GetInputDeviceCount,
    .GetMaxLengthSeconds = GetMaxLengthSeconds,
    .SetMaxLengthSeconds = SetMaxLengthSeconds,
    .GetMaxLength = GetMaxLength,
    .SetMaxLength = SetMaxLength,
    .GetEndToneSeconds = GetEndToneSeconds,
    .SetEndToneSeconds = SetEndToneSeconds,
    .GetStartToneSeconds = GetStartToneSeconds,
    .SetStartToneSeconds = SetStartToneSeconds,
    .OpenVolumeControl = methods::OpenVolumeControl,
    .GetLengthSeconds = GetLengthSeconds,
    .GetPositionSeconds = GetPositionSeconds,
    .SetPositionSeconds = SetPositionSeconds,
    .TakeLastError = TakeLastError,
    .Play = Play,
    .Record = Record,
    .GetLevels = GetLevels,
    .GetPosition = GetPosition,
    .SetPosition = SetPosition,
    .GetPaused = GetPaused,
    .SetPaused = SetPaused,
    .GetLength = GetLength,
    .OpenFile = OpenFile,
    .NewTempRecording = NewTempRecording,
    .NewRecording = NewRecording,
    .Stop = Stop,
    .GetDeleteOnClose = GetDeleteOnClose,
    .SetDeleteOnClose = SetDeleteOnClose,
    .GetFileName = GetFileName,
    .Close = Close,
    .GetState = GetState,
    .GetMeterOption = GetMeterOption,
    .SetMeterOption = SetMeterOption,
    .GetChannels = GetChannels,
    .SetChannels = SetChannels,
    .GetSampleFormat = GetSampleFormat,
    .SetSampleFormat = SetSampleFormat,
    .GetSampleRate = GetSampleRate,
    .SetSampleRate = SetSampleRate,
    .GetMeterStyle = GetMeterStyle,
    .SetMeterStyle = SetMeterStyle,
    .GetMeterSegments = GetMeterSegments,
    .SetMeterSegments = SetMeterSegments,
    .GetMeterHighColor = GetMeterHighColor,
    .SetMeterHighColor = SetMeterHighColor,
    .GetMeterMidColor = GetMeterMidColor,
    .SetMeterMidColor = SetMeterMidColor,
    .GetMeterLowColor = GetMeterLowColor,
    .SetMeterLowColor = SetMeterLowColor,
    .GetMeterBackColor = GetMeterBackColor,
    .SetMeterBackColor = SetMeterBackColor,
};

}  // namespace voxl
