// Dropouts of a capture run (dropouts.h).
#include "engine/dropouts.h"

#include <algorithm>
#include <cstdlib>

#include "engine/engine.h"
#include "formats/pcm_format.h"

namespace voxl {
namespace {

// The oldest gap the input device reports at or before byte `upTo` of its stream.
bool TakeGap(HWAVEIN waveIn, uint64_t upTo, uint64_t* byteOffset, uint64_t* frames) {
#if defined(_WIN32)
  // The original platform's wave input reports no gaps.
  (void)waveIn, (void)upTo, (void)byteOffset, (void)frames;
  return false;
#else
  VOXLWAVEGAP gap{};
  if (VoxlWaveInTakeGap(waveIn, upTo, &gap) != MMSYSERR_NOERROR) return false;
  *byteOffset = gap.byteOffset;
  *frames = gap.frames;
  return true;
#endif
}

// Marks kept per recording at most; dropouts beyond them still reach the host.
constexpr size_t kMaxMarks = 100000;

void AddMark(Recorder& r, const TakeMark& mark) {
  if (r.marks.list.size() < kMaxMarks) r.marks.list.push_back(mark);
}

}  // namespace

void BeginRunMarks(Recorder& r) {
  TakeMarks& m = r.marks;
  m.deviceBytes = 0;
  m.runFirst = m.list.size();
  m.runStart = r.position.load();
  m.lengthAtStart = r.length.load();
}

void PlaceGaps(Recorder& r, uint32_t bytes, int64_t positionBefore) {
  TakeMarks& m = r.marks;
  const uint64_t end = m.deviceBytes + bytes;
  m.deviceBytes = end;
  // The device delivers 16-bit samples for an A-law or mu-law recording.
  const uint32_t frameBytes = r.pcmFormat.nBlockAlign * (IsG711(r.pcmFormat) ? 2u : 1u);
  const int64_t after = r.position.load();
  const bool dropped = bytes > 0 && after == positionBefore &&
                       (r.paused != 0 || r.silent != 0 || r.stopReason != ErrNone);
  uint64_t at = 0, frames = 0;
  while (frameBytes > 0 && TakeGap(r.waveIn, end, &at, &frames)) {
    if (dropped) continue;
    const int64_t behind = static_cast<int64_t>((end - std::min(at, end)) / frameBytes);
    const int64_t position = std::clamp<int64_t>(after - behind, positionBefore, after);
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(frames, UINT32_MAX));
    AddMark(r, TakeMark{position, length, TakeMarkKind::Dropout});
    auto* note = static_cast<DropoutNote*>(std::malloc(sizeof(DropoutNote)));
    if (note == nullptr) continue;
    *note = DropoutNote{r.run.load(), position, length};
    PostNotification(r, NotifyDropout, reinterpret_cast<LPARAM>(note));
  }
}

void MarkRunEnd(Recorder& r) {
  if (r.stopReason == ErrDeviceLost) {
    AddMark(r, TakeMark{r.position.load(), 0, TakeMarkKind::DeviceLost});
  }
}

void SettleRunMarks(Recorder& r) {
  TakeMarks& m = r.marks;
  const auto first =
      m.list.begin() + static_cast<std::ptrdiff_t>(std::min(m.runFirst, m.list.size()));
  if (r.fileHandle == nullptr) return;
  if (r.insertMode != 0) {
    const int64_t inserted =
        static_cast<int64_t>(r.length.load()) - static_cast<int64_t>(m.lengthAtStart);
    if (inserted <= 0) {
      m.list.erase(first, m.list.end());
      return;
    }
    // A mark at the insertion point stays with the audio before it.
    for (auto it = m.list.begin(); it != first; ++it) {
      if (it->position > m.runStart) it->position += inserted;
    }
    return;
  }
  // The audio between where the run began and where it ended is new: what earlier marks said
  // of the audio there no longer holds.
  const int64_t runEnd = r.position.load();
  const auto stale = std::remove_if(m.list.begin(), first, [&](const TakeMark& mark) {
    return mark.position > m.runStart && mark.position < runEnd;
  });
  m.list.erase(stale, first);
}

}  // namespace voxl
