// Creation and destruction of a recorder.
#include "api/recorder_creation.h"

#include <cstdlib>
#include <new>

#include "api/helper_window.h"
#include "api/recorder_methods.h"
#include "engine/engine.h"
#include "wavefile/recording_close.h"

namespace voxl {

Recorder* NewRecorder() {
  auto* r = new (std::nothrow) Recorder;
  if (r == nullptr) return nullptr;
  r->methods = &kRecorderMethods;
  // Without its window the engine could reach neither the host nor the end of a capture run,
  // so no recorder is made; the engine is started only once the window exists.
  r->helperWindow = HelperWindow::Create(*r);
  if (r->helperWindow == nullptr) {
    delete r;
    return nullptr;
  }
  r->notifyWindow = r->helperWindow->handle();
  StartEngine(*r);
  return r;
}

void DeleteRecorder(Recorder* r) {
  if (r == nullptr) return;
  uint16_t error = 0;
  // An idle recorder has nothing open: its Close would only ask the input device about the
  // capture format again, and on the original platform a device query while the loader holds
  // its lock (unload) can wait for ever on the audio system's own threads.
  if (r->state.load() > StateIdle) Close(*r, &error);
  r->notifyWindow = nullptr;
  delete r->helperWindow;
  r->helperWindow = nullptr;
  std::free(r->chosenFormat);
  r->chosenFormat = nullptr;
  std::free(r->fileFormat);
  r->fileFormat = nullptr;
  if (r->threadHandle != kNoThread) {
    AwaitEngine(*r);  // the thread uses the record until it has taken the quit command
    // A stage of NotRunning here means the engine has quit already (nothing else ends it).
    while (r->engineStage != NotRunning && !PostEngineCommand(*r, CmdQuit)) Sleep(0);
    WaitUntil([&] { return r->engineStage == NotRunning; });
  }
  delete r;
}

}  // namespace voxl
