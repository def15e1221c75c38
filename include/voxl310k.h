/* VOXL310K: sound recording for host programs.
 *
 * Two ways in:
 *  - the eight flat capture functions (InitACM ... GetNextACMDevice): pick an input device by
 *    name, stream 44100 Hz 16-bit stereo PCM to a host window block by block with live levels;
 *  - the recorder object and its method table (VoxlRecorder, VoxlRecorderVtbl): files, formats,
 *    playback, editing, devices.
 * All functions are C-callable.  Host callbacks and methods use the CALLBACK / WINAPI convention,
 * which is empty on Linux.
 */
#ifndef VOXL310K_H
#define VOXL310K_H

#include "voxl310k_platform.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Host callbacks of the recorder (run on the thread that created the recorder, only while
 * it dispatches window messages) ---- */
/* Slot 0: a capture run ended; slot 1: a playback run ended.  code = the run's stop reason
 * (0 normal, else an error code). */
typedef void(CALLBACK* VoxlRunEndedCallback)(DWORD code);
/* Slot 2: reserved, stored and never called. */
typedef void(CALLBACK* VoxlReservedCallback)(void);
/* Slot 3: new levels in dBFS (-9999.0 = no signal) and clip flags (0/1). */
typedef void(CALLBACK* VoxlLevelsCallback)(FLOAT levelLeft, DWORD clipLeft, FLOAT levelRight,
                                           DWORD clipRight);
/* Slot 4: a piece of recorded data: a copy of its format (WAVEFORMATEX and extra bytes) and a
 * copy of the data.  The callback owns both buffers and frees them with free(). */
typedef void(CALLBACK* VoxlBlockCallback)(void* format, DWORD formatSize, void* data,
                                          DWORD dataLength);
/* Slot 5: the silence detector changed state (read it with GetSilent). */
typedef void(CALLBACK* VoxlNotifyCallback)(void);

typedef struct VoxlRecorderCallbacks {
  VoxlRunEndedCallback captureEnded;
  VoxlRunEndedCallback playbackEnded;
  VoxlReservedCallback reserved;
  VoxlLevelsCallback levels;
  VoxlBlockCallback block;
  VoxlNotifyCallback notify;
} VoxlRecorderCallbacks;

/* The recorder object: its method table stands at its head. */
struct VoxlRecorderVtbl;
typedef struct VoxlRecorder {
  const struct VoxlRecorderVtbl* lpVtbl;
} VoxlRecorder;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VOXL310K_H */
