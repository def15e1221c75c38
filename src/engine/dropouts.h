// Dropouts of a capture run: the gaps the input device reports (wave.h, VoxlWaveInTakeGap) are
// placed at their sample positions in the recording, kept as marks of the take
// (core/take_marks.h) and posted to the host (NotifyDropout); a run that its device ended gets a
// mark at its end.
//
// Engine thread, during a run.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// The start of a capture run, before its device opens: the run's marks begin here.
void BeginRunMarks(Recorder& r);

// After a returned device buffer of `bytes` bytes was handled, with the recording at
// `positionBefore` before: each gap the device reports up to the end of the buffer becomes a
// dropout at its position (the frames of the buffer behind the gap counted back from where the
// buffer's audio ended, so within the buffer).  A gap in audio that the recording does not keep
// (paused, silent, after the run's limit or a failed write) is no dropout of it.
void PlaceGaps(Recorder& r, uint32_t bytes, int64_t positionBefore);

// The end of a run, before its end tone: a run that ended because its device went away gets a
// DeviceLost mark where its audio ends.
void MarkRunEnd(Recorder& r);

// After the run's audio is in the recording (an insert-mode run's splice done): marks of earlier
// runs behind an insertion move up with the audio; those an overwriting run wrote over go; an
// insertion that did not take drops the run's own marks.
void SettleRunMarks(Recorder& r);

}  // namespace voxl
