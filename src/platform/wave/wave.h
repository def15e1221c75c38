// Wave input and output devices: opening them and moving buffers.  Device numbers,
// capabilities, result codes and the choice of driver are public (voxl310k_platform.h).
//
// WAVE_MAPPER (-1) opens the default device of the serving driver.  Buffers are WAVEHDR records
// that the caller prepares, queues and gets back; with CALLBACK_THREAD every finished buffer is
// posted to the callback thread as MM_WIM_DATA or MM_WOM_DONE with the header in lParam, and
// MM_WIM_OPEN/MM_WIM_CLOSE (MM_WOM_OPEN/MM_WOM_CLOSE) are posted when the device opens and
// closes.  All functions are safe to call from any thread; a handle is used by one thread at a
// time.  Bad handles, null pointers and unprepared headers return error codes, never crash.
#pragma once

#include "voxl310k_platform.h"

#if defined(_WIN32)
// The original platform's own wave devices (mmsystem.h, through the public header).
#else  // Linux: the library's own platform layer

#ifdef __cplusplus
extern "C" {
#endif

typedef HWAVEIN* LPHWAVEIN;
typedef HWAVEOUT* LPHWAVEOUT;

#define WAVE_FORMAT_QUERY 0x0001
#define WAVE_ALLOWSYNC 0x0002
#define WAVE_MAPPED 0x0004
#define CALLBACK_TYPEMASK 0x00070000u
#define CALLBACK_NULL 0x00000000u
#define CALLBACK_WINDOW 0x00010000u
#define CALLBACK_THREAD 0x00020000u
#define CALLBACK_FUNCTION 0x00030000u
#define CALLBACK_EVENT 0x00050000u

#define MM_WOM_OPEN 0x3BB
#define MM_WOM_CLOSE 0x3BC
#define MM_WOM_DONE 0x3BD
#define MM_WIM_OPEN 0x3BE
#define MM_WIM_CLOSE 0x3BF
#define MM_WIM_DATA 0x3C0

#define WHDR_DONE 0x00000001u
#define WHDR_PREPARED 0x00000002u
#define WHDR_BEGINLOOP 0x00000004u
#define WHDR_ENDLOOP 0x00000008u
#define WHDR_INQUEUE 0x00000010u

typedef struct wavehdr_tag {
  LPSTR lpData;                // the caller's buffer
  DWORD dwBufferLength;        // bytes, whole blocks of the device format
  DWORD dwBytesRecorded;       // input: bytes filled when the buffer came back
  DWORD_PTR dwUser;            // the caller's
  DWORD dwFlags;               // WHDR_*
  DWORD dwLoops;               // output loop count (loops are not supported: played once)
  struct wavehdr_tag* lpNext;  // reserved for the device
  DWORD_PTR reserved;          // reserved for the device
} WAVEHDR, *LPWAVEHDR;

// With WAVE_FORMAT_QUERY nothing is opened and phwi may be null: the result says whether the
// device accepts the format (WAVERR_BADFORMAT when it does not).
MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR dwInstance, DWORD fdwOpen);
// WAVERR_STILLPLAYING while buffers are queued.
MMRESULT waveInClose(HWAVEIN hwi);
// cbwh must be at least sizeof(WAVEHDR).
MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
// Queues a prepared buffer; clears WHDR_DONE, sets WHDR_INQUEUE, dwBytesRecorded := 0.
// MMSYSERR_NODRIVER once the device is gone (unplugged, its sound server ended): it has returned
// every buffer it held, the partly filled one with its bytes, and takes no more; close it.
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
// Stops input; a partly filled buffer comes back with the bytes it holds.
MMRESULT waveInStop(HWAVEIN hwi);
// Stops input and returns every queued buffer at once, in queue order, the partly filled one
// with the bytes it holds and the others empty.
MMRESULT waveInReset(HWAVEIN hwi);

// Not a function of the original platform: the next gap in what the input device delivered, at
// or before byte `upToByte` of its stream (bytes counted over every buffer it filled since it
// was opened).  A gap is time that passed while audio did not arrive: the device overran or was
// suspended, its thread was stalled, or no buffer was queued to take the audio.  It is not time
// while input is stopped.  *gap receives the byte of the stream before which audio is missing
// and how many frames; the gap is then forgotten.  MMSYSERR_NOERROR with a gap, MMSYSERR_ERROR
// when there is none that early.
typedef struct voxlwavegap_tag {
  uint64_t byteOffset;  // bytes of the stream delivered before the gap
  uint64_t frames;      // sample frames missing
} VOXLWAVEGAP;
MMRESULT VoxlWaveInTakeGap(HWAVEIN hwi, uint64_t upToByte, VOXLWAVEGAP* gap);
// Not a function of the original platform: queues `count` prepared buffers in order, as that
// many waveInAddBuffer calls would, with one wake of the device.  Stops at the first buffer that
// is refused and returns its code; *queued (when not null) receives how many were queued.
MMRESULT VoxlWaveInAddBuffers(HWAVEIN hwi, LPWAVEHDR const* headers, UINT count, UINT* queued);

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
// Queues a prepared buffer for playing; plays at once unless paused.
MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
// Not a function of the original platform: writes `count` prepared buffers in order, as that
// many waveOutWrite calls would, with one wake of the device.  Stops at the first buffer that is
// refused and returns its code; *queued (when not null) receives how many were queued.
MMRESULT VoxlWaveOutWriteBuffers(HWAVEOUT hwo, LPWAVEHDR const* headers, UINT count, UINT* queued);
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
// Stops playing and returns every queued buffer at once, in queue order; clears the pause.
MMRESULT waveOutReset(HWAVEOUT hwo);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // Linux
