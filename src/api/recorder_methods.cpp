// The recorder's method table: each slot forwards to a field of the record or to the body of
// its method (see recorder_methods.h), in the folder the work belongs to:
//   engine/    transport (Record, Play, Stop, SetPaused), levels and silence detection, marker
//              tones, devices and the volume control;
//   wavefile/  new recordings, Close, the recording settings, position and length, editing and
//              compaction;
//   formats/   the format chooser, format descriptions and byte lists.
#include "api/recorder_methods.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api/strings_util.h"
#include "engine/capture_tone.h"
#include "engine/devices.h"
#include "engine/levels.h"
#include "engine/transport.h"
#include "formats/format_methods.h"
#include "platform/wave/wave.h"
#include "wavefile/editing.h"
#include "wavefile/open_file.h"
#include "wavefile/position.h"
#include "wavefile/recording_close.h"
#include "wavefile/recording_file.h"
#include "wavefile/recording_settings.h"

namespace voxl {
namespace {

Recorder& Self(VoxlRecorder* self) {
  return *FromHost(self);
}

// A body's answer (kAccepted or kRefused) as the slot's result.
HRESULT Answer(uint32_t result) {
  return static_cast<HRESULT>(result);
}

// A getter's answer: the value into *out.
template <class Out, class Value>
HRESULT Give(Out* out, Value value) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<Out>(value);
  return kAccepted;
}

// A getter's text answer: `text` (system code page, at most `bytes` with its terminator) as a
// new BSTR in *out, which frees the string *out held.
HRESULT GiveText(BSTR* out, const char* text, size_t bytes) {
  if (out == nullptr) return E_POINTER;
  char copy[kNameBytes];
  const size_t n = bytes < sizeof copy ? bytes : sizeof copy;
  std::memcpy(copy, text, n);
  copy[n - 1] = '\0';
  ReplaceString(out, ToWideString(copy));
  return kAccepted;
}

// A setter that stores any value.
template <class Field, class Value>
HRESULT Put(Field& field, Value value) {
  field = value;
  return kAccepted;
}

// ---- Slots, in table order ----

HRESULT WINAPI GetFileKind(VoxlRecorder* self, SHORT* kind) {
  return Give(kind, Self(self).fileKind);
}
HRESULT WINAPI SetFileKind(VoxlRecorder* self, SHORT kind) {
  return Answer(voxl::SetFileKind(Self(self), kind));
}
HRESULT WINAPI ChooseFormatOfTag(VoxlRecorder* self, DWORD owner, BSTR title, WORD tag,
                                 WORD* error) {
  return Answer(voxl::ChooseFormatOfTag(Self(self), owner, title, tag, error));
}
HRESULT WINAPI GetReadOnly(VoxlRecorder* self, WORD* readOnly) {
  return Give(readOnly, Self(self).readOnly);
}
HRESULT WINAPI SetReadOnly(VoxlRecorder* self, WORD readOnly) {
  return Answer(voxl::SetReadOnly(Self(self), readOnly));
}
HRESULT WINAPI GetSilenceHold(VoxlRecorder* self, WORD* measurements) {
  return Give(measurements, Self(self).silenceHold.load());
}
HRESULT WINAPI SetSilenceHold(VoxlRecorder* self, SHORT measurements) {
  return Answer(voxl::SetSilenceHold(Self(self), measurements));
}
HRESULT WINAPI GetSilent(VoxlRecorder* self, WORD* silent) {
  return Give(silent, Self(self).silent.load());
}
HRESULT WINAPI GetSilenceThreshold(VoxlRecorder* self, FLOAT* dB) {
  return Give(dB, Self(self).silenceThreshold.load());
}
HRESULT WINAPI SetSilenceThreshold(VoxlRecorder* self, FLOAT dB) {
  return Answer(voxl::SetSilenceThreshold(Self(self), dB));
}
HRESULT WINAPI GetSoundThreshold(VoxlRecorder* self, FLOAT* dB) {
  return Give(dB, Self(self).soundThreshold.load());
}
HRESULT WINAPI SetSoundThreshold(VoxlRecorder* self, FLOAT dB) {
  return Answer(voxl::SetSoundThreshold(Self(self), dB));
}
HRESULT WINAPI GetSilenceMode(VoxlRecorder* self, WORD* mode) {
  return Give(mode, Self(self).silenceMode.load());
}
HRESULT WINAPI SetSilenceMode(VoxlRecorder* self, SHORT mode) {
  return Answer(voxl::SetSilenceMode(Self(self), mode));
}
HRESULT WINAPI GetFileFormatText(VoxlRecorder* self, BSTR* text, WORD* error) {
  return Answer(voxl::GetFileFormatText(Self(self), text, error));
}
HRESULT WINAPI GetFormatText(VoxlRecorder* self, BSTR* text, WORD* error) {
  return Answer(voxl::GetFormatText(Self(self), text, error));
}
HRESULT WINAPI ChooseFormat(VoxlRecorder* self, DWORD owner, BSTR title, WORD* error) {
  return Answer(voxl::ChooseFormat(Self(self), owner, title, error));
}
HRESULT WINAPI GetFormat(VoxlRecorder* self, VARIANT* format) {
  return voxl::GetFormat(Self(self), format);
}
HRESULT WINAPI PutFormat(VoxlRecorder* self, VARIANT format) {
  return voxl::PutFormat(Self(self), format);
}
HRESULT WINAPI CompactFile(VoxlRecorder* self, WORD* error) {
  return Answer(voxl::CompactFile(Self(self), error));
}
HRESULT WINAPI DeleteSeconds(VoxlRecorder* self, DOUBLE seconds, WORD* error) {
  return Answer(voxl::DeleteSeconds(Self(self), seconds, error));
}
HRESULT WINAPI DeleteSamples(VoxlRecorder* self, LONG frames, WORD* error) {
  return Answer(voxl::DeleteSamples(Self(self), frames, error));
}
HRESULT WINAPI GetInsertMode(VoxlRecorder* self, WORD* insert) {
  return Give(insert, Self(self).insertMode.load());
}
HRESULT WINAPI SetInsertMode(VoxlRecorder* self, WORD insert) {
  return Answer(voxl::SetInsertMode(Self(self), insert));
}
HRESULT WINAPI GetOutputDevice(VoxlRecorder* self, LONG* device) {
  return Give(device, Self(self).outputDevice.load());
}
HRESULT WINAPI SetOutputDevice(VoxlRecorder* self, LONG device) {
  return Answer(voxl::SetOutputDevice(Self(self), device));
}
HRESULT WINAPI GetInputDevice(VoxlRecorder* self, LONG* device) {
  return Give(device, Self(self).inputDevice.load());
}
HRESULT WINAPI SetInputDevice(VoxlRecorder* self, LONG device) {
  return Answer(voxl::SetInputDevice(Self(self), device));
}
HRESULT WINAPI GetOutputDeviceName(VoxlRecorder*, DWORD device, BSTR* name) {
  char text[MAXPNAMELEN] = {};
  if (name != nullptr) OutputDeviceName(device, text);
  return GiveText(name, text, sizeof text);
}
HRESULT WINAPI GetInputDeviceName(VoxlRecorder*, DWORD device, BSTR* name) {
  char text[MAXPNAMELEN] = {};
  if (name != nullptr) InputDeviceName(device, text);
  return GiveText(name, text, sizeof text);
}
HRESULT WINAPI GetOutputDeviceCount(VoxlRecorder*, DWORD* count) {
  return Give(count, waveOutGetNumDevs());
}
HRESULT WINAPI GetInputDeviceCount(VoxlRecorder*, DWORD* count) {
  return Give(count, waveInGetNumDevs());
}
HRESULT WINAPI GetMaxLengthSeconds(VoxlRecorder* self, DOUBLE* seconds) {
  return Give(seconds, Self(self).maxLengthSeconds.load());
}
HRESULT WINAPI SetMaxLengthSeconds(VoxlRecorder* self, DOUBLE seconds) {
  return Answer(voxl::SetMaxLengthSeconds(Self(self), seconds));
}
HRESULT WINAPI GetMaxLength(VoxlRecorder* self, DWORD* frames) {
  return Give(frames, std::min<uint64_t>(Self(self).maxLengthSamples.load(), UINT32_MAX));
}
HRESULT WINAPI SetMaxLength(VoxlRecorder* self, LONG frames) {
  return Answer(voxl::SetMaxLength(Self(self), frames));
}
HRESULT WINAPI GetEndToneSeconds(VoxlRecorder* self, FLOAT* seconds) {
  return Give(seconds, Self(self).endToneSeconds.load());
}
HRESULT WINAPI SetEndToneSeconds(VoxlRecorder* self, FLOAT seconds) {
  return Answer(voxl::SetEndToneSeconds(Self(self), seconds));
}
HRESULT WINAPI GetStartToneSeconds(VoxlRecorder* self, FLOAT* seconds) {
  return Give(seconds, Self(self).startToneSeconds.load());
}
HRESULT WINAPI SetStartToneSeconds(VoxlRecorder* self, FLOAT seconds) {
  return Answer(voxl::SetStartToneSeconds(Self(self), seconds));
}
HRESULT WINAPI OpenVolumeControl(VoxlRecorder* self, WORD recording, WORD* error) {
  return Answer(voxl::OpenVolumeControl(Self(self), recording, error));
}
HRESULT WINAPI GetLengthSeconds(VoxlRecorder* self, DOUBLE* seconds) {
  return Give(seconds, LengthSeconds(Self(self)));
}
HRESULT WINAPI GetPositionSeconds(VoxlRecorder* self, DOUBLE* seconds) {
  return Give(seconds, PositionSeconds(Self(self)));
}
HRESULT WINAPI SetPositionSeconds(VoxlRecorder* self, DOUBLE seconds) {
  return Answer(voxl::SetPositionSeconds(Self(self), seconds));
}
HRESULT WINAPI TakeLastError(VoxlRecorder* self, WORD* error) {
  return error == nullptr ? E_POINTER : Give(error, voxl::TakeLastError(Self(self)));
}
HRESULT WINAPI Play(VoxlRecorder* self, WORD* error) {
  return Answer(voxl::Play(Self(self), error));
}
HRESULT WINAPI Record(VoxlRecorder* self, WORD* error) {
  return Answer(voxl::Record(Self(self), error));
}
HRESULT WINAPI GetLevels(VoxlRecorder* self, FLOAT* levelLeft, WORD* clipLeft, FLOAT* levelRight,
                         WORD* clipRight) {
  if (levelLeft == nullptr || clipLeft == nullptr || levelRight == nullptr ||
      clipRight == nullptr) {
    return E_POINTER;
  }
  ReadLevels(Self(self), levelLeft, clipLeft, levelRight, clipRight);
  return kAccepted;
}
HRESULT WINAPI GetPosition(VoxlRecorder* self, LONG* frames) {
  return Give(frames, HostPosition(Self(self)));
}
HRESULT WINAPI SetPosition(VoxlRecorder* self, LONG frames) {
  return Answer(voxl::SetPosition(Self(self), frames));
}
HRESULT WINAPI GetPaused(VoxlRecorder* self, WORD* paused) {
  return Give(paused, Self(self).paused.load());
}
HRESULT WINAPI SetPaused(VoxlRecorder* self, SHORT paused) {
  return Answer(voxl::SetPaused(Self(self), paused));
}
HRESULT WINAPI GetLength(VoxlRecorder* self, DWORD* frames) {
  return Give(frames, HostLength(Self(self)));
}
HRESULT WINAPI OpenFile(VoxlRecorder* self, BSTR name, WORD* error) {
  return Answer(voxl::OpenFile(Self(self), name, error));
}
HRESULT WINAPI NewTempRecording(VoxlRecorder* self, WORD* error) {
  return Answer(voxl::NewTempRecording(Self(self), error));
}
HRESULT WINAPI NewRecording(VoxlRecorder* self, BSTR name, WORD* error) {
  return Answer(voxl::NewRecording(Self(self), name, error));
}
HRESULT WINAPI Stop(VoxlRecorder* self) {
  return Answer(voxl::Stop(Self(self)));
}
HRESULT WINAPI GetDeleteOnClose(VoxlRecorder* self, WORD* deleteOnClose) {
  return Give(deleteOnClose, Self(self).deleteOnClose.load());
}
HRESULT WINAPI SetDeleteOnClose(VoxlRecorder* self, WORD deleteOnClose) {
  return Put(Self(self).deleteOnClose, deleteOnClose);
}
HRESULT WINAPI GetFileName(VoxlRecorder* self, BSTR* name) {
  return GiveText(name, Self(self).fileName, kNameBytes);
}
HRESULT WINAPI Close(VoxlRecorder* self, WORD* error) {
  return Answer(voxl::Close(Self(self), error));
}
HRESULT WINAPI GetState(VoxlRecorder* self, WORD* state) {
  return Give(state, Self(self).state.load());
}
HRESULT WINAPI GetMeterOption(VoxlRecorder* self, WORD* option) {
  return Give(option, Self(self).meterOption);
}
HRESULT WINAPI SetMeterOption(VoxlRecorder* self, WORD option) {
  return Answer(voxl::SetMeterOption(Self(self), option));
}
HRESULT WINAPI GetChannels(VoxlRecorder* self, WORD* channels) {
  return Give(channels, Self(self).channels);
}
HRESULT WINAPI SetChannels(VoxlRecorder* self, WORD channels) {
  return Answer(voxl::SetChannels(Self(self), channels));
}
HRESULT WINAPI GetSampleFormat(VoxlRecorder* self, WORD* sampleFormat) {
  return Give(sampleFormat, Self(self).sampleFormat);
}
HRESULT WINAPI SetSampleFormat(VoxlRecorder* self, WORD sampleFormat) {
  return Answer(voxl::SetSampleFormat(Self(self), sampleFormat));
}
HRESULT WINAPI GetSampleRate(VoxlRecorder* self, DWORD* hertz) {
  return Give(hertz, Self(self).sampleRate);
}
HRESULT WINAPI SetSampleRate(VoxlRecorder* self, DWORD hertz) {
  return Answer(voxl::SetSampleRate(Self(self), hertz));
}
HRESULT WINAPI GetMeterStyle(VoxlRecorder* self, WORD* style) {
  return Give(style, Self(self).meterStyle);
}
HRESULT WINAPI SetMeterStyle(VoxlRecorder* self, SHORT style) {
  return Answer(voxl::SetMeterStyle(Self(self), style));
}
HRESULT WINAPI GetMeterSegments(VoxlRecorder* self, WORD* segments) {
  return Give(segments, Self(self).meterSegments);
}
HRESULT WINAPI SetMeterSegments(VoxlRecorder* self, SHORT segments) {
  return Answer(voxl::SetMeterSegments(Self(self), segments));
}
HRESULT WINAPI GetMeterHighColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterHighColor);
}
HRESULT WINAPI SetMeterHighColor(VoxlRecorder* self, DWORD color) {
  return Put(Self(self).meterHighColor, color);
}
HRESULT WINAPI GetMeterMidColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterMidColor);
}
HRESULT WINAPI SetMeterMidColor(VoxlRecorder* self, DWORD color) {
  return Put(Self(self).meterMidColor, color);
}
HRESULT WINAPI GetMeterLowColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterLowColor);
}
HRESULT WINAPI SetMeterLowColor(VoxlRecorder* self, DWORD color) {
  return Put(Self(self).meterLowColor, color);
}
HRESULT WINAPI GetMeterBackColor(VoxlRecorder* self, DWORD* color) {
  return Give(color, Self(self).meterBackColor);
}
HRESULT WINAPI SetMeterBackColor(VoxlRecorder* self, DWORD color) {
  return Put(Self(self).meterBackColor, color);
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
    .GetOutputDevice = GetOutputDevice,
    .SetOutputDevice = SetOutputDevice,
    .GetInputDevice = GetInputDevice,
    .SetInputDevice = SetInputDevice,
    .GetOutputDeviceName = GetOutputDeviceName,
    .GetInputDeviceName = GetInputDeviceName,
    .GetOutputDeviceCount = GetOutputDeviceCount,
    .GetInputDeviceCount = GetInputDeviceCount,
    .GetMaxLengthSeconds = GetMaxLengthSeconds,
    .SetMaxLengthSeconds = SetMaxLengthSeconds,
    .GetMaxLength = GetMaxLength,
    .SetMaxLength = SetMaxLength,
    .GetEndToneSeconds = GetEndToneSeconds,
    .SetEndToneSeconds = SetEndToneSeconds,
    .GetStartToneSeconds = GetStartToneSeconds,
    .SetStartToneSeconds = SetStartToneSeconds,
    .OpenVolumeControl = OpenVolumeControl,
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
