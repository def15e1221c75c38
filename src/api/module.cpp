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

namespace voxl {
namespace {

std::atomic<ATOM> gClassAtom{0};

#if defined(_WIN32)
// The module's real instance handle: given to the entry point when the library is a DLL, and
// looked up from an address inside this code when the recorder is linked into a program.
std::atomic<HINSTANCE> gInstance{nullptr};
#else
// Its address identifies this module as the instance that owns the class.
char gModuleTag;
#endif

}  // namespace

Recorder*& GlobalRecorder() {
  static Recorder* recorder = nullptr;
  return recorder;
}

HINSTANCE ModuleInstance() {
#if defined(_WIN32)
  if (gInstance.load() == nullptr) {
    HMODULE self = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&gClassAtom), &self);
    gInstance = self;
  }
  return gInstance;
#else
  return reinterpret_cast<HINSTANCE>(&gModuleTag);
#endif
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
    DeleteRecorder(recorder);  // closes what the recorder has open first
    recorder = nullptr;
  }
  // The class stays registered (and its atom known) while windows of other recorders exist.
  const ATOM atom = gClassAtom;
  if (atom != 0 && UnregisterClassA(MAKEINTATOM(atom), ModuleInstance()) != FALSE) gClassAtom = 0;
}

#if !defined(_WIN32)
namespace {

__attribute__((constructor)) void OnModuleLoad() {
  ModuleAttach();
}
__attribute__((destructor)) void OnModuleUnload() {
  ModuleDetach();
}

}  // namespace
#endif

}  // namespace voxl

#if defined(_WIN32)
// The module entry point of the DLL.  A failed registration of the window class fails the
// load.  Every engine thread holds the module (engine.cpp), so an explicit unload (FreeLibrary)
// comes only when no recorder is left and just unregisters the class.  When the process ends
// (reserved is not null) the system has already ended every other thread, the engine threads
// among them, and reclaims everything itself: tearing a recorder down then would wait for ever
// on an engine that is gone.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      voxl::gInstance = instance;
      DisableThreadLibraryCalls(instance);
      return voxl::ModuleAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      if (reserved == nullptr) voxl::ModuleDetach();
      return TRUE;
    default:
      return TRUE;
  }
}
#endif
