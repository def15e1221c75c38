// The ten device buffers of a capture or playback run: allocated and prepared at its start,
// unprepared and freed at its end.  Capture and playback differ only in the device functions,
// which they pass in (waveInPrepareHeader / waveOutPrepareHeader and their unprepare forms).
//
// Engine thread only.
#pragma once

#include <cstdlib>

#include "core/recorder.h"

namespace voxl {

// Allocates kWaveBufferCount buffers of `bytes` into r.waveHeaders and prepares each with
// `prepare(header)` (true when it succeeded).  Returns how many were prepared: kWaveBufferCount
// when all of them were, fewer after a failure (what was made stays for FreeDeviceBuffers).
template <typename Prepare>
int AllocateDeviceBuffers(Recorder& r, uint32_t bytes, Prepare prepare) {
  r.waveHeaders = static_cast<WAVEHDR*>(std::calloc(kWaveBufferCount, sizeof(WAVEHDR)));
  if (r.waveHeaders == nullptr) return 0;
  int prepared = 0;
  for (; prepared < kWaveBufferCount; ++prepared) {
    WAVEHDR& header = r.waveHeaders[prepared];
    header.lpData = static_cast<LPSTR>(std::malloc(bytes));
    header.dwBufferLength = bytes;
    header.dwFlags = 0;
    if (header.lpData == nullptr || !prepare(header)) break;
  }
  return prepared;
}

// Unprepares the first `prepared` buffers with `unprepare(header)`, frees every buffer and the
// array.
template <typename Unprepare>
void FreeDeviceBuffers(Recorder& r, int prepared, Unprepare unprepare) {
  if (r.waveHeaders == nullptr) return;
  for (int i = 0; i < kWaveBufferCount; ++i) {
    WAVEHDR& header = r.waveHeaders[i];
    if (i < prepared) unprepare(header);
    std::free(header.lpData);
  }
  std::free(r.waveHeaders);
  r.waveHeaders = nullptr;
}

}  // namespace voxl
