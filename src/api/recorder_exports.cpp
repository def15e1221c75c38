// Exports that let a host create a recorder of its own and use its full method table.
#include "api/recorder_creation.h"
#include "engine/file_convert.h"
#include "engine/transport.h"
#include "voxl310k.h"
#include "wavefile/recording_close.h"
#if !defined(_WIN32)
#include "platform/acm/acm_driver.h"
#endif

namespace {

// A new recorder taken to idle by its first Close.  With `checkDevice` off it never asks the
// input device about its capture format (Close and NewRecording skip the check).
VoxlRecorder* CreateRecorder(WORD* error, bool checkDevice) {
  voxl::Recorder* r = voxl::NewRecorder();
  if (r == nullptr) {
    // No memory for the record or no helper window: the engine cannot run without them.
    if (error != nullptr) *error = voxl::ErrNoEngine;
    return nullptr;
  }
  r->withoutDevices = checkDevice ? 0 : 1;
  // The first Close takes the recorder to idle (and checks the default capture format).
  uint16_t code = voxl::ErrNone;
  voxl::Close(*r, &code);
  if (error != nullptr) *error = code;
  if (code != voxl::ErrNone) {
    voxl::DeleteRecorder(r);
    return nullptr;
  }
  return voxl::ToHost(r);
}

}  // namespace

extern "C" {

VOXL_API VoxlRecorder* VoxlCreateRecorder(WORD* error) {
  return CreateRecorder(error, true);
}

VOXL_API VoxlRecorder* VoxlCreateFileRecorder(WORD* error) {
  return CreateRecorder(error, false);
}

VOXL_API void VoxlDestroyRecorder(VoxlRecorder* recorder) {
  if (recorder != nullptr) voxl::DeleteRecorder(voxl::FromHost(recorder));
}

VOXL_API void VoxlSetCallbacks(VoxlRecorder* recorder, const VoxlRecorderCallbacks* callbacks) {
  if (recorder == nullptr) return;
  const VoxlRecorderCallbacks none{};
  voxl::SetCallbacks(*voxl::FromHost(recorder), callbacks != nullptr ? *callbacks : none);
}

#if !defined(_WIN32)
VOXL_API const char* VoxlCodecLibraryVersions(void) {
  return voxl::acm::CodecLibraryVersions();
}
#endif

VOXL_API void VoxlSetProgressCallback(VoxlRecorder* recorder, VoxlProgressCallback progress,
                                      void* context) {
  if (recorder == nullptr) return;
  voxl::FromHost(recorder)->progress = voxl::ProgressHook{progress, context};
}

VOXL_API void VoxlSetDropoutCallback(VoxlRecorder* recorder, VoxlDropoutCallback dropout,
                                     void* context) {
  if (recorder == nullptr) return;
  voxl::FromHost(recorder)->marks.callback = dropout;
  voxl::FromHost(recorder)->marks.context = context;
}

VOXL_API DWORD VoxlSetLargeFileMode(VoxlRecorder* recorder, DWORD mode) {
  if (recorder == nullptr || (mode != VOXL_LARGE_FILE_NONE && mode != VOXL_LARGE_FILE_RF64)) {
    return voxl::kRefused;
  }
  voxl::FromHost(recorder)->largeFileMode = static_cast<uint16_t>(mode);
  return voxl::kAccepted;
}

VOXL_API DWORD VoxlGetLargeFileMode(VoxlRecorder* recorder) {
  if (recorder == nullptr) return VOXL_LARGE_FILE_NONE;
  return voxl::FromHost(recorder)->largeFileMode.load();
}

VOXL_API const char* VoxlErrorText(WORD code) {
  // Every code of VoxlError has its case (the compiler checks that none is missing); the cast
  // is taken only inside the enumeration's range, which VOXL_ERR_SAME_FILE ends.
  if (code > VOXL_ERR_SAME_FILE) return "unknown error";
  switch (static_cast<VoxlError>(code)) {
    case VOXL_ERR_NONE:
      return "no error";
    case VOXL_ERR_CAPTURE_FORMAT_REFUSED:
      return "the default input device does not accept the capture format";
    case VOXL_ERR_FILE_OPEN:
      return "the file could not be opened, created or read";
    case VOXL_ERR_RIFF_WRITE:
      return "the WAVE structure could not be written to the new file";
    case VOXL_ERR_NOT_RIFF_WAVE:
      return "the file is not a usable WAVE file";
    case VOXL_ERR_FORMAT_UNUSABLE:
      return "the format cannot be used, or its conversion cannot be set up";
    case VOXL_ERR_NO_ENGINE:
      return "the recorder's engine is not running";
    case VOXL_ERR_NEEDS_OPEN:
      return "this needs an open recording or file that is stopped";
    case VOXL_ERR_CAPTURE_WRITE:
      return "recorded data could not be written, or the encoder took no input";
    case VOXL_ERR_CAPTURE_START:
      return "recording could not be started on the input device";
    case VOXL_ERR_PLAYBACK_START:
      return "playback could not be started on the output device";
    case VOXL_ERR_PLAYBACK_READ:
      return "the file could not be read during playback";
    case VOXL_ERR_VOLUME_CONTROL:
      return "the volume control could not be started, or the file could not be rewritten";
    case VOXL_ERR_LENGTH_LIMIT:
      return "the recording length limit is reached";
    case VOXL_ERR_NO_CODEC_MANAGER:
      return "the codec manager is not available";
    case VOXL_ERR_CHOOSER_CANCELLED:
      return "the format choice was cancelled or failed";
    case VOXL_ERR_FORMAT_NOT_DESCRIBED:
      return "the format could not be described";
    case VOXL_ERR_NO_TARGET_FORMAT:
      return "no target format is set";
    case VOXL_ERR_READ_ONLY:
      return "refused: the recorder is read-only";
    case VOXL_ERR_NO_FILE:
      return "no file is open";
    case VOXL_ERR_DEVICE_LOST:
      return "the input device stopped working during the recording";
    case VOXL_ERR_FILE_IN_USE:
      return "the file is open for writing by another recorder or process";
    case VOXL_ERR_NOT_A_FILE:
      return "the name is not a regular file (a device, FIFO, socket or folder)";
    case VOXL_ERR_CANCELLED:
      return "cancelled";
    case VOXL_ERR_SAME_FILE:
      return "the output is the input file";
  }
  return "unknown error";
}

VOXL_API WORD VoxlConvertFile(LPCSTR input, LPCSTR output, const VoxlConvertOptions* options) {
  if (options == nullptr) return voxl::ErrFormatUnusable;
  return voxl::ConvertFile(input, output, *options);
}

}  // extern "C"
