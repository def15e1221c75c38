// The marks of a take in a RIFF/WAVE recording: a "cue " chunk with one cue point per mark and a
// LIST chunk of form type "adtl" with a "labl" label for each ("dropout 12 ms", "device lost"),
// behind everything the form holds.  They are written once, when the recording is closed; while
// it is open the marks live only in the recorder (core/take_marks.h), so that the sizes written
// after every buffer keep describing a file whose data chunk ends it.
//
// Host's thread, with the file open and no run going.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/recorder.h"

namespace voxl {

// The label of a mark at a recording's rate: "dropout N ms" (N rounded, at least 1) or
// "device lost".
std::string MarkLabel(const TakeMark& mark, uint32_t rate);

// The two chunks for `marks` (in position order, numbered from 1), ready to be written at an
// even offset; empty for no marks.  Marks past frame 4294967295 (of an RF64 file) are left out:
// a cue point cannot hold them.
std::vector<uint8_t> CueChunks(std::vector<TakeMark> marks, uint32_t rate);

// Takes the marks of the RIFF/WAVE file r.fileHandle, just opened (its chunk records read): the
// chunks are read back when they are exactly what CueChunks writes and the last in the form,
// behind the data (storedAt says where).  Any other cue points (other labels, chunks elsewhere)
// are left as they are, and the marks stay empty.  The file is left behind the data.
void ReadCueChunks(Recorder& r);

// Appends the chunks of r.marks behind the form of the RIFF/WAVE file r.fileHandle (or writes
// them in place of the chunks it was opened with, while those still end the form), then writes
// the form size that counts them: a process stopped in between leaves the file as it was before.
// Nothing happens without marks, and when the form would pass what 32-bit sizes describe.  False
// when a read, seek or write failed.
bool AppendCueChunks(Recorder& r);

// Where the content of the file ends once AppendCueChunks has written; 0 when it writes nothing.
uint64_t CueChunksEnd(const Recorder& r);

// A cut of `frames` frames at `at`: the marks inside it go, those behind it move down.
void CutMarks(TakeMarks& marks, int64_t at, int64_t frames);

}  // namespace voxl
