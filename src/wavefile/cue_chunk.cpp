// Cue points and their labels for the marks of a take (cue_chunk.h).
//
// Layout, little-endian:
//   "cue " <4 + 24 n> <n> then per point: <id> <position> "data" <chunk start 0> <block start 0>
//                                          <sample offset = position>
//   "LIST" <size> "adtl" then per point: "labl" <4 + text bytes> <id> <text, NUL> [pad byte]
// Positions are sample frames from the start of the data.
#include "wavefile/cue_chunk.h"

#include <algorithm>
#include <cmath>

#include "wavefile/riff_io.h"
#include "wavefile/riff_layout.h"

namespace voxl {
namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutId(std::vector<uint8_t>& out, const char* id) {
  out.insert(out.end(), id, id + 4);
}

// Up to this many marks are written; a take that drops out more often than that is not helped
// by more labels.
constexpr size_t kMaxCuePoints = 100000;

}  // namespace

std::string MarkLabel(const TakeMark& mark, uint32_t rate) {
  if (mark.kind == TakeMarkKind::DeviceLost) return "device lost";
  const double ms = rate > 0 ? std::round(1000.0 * mark.frames / rate) : 0.0;
  return "dropout " + std::to_string(std::max<uint64_t>(1, static_cast<uint64_t>(ms))) + " ms";
}

std::vector<uint8_t> CueChunks(std::vector<TakeMark> marks, uint32_t rate) {
  std::vector<uint8_t> out;
  if (marks.empty()) return out;
  std::stable_sort(marks.begin(), marks.end(),
                   [](const TakeMark& a, const TakeMark& b) { return a.position < b.position; });
  if (marks.size() > kMaxCuePoints) marks.resize(kMaxCuePoints);
  const auto count = static_cast<uint32_t>(marks.size());
  PutId(out, "cue ");
  Put32(out, 4 + 24 * count);
  Put32(out, count);
  for (uint32_t i = 0; i < count; ++i) {
    const auto position = static_cast<uint32_t>(std::max(marks[i].position, 0));
    Put32(out, i + 1);
    Put32(out, position);
    PutId(out, "data");
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, position);
  }
  const size_t list = out.size();
  PutId(out, "LIST");
  Put32(out, 0);
  PutId(out, "adtl");
  for (uint32_t i = 0; i < count; ++i) {
    const std::string text = MarkLabel(marks[i], rate);
    PutId(out, "labl");
    Put32(out, static_cast<uint32_t>(4 + text.size() + 1));
    Put32(out, i + 1);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    if (out.size() % 2 != 0) out.push_back(0);
  }
  StoreLe32(out.data() + list + 4, static_cast<uint32_t>(out.size() - list - 8));
  return out;
}

bool AppendCueChunks(Recorder& r) {
  HMMIO h = r.fileHandle;
  if (h == nullptr || r.marks.list.empty()) return true;
  const std::vector<uint8_t> chunks = CueChunks(r.marks.list, r.pcmFormat.nSamplesPerSec);
  const uint64_t formStart = r.riffChunk.dwDataOffset;
  if (formStart < 8) return false;
  // The form size was written just before (WriteChunkSizes): the record holds it, or the
  // 64-bit size of an RF64 file.
  const uint64_t formSize = FormBytesHeld(r);
  // Behind the form, at an even offset (a form of odd size is followed by its pad byte).
  const uint64_t at = formStart + formSize + (formSize & 1);
  const uint64_t newSize = at + chunks.size() - formStart;
  if (!r.large.active && newSize > kMaxRiffOffset) return true;
  if (!SeekTo(h, at) || !WriteAll(h, chunks.data(), static_cast<uint32_t>(chunks.size()))) {
    return false;
  }
  if (r.large.active) return WriteSizeFields(r, r.large.data, newSize, nullptr);
  if (!SeekTo(h, formStart - 4) || !WriteU32(h, static_cast<uint32_t>(newSize))) return false;
  r.riffChunk.cksize = static_cast<DWORD>(newSize);
  return true;
}

void CutMarks(TakeMarks& marks, int32_t at, uint32_t frames) {
  const int64_t end = int64_t{at} + frames;
  std::erase_if(marks.list, [&](const TakeMark& m) { return m.position > at && m.position < end; });
  for (TakeMark& m : marks.list) {
    if (m.position >= end) m.position = static_cast<int32_t>(m.position - int64_t{frames});
  }
}

}  // namespace voxl
