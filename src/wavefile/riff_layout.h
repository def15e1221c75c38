// The layout of the RIFF/WAVE files the recorder writes, and their headerless kin: the chunk
// records of a new file, its header, and the sizes written when its data has grown.
//
// Layout of a new RIFF/WAVE file (little-endian; docs/file-format.md has the full picture):
//   "RIFF" <form size> "WAVE"
//   "fmt " <size> <format record>      PCM/A-law/mu-law: the 18-byte pcmFormat;
//                                      compressed: fileFormat with its extra bytes (+ pad byte)
//   "fact" 4 <sample count>            only when the format tag is not PCM
//   "data" <size> <samples>            always the last chunk
// Sizes and the sample count are 0 when the file is created; WriteSizesInPlace keeps them up to
// date while a run writes the file, WriteChunkSizes at the end.  A headerless file holds only the
// samples, from byte 0.
//
// These steps touch only the file, the recorder's chunk records (riffChunk, fmtChunk, factChunk,
// dataChunk) and its header copy (sizeHeader), never its state, position or length.
#pragma once

#include <cstdint>

#include "core/recorder.h"
#include "wavefile/edit_journal.h"

namespace voxl {

constexpr FOURCC kWaveForm = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmtChunk = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kFactChunk = mmioFOURCC('f', 'a', 'c', 't');
constexpr FOURCC kDataChunk = mmioFOURCC('d', 'a', 't', 'a');

constexpr FOURCC kJunkChunk = mmioFOURCC('J', 'U', 'N', 'K');
constexpr FOURCC kRf64Form = mmioFOURCC('R', 'F', '6', '4');
constexpr FOURCC kDs64Chunk = mmioFOURCC('d', 's', '6', '4');

// Highest byte offset at which recorded data may end in a file.  Data that ended past it would
// need a data or form size beyond what 32-bit RIFF sizes describe (the last byte is kept free
// for the pad byte of odd-sized data).
constexpr uint64_t kMaxDataEnd = 0xFFFFFFFEu;

// Highest byte offset at which the data of an RF64 file may end (far beyond any disk).
constexpr uint64_t kMaxLargeDataEnd = uint64_t{1} << 62;

// Where recorded data may end in the open file: kMaxLargeDataEnd when it is an RF64 file, or
// has the room for the 64-bit sizes (r.large.room) and the recorder is in large-file mode; else
// kMaxDataEnd.
uint64_t DataEndLimit(const Recorder& r);
// The data and form sizes as they stand: the 64-bit ones of an RF64 file, else those of the
// chunk records.  (While a file is RF64, its chunk records hold these sizes capped at
// 0xFFFFFFFF, and its 32-bit size fields on disk say 0xFFFFFFFF.)
uint64_t DataBytesHeld(const Recorder& r);
uint64_t FormBytesHeld(const Recorder& r);

// Creates (or empties) the file `name` as r.fileHandle and lays out its start.  RIFF/WAVE
// (fileKind 0): the chunk records are preset and the form, "fmt " holding `format`
// (`formatBytes` bytes, padded to even), "fact" with a count of 0 when `withFact`, and the
// header of "data" are written; the file is left at the first data byte.  Headerless (fileKind
// != 0): the data starts at byte 0 and nothing is written.  Returns ErrNone; ErrFileOpen when
// the file cannot be created; ErrRiffWrite when the header cannot be written: the file is then
// closed and deleted (creating it had emptied it, so nothing of an earlier file is lost).
// fileHandle is null after a failure.
uint16_t CreateWaveFile(Recorder& r, char* name, const void* format, uint32_t formatBytes,
                        bool withFact);

// Places the file at `end`, the end of the data.  The data chunk is the last chunk of every file
// the recorder writes, so when `end` lies beyond what a RIFF file can address, the end of the
// file is the best stand-in (never a wrapped offset).  False when the seek fails.
bool SeekToDataEnd(HMMIO h, uint64_t end);

// Writes the sizes of the RIFF/WAVE file r.fileHandle for data ending at `dataEnd` (or further,
// where the data chunk already reaches; the form likewise keeps the chunks behind the data): the
// data chunk's, then, when `factCount` is not null, the "fact" sample count (the chunk is searched
// for within the form), then the form's.  Leaves the file behind the data chunk.  A step that
// fails (a chunk not found, a seek or write failing) does not stop the others, except that the
// data and form sizes are left unwritten (their chunks dirty) when `dataEnd` cannot be reached.
void WriteChunkSizes(Recorder& r, uint64_t dataEnd, const uint64_t* factCount);

// Writes the size fields of the RIFF/WAVE file r.fileHandle as given, whatever they said before
// (sizes that shrink, as after a cut): the data size (with a zero pad byte behind odd-sized
// data), the "fact" sample count when `factCount` is not null and the file has a "fact" chunk,
// and the form size.  riffChunk and dataChunk take the new sizes when all writes took; the
// position is left anywhere.  False when a seek or a write failed.
bool WriteSizeFields(Recorder& r, uint64_t dataSize, uint64_t formSize, const uint64_t* factCount);

// Rereads riffChunk and dataChunk as they stand in the file (each kept as it was when its search
// fails).
void RereadChunks(Recorder& r);

// While a run writes the RIFF/WAVE file r.fileHandle: brings its sizes on disk up to data ending
// at `dataEnd`, so that a process stopped at any moment leaves a file whose sizes cover what was
// written.  The data size becomes the larger of what dataChunk records and what `dataEnd` gives
// (a size never shrinks), the form size follows it (counting the pad byte of odd-sized data, as
// the end of the run writes it), and the "fact" sample count becomes *factCount when `factCount`
// is not null and the file has a "fact" chunk.  The offsets come from the chunk records (no
// search).  With the header copy of BeginSizeUpdates, the header from the form size to the data
// size is written in one piece, and only when a field changed; without it each changed field is
// one 4-byte write, the data size first and the form size last.  riffChunk and dataChunk take the
// new sizes, and the file is put back where it was.  False when a seek or a write failed.
// `formEndAtLeast` (a file offset) keeps chunks behind the data inside the form when they have
// moved up (an insert moves them with the tail).
bool WriteSizesInPlace(Recorder& r, uint64_t dataEnd, const uint64_t* factCount,
                       uint64_t formEndAtLeast = 0);
// A data end or form end that passes what 32-bit sizes describe, in a file where DataEndLimit
// allows it, turns the file into RF64: the header from byte 0 to the data size field is written
// in one piece, "RF64" with a form size of 0xFFFFFFFF, "WAVE", "ds64" with the 64-bit sizes in
// place of the "JUNK", a "fact" count of 0xFFFFFFFF and a data size of 0xFFFFFFFF.  Until that
// write the file is the plain RIFF/WAVE file of the data up to 4 GiB; after it, each update
// writes the header again with the new 64-bit sizes.
//
// The sizes WriteSizesInPlace writes for these arguments (all offsets 0 when they do not fit).
SizeFields InPlaceSizes(const Recorder& r, uint64_t dataEnd, const uint64_t* factCount,
                        uint64_t formEndAtLeast);

// Start of a run that writes r.fileHandle (RIFF/WAVE) in place: reads the file's header, up to
// its first data byte, into sizeHeader (at most 64 KiB; without it WriteSizesInPlace writes field
// by field).  EndSizeUpdates frees it.
void BeginSizeUpdates(Recorder& r);
void EndSizeUpdates(Recorder& r);

// Tests and benchmarks only: with false, WriteSizesInPlace writes nothing (and succeeds).
void SetSizeUpdatesForTesting(bool on);

}  // namespace voxl
