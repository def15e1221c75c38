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

/* ---- The flat capture functions ----
 *
 * The simple way in: one recorder behind eight functions, streaming 44100 Hz 16-bit stereo PCM
 * from an input device chosen by name to a host window, one block per 100 ms (normally 17640
 * bytes; the last blocks of a run may be shorter), with live levels.  Every function returns 1
 * for success and 0 for failure and keeps no error code.  Call them all from the thread that
 * called InitACM: the blocks and levels arrive as messages to the host window, and only while
 * that thread dispatches window messages (GetMessageA/DispatchMessageA, or VoxlMessageQueueFd
 * with PeekMessageA in an event loop).
 *
 * Usage:
 *   InitACM(window);
 *   char name[VOXL_DEVICE_NAME_BYTES];
 *   for (BOOL ok = GetFirstACMDevice(name); ok; ok = GetNextACMDevice(name)) ... list name ...
 *   StartACMRecord("Default Device");
 *   ... on VOXL_MSG_BLOCK_READY: AcmBlock* b; if (GetNextACMBlock(&b)) { use; FreeACMBlock(b); }
 *   ... on VOXL_MSG_CAPTURE_ENDED: the run ended by itself (the device went away)
 *   StopACMRecord();   then dispatch once more: the last blocks of the run still arrive
 *   DeinitACM();
 */

/* Posted to the host window once per captured block now waiting; wParam and lParam are 0. */
#define VOXL_MSG_BLOCK_READY 0x8385
/* Posted to the host window with new input levels: once per block while recording, and once
 * more when a run stops.  The levels are read when the thread dispatches, so every levels
 * message still waiting after a stop says "no signal": the stop's own and, for a stop in the
 * middle of a buffer, the one of that last, partial block.  The low 32 bits of lParam hold two
 * signed 16-bit counts of tenths of dB (dBFS): the left channel in the high word, the right in
 * the low word.  Levels below -999.9 dB (no signal is -9999) arrive as -9999 (0xD8F1). */
#define VOXL_MSG_LEVELS 0x8386
#define VOXL_LEVEL_LEFT_TENTHS(lParam) ((SHORT)(WORD)(((DWORD)(lParam)) >> 16))
#define VOXL_LEVEL_RIGHT_TENTHS(lParam) ((SHORT)(WORD)((DWORD)(lParam)&0xFFFFu))
/* Posted to the host window when a run ends by itself rather than through StopACMRecord, after
 * the messages of its last blocks: wParam holds why (VOXL_STOP_DEVICE_LOST: the input device
 * went away, unplugged or its sound server ended; everything it captured before has been
 * delivered), lParam is 0.  No more blocks come from that run; StopACMRecord still returns 1,
 * and StartACMRecord starts again once a device is back. */
#define VOXL_MSG_CAPTURE_ENDED 0x8387
/* Posted to the host window for each dropout of the run: audio the input device never delivered
 * (the system stalled the recording, the device overran).  wParam: the sample frame of the
 * stream (from 0 at StartACMRecord, 44100 a second) before which audio is missing; lParam: how
 * many frames are missing.  Nothing stands in for them: the blocks hold what arrived, so the
 * block that follows simply continues later in time.  A stream's positions stop at 2147483647,
 * so a dropout past that point says 2147483647. */
#define VOXL_MSG_DROPOUT 0x8388

/* Size of the name buffers of GetFirstACMDevice and GetNextACMDevice, terminator included. */
#define VOXL_DEVICE_NAME_BYTES 300
/* The first name of every enumeration: the system's default input device. */
#define VOXL_DEFAULT_DEVICE_NAME "Default Device"

/* One captured block, 24 bytes followed by dataLength bytes of audio in `format`.  Only
 * GetNextACMBlock makes one and only FreeACMBlock frees one (a block is not an allocation of
 * its own: never pass it to free()).  format.cbSize is copied from the
 * capture format, but the extra bytes it counts are not carried. */
typedef struct AcmBlock {
  WAVEFORMATEX format; /* offset 0, 18 bytes */
  WORD reserved;       /* offset 18, undefined */
  DWORD dataLength;    /* offset 20, bytes of audio */
  /* offset 24: the audio */
} AcmBlock;
#define ACM_BLOCK_DATA(block) ((BYTE*)(block) + sizeof(AcmBlock))

/* Creates the recorder of the flat functions on the calling thread and remembers hostWindow as
 * the receiver of the two messages.  0 when the engine cannot run or the default input device
 * refuses the capture format, and when the recorder exists already. */
VOXL_API BOOL WINAPI InitACM(HWND hostWindow);
/* Stops any recording, destroys the recorder and frees the blocks not yet taken.  0 when there
 * was no recorder. */
VOXL_API BOOL WINAPI DeinitACM(void);
/* Starts streaming from the input device of that name, exactly as the enumeration spells it
 * ("Default Device" is the system's default).  A recording already running is stopped first
 * and blocks not yet taken are freed; blocks and levels that earlier runs posted but the host
 * has not dispatched yet are dropped, so they never arrive in the new run.  0 for an unknown
 * name or when the device cannot start. */
VOXL_API BOOL WINAPI StartACMRecord(LPCSTR deviceName);
/* Stops the recording and waits until the device has stopped.  Blocks not yet taken stay
 * available, and the last blocks and levels of the run arrive at the next dispatch (unless
 * StartACMRecord comes first).  0 when stopping reported an error or there is no recorder. */
VOXL_API BOOL WINAPI StopACMRecord(void);
/* Takes the oldest waiting block: *block receives a new AcmBlock.  0 (and *block unchanged)
 * when no block waits. */
VOXL_API BOOL WINAPI GetNextACMBlock(AcmBlock** block);
/* Frees a block from GetNextACMBlock.  Null is accepted.  Always 1. */
VOXL_API BOOL WINAPI FreeACMBlock(AcmBlock* block);
/* Starts an enumeration of the input devices: writes "Default Device" into the caller's buffer
 * of VOXL_DEVICE_NAME_BYTES bytes.  0 with an empty name before InitACM. */
VOXL_API BOOL WINAPI GetFirstACMDevice(LPSTR name);
/* The next input device name, in the order of the device numbers; 0 with an empty name at the
 * end (and at every call after it, until GetFirstACMDevice starts again). */
VOXL_API BOOL WINAPI GetNextACMDevice(LPSTR name);

/* ---- Error codes, recorder states and stop reasons ---- */

/* What an operation of the recorder writes to its WORD error out-parameter, and keeps until
 * TakeLastError reads it.  VoxlErrorText gives each code in plain words. */
typedef enum VoxlError {
  VOXL_ERR_NONE = 0,                   /* success */
  VOXL_ERR_CAPTURE_FORMAT_REFUSED = 1, /* the input device refuses the capture format */
  VOXL_ERR_FILE_OPEN = 2,              /* the file cannot be opened, created or read */
  VOXL_ERR_RIFF_WRITE = 3,             /* the RIFF header cannot be written to a new file */
  VOXL_ERR_NOT_RIFF_WAVE = 4,          /* not a usable RIFF/WAVE file */
  VOXL_ERR_FORMAT_UNUSABLE = 5,        /* the format or its conversion is unusable */
  VOXL_ERR_NO_ENGINE = 6,              /* the engine thread is not running */
  VOXL_ERR_NEEDS_OPEN = 7,             /* the operation needs VOXL_STATE_OPEN */
  VOXL_ERR_CAPTURE_WRITE = 8,          /* data not written, or the encoder took no input */
  VOXL_ERR_CAPTURE_START = 9,          /* capture could not be started */
  VOXL_ERR_PLAYBACK_START = 10,        /* playback could not be started */
  VOXL_ERR_PLAYBACK_READ = 11,         /* reading the file failed during playback */
  VOXL_ERR_VOLUME_CONTROL = 12,        /* no volume control, or compaction failed */
  VOXL_ERR_LENGTH_LIMIT = 13,          /* the recording length limit is reached */
  VOXL_ERR_NO_CODEC_MANAGER = 14,      /* the codec manager is not available */
  VOXL_ERR_CHOOSER_CANCELLED = 15,     /* the format chooser was cancelled or failed */
  VOXL_ERR_FORMAT_NOT_DESCRIBED = 16,  /* a format could not be described */
  VOXL_ERR_NO_TARGET_FORMAT = 17,      /* no target format is set */
  VOXL_ERR_READ_ONLY = 18,             /* refused: the recorder is read-only */
  VOXL_ERR_NO_FILE = 19,               /* no file is open */
  VOXL_ERR_DEVICE_LOST = 20,           /* the input device stopped working during a run */
  VOXL_ERR_FILE_IN_USE = 21,           /* another recorder or process has the file open to write */
  VOXL_ERR_NOT_A_FILE = 22,            /* the name is a device, FIFO, socket or folder */
  VOXL_ERR_CANCELLED = 23,             /* the host's progress callback stopped the work */
  VOXL_ERR_SAME_FILE = 24              /* the output names the input file */
} VoxlError;

/* The recorder's state (GetState). */
typedef enum VoxlState {
  VOXL_STATE_CREATED = 0,   /* created, not yet closed once */
  VOXL_STATE_IDLE = 1,      /* nothing open */
  VOXL_STATE_OPEN = 2,      /* a file or a stream target is open, stopped */
  VOXL_STATE_RECORDING = 3, /* capturing */
  VOXL_STATE_PLAYING = 4    /* playing */
} VoxlState;

/* Why a run ended, as callbacks 0 and 1 receive it: normally, or the error that ended it. */
typedef enum VoxlStopReason {
  VOXL_STOP_NORMAL = VOXL_ERR_NONE,
  VOXL_STOP_WRITE_FAILED = VOXL_ERR_CAPTURE_WRITE, /* capture: the data could not be stored */
  VOXL_STOP_READ_FAILED = VOXL_ERR_PLAYBACK_READ,  /* playback: the file could not be read */
  /* capture: the length limit is reached, or a file holds 2147483647 frames, the last position
   * of the method table (a run in large-file mode into a file that may pass 4 GiB has no such
   * end) */
  VOXL_STOP_LENGTH_LIMIT = VOXL_ERR_LENGTH_LIMIT,
  /* capture: the input device went away (unplugged, its sound server ended); what it delivered
   * before is kept, and a new Record works once a device is back */
  VOXL_STOP_DEVICE_LOST = VOXL_ERR_DEVICE_LOST
} VoxlStopReason;

/* ---- Host callbacks of the recorder (run on the thread that created the recorder, only while
 * it dispatches window messages) ---- */
/* Slot 0: a capture run ended; slot 1: a playback run ended.  code = the run's stop reason
 * (a VoxlStopReason). */
typedef void(CALLBACK* VoxlRunEndedCallback)(DWORD code);
/* Slot 2: reserved, stored and never called. */
typedef void(CALLBACK* VoxlReservedCallback)(void);
/* Slot 3: new levels in dBFS (-9999.0 = no signal) and clip flags (0/1), read when the message
 * is dispatched: once per block while recording, once more when a run stops. */
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

/* Progress of long work the recorder does inside a method call on the host's thread: the
 * move of the audio behind a cut (DeleteSamples, DeleteSeconds) and the copy of a compaction
 * (CompactFile).  Called with the fraction done, rising from 0 to 1, once per piece of a few
 * MiB at most; work that moves nothing calls it not at all.  The work always runs to its end. */
typedef void(CALLBACK* VoxlProgressCallback)(DOUBLE fraction, void* context);

/* The recorder object: its method table stands at its head. */
struct VoxlRecorderVtbl;
typedef struct VoxlRecorder {
  const struct VoxlRecorderVtbl* lpVtbl;
} VoxlRecorder;

/* ---- The recorder's method table ----
 *
 * Call a method through the table at the head of the recorder:
 *     WORD error; r->lpVtbl->Record(r, &error);
 * Every method takes the recorder first and returns 0 when the call is accepted, 1 when it is
 * refused (an argument out of range, or the recorder's state forbids it; nothing changes then),
 * E_POINTER when an out-parameter for the method's answer is null.  Operations that can fail for
 * other reasons return 0 and write a VoxlError (VOXL_ERR_NONE on success) to their WORD error
 * out-parameter, which may be null when the code is not wanted; a failure is also kept until
 * TakeLastError reads it.
 *
 * Truth values are WORD (0 false, non-zero true).  Text is a BSTR: a getter frees the string its
 * out-parameter already holds (when not null) and stores a new one, which the caller frees with
 * SysFreeString.  Positions, lengths and limits are sample frames; seconds are DOUBLE; levels and
 * thresholds are dB (-9999.0 = no signal).  An RF64 file may hold more frames than these 32-bit
 * counts reach: GetPosition then says at most 2147483647, GetLength and GetMaxLength at most
 * 4294967295, SetPosition and DeleteSamples reach only the frames a LONG counts, while every
 * seconds method (positions, length, cuts and the limit) is exact over the whole file.
 *
 * GetState answers a VoxlState.  The order of the slots is fixed. */
typedef struct VoxlRecorderVtbl {
  HRESULT(WINAPI* GetFileKind)(VoxlRecorder* self, SHORT* kind);
  /* States 0/1; 0 RIFF/WAVE, 1 headerless from byte 0, 2 headerless found by scanning, -n
   * headerless from byte n; refused above 2. */
  HRESULT(WINAPI* SetFileKind)(VoxlRecorder* self, SHORT kind);
  HRESULT(WINAPI* ChooseFormatOfTag)
  (VoxlRecorder* self, DWORD ownerWindow, BSTR title, WORD formatTag, WORD* error);
  HRESULT(WINAPI* GetReadOnly)(VoxlRecorder* self, WORD* readOnly);
  /* States 0/1; stores 1 for any non-zero value. */
  HRESULT(WINAPI* SetReadOnly)(VoxlRecorder* self, WORD readOnly);
  HRESULT(WINAPI* GetSilenceHold)(VoxlRecorder* self, WORD* measurements);
  /* Refused when negative. */
  HRESULT(WINAPI* SetSilenceHold)(VoxlRecorder* self, SHORT measurements);
  HRESULT(WINAPI* GetSilent)(VoxlRecorder* self, WORD* silent);
  HRESULT(WINAPI* GetSilenceThreshold)(VoxlRecorder* self, FLOAT* dB);
  /* Refused above 0.0 dB and for not-a-number. */
  HRESULT(WINAPI* SetSilenceThreshold)(VoxlRecorder* self, FLOAT dB);
  HRESULT(WINAPI* GetSoundThreshold)(VoxlRecorder* self, FLOAT* dB);
  /* Refused above 0.0 dB and for not-a-number. */
  HRESULT(WINAPI* SetSoundThreshold)(VoxlRecorder* self, FLOAT dB);
  HRESULT(WINAPI* GetSilenceMode)(VoxlRecorder* self, WORD* mode);
  /* 0 off, 1 watch left, 2 watch right, 3 watch both; refused while recording. */
  HRESULT(WINAPI* SetSilenceMode)(VoxlRecorder* self, SHORT mode);
  HRESULT(WINAPI* GetFileFormatText)(VoxlRecorder* self, BSTR* text, WORD* error);
  HRESULT(WINAPI* GetFormatText)(VoxlRecorder* self, BSTR* text, WORD* error);
  HRESULT(WINAPI* ChooseFormat)(VoxlRecorder* self, DWORD ownerWindow, BSTR title, WORD* error);
  /* The chosen format as a VT_ARRAY|VT_UI1 safe array (one byte 0 when none is chosen). */
  HRESULT(WINAPI* GetFormat)(VoxlRecorder* self, VARIANT* format);
  HRESULT(WINAPI* PutFormat)(VoxlRecorder* self, VARIANT format);
  /* State 2 with a file: rewrites it without what edits left behind its content (a new file in
   * the same folder, flushed, then put in its place) and opens it again with the same position
   * and delete-on-close.  VOXL_ERR_VOLUME_CONTROL when it could not be rewritten (the file stays
   * as it was, open); the reopen's error when it could not be opened again (state 1). */
  HRESULT(WINAPI* CompactFile)(VoxlRecorder* self, WORD* error);
  /* DeleteSamples with seconds x the file's rate, the fraction of a frame dropped. */
  HRESULT(WINAPI* DeleteSeconds)(VoxlRecorder* self, DOUBLE seconds, WORD* error);
  /* State 2 with a file: removes frames at the position (to the end when fewer are left; whole
   * blocks of a compressed file; nothing below 1); the position stays, the length shrinks.  A
   * RIFF/WAVE file keeps its size on disk until CompactFile.  VOXL_ERR_READ_ONLY,
   * VOXL_ERR_NEEDS_OPEN, VOXL_ERR_NO_FILE (a stream) refuse it; VOXL_ERR_CAPTURE_WRITE when the
   * file could not be rewritten. */
  HRESULT(WINAPI* DeleteSamples)(VoxlRecorder* self, LONG frames, WORD* error);
  HRESULT(WINAPI* GetInsertMode)(VoxlRecorder* self, WORD* insert);
  /* Only 0 or 1. */
  HRESULT(WINAPI* SetInsertMode)(VoxlRecorder* self, WORD insert);
  HRESULT(WINAPI* GetOutputDevice)(VoxlRecorder* self, LONG* device);
  /* -1 = the default device; refused below -1.  Not checked against the devices present. */
  HRESULT(WINAPI* SetOutputDevice)(VoxlRecorder* self, LONG device);
  HRESULT(WINAPI* GetInputDevice)(VoxlRecorder* self, LONG* device);
  HRESULT(WINAPI* SetInputDevice)(VoxlRecorder* self, LONG device);
  /* Empty for a number that names no device. */
  HRESULT(WINAPI* GetOutputDeviceName)(VoxlRecorder* self, DWORD device, BSTR* name);
  HRESULT(WINAPI* GetInputDeviceName)(VoxlRecorder* self, DWORD device, BSTR* name);
  HRESULT(WINAPI* GetOutputDeviceCount)(VoxlRecorder* self, DWORD* count);
  HRESULT(WINAPI* GetInputDeviceCount)(VoxlRecorder* self, DWORD* count);
  HRESULT(WINAPI* GetMaxLengthSeconds)(VoxlRecorder* self, DOUBLE* seconds);
  /* Recording limit (0 = none); refused below 0.0.  Sets the limit in frames too. */
  HRESULT(WINAPI* SetMaxLengthSeconds)(VoxlRecorder* self, DOUBLE seconds);
  HRESULT(WINAPI* GetMaxLength)(VoxlRecorder* self, DWORD* frames);
  /* Recording limit in frames (0 = none); refused when negative.  Sets the seconds too. */
  HRESULT(WINAPI* SetMaxLength)(VoxlRecorder* self, LONG frames);
  HRESULT(WINAPI* GetEndToneSeconds)(VoxlRecorder* self, FLOAT* seconds);
  /* Marker tones (0.0 = none); refused below 0.0, and when the tone's frames at the current rate
   * (seconds x rate + 0.5) pass 0xFFFFFFFF or its bytes in the current format pass 0xFFFFFFFE. */
  HRESULT(WINAPI* SetEndToneSeconds)(VoxlRecorder* self, FLOAT seconds);
  HRESULT(WINAPI* GetStartToneSeconds)(VoxlRecorder* self, FLOAT* seconds);
  HRESULT(WINAPI* SetStartToneSeconds)(VoxlRecorder* self, FLOAT seconds);
  /* Starts the desktop's mixer, on its recording side when recording is non-zero;
   * VOXL_ERR_VOLUME_CONTROL when none could be started. */
  HRESULT(WINAPI* OpenVolumeControl)(VoxlRecorder* self, WORD recording, WORD* error);
  HRESULT(WINAPI* GetLengthSeconds)(VoxlRecorder* self, DOUBLE* seconds);
  HRESULT(WINAPI* GetPositionSeconds)(VoxlRecorder* self, DOUBLE* seconds);
  HRESULT(WINAPI* SetPositionSeconds)(VoxlRecorder* self, DOUBLE seconds);
  /* The last error code, once; 0 afterwards. */
  HRESULT(WINAPI* TakeLastError)(VoxlRecorder* self, WORD* error);
  /* Plays the open file from the position (state 4); VOXL_ERR_PLAYBACK_START when the device
   * cannot start or nothing is left to play, VOXL_ERR_NEEDS_OPEN when not open and stopped,
   * VOXL_ERR_NO_FILE for a stream. */
  HRESULT(WINAPI* Play)(VoxlRecorder* self, WORD* error);
  HRESULT(WINAPI* Record)(VoxlRecorder* self, WORD* error);
  /* Zeros unless recording or playing; for mono the right values repeat the left. */
  HRESULT(WINAPI* GetLevels)
  (VoxlRecorder* self, FLOAT* levelLeft, WORD* clipLeft, FLOAT* levelRight, WORD* clipRight);
  HRESULT(WINAPI* GetPosition)(VoxlRecorder* self, LONG* frames);
  HRESULT(WINAPI* SetPosition)(VoxlRecorder* self, LONG frames);
  HRESULT(WINAPI* GetPaused)(VoxlRecorder* self, WORD* paused);
  HRESULT(WINAPI* SetPaused)(VoxlRecorder* self, SHORT paused);
  /* 0 unless a file or stream is open (states 2 to 4). */
  HRESULT(WINAPI* GetLength)(VoxlRecorder* self, DWORD* frames);
  HRESULT(WINAPI* OpenFile)(VoxlRecorder* self, BSTR name, WORD* error);
  HRESULT(WINAPI* NewTempRecording)(VoxlRecorder* self, WORD* error);
  HRESULT(WINAPI* NewRecording)(VoxlRecorder* self, BSTR name, WORD* error);
  HRESULT(WINAPI* Stop)(VoxlRecorder* self);
  HRESULT(WINAPI* GetDeleteOnClose)(VoxlRecorder* self, WORD* deleteOnClose);
  HRESULT(WINAPI* SetDeleteOnClose)(VoxlRecorder* self, WORD deleteOnClose);
  HRESULT(WINAPI* GetFileName)(VoxlRecorder* self, BSTR* name);
  HRESULT(WINAPI* Close)(VoxlRecorder* self, WORD* error);
  HRESULT(WINAPI* GetState)(VoxlRecorder* self, WORD* state);
  HRESULT(WINAPI* GetMeterOption)(VoxlRecorder* self, WORD* option);
  HRESULT(WINAPI* SetMeterOption)(VoxlRecorder* self, WORD option);
  HRESULT(WINAPI* GetChannels)(VoxlRecorder* self, WORD* channels);
  /* States 0/1; 1 or 2. */
  HRESULT(WINAPI* SetChannels)(VoxlRecorder* self, WORD channels);
  HRESULT(WINAPI* GetSampleFormat)(VoxlRecorder* self, WORD* sampleFormat);
  /* States 0/1; 8 or 16 (linear PCM bits), 106 A-law, 107 mu-law, 100 the chosen format. */
  HRESULT(WINAPI* SetSampleFormat)(VoxlRecorder* self, WORD sampleFormat);
  HRESULT(WINAPI* GetSampleRate)(VoxlRecorder* self, DWORD* hertz);
  /* States 0/1; 6000, 8000, 11025, 16000, 22050, 32000, 44100, 48000, 64000, 88200, 96000 or
   * 192000.  The limit in seconds is kept; the limit in frames follows the rate. */
  HRESULT(WINAPI* SetSampleRate)(VoxlRecorder* self, DWORD hertz);
  /* Display properties: stored for the host, not interpreted by the recorder. */
  HRESULT(WINAPI* GetMeterStyle)(VoxlRecorder* self, WORD* style);
  HRESULT(WINAPI* SetMeterStyle)(VoxlRecorder* self, SHORT style); /* 0 to 3 */
  HRESULT(WINAPI* GetMeterSegments)(VoxlRecorder* self, WORD* segments);
  HRESULT(WINAPI* SetMeterSegments)(VoxlRecorder* self, SHORT segments); /* 1 to 20 */
  HRESULT(WINAPI* GetMeterHighColor)(VoxlRecorder* self, DWORD* color);
  HRESULT(WINAPI* SetMeterHighColor)(VoxlRecorder* self, DWORD color);
  HRESULT(WINAPI* GetMeterMidColor)(VoxlRecorder* self, DWORD* color);
  HRESULT(WINAPI* SetMeterMidColor)(VoxlRecorder* self, DWORD color);
  HRESULT(WINAPI* GetMeterLowColor)(VoxlRecorder* self, DWORD* color);
  HRESULT(WINAPI* SetMeterLowColor)(VoxlRecorder* self, DWORD color);
  HRESULT(WINAPI* GetMeterBackColor)(VoxlRecorder* self, DWORD* color);
  HRESULT(WINAPI* SetMeterBackColor)(VoxlRecorder* self, DWORD color);
} VoxlRecorderVtbl;

/* ---- Creating and destroying a recorder ----
 *
 * A recorder belongs to the thread that creates it: its methods are called there, and its
 * callbacks run there while that thread dispatches window messages (GetMessageA/PeekMessageA
 * and DispatchMessageA, or VoxlMessageQueueFd in an event loop).  Several recorders may live
 * side by side, each with its own engine. */

/* Creates a recorder in VOXL_STATE_IDLE, with its engine running and the default capture format
 * (44100 Hz, 16 bits, two channels) checked against the default input device.  On failure
 * returns null and writes VOXL_ERR_CAPTURE_FORMAT_REFUSED or VOXL_ERR_NO_ENGINE to *error; on
 * success writes VOXL_ERR_NONE.  error may be null. */
VOXL_API VoxlRecorder* VoxlCreateRecorder(WORD* error);
/* Creates a recorder as VoxlCreateRecorder does, but one that never asks the default input
 * device about its capture format (neither here nor at Close or NewRecording), so it touches no
 * sound device until it records or plays: for hosts that open, inspect, edit or play files.  It
 * can record; a device that refuses the format then fails Record with VOXL_ERR_CAPTURE_START.
 * Fails only with VOXL_ERR_NO_ENGINE. */
VOXL_API VoxlRecorder* VoxlCreateFileRecorder(WORD* error);
/* Stops any recording or playback, closes the open file and ends the engine.  Null is
 * accepted. */
VOXL_API void VoxlDestroyRecorder(VoxlRecorder* recorder);
/* Installs the six host callbacks (copied; null entries are skipped).  Null callbacks clears
 * them all. */
VOXL_API void VoxlSetCallbacks(VoxlRecorder* recorder, const VoxlRecorderCallbacks* callbacks);
/* A dropout of a recording run: `frames` sample frames that the input device never delivered
 * are missing before sample frame `position` of the recording (the take's position, as
 * GetPosition counts: past 2147483647 frames of an RF64 recording it says 2147483647).  Called on
 * the recorder's thread while it dispatches, once per dropout, in the order found; a RIFF/WAVE
 * recording also gets a cue point labelled "dropout N ms" there when it is closed.  Nothing is
 * inserted into the audio. */
typedef void(CALLBACK* VoxlDropoutCallback)(LONG position, DWORD frames, void* context);
/* Installs the dropout callback (null: none) and the context it is called with. */
VOXL_API void VoxlSetDropoutCallback(VoxlRecorder* recorder, VoxlDropoutCallback dropout,
                                     void* context);
/* What a new RIFF/WAVE recording does when its data would pass 4 GiB.  VOXL_LARGE_FILE_NONE
 * (the default): the run stops there with VOXL_STOP_LENGTH_LIMIT and a valid file.
 * VOXL_LARGE_FILE_RF64: the file reserves room for 64-bit sizes when it is created (a 36-byte
 * "JUNK" chunk behind "WAVE"); it stays a plain RIFF/WAVE file while its data stays below
 * 4 GiB, and becomes an RF64 file (a "ds64" chunk with the 64-bit sizes in place of the "JUNK")
 * when a write would pass 4 GiB.  Such a run goes on past 2147483647 frames, as far as the 64-bit
 * sizes reach; the method table's frame counts stop there (GetPosition at 2147483647, GetLength
 * at 4294967295) while its seconds stay exact. */
typedef enum VoxlLargeFileMode {
  VOXL_LARGE_FILE_NONE = 0,
  VOXL_LARGE_FILE_RF64 = 1
} VoxlLargeFileMode;
/* Sets the large-file mode (a VoxlLargeFileMode) for the recordings the recorder creates from
 * now on; it also lets a recording into an opened file with that room (an RF64 file, or one
 * written in this mode) pass 4 GiB.  0 accepted, 1 refused (an unknown mode, or a null
 * recorder). */
VOXL_API DWORD VoxlSetLargeFileMode(VoxlRecorder* recorder, DWORD mode);
/* The large-file mode (VOXL_LARGE_FILE_NONE for a null recorder). */
VOXL_API DWORD VoxlGetLargeFileMode(VoxlRecorder* recorder);
/* Installs the progress callback (null: none) and the context it is called with. */
VOXL_API void VoxlSetProgressCallback(VoxlRecorder* recorder, VoxlProgressCallback progress,
                                      void* context);
/* One line in plain words for a VoxlError; never null (an unknown code has a line too). */
VOXL_API const char* VoxlErrorText(WORD code);
#if !defined(_WIN32)
/* The codec libraries the library is built on, with their versions, e.g. "libmp3lame 3.100,
 * libmpg123 (interface 47), libgsm 1.0.22"; never null. */
VOXL_API const char* VoxlCodecLibraryVersions(void);
#endif

/* ---- Converting files ----
 *
 * VoxlConvertFile reads any file a recorder opens (RIFF/WAVE in any format the recorder plays,
 * headerless samples, a headerless MPEG Layer-3 stream) and writes it as a new recording in any
 * format a recording is made in (RIFF/WAVE or headerless; PCM, A-law, mu-law or any codec's
 * format), at another rate and channel count when asked.  The file written is exactly what a
 * recording in that format would be: the same header, "fact" count and layout.  The work needs
 * no device, engine thread or window, and runs on the calling thread until it is done.
 *
 * Rates change through a windowed-sinc filter: flat to 0.9 of the lower rate's Nyquist
 * frequency, at least 100 dB down from that frequency on.  Fewer channels take the mean of the
 * input channels, more repeat them. */

/* Called after each piece of the work with the part done (0.0 to 1.0) and the context given;
 * returning 0 cancels the work (VOXL_ERR_CANCELLED). */
typedef BOOL(CALLBACK* VoxlConvertProgress)(DOUBLE fraction, void* context);

typedef struct VoxlConvertOptions {
  /* How the input is read, as SetFileKind and the capture format tell OpenFile: 0 RIFF/WAVE,
   * 1 headerless from byte 0, 2 a headerless MPEG Layer-3 stream, -n headerless behind an
   * n-byte header.  Headerless samples (1 and -n) are inputSampleFormat (8 or 16 bits PCM, 106
   * A-law, 107 mu-law) at inputSampleRate (a rate SetSampleRate takes) in inputChannels (1 or
   * 2). */
  SHORT inputKind;
  WORD inputSampleFormat;
  DWORD inputSampleRate;
  WORD inputChannels;
  /* What is written: 0 a RIFF/WAVE file, 1 headerless. */
  SHORT outputKind;
  /* 8 or 16 (linear PCM bits), 106 A-law, 107 mu-law, 0 = 16; or 100: the format record
   * `format` of `formatSize` bytes (WAVEFORMATEX and its extra bytes, as PutFormat takes it),
   * which also gives the rate and channels. */
  WORD sampleFormat;
  /* Not with 100: the rate (one SetSampleRate takes; 0 = the input's) and channels (1 or 2; 0 =
   * the input's, two for an input of more). */
  DWORD sampleRate;
  WORD channels;
  const WAVEFORMATEX* format;
  DWORD formatSize;
  /* May be null. */
  VoxlConvertProgress progress;
  void* progressContext;
} VoxlConvertOptions;

/* Converts the file `input` into a new file `output` (both UTF-8 names).  The output is written
 * under a temporary name in its folder and takes its name only when complete: on any failure
 * nothing of the call is left and a file that had the name is as it was.  Returns VOXL_ERR_NONE,
 * or: VOXL_ERR_FILE_OPEN (a name null, empty or too long, the input missing or unreadable, the
 * output's folder taking no file), VOXL_ERR_NOT_A_FILE (either name is a device, FIFO, socket
 * or folder), VOXL_ERR_SAME_FILE (the output is the input, through any link), the errors of
 * OpenFile for the input (VOXL_ERR_NOT_RIFF_WAVE, VOXL_ERR_FORMAT_UNUSABLE, ...),
 * VOXL_ERR_FORMAT_UNUSABLE or VOXL_ERR_NO_TARGET_FORMAT for an output format that cannot be
 * written, VOXL_ERR_PLAYBACK_READ when reading the input failed, VOXL_ERR_CAPTURE_WRITE or
 * VOXL_ERR_LENGTH_LIMIT when the output could not take it all (a full disk, 4 GiB), and
 * VOXL_ERR_CANCELLED.  options must not be null. */
VOXL_API WORD VoxlConvertFile(LPCSTR input, LPCSTR output, const VoxlConvertOptions* options);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
static_assert(sizeof(AcmBlock) == 24, "an AcmBlock's audio starts at byte 24");
#endif

#endif /* VOXL310K_H */
