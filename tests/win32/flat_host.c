/* A host of VOXL310K.DLL on its own platform, as a host program of that platform uses it: it
 * loads the library, finds the eight functions by their decorated names and ordinals, lists the
 * input devices, captures from "Default Device" while a tone plays (with_tone.sh), checks the
 * blocks and the levels.  A library whose helper window cannot be made must refuse InitACM, and
 * unloading the library while it records must neither hang nor pull the code from under it.
 *
 * Usage: win32_flat_host PATH_OF_VOXL310K.DLL [TONE_LEVEL_DB]   (exit status 0 when all holds) */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "voxl310k.h"

typedef BOOL(WINAPI* VoidFn)(void);
typedef BOOL(WINAPI* WindowFn)(HWND);
typedef BOOL(WINAPI* NameFn)(LPSTR);
typedef BOOL(WINAPI* DeviceFn)(LPCSTR);
typedef BOOL(WINAPI* TakeFn)(AcmBlock**);
typedef BOOL(WINAPI* FreeFn)(AcmBlock*);

/* The exports in the order of their ordinals (1 to 8), which is the order of their names. */
static const char* const kExports[8] = {
    "_DeinitACM@0",        "_FreeACMBlock@4", "_GetFirstACMDevice@4", "_GetNextACMBlock@4",
    "_GetNextACMDevice@4", "_InitACM@4",      "_StartACMRecord@4",    "_StopACMRecord@0"};

static struct {
  VoidFn deinit;
  FreeFn freeBlock;
  NameFn firstDevice;
  TakeFn nextBlock;
  NameFn nextDevice;
  WindowFn init;
  DeviceFn start;
  VoidFn stop;
} lib;

static int failures = 0;
#define CHECK(cond, ...)                                          \
  do {                                                            \
    if (!(cond)) {                                                \
      ++failures;                                                 \
      fprintf(stderr, "FAILED (line %d): %s: ", __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                               \
      fprintf(stderr, "\n");                                      \
    }                                                             \
  } while (0)

/* The export directory names exactly the eight functions, at ordinals 1 to 8, and each name and
 * its ordinal lead to the same code. */
static HMODULE LoadAndBind(const char* path) {
  HMODULE module = LoadLibraryA(path);
  if (module == NULL) {
    fprintf(stderr, "FAILED: LoadLibraryA(%s): error %lu\n", path, (unsigned long)GetLastError());
    exit(1);
  }
  const BYTE* base = (const BYTE*)module;
  const IMAGE_NT_HEADERS* nt =
      (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY* dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const IMAGE_EXPORT_DIRECTORY* exports =
      (const IMAGE_EXPORT_DIRECTORY*)(base + dir->VirtualAddress);
  CHECK(exports->NumberOfNames == 8 && exports->NumberOfFunctions == 8 && exports->Base == 1,
        "%lu names, %lu functions, base %lu", (unsigned long)exports->NumberOfNames,
        (unsigned long)exports->NumberOfFunctions, (unsigned long)exports->Base);
  const DWORD* names = (const DWORD*)(base + exports->AddressOfNames);
  const WORD* ordinals = (const WORD*)(base + exports->AddressOfNameOrdinals);
  FARPROC found[8];
  for (int i = 0; i < 8; ++i) {
    const char* name = i < (int)exports->NumberOfNames ? (const char*)(base + names[i]) : "";
    const unsigned ordinal = i < (int)exports->NumberOfNames ? ordinals[i] + exports->Base : 0;
    CHECK(strcmp(name, kExports[i]) == 0 && ordinal == (unsigned)i + 1, "export %d is %s @%u", i,
          name, ordinal);
    found[i] = GetProcAddress(module, kExports[i]);
    CHECK(found[i] != NULL && found[i] == GetProcAddress(module, MAKEINTRESOURCEA(i + 1)),
          "%s and ordinal %d", kExports[i], i + 1);
    if (found[i] == NULL) exit(1);
  }
  lib.deinit = (VoidFn)(void*)found[0];
  lib.freeBlock = (FreeFn)(void*)found[1];
  lib.firstDevice = (NameFn)(void*)found[2];
  lib.nextBlock = (TakeFn)(void*)found[3];
  lib.nextDevice = (NameFn)(void*)found[4];
  lib.init = (WindowFn)(void*)found[5];
  lib.start = (DeviceFn)(void*)found[6];
  lib.stop = (VoidFn)(void*)found[7];
  return module;
}

static int CompareShorts(const void* a, const void* b) {
  return *(const SHORT*)a - *(const SHORT*)b;
}

/* Pumps the thread's messages until `blocks` blocks with signal have arrived or the deadline
 * passes.  Blocks are checked as they are taken; levels are kept from the 10th signal block on,
 * when the tone has reached the device for certain. */
enum { kMaxLevels = 400 };
static SHORT levelsLeft[kMaxLevels], levelsRight[kMaxLevels];
static int levelCount = 0;

static int Capture(HWND host, int blocks, DWORD deadlineMs) {
  const DWORD start = GetTickCount();
  int signalBlocks = 0, allBlocks = 0;
  MSG msg;
  while (signalBlocks < blocks && GetTickCount() - start < deadlineMs) {
    if (!PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
      MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
      continue;
    }
    if (msg.hwnd == host && msg.message == VOXL_MSG_BLOCK_READY) {
      AcmBlock* block = NULL;
      CHECK(lib.nextBlock(&block) && block != NULL, "a block message without a block");
      if (block == NULL) continue;
      const WAVEFORMATEX* f = &block->format;
      CHECK(f->wFormatTag == 1 && f->nChannels == 2 && f->nSamplesPerSec == 44100 &&
                f->nAvgBytesPerSec == 176400 && f->nBlockAlign == 4 && f->wBitsPerSample == 16 &&
                f->cbSize == 0,
            "block format %u/%u/%lu/%lu/%u/%u/%u", f->wFormatTag, f->nChannels,
            (unsigned long)f->nSamplesPerSec, (unsigned long)f->nAvgBytesPerSec, f->nBlockAlign,
            f->wBitsPerSample, f->cbSize);
      CHECK(block->dataLength == 17640, "a block of %lu bytes", (unsigned long)block->dataLength);
      const SHORT* samples = (const SHORT*)ACM_BLOCK_DATA(block);
      int peak = 0;
      for (DWORD i = 0; i < block->dataLength / 2; ++i) peak = max(peak, abs(samples[i]));
      ++allBlocks;
      if (peak > 1000) ++signalBlocks;
      lib.freeBlock(block);
    } else if (msg.hwnd == host && msg.message == VOXL_MSG_LEVELS) {
      if (signalBlocks >= 10 && levelCount < kMaxLevels) {
        levelsLeft[levelCount] = VOXL_LEVEL_LEFT_TENTHS(msg.lParam);
        levelsRight[levelCount] = VOXL_LEVEL_RIGHT_TENTHS(msg.lParam);
        ++levelCount;
      }
    } else {
      DispatchMessageA(&msg); /* the library's helper window */
    }
  }
  printf("capture: %d blocks, %d with the tone, first after %.1f s\n", allBlocks, signalBlocks,
         (GetTickCount() - start) / 1000.0);
  return signalBlocks;
}

/* FreeLibrary with a live recorder must return: fails the run when `unloaded` is not set in
 * time. */
static HANDLE unloaded;
static DWORD WINAPI Watchdog(LPVOID seconds) {
  if (WaitForSingleObject(unloaded, (DWORD)(UINT_PTR)seconds * 1000) == WAIT_OBJECT_0) return 0;
  fprintf(stderr, "FAILED: unloading the library with a live recorder did not return\n");
  ExitProcess(3);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s VOXL310K.DLL [TONE_LEVEL_DB]\n", argv[0]);
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);
  const double toneDb = argc > 2 ? atof(argv[2]) : -6.0;
  HMODULE module = LoadAndBind(argv[1]);
  HWND host = CreateWindowExA(0, "STATIC", "host", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
  CHECK(host != NULL, "no host window");

  char name[VOXL_DEVICE_NAME_BYTES];
  CHECK(!lib.nextDevice(name) && name[0] == '\0', "enumeration before GetFirstACMDevice");
  CHECK(lib.init(host), "InitACM");

  /* "Default Device", then every input device of the system, then the end, twice. */
  int names = 0;
  for (BOOL ok = lib.firstDevice(name); ok; ok = lib.nextDevice(name)) {
    printf("device %d: %s\n", names, name);
    CHECK(names > 0 || strcmp(name, VOXL_DEFAULT_DEVICE_NAME) == 0, "first name %s", name);
    ++names;
  }
  CHECK(names == (int)waveInGetNumDevs() + 1, "%d names for %u devices", names, waveInGetNumDevs());
  CHECK(!lib.nextDevice(name) && name[0] == '\0', "enumeration past its end");
  CHECK(!lib.start("default device"), "a name that differs in letter case");

  /* Three seconds of the tone from the default device; Wine takes a while to start. */
  CHECK(lib.start(VOXL_DEFAULT_DEVICE_NAME), "StartACMRecord");
  CHECK(Capture(host, 30, 20000) >= 30, "fewer than 30 blocks with the tone");
  CHECK(lib.stop(), "StopACMRecord");
  CHECK(levelCount >= 10, "%d level messages during the tone", levelCount);
  if (levelCount > 0) {
    qsort(levelsLeft, levelCount, sizeof(SHORT), CompareShorts);
    qsort(levelsRight, levelCount, sizeof(SHORT), CompareShorts);
    const double left = levelsLeft[levelCount / 2] / 10.0;
    const double right = levelsRight[levelCount / 2] / 10.0;
    printf("levels: %.1f dB left, %.1f dB right (tone at %.1f dB)\n", left, right, toneDb);
    CHECK(fabs(left - toneDb) <= 0.5 && fabs(right - toneDb) <= 0.5, "levels %.1f / %.1f", left,
          right);
  }
  CHECK(lib.deinit(), "DeinitACM");
  CHECK(!lib.deinit(), "DeinitACM without a recorder");

  /* Without its window class the library cannot make a helper window: InitACM fails cleanly. */
  CHECK(UnregisterClassA("VOXLHelperClass", module), "UnregisterClassA");
  CHECK(!lib.init(host), "InitACM without a helper window");
  CHECK(!lib.start(VOXL_DEFAULT_DEVICE_NAME) && !lib.deinit(), "functions without a recorder");
  CHECK(FreeLibrary(module) && GetModuleHandleA("VOXL310K.dll") == NULL, "unload");

  /* Unloading with a recording running returns at once and leaves the library loaded while its
   * engine runs, so no thread ever runs unmapped code; the process ends it. */
  module = LoadAndBind(argv[1]);
  CHECK(lib.init(host) && lib.start(VOXL_DEFAULT_DEVICE_NAME), "InitACM and StartACMRecord again");
  CHECK(Capture(host, 3, 20000) >= 3, "no blocks after the reload");
  unloaded = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE watchdog = CreateThread(NULL, 0, Watchdog, (LPVOID)(UINT_PTR)30, 0, NULL);
  CHECK(FreeLibrary(module), "FreeLibrary");
  SetEvent(unloaded);
  CHECK(GetModuleHandleA("VOXL310K.dll") == module, "the library went while its engine runs");
  WaitForSingleObject(watchdog, INFINITE);
  CloseHandle(watchdog);
  CloseHandle(unloaded);

  DestroyWindow(host);
  printf(failures == 0 ? "all checks passed\n" : "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
