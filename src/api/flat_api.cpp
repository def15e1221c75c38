// The eight flat capture functions: one recorder, streaming from a device chosen by name to the
// host window, block by block, with levels.
//
// The functions drive the recorder of GlobalRecorder through its method table in a streaming
// configuration: a new recording with an empty file name, so that every captured buffer reaches
// the host as a block and nothing is written to disk.  The recorder's capture format is never
// changed, so blocks are 44100 Hz 16-bit stereo PCM.
//
// Everything here runs on the thread that called InitACM: the host calls the functions there,
// and the helper window calls OnLevels and OnBlock there while that thread dispatches messages.
// So the pending list, the host window and the enumeration cursor need no lock.
//
// Behaviour that keeps audio and survives bad arguments:
//  - StopACMRecord leaves the blocks not yet taken in the list.  The last blocks of a run arrive
//    after the stop anyway, so freeing the earlier ones would cut a hole in the host's stream;
//    the next StartACMRecord and DeinitACM free what is left.
//  - StartACMRecord also turns away what earlier runs posted but the host has not dispatched
//    yet: blocks and levels carry their run, and those of a run before the latest start are
//    dropped on arrival, so a new run never begins with the end of the previous one.
//  - Null pointers are refused with 0; a second InitACM is refused rather than leaking the first
//    recorder; a block that cannot be allocated is not queued and its buffers are still freed;
//    a format shorter than its 18-byte header is copied as far as it goes.
//  - Pending blocks are linked both ways, so taking the oldest does not walk the list when a
//    host falls behind.  A host that does not dispatch for a while loses nothing: the blocks
//    wait in order in its message queue, then in the list, each held once.
//  - A run that ends by itself (the input device went away) is reported to the host window
//    with VOXL_MSG_CAPTURE_ENDED after its last blocks, so a host never waits for blocks that
//    will not come.
#include "api/flat_api.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "api/module.h"
#include "api/recorder_creation.h"
#include "engine/block_pool.h"
#include "engine/transport.h"

namespace voxl::flat {
namespace {

// The blocks not yet taken are blocks of the pool (engine/block_pool.h): the engine copies each
// piece of recorded data once, into a block that GetNextACMBlock hands out as it is, and
// FreeACMBlock gives the block back for the next piece, so the steady flow allocates nothing.
using PendingBlock = voxl::PooledBlock;

HWND gHostWindow = nullptr;
PendingBlock* gNewest = nullptr;  // head of pendingBlocks
PendingBlock* gOldest = nullptr;  // tail of pendingBlocks
size_t gPendingCount = 0;
size_t gPendingBytes = 0;    // audio bytes of the pending blocks
uint32_t gDeviceCount = 0;   // input devices, as counted by GetFirstACMDevice
int32_t gDeviceCursor = -1;  // next enumeration entry; -1 before and after an enumeration
// Blocks and levels of runs before this one are dropped (set by StartACMRecord).
uint32_t gFirstKeptRun = 0;

constexpr UINT kBlockReadyMessage = VOXL_MSG_BLOCK_READY;
constexpr UINT kLevelsMessage = VOXL_MSG_LEVELS;
constexpr UINT kCaptureEndedMessage = VOXL_MSG_CAPTURE_ENDED;
constexpr UINT kDropoutMessage = VOXL_MSG_DROPOUT;

void FreePendingBlocks() {
  PendingBlock* block = gNewest;
  while (block != nullptr) {
    PendingBlock* older = block->older;
    voxl::ReturnBlock(block);
    block = older;
  }
  gNewest = gOldest = nullptr;
  gPendingCount = 0;
  gPendingBytes = 0;
}

// Whether the notification being delivered belongs to a run before the latest start.
bool OfAnEarlierRun() {
  const voxl::Recorder* recorder = voxl::GlobalRecorder();
  return recorder != nullptr && recorder->deliveringRun < gFirstKeptRun;
}

void WriteEmptyName(LPSTR name) {
  if (name != nullptr) name[0] = '\0';
}

// A level in tenths of dB as a signed 16-bit count.
uint16_t PackLevel(float level) {
  double value = level;
  // -9999.0 (no signal) and every level below -999.9 dB count as -999.9.
  if (value < -999.9) value = static_cast<float>(-999.9);
  // A level is never positive beyond what 16 bits hold; anything else is refused as no signal
  // rather than converted out of range.
  if (std::isnan(value)) value = static_cast<float>(-999.9);
  value = std::min(value, 3276.7);
  const auto tenths = static_cast<int32_t>(value * 10.0 - 0.5);
  return static_cast<uint16_t>(tenths);
}

}  // namespace

LPARAM PackLevels(float left, float right) {
  const uint32_t packed = (static_cast<uint32_t>(PackLevel(left)) << 16) | PackLevel(right);
  return static_cast<LPARAM>(packed);
}

void CALLBACK OnLevels(FLOAT levelLeft, DWORD, FLOAT levelRight, DWORD) {
  if (OfAnEarlierRun()) return;
  PostMessageA(gHostWindow, kLevelsMessage, 0, PackLevels(levelLeft, levelRight));
}

void QueueBlock(PendingBlock* block) {
  block->older = gNewest;
  block->newer = nullptr;
  if (gNewest != nullptr) gNewest->newer = block;
  gNewest = block;
  if (gOldest == nullptr) gOldest = block;
  ++gPendingCount;
  gPendingBytes += block->acm.dataLength;
  PostMessageA(gHostWindow, kBlockReadyMessage, 0, 0);
}

void CALLBACK OnBlock(void* format, DWORD formatSize, void* data, DWORD dataLength) {
  if (OfAnEarlierRun()) {
    std::free(format);
    std::free(data);
    return;
  }
  const DWORD length = data != nullptr ? dataLength : 0;
  PendingBlock* block = Pool().Take(length);
  if (block != nullptr) {
    block->acm.format = WAVEFORMATEX{};
    if (format != nullptr) {
      std::memcpy(&block->acm.format, format, std::min<size_t>(formatSize, sizeof(WAVEFORMATEX)));
    }
    block->acm.reserved = 0;
    block->acm.dataLength = length;
    if (length != 0) std::memcpy(voxl::BlockData(block), data, length);
  }
  std::free(format);
  std::free(data);
  if (block != nullptr) QueueBlock(block);
}

void OnPooledBlock(voxl::PooledBlock* block) {
  if (OfAnEarlierRun()) {
    voxl::ReturnBlock(block);
    return;
  }
  QueueBlock(block);
}

voxl::BlockPool& Pool() {
  // Never destroyed: a host may give a block back after DeinitACM, or while the process exits.
  static auto* pool = new voxl::BlockPool;
  return *pool;
}

void CALLBACK OnDropout(LONG position, DWORD frames, void*) {
  if (OfAnEarlierRun()) return;
  PostMessageA(gHostWindow, kDropoutMessage, static_cast<WPARAM>(position),
               static_cast<LPARAM>(frames));
}

void CALLBACK OnCaptureEnded(DWORD code) {
  if (code == VOXL_STOP_NORMAL || OfAnEarlierRun()) return;
  PostMessageA(gHostWindow, kCaptureEndedMessage, code, 0);
}

size_t PendingBlockCount() {
  return gPendingCount;
}

size_t PendingBlockBytes() {
  return gPendingBytes;
}

HWND HostWindow() {
  return gHostWindow;
}

}  // namespace voxl::flat

using voxl::GlobalRecorder;
using voxl::ToHost;
namespace flat = voxl::flat;

extern "C" {

VOXL_API BOOL WINAPI InitACM(HWND hostWindow) {
  voxl::Recorder*& recorder = GlobalRecorder();
  if (recorder != nullptr) return 0;
  recorder = voxl::NewRecorder();
  if (recorder == nullptr) return 0;
  // The first Close takes the recorder to idle and checks the default capture format.
  WORD error = voxl::ErrNone;
  recorder->methods->Close(ToHost(recorder), &error);
  if (error != voxl::ErrNone) {
    voxl::DeleteRecorder(recorder);
    recorder = nullptr;
    return 0;
  }
  flat::gHostWindow = hostWindow;
  flat::gFirstKeptRun = 0;
  flat::FreePendingBlocks();
  VoxlRecorderCallbacks callbacks{};
  callbacks.captureEnded = flat::OnCaptureEnded;
  callbacks.levels = flat::OnLevels;
  callbacks.block = flat::OnBlock;
  voxl::SetCallbacks(*recorder, callbacks);
  VoxlSetDropoutCallback(ToHost(recorder), flat::OnDropout, nullptr);
  recorder->blockPool = &flat::Pool();
  recorder->blockSink = flat::OnPooledBlock;
  return 1;
}

VOXL_API BOOL WINAPI DeinitACM(void) {
  voxl::Recorder*& recorder = GlobalRecorder();
  if (recorder == nullptr) return 0;
  WORD error = voxl::ErrNone;
  recorder->methods->Close(ToHost(recorder), &error);
  voxl::DeleteRecorder(recorder);
  recorder = nullptr;
  flat::FreePendingBlocks();
  return 1;
}

VOXL_API BOOL WINAPI StartACMRecord(LPCSTR deviceName) {
  voxl::Recorder* recorder = GlobalRecorder();
  if (recorder == nullptr || deviceName == nullptr) return 0;
  VoxlRecorder* host = ToHost(recorder);
  const VoxlRecorderVtbl& m = *recorder->methods;
  WORD error = voxl::ErrNone;
  m.Close(host, &error);
  if (error != voxl::ErrNone) return 0;
  WORD state = 0;
  m.GetState(host, &state);
  if (state != voxl::StateIdle) return 0;
  // Every earlier run has ended: what they left, queued or still on its way, is not this run's.
  flat::FreePendingBlocks();
  flat::gFirstKeptRun = recorder->run.load() + 1;

  // The first entry, "Default Device", is the wave mapper (-1); the k-th name is device k - 1.
  char name[VOXL_DEVICE_NAME_BYTES];
  LONG device = -1;
  bool found = false;
  for (BOOL more = GetFirstACMDevice(name); more; more = GetNextACMDevice(name), ++device) {
    if (std::strcmp(name, deviceName) == 0) {
      found = true;
      break;
    }
  }
  if (!found) return 0;
  m.SetInputDevice(host, device);

  BSTR noFile = SysAllocString(OLESTR(""));
  if (noFile == nullptr) return 0;
  m.NewRecording(host, noFile, &error);
  SysFreeString(noFile);
  if (error != voxl::ErrNone) return 0;
  m.Record(host, &error);
  if (error != voxl::ErrNone) {
    m.Close(host, &error);
    return 0;
  }
  return 1;
}

VOXL_API BOOL WINAPI StopACMRecord(void) {
  voxl::Recorder* recorder = GlobalRecorder();
  if (recorder == nullptr) return 0;
  WORD error = voxl::ErrNone;
  recorder->methods->Close(ToHost(recorder), &error);
  return error == voxl::ErrNone ? 1 : 0;
}

VOXL_API BOOL WINAPI GetNextACMBlock(AcmBlock** block) {
  if (GlobalRecorder() == nullptr || block == nullptr || flat::gOldest == nullptr) return 0;
  flat::PendingBlock* oldest = flat::gOldest;
  flat::gOldest = oldest->newer;
  if (flat::gOldest != nullptr) {
    flat::gOldest->older = nullptr;
  } else {
    flat::gNewest = nullptr;
  }
  --flat::gPendingCount;
  flat::gPendingBytes -= oldest->acm.dataLength;
  *block = &oldest->acm;
  return 1;
}

VOXL_API BOOL WINAPI FreeACMBlock(AcmBlock* block) {
  if (block != nullptr) voxl::ReturnBlock(voxl::PooledBlockOf(block));
  return 1;
}

VOXL_API BOOL WINAPI GetFirstACMDevice(LPSTR name) {
  voxl::Recorder* recorder = GlobalRecorder();
  if (recorder == nullptr || name == nullptr) {
    flat::gDeviceCursor = -1;
    flat::WriteEmptyName(name);
    return 0;
  }
  DWORD count = 0;
  recorder->methods->GetInputDeviceCount(ToHost(recorder), &count);
  flat::gDeviceCount = count;
  flat::gDeviceCursor = 0;
  return GetNextACMDevice(name);
}

VOXL_API BOOL WINAPI GetNextACMDevice(LPSTR name) {
  voxl::Recorder* recorder = GlobalRecorder();
  const int32_t cursor = flat::gDeviceCursor;
  if (name == nullptr || recorder == nullptr || cursor < 0 ||
      static_cast<uint32_t>(cursor) > flat::gDeviceCount) {
    flat::gDeviceCursor = -1;
    flat::WriteEmptyName(name);
    return 0;
  }
  flat::gDeviceCursor = cursor + 1;
  if (cursor == 0) {
    std::memcpy(name, VOXL_DEFAULT_DEVICE_NAME, sizeof VOXL_DEFAULT_DEVICE_NAME);
    return 1;
  }
  BSTR wide = nullptr;
  recorder->methods->GetInputDeviceName(ToHost(recorder), static_cast<DWORD>(cursor - 1), &wide);
  if (wide == nullptr) {
    flat::WriteEmptyName(name);
    return 0;
  }
  // A name the buffer cannot hold whole is given as an empty name, never cut short.
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, name, VOXL_DEVICE_NAME_BYTES, nullptr, nullptr) ==
      0) {
    name[0] = '\0';
  }
  SysFreeString(wide);
  return 1;
}

}  // extern "C"
