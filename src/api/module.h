// Module-wide state: the window class of the helper windows, registered when the library is
// loaded and unregistered when it is unloaded, and the one recorder of the flat functions.
#pragma once

#include "core/recorder.h"

namespace voxl {

// The recorder that InitACM created and DeinitACM destroys; null when there is none.
Recorder*& GlobalRecorder();

// The module instance handle and the atom of VOXLHelperClass (0 while not registered).
HINSTANCE ModuleInstance();
ATOM HelperClassAtom();

// Load: registers VOXLHelperClass.  False when the registration failed.  Does nothing when the
// class is registered already.
bool ModuleAttach();
// Unload: closes and destroys a recorder that still exists, clears GlobalRecorder, then
// unregisters the class.  Blocks of the flat functions still pending are left as they are.
void ModuleDetach();

}  // namespace voxl
