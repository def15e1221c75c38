// The host side of the engine protocol: Record, Play, Stop and SetPaused post a command and wait
// for the engine's answer.
//
// The waits have no time limit (the engine always answers) and never dispatch messages, so no
// host callback runs while a method waits.
#include "engine/transport.h"

#include "engine/engine.h"

namespace voxl {
namespace {

// Posts CmdRecord or CmdPlay and waits until the engine has taken it in Idle.  True when the
// run started; on a failed start the stage goes back to Idle for the next attempt.
bool StartRunAndWait(Recorder& r, EngineCommand command, uint16_t failedStage) {
  const uint32_t before = r.runsStarted;
  PostEngineCommand(r, command);
  WaitUntil([&] { return r.runsStarted != before; });
  if (r.engineStage != failedStage) return true;
  r.engineStage = Idle;
  return false;
}

}  // namespace

uint32_t Record(Recorder& r, uint16_t* error) {
  if (error != nullptr) *error = ErrNone;
  if (r.readOnly != 0) {
    ReportError(r, error, ErrReadOnly);
    return 0;
  }
  if (r.state != StateOpen) {
    ReportError(r, error, ErrNeedsOpen);
    return 0;
  }
  const uint64_t limit = r.maxLengthSamples;
  if (limit > 0 && r.recordedLength >= limit) {
    ReportError(r, error, ErrLengthLimit);
    return 0;
  }
  r.silent = 0;
  r.silenceCountdown = 0;
  // The engine sets state 3 itself when capture has started.
  if (!StartRunAndWait(r, CmdRecord, CaptureFailed)) ReportError(r, error, ErrCaptureStart);
  return 0;
}

uint32_t Play(Recorder& r, uint16_t* error) {
  if (error != nullptr) *error = ErrNone;
  if (r.state != StateOpen) {
    ReportError(r, error, ErrNeedsOpen);
    return 0;
  }
  if (r.fileHandle == nullptr) {
    ReportError(r, error, ErrNoFile);
    return 0;
  }
  // The engine sets state 4 itself when playback has started.
  if (!StartRunAndWait(r, CmdPlay, PlaybackFailed)) ReportError(r, error, ErrPlaybackStart);
  return 0;
}

uint32_t Stop(Recorder& r) {
  if (r.state == StateRecording) {
    PostEngineCommand(r, CmdStopRecord);
    WaitUntil([&] { return r.state == StateOpen; });
  }
  if (r.state == StatePlaying) {
    PostEngineCommand(r, CmdStopPlay);
    WaitUntil([&] { return r.state == StateOpen; });
  }
  return 0;
}

uint32_t SetPaused(Recorder& r, int16_t value) {
  r.paused = static_cast<uint16_t>(value);
  if (r.state == StatePlaying) {
    PostEngineCommand(r, CmdPause, static_cast<LPARAM>(value));  // sign-extended
  }
  return 0;
}

void SetCallbacks(Recorder& r, const RecorderCallbacks& callbacks) {
  r.callbacks = callbacks;
}

}  // namespace voxl
