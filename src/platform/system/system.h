// System services: threads, temporary files, deleting and moving files, starting the desktop's
// mixer, and the last-error value.
#pragma once

#include "voxl310k_platform.h"

#if defined(_WIN32)
// The original platform's own services.
#include <process.h>
#include <shellapi.h>
// Path separators of this platform; the recorder splits paths at them.
#define VOXL_PATH_SEPARATORS "\\/"
#else  // Linux: the library's own platform layer

#ifdef __cplusplus
extern "C" {
#endif

// Path separators of this platform; the recorder splits paths at them.
#define VOXL_PATH_SEPARATORS "/"
#define MAX_PATH 260

#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u

#define SW_HIDE 0
#define SW_SHOWNORMAL 1

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_NO_UNICODE_TRANSLATION 1113

// The C runtime's thread start: runs start(arg) on a new detached thread with the default stack
// size.  Returns the thread's handle (a small non-zero number that fits 32 bits), or
// (uintptr_t)-1 when no thread could be started.
uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* arg);
// Raises or lowers the scheduling priority of a thread started by _beginthread (best effort:
// an unprivileged process may not raise it; FALSE then, and nothing changes).
BOOL SetThreadPriority(HANDLE thread, int priority);

// The last error of the calling thread (ERROR_* codes), set by the functions below.
DWORD GetLastError(void);
void SetLastError(DWORD error);

// TMPDIR when set and a directory, else "/tmp", with a trailing '/'.  Returns the length
// written without the terminator; when the buffer is too small, the size needed (terminator
// included) and nothing written; 0 on failure.
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);
// Makes "<path>/<prefix up to 3 chars><hex>.tmp" in `result` (at least MAX_PATH bytes).
// unique = 0: picks an unused number, creates the empty file (never reusing an existing name)
// and returns the number; unique != 0: only forms the name with that number.  0 on failure.
UINT GetTempFileNameA(LPCSTR pathName, LPCSTR prefix, UINT unique, LPSTR result);
BOOL DeleteFileA(LPCSTR fileName);
// Renames; with MOVEFILE_REPLACE_EXISTING an existing target is replaced (a regular file named
// through symbolic links is replaced where it lies, and keeps its permission bits); with
// MOVEFILE_COPY_ALLOWED a move across file systems copies and then deletes the source.  On
// failure the source's content is untouched and no partial target is left.
BOOL MoveFileExA(LPCSTR existingName, LPCSTR newName, DWORD flags);

// Opens `file`.  The system volume control ("sndvol32.exe", with parameters "/record" for the
// recording side) starts the desktop's mixer program: pavucontrol, or alsamixer in a terminal.
// Returns a value above 32 when a program was started, 32 or less (an error code) otherwise.
HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters,
                        LPCSTR directory, INT showCommand);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // Linux
