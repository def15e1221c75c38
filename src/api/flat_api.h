// The state of the flat capture functions and their two host callbacks, open to the tests.
//
// The flat functions keep, besides the recorder (GlobalRecorder), the host window, the list of
// blocks not yet taken and a cursor over the input-device names.  All of it belongs to the
// thread that called InitACM; nothing here is locked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "voxl310k.h"

namespace voxl {
class BlockPool;
struct PooledBlock;
}  // namespace voxl

namespace voxl::flat {

// The two messages' lParam for a pair of levels in dB (-9999.0 = no signal): tenths of dB,
// left in the high word, right in the low word, each a signed 16-bit count; below -999.9 dB a
// level counts as -999.9 (-9999 tenths).  The value sits in the low 32 bits of the result.
LPARAM PackLevels(float left, float right);

// Callback slot 3: posts VOXL_MSG_LEVELS with the packed levels to the host window.  The clip
// flags are not passed on.  Levels of a run before the latest StartACMRecord are dropped.
void CALLBACK OnLevels(FLOAT levelLeft, DWORD clipLeft, FLOAT levelRight, DWORD clipRight);
// Callback slot 4: queues a copy of the block as the newest pending block, frees both buffers
// (the callback owns them) and posts VOXL_MSG_BLOCK_READY.  A block of a run before the latest
// StartACMRecord is only freed.
void CALLBACK OnBlock(void* format, DWORD formatSize, void* data, DWORD dataLength);
// The block sink of the flat recorder: queues a block of Pool() as the newest pending block
// and posts VOXL_MSG_BLOCK_READY (a block of a run before the latest StartACMRecord goes back to
// the pool).
void OnPooledBlock(voxl::PooledBlock* block);
// The blocks that the pending list, GetNextACMBlock and FreeACMBlock hand round.
voxl::BlockPool& Pool();

// Callback slot 0: a run that ended with a stop reason other than VOXL_STOP_NORMAL (it ended by
// itself) posts VOXL_MSG_CAPTURE_ENDED with the reason to the host window.  Runs before the
// latest StartACMRecord are not reported.
void CALLBACK OnCaptureEnded(DWORD code);
// The dropout callback: posts VOXL_MSG_DROPOUT with the position and the frames missing to the
// host window, except for runs before the latest StartACMRecord.
void CALLBACK OnDropout(LONG position, DWORD frames, void* context);

// Blocks waiting to be taken, and the bytes of audio they hold.
size_t PendingBlockCount();
size_t PendingBlockBytes();
// The window that InitACM was given (null before).
HWND HostWindow();

}  // namespace voxl::flat
