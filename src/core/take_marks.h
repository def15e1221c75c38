// The marks of the open recording: where audio is missing from it (a dropout: the device
// delivered less than the time that passed) and where a run ended because its device went away.
// The engine places them during a run; closing a RIFF/WAVE recording writes them as cue points
// with labels (wavefile/cue_chunk.h).  Nothing is inserted into the audio for a mark: the file
// holds what arrived.
//
// The list belongs to the engine during a run and to the host's thread otherwise (the hand-off
// is the run's start and end, as for the file itself).
#pragma once

#include <cstdint>
#include <vector>

#include "voxl310k.h"

namespace voxl {

enum class TakeMarkKind : uint8_t {
  Dropout,     // `frames` frames of audio never arrived before `position`
  DeviceLost,  // the run ended at `position`: its input device went away
};

struct TakeMark {
  int64_t position;  // sample frames in the recording
  uint32_t frames;   // sample frames missing (0 for DeviceLost)
  TakeMarkKind kind;
};

struct TakeMarks {
  std::vector<TakeMark> list;  // in the order found
  // Where the file holds the chunks of the marks it was opened with (cue_chunk.h), 0 for none.
  uint64_t storedAt = 0;
  // Engine, during a run: device bytes the input delivered since the run began, the first mark
  // of the run, and where an insert-mode run began with the length it found.
  uint64_t deviceBytes = 0;
  size_t runFirst = 0;
  int64_t runStart = 0;
  uint64_t lengthAtStart = 0;
  // The host's dropout callback and its context (host thread).
  VoxlDropoutCallback callback = nullptr;
  void* context = nullptr;
};

// A dropout on its way from the engine to the host (notification NotifyDropout); the receiver
// frees it with free().
struct DropoutNote {
  uint32_t run;      // the run it belongs to (Recorder::run)
  int64_t position;  // sample frames in the recording
  uint32_t frames;   // sample frames missing
};

}  // namespace voxl
