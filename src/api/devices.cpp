// Device enumeration, device choice and the volume control.  Counts and names are asked of the
// wave services at every call, never cached; the chosen numbers are not checked against the
// devices present (a wrong number shows when a device is opened).
#include <cstring>

#include "api/recorder_methods.h"
#include "api/strings_util.h"
#include "platform/system/system.h"
#include "platform/wave/wave.h"

namespace voxl::methods {
namespace {

static_assert(sizeof(WAVEINCAPSA) == 48, "waveInGetDevCapsA expects 48 bytes");
static_assert(sizeof(WAVEOUTCAPSA) == 52, "waveOutGetDevCapsA expects 52 bytes");

// The product name of a capabilities record, or empty text when the query failed.
template <class Caps>
BSTR NameOf(MMRESULT result, const Caps& caps) {
  if (result != MMSYSERR_NOERROR) return ToWideString("");
  char name[MAXPNAMELEN];
  std::memcpy(name, caps.szPname, sizeof name);
  name[sizeof name - 1] = '\0';
  return ToWideString(name);
}

HRESULT StoreDevice(std::atomic<int32_t>& field, LONG device) {
  if (device < -1) return kRefused;
  field = device;
  return kAccepted;
}

}  // namespace

HRESULT WINAPI GetOutputDeviceName(VoxlRecorder*, DWORD device, BSTR* name) {
  if (name == nullptr) return E_POINTER;
  WAVEOUTCAPSA caps{};
  const MMRESULT result = waveOutGetDevCapsA(device, &caps, sizeof caps);
  ReplaceString(name, NameOf(result, caps));
  return kAccepted;
}

HRESULT WINAPI GetInputDeviceName(VoxlRecorder*, DWORD device, BSTR* name) {
  if (name == nullptr) return E_POINTER;
  WAVEINCAPSA caps{};
  const MMRESULT result = waveInGetDevCapsA(device, &caps, sizeof caps);
  ReplaceString(name, NameOf(result, caps));
  return kAccepted;
}

HRESULT WINAPI GetOutputDeviceCount(VoxlRecorder*, DWORD* count) {
  if (count == nullptr) return E_POINTER;
  *count = waveOutGetNumDevs();
  return kAccepted;
}

HRESULT WINAPI GetInputDeviceCount(VoxlRecorder*, DWORD* count) {
  if (count == nullptr) return E_POINTER;
  *count = waveInGetNumDevs();
  return kAccepted;
}

HRESULT WINAPI GetOutputDevice(VoxlRecorder* self, LONG* device) {
  if (device == nullptr) return E_POINTER;
  *device = FromHost(self)->outputDevice.load();
  return kAccepted;
}

HRESULT WINAPI SetOutputDevice(VoxlRecorder* self, LONG device) {
  return StoreDevice(FromHost(self)->outputDevice, device);
}

HRESULT WINAPI GetInputDevice(VoxlRecorder* self, LONG* device) {
  if (device == nullptr) return E_POINTER;
  *device = FromHost(self)->inputDevice.load();
  return kAccepted;
}

HRESULT WINAPI SetInputDevice(VoxlRecorder* self, LONG device) {
  return StoreDevice(FromHost(self)->inputDevice, device);
}

HRESULT WINAPI OpenVolumeControl(VoxlRecorder* self, WORD recording, WORD* error) {
  const HINSTANCE started =
      ShellExecuteA(nullptr, "open", "sndvol32.exe", recording != 0 ? "/record" : nullptr, nullptr,
                    SW_SHOWNORMAL);
  // Values up to 32 are the launcher's error codes.
  const bool ok = reinterpret_cast<uintptr_t>(started) > 32;
  ReportError(*FromHost(self), error, ok ? ErrNone : ErrVolumeControl);
  return kAccepted;
}

}  // namespace voxl::methods
