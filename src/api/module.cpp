// Module load and unload.
//
// The library registers VOXLHelperClass when it is loaded and, when it is unloaded (dlclose or
// process exit), closes and destroys a recorder that the host left behind before it
// unregisters the class.  A library constructor cannot refuse the load as a module entry point
// can, so a failed registration is retried when the first helper window is created, and
// that window's creation fails if the class still cannot be registered.
#include "api/module.h"

#include <atomic>

#include "api/helper_window.h"
#include "api/recorder_creation.h"
#include "wavefile/recording_close.h"

namespace voxl {
namespace {

// Its address identifies this module as the instance that owns the class.
char gModuleTag;
std::atomic<ATOM> gClassAtom{0};

}  // namespace

Recorder*& GlobalRecorder() {
  static Recorder* recorder = nullptr;
  return recorder;
}

HINSTANCE ModuleInstance() {
  return reinterpret_cast<HINSTANCE>(&gModuleTag);
}

ATOM HelperClassAtom() {
  return gClassAtom;
}

bool ModuleAttach() {
  if (gClassAtom != 0) return true;
  WNDCLASSA windowClass{};
  windowClass.style = 0;
  windowClass.lpfnWndProc = HelperWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 4;
  windowClass.hInstance = ModuleInstance();
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszClassName = "VOXLHelperClass";
  gClassAtom = RegisterClassA(&windowClass);
  return gClassAtom != 0;
}

void ModuleDetach() {
  Recorder*& recorder = GlobalRecorder();
  if (recorder != nullptr) {
    uint16_t error = 0;
    Close(*recorder, &error);
    DeleteRecorder(recorder);
    recorder = nullptr;
  }
  // The class stays registered (and its atom known) while windows of other recorders exist.
  const ATOM atom = gClassAtom;
  if (atom != 0 && UnregisterClassA(MAKEINTATOM(atom), ModuleInstance()) != FALSE) gClassAtom = 0;
}

namespace {

__attribute__((constructor)) void OnModuleLoad() {
  ModuleAttach();
}
__attribute__((destructor)) void OnModuleUnload() {
  ModuleDetach();
}

}  // namespace

}  // namespace voxl
