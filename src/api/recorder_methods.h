// The recorder's method table, and the slots that live outside recorder_methods.cpp.
//
// Every slot runs on the host's thread, takes the recorder first and returns 0 (accepted) or
// 1 (refused: an argument out of range or a state that forbids the call; nothing changes).
// A null out-parameter is answered with E_POINTER and changes nothing.
#pragma once

#include "core/recorder.h"
#include "voxl310k.h"

namespace voxl {

// The table that NewRecorder puts at the head of every recorder.
extern const VoxlRecorderVtbl kRecorderMethods;

constexpr HRESULT kAccepted = 0;
constexpr HRESULT kRefused = 1;

// Device enumeration and the volume control (devices.cpp).
namespace methods {
HRESULT WINAPI GetOutputDeviceName(VoxlRecorder* self, DWORD device, BSTR* name);
HRESULT WINAPI GetInputDeviceName(VoxlRecorder* self, DWORD device, BSTR* name);
HRESULT WINAPI GetOutputDeviceCount(VoxlRecorder* self, DWORD* count);
HRESULT WINAPI GetInputDeviceCount(VoxlRecorder* self, DWORD* count);
HRESULT WINAPI GetOutputDevice(VoxlRecorder* self, LONG* device);
HRESULT WINAPI SetOutputDevice(VoxlRecorder* self, LONG device);
HRESULT WINAPI GetInputDevice(VoxlRecorder* self, LONG* device);
HRESULT WINAPI SetInputDevice(VoxlRecorder* self, LONG device);
HRESULT WINAPI OpenVolumeControl(VoxlRecorder* self, WORD recording, WORD* error);
}  // namespace methods

}  // namespace voxl
