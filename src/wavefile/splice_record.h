// The splice record: a small file beside a recording, "<recording>.voxl-splice", that names the
// splice file of an insert-mode run while the run collects audio into it.  A process killed
// during the run leaves both behind; the next open of the recording (not read-only) finds the
// record, removes the splice file and the record, and, when the kill came while the splice was
// growing the recording, cuts the recording back to its length before the run.  The audio of the
// killed run is not recovered.
//
// Layout (text): "voxl splice\n", the recording's length before the run as 20 decimal digits (20
// '-' once the splice has begun to move data, when cutting back would lose it) and "\n", then
// the splice file's name and "\n".
#pragma once

#include <cstdint>

#include "platform/mmio/mmio.h"

namespace voxl {

// Creates the record of `recording` naming `spliceFile`, with `lengthBefore` as the length to
// cut back to.  False when it cannot be written (nothing is left behind then).
bool WriteSpliceRecord(const char* recording, const char* spliceFile, uint64_t lengthBefore);

// Takes the length out of the record: from now on a leftover record removes only the splice
// file.  One write in place, so the record is never half old and half new.
void ForgetLengthBefore(const char* recording);

// Removes the record of `recording`, if any.
void RemoveSpliceRecord(const char* recording);

// Open of `recording` (`file`, open for writing): what a killed insert-mode run left behind is
// removed as described above.  A record that names anything other than a splice file
// ("VOX<4 hex digits>.tmp") removes no file but itself.
void RemoveLeftoverSplice(HMMIO file, const char* recording);

}  // namespace voxl
