// The wave devices a recorder uses: names, choice and the volume control.
#include "engine/devices.h"

#include <cstring>

#include "platform/system/system.h"
#include "platform/wave/wave.h"

namespace voxl {
namespace {

static_assert(sizeof(WAVEINCAPSA) == 48, "waveInGetDevCapsA expects 48 bytes");
static_assert(sizeof(WAVEOUTCAPSA) == 52, "waveOutGetDevCapsA expects 52 bytes");

// The product name of a capabilities record, or empty text when the query failed.
template <class Caps>
void NameOf(MMRESULT result, const Caps& caps, char* name) {
  name[0] = '\0';
  if (result != MMSYSERR_NOERROR) return;
  std::memcpy(name, caps.szPname, MAXPNAMELEN);
  name[MAXPNAMELEN - 1] = '\0';
}

uint32_t StoreDevice(std::atomic<int32_t>& field, int32_t device) {
  if (device < -1) return kRefused;
  field = device;
  return kAccepted;
}

}  // namespace

void InputDeviceName(uint32_t device, char* name) {
  WAVEINCAPSA caps{};
  NameOf(waveInGetDevCapsA(device, &caps, sizeof caps), caps, name);
}

void OutputDeviceName(uint32_t device, char* name) {
  WAVEOUTCAPSA caps{};
  NameOf(waveOutGetDevCapsA(device, &caps, sizeof caps), caps, name);
}

uint32_t SetInputDevice(Recorder& r, int32_t device) {
  return StoreDevice(r.inputDevice, device);
}

uint32_t SetOutputDevice(Recorder& r, int32_t device) {
  return StoreDevice(r.outputDevice, device);
}

uint32_t OpenVolumeControl(Recorder& r, uint16_t recording, uint16_t* error) {
  const HINSTANCE started =
      ShellExecuteA(nullptr, "open", "sndvol32.exe", recording != 0 ? "/record" : nullptr, nullptr,
                    SW_SHOWNORMAL);
  // Values up to 32 are the launcher's error codes.
  const bool ok = reinterpret_cast<uintptr_t>(started) > 32;
  ReportError(r, error, ok ? ErrNone : ErrVolumeControl);
  return 0;
}

}  // namespace voxl
