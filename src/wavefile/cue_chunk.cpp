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
#include <cstdlib>
#include <cstring>

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
  // A cue point holds a 32-bit frame: a mark further into an RF64 file has no place in one.
  std::erase_if(marks, [](const TakeMark& m) { return m.position > int64_t{UINT32_MAX}; });
  if (marks.empty()) return out;
  std::stable_sort(marks.begin(), marks.end(),
                   [](const TakeMark& a, const TakeMark& b) { return a.position < b.position; });
  if (marks.size() > kMaxCuePoints) marks.resize(kMaxCuePoints);
  const auto count = static_cast<uint32_t>(marks.size());
  PutId(out, "cue ");
  Put32(out, 4 + 24 * count);
  Put32(out, count);
  for (uint32_t i = 0; i < count; ++i) {
    const auto position = static_cast<uint32_t>(std::max<int64_t>(marks[i].position, 0));
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

namespace {

// Largest tail behind the data that ReadCueChunks reads: the chunks of kMaxCuePoints marks.
constexpr uint64_t kMaxCueBytes = 12 + kMaxCuePoints * 48 + 12;

// Where the chunks of r.marks go and what they hold: in place of those the file was opened with
// (they end the form), or right behind the data where the data has grown into them, so that none
// of their old bytes is left between the data and the new chunks; else behind the form (at an
// even offset: a form of odd size is followed by its pad byte).  *formEnd is where the form ends
// now.  False when nothing is to be written.
bool PlaceCueChunks(const Recorder& r, uint64_t* at, std::vector<uint8_t>* chunks,
                    uint64_t* formEndNow = nullptr) {
  const uint64_t formStart = r.riffChunk.dwDataOffset;
  if (r.fileHandle == nullptr || r.marks.list.empty() || formStart < 8) return false;
  *chunks = CueChunks(r.marks.list, r.pcmFormat.nSamplesPerSec);
  // The form size was written just before (WriteChunkSizes): the record holds it, or the
  // 64-bit size of an RF64 file.
  const uint64_t formSize = FormBytesHeld(r);
  const uint64_t formEnd = formStart + formSize + (formSize & 1);
  const uint64_t data = DataBytesHeld(r);
  const uint64_t dataEnd = r.dataChunk.dwDataOffset + data + (data & 1);
  const uint64_t stored = r.marks.storedAt;
  *at = stored != 0 && stored < formEnd ? std::max(stored, dataEnd) : formEnd;
  if (formEndNow != nullptr) *formEndNow = formEnd;
  return r.large.active || *at + chunks->size() - formStart <= kMaxRiffOffset;
}

}  // namespace

void ReadCueChunks(Recorder& r) {
  r.marks.list.clear();
  r.marks.storedAt = 0;
  HMMIO h = r.fileHandle;
  const uint64_t data = DataBytesHeld(r);
  const uint64_t behindData = r.dataChunk.dwDataOffset + data;
  const uint64_t at = behindData + (data & 1);
  const uint64_t formEnd = r.riffChunk.dwDataOffset + FormBytesHeld(r);
  if (h == nullptr || at + 12 > formEnd || formEnd - at > kMaxCueBytes) return;
  std::vector<uint8_t> tail(formEnd - at);
  const bool read = SeekTo(h, at) && ReadAll(h, tail.data(), static_cast<uint32_t>(tail.size()));
  SeekTo(h, behindData);
  if (!read || std::memcmp(tail.data(), "cue ", 4) != 0) return;
  // The points, then their labels in the same order; taken only when written back they give
  // these very bytes.
  const uint64_t count = LoadLe32(tail.data() + 8);
  uint64_t label = 12 + 24 * count + 12;
  if (label > tail.size()) return;
  const uint32_t rate = r.pcmFormat.nSamplesPerSec;
  std::vector<TakeMark> marks;
  for (uint64_t i = 0; i < count && label + 12 <= tail.size(); ++i) {
    const uint32_t position = LoadLe32(tail.data() + 12 + 24 * i + 20);
    const uint64_t textBytes = LoadLe32(tail.data() + label + 4);
    if (textBytes < 5 || label + 8 + textBytes > tail.size()) return;
    const auto* chars = reinterpret_cast<const char*>(tail.data() + label + 12);
    const std::string text(chars, strnlen(chars, textBytes - 4));
    if (text.size() < 8) return;
    TakeMark mark{position, 0, TakeMarkKind::DeviceLost};
    if (text != "device lost") {
      mark.kind = TakeMarkKind::Dropout;
      mark.frames = static_cast<uint32_t>(std::lround(std::atof(text.c_str() + 8) * rate / 1000));
    }
    marks.push_back(mark);
    label += 8 + textBytes + (textBytes & 1);
  }
  if (CueChunks(marks, rate) != tail) return;
  r.marks.list = std::move(marks);
  r.marks.storedAt = at;
}

bool AppendCueChunks(Recorder& r) {
  uint64_t at = 0, formEnd = 0, fileBytes = 0;
  std::vector<uint8_t> chunks;
  if (!PlaceCueChunks(r, &at, &chunks, &formEnd)) return true;
  HMMIO h = r.fileHandle;
  const uint64_t formStart = r.riffChunk.dwDataOffset;
  const uint64_t newSize = at + chunks.size() - formStart;
  // The form shrinks where the data grew into the old chunks and the new ones are shorter than
  // what is left of them; the remains at the end of the file go with the file's old end.
  const bool trim = at + chunks.size() < formEnd && mmio::Length64(h, &fileBytes) &&
                    fileBytes >= formEnd && fileBytes <= formEnd + 1;
  if (!SeekTo(h, at) || !WriteAll(h, chunks.data(), static_cast<uint32_t>(chunks.size()))) {
    return false;
  }
  if (r.large.active) {
    if (!WriteSizeFields(r, r.large.data, newSize, nullptr)) return false;
  } else {
    if (!SeekTo(h, formStart - 4) || !WriteU32(h, static_cast<uint32_t>(newSize))) return false;
    r.riffChunk.cksize = static_cast<DWORD>(newSize);
  }
  return !trim || mmio::Truncate(h, at + chunks.size());
}

uint64_t CueChunksEnd(const Recorder& r) {
  uint64_t at = 0;
  std::vector<uint8_t> chunks;
  return PlaceCueChunks(r, &at, &chunks) ? at + chunks.size() : 0;
}

void CutMarks(TakeMarks& marks, int64_t at, int64_t frames) {
  const int64_t end = at + frames;
  std::erase_if(marks.list, [&](const TakeMark& m) { return m.position > at && m.position < end; });
  for (TakeMark& m : marks.list) {
    if (m.position >= end) m.position -= frames;
  }
}

}  // namespace voxl
