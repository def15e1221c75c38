// The wave driver table and the choice of the driver that serves this process.
//
// Drivers are listed in the order of the automatic choice: real hardware first, the built-in
// virtual devices last, so a machine without sound still records (from the virtual devices) and
// says so.  VOXL_AUDIO_DRIVER names a driver explicitly; an explicit choice is honoured even when
// that driver finds no device, because the user asked for it.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/wave/wave_driver.h"

namespace voxl::wave {

const WaveDriver* const kWaveDrivers[] = {&kAlsaDriver, &kVirtualDriver, nullptr};

namespace {

UINT DefaultDeviceZero(Direction) {
  return 0;
}
MMRESULT NoCaps(Direction, UINT, DeviceCaps*) {
  return MMSYSERR_BADDEVICEID;
}
UINT NoDevices(Direction) {
  return 0;
}
bool NoInit() {
  return false;
}
MMRESULT NoQuery(Direction, UINT, const WAVEFORMATEX*) {
  return MMSYSERR_NODRIVER;
}
MMRESULT NoOpen(Direction, UINT, const WAVEFORMATEX*, WavePort*, DriverStream**) {
  return MMSYSERR_NODRIVER;
}
void NoClose(DriverStream*) {}
void NoReset(DriverStream*) {}
MMRESULT AcceptPrepare(DriverStream*, WAVEHDR*) {
  return MMSYSERR_NOERROR;
}

constexpr size_t kDriverCount = sizeof(kWaveDrivers) / sizeof(kWaveDrivers[0]) - 1;

// The chosen driver and why; guarded by `choiceMutex`.  The filled copies of the records live as
// long as the process, so the references ActiveDriver hands out never dangle.
std::mutex choiceMutex;
WaveDriver filledDrivers[kDriverCount];
bool initialised[kDriverCount];
bool initResult[kDriverCount];
const WaveDriver* active = nullptr;
std::string activeReason;

void FillTableOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (size_t i = 0; i < kDriverCount; ++i) {
      filledDrivers[i] = *kWaveDrivers[i];
      FillDriverDefaults(&filledDrivers[i]);
    }
  });
}

// Index of the driver with this name, or -1.
int FindDriver(const char* name) {
  for (size_t i = 0; i < kDriverCount; ++i) {
    if (std::strcmp(kWaveDrivers[i]->name, name) == 0) return static_cast<int>(i);
  }
  return -1;
}

// Runs the driver's init once per process; later probes reuse the answer.  Caller holds the lock.
bool InitOnce(size_t index) {
  if (!initialised[index]) {
    initResult[index] = filledDrivers[index].init();
    initialised[index] = true;
  }
  return initResult[index];
}

std::string DriverList() {
  std::string list;
  for (size_t i = 0; i < kDriverCount; ++i) {
    if (!list.empty()) list += ", ";
    list += kWaveDrivers[i]->name;
  }
  return list;
}

// Chooses the serving driver.  Caller holds the lock.
void Choose() {
  std::string prefix;
  const char* wanted = std::getenv("VOXL_AUDIO_DRIVER");
  if (wanted != nullptr && wanted[0] != '\0') {
    int index = FindDriver(wanted);
    if (index >= 0) {
      active = &filledDrivers[index];
      activeReason = std::string("VOXL_AUDIO_DRIVER=") + wanted;
      if (!InitOnce(static_cast<size_t>(index))) activeReason += "; it found no device";
      return;
    }
    prefix =
        std::string("VOXL_AUDIO_DRIVER=") + wanted + " names no driver (" + DriverList() + "); ";
  }
  for (size_t i = 0; i < kDriverCount; ++i) {
    if (InitOnce(i)) {
      active = &filledDrivers[i];
      if (i == 0) {
        activeReason = prefix + "the first driver that found a device";
      } else {
        activeReason = prefix + "no ";
        for (size_t j = 0; j < i; ++j) {
          if (j > 0) activeReason += " or ";
          activeReason += kWaveDrivers[j]->name;
        }
        activeReason +=
            " device found; the built-in " + std::string(kWaveDrivers[i]->name) + " devices serve";
      }
      return;
    }
  }
  // No driver answered; the last one (the virtual driver) still serves so calls stay defined.
  active = &filledDrivers[kDriverCount - 1];
  activeReason = prefix + "no driver found a device";
}

const WaveDriver& ActiveLocked() {
  FillTableOnce();
  if (active == nullptr) Choose();
  return *active;
}

}  // namespace

void FillDriverDefaults(WaveDriver* driver) {
  if (driver->init == nullptr) driver->init = NoInit;
  if (driver->count == nullptr) driver->count = NoDevices;
  if (driver->caps == nullptr) driver->caps = NoCaps;
  if (driver->default_device == nullptr) driver->default_device = DefaultDeviceZero;
  if (driver->query == nullptr) driver->query = NoQuery;
  if (driver->open == nullptr) driver->open = NoOpen;
  if (driver->close == nullptr) driver->close = NoClose;
  // Start and stop default to waking the port; the front end does that itself after calling the
  // slot, so the default slot has nothing left to do.
  if (driver->start == nullptr) driver->start = NoReset;
  if (driver->stop == nullptr) driver->stop = NoReset;
  if (driver->reset == nullptr) driver->reset = NoReset;
  if (driver->prepare == nullptr) driver->prepare = AcceptPrepare;
}

const WaveDriver& ActiveDriver() {
  std::lock_guard lock(choiceMutex);
  return ActiveLocked();
}

bool SelectDriverForTesting(const char* name) {
  std::lock_guard lock(choiceMutex);
  FillTableOnce();
  if (name == nullptr) {
    // Choose again as at first use, from the environment, probing every driver anew.
    for (size_t i = 0; i < kDriverCount; ++i) initialised[i] = false;
    Choose();
    return true;
  }
  int index = FindDriver(name);
  if (index < 0) return false;
  // A driver whose init failed earlier may succeed now (tests change the environment).
  initialised[index] = false;
  if (!InitOnce(static_cast<size_t>(index))) return false;
  active = &filledDrivers[index];
  activeReason = std::string("selected by a test: ") + name;
  return true;
}

}  // namespace voxl::wave

extern "C" const char* WINAPI VoxlWaveDriverName(void) {
  std::lock_guard lock(voxl::wave::choiceMutex);
  return voxl::wave::ActiveLocked().name;
}

extern "C" const char* WINAPI VoxlWaveDriverReason(void) {
  std::lock_guard lock(voxl::wave::choiceMutex);
  voxl::wave::ActiveLocked();
  return voxl::wave::activeReason.c_str();
}
