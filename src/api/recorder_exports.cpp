// Exports that let a host create a recorder of its own and use its full method table.
#include "engine/transport.h"
#include "voxl310k.h"

extern "C" {

VOXL_API VoxlRecorder* VoxlCreateRecorder(WORD* error) {
  voxl::Recorder* r = voxl::NewRecorder();
  if (r == nullptr) {
    // No memory for the record: the engine cannot run without it.
    if (error != nullptr) *error = voxl::ErrNoEngine;
    return nullptr;
  }
  // The first Close takes the recorder to idle and checks the default capture format.
  uint16_t code = voxl::ErrNone;
  voxl::Close(*r, &code);
  if (error != nullptr) *error = code;
  if (code != voxl::ErrNone) {
    voxl::DeleteRecorder(r);
    return nullptr;
  }
  return voxl::ToHost(r);
}

VOXL_API void VoxlDestroyRecorder(VoxlRecorder* recorder) {
  if (recorder != nullptr) voxl::DeleteRecorder(voxl::FromHost(recorder));
}

VOXL_API void VoxlSetCallbacks(VoxlRecorder* recorder, const VoxlRecorderCallbacks* callbacks) {
  if (recorder == nullptr) return;
  const VoxlRecorderCallbacks none{};
  voxl::SetCallbacks(*voxl::FromHost(recorder), callbacks != nullptr ? *callbacks : none);
}

VOXL_API const char* VoxlErrorText(WORD code) {
  static const char* const kTexts[] = {
      "no error",
      "the default input device does not accept the capture format",
      "the file could not be opened, created or read",
      "the WAVE structure could not be written to the new file",
      "the file is not a usable WAVE file",
      "the format cannot be used, or its conversion cannot be set up",
      "the recorder's engine is not running",
      "this needs an open recording or file that is stopped",
      "recorded data could not be written, or the encoder took no input",
      "recording could not be started on the input device",
      "playback could not be started on the output device",
      "the file could not be read during playback",
      "the volume control could not be started, or the file could not be rewritten",
      "the recording length limit is reached",
      "the codec manager is not available",
      "the format choice was cancelled or failed",
      "the format could not be described",
      "no target format is set",
      "refused: the recorder is read-only",
      "no file is open",
  };
  if (code < sizeof kTexts / sizeof kTexts[0]) return kTexts[code];
  return "unknown error";
}

}  // extern "C"
