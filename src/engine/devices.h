// The wave devices a recorder uses: their names, the device choice and the volume control.
// Names are asked of the wave services at every call, never cached; the chosen numbers are not
// checked against the devices present (a wrong number shows when a device is opened).
//
// Host's thread.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// The product name of input or output device `device` into `name` (MAXPNAMELEN bytes, system
// code page); empty when the number names no device.
void InputDeviceName(uint32_t device, char* name);
void OutputDeviceName(uint32_t device, char* name);

// The device of the next run: -1 is the default device (the wave mapper); refused (kRefused,
// nothing changes) below -1.
uint32_t SetInputDevice(Recorder& r, int32_t device);
uint32_t SetOutputDevice(Recorder& r, int32_t device);

// Starts the desktop's mixer, on its recording side when `recording` is not 0.  Returns 0;
// ErrVolumeControl goes to *error (may be null) and lastError when none could be started.
uint32_t OpenVolumeControl(Recorder& r, uint16_t recording, uint16_t* error);

}  // namespace voxl
