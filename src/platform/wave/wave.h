// Wave input and output devices: the waveIn* and waveOut* services.
//
// Device numbers run from 0 to waveInGetNumDevs() - 1 (resp. waveOutGetNumDevs() - 1);
// WAVE_MAPPER (-1) names the default device of the serving driver.  Buffers are WAVEHDR records
// that the caller prepares, queues and gets back; with CALLBACK_THREAD every finished buffer is
// posted to the callback thread as MM_WIM_DATA or MM_WOM_DONE with the header in lParam, and
// MM_WIM_OPEN/MM_WIM_CLOSE (MM_WOM_OPEN/MM_WOM_CLOSE) are posted when the device opens and
// closes.  All functions are safe to call from any thread; a handle is used by one thread at a
// time.  Bad handles, null pointers and unprepared headers return error codes, never crash.
#pragma once

#include "voxl310k_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UINT MMRESULT;
typedef UINT MMVERSION;
typedef struct HWAVEIN__* HWAVEIN;
typedef struct HWAVEOUT__* HWAVEOUT;
typedef HWAVEIN* LPHWAVEIN;
typedef HWAVEOUT* LPHWAVEOUT;

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34
#define WAVERR_SYNC 35

#define WAVE_MAPPER ((UINT)-1)

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

// dwFormats bits of the capabilities (rate kHz, mono/stereo, 8/16 bits).
#define WAVE_FORMAT_1M08 0x00000001u
#define WAVE_FORMAT_1S08 0x00000002u
#define WAVE_FORMAT_1M16 0x00000004u
#define WAVE_FORMAT_1S16 0x00000008u
#define WAVE_FORMAT_2M08 0x00000010u
#define WAVE_FORMAT_2S08 0x00000020u
#define WAVE_FORMAT_2M16 0x00000040u
#define WAVE_FORMAT_2S16 0x00000080u
#define WAVE_FORMAT_4M08 0x00000100u
#define WAVE_FORMAT_4S08 0x00000200u
#define WAVE_FORMAT_4M16 0x00000400u
#define WAVE_FORMAT_4S16 0x00000800u
#define WAVE_FORMAT_48M08 0x00001000u
#define WAVE_FORMAT_48S08 0x00002000u
#define WAVE_FORMAT_48M16 0x00004000u
#define WAVE_FORMAT_48S16 0x00008000u
#define WAVE_FORMAT_96M08 0x00010000u
#define WAVE_FORMAT_96S08 0x00020000u
#define WAVE_FORMAT_96M16 0x00040000u
#define WAVE_FORMAT_96S16 0x00080000u

#define MAXPNAMELEN 32

typedef struct wavehdr_tag {
  LPSTR lpData;            // the caller's buffer
  DWORD dwBufferLength;    // bytes, whole blocks of the device format
  DWORD dwBytesRecorded;   // input: bytes filled when the buffer came back
  DWORD_PTR dwUser;        // the caller's
  DWORD dwFlags;           // WHDR_*
  DWORD dwLoops;           // output loop count (loops are not supported: played once)
  struct wavehdr_tag* lpNext;  // reserved for the device
  DWORD_PTR reserved;          // reserved for the device
} WAVEHDR, *LPWAVEHDR;

typedef struct tagWAVEINCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];  // at most 31 characters and a terminator
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
} WAVEINCAPSA, *LPWAVEINCAPSA;

typedef struct tagWAVEOUTCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
  DWORD dwSupport;
} WAVEOUTCAPSA, *LPWAVEOUTCAPSA;

UINT waveInGetNumDevs(void);
// uDeviceID may be WAVE_MAPPER.  cbwic is the size of the record given (at least 48).
MMRESULT waveInGetDevCapsA(UINT_PTR uDeviceID, LPWAVEINCAPSA pwic, UINT cbwic);
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
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveInStart(HWAVEIN hwi);
// Stops input; a partly filled buffer comes back with the bytes it holds.
MMRESULT waveInStop(HWAVEIN hwi);
// Stops input and returns every queued buffer at once, in queue order, the partly filled one
// with the bytes it holds and the others empty.
MMRESULT waveInReset(HWAVEIN hwi);

UINT waveOutGetNumDevs(void);
MMRESULT waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc);
MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
// Queues a prepared buffer for playing; plays at once unless paused.
MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
// Stops playing and returns every queued buffer at once, in queue order; clears the pause.
MMRESULT waveOutReset(HWAVEOUT hwo);

// The name of the driver that serves the wave devices ("alsa" or "virtual"), chosen at first use:
// VOXL_AUDIO_DRIVER when set, else the first driver in the table that finds a device.
const char* VoxlWaveDriverName(void);
// One line saying why that driver was chosen (for "voxl devices").
const char* VoxlWaveDriverReason(void);

#ifdef __cplusplus
}  // extern "C"
#endif
