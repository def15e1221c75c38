// Playback runs on the engine thread.
//
// Not built yet: opening the output device, filling and refilling its buffers from the file and
// decoding come with the playback work.  Until then every playback start fails cleanly: the
// engine ends in PlaybackFailed with nothing opened, so Play reports ErrPlaybackStart.
#include "engine/engine.h"

namespace voxl {

void StartPlayback(Recorder& r) {
  r.engineStage = PlaybackFailed;
}

bool OnPlayBufferDone(Recorder& r, WAVEHDR&) {
  if (r.engineStage == Playing) r.engineStage = Draining;
  --r.buffersQueued;
  return r.buffersQueued <= 0;
}

void FinishPlayback(Recorder& r) {
  r.engineStage = Idle;
  PostNotification(r, NotifyPlaybackEnded, 0);
  r.state = StateOpen;
}

}  // namespace voxl
