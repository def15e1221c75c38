// RIFF file I/O: the mmio* services.
//
// Files are unbuffered: every mmioRead / mmioWrite goes straight to the file (or to the memory
// block of a memory file).  Offsets are 64-bit inside; what crosses this interface is 32-bit,
// as RIFF sizes are.  A RIFF or chunk size that would pass 0xFFFFFFFF is refused with an error,
// never wrapped, and the position never passes 0xFFFFFFFF: a write that would cross it stops
// there, as on a full disk, so the sizes of what was written can still be recorded.  A handle
// given AllowLargeOffsets (an RF64 file) runs on past it through Seek64 / Tell64 / Length64.
#pragma once

#include "voxl310k_platform.h"

#if defined(_WIN32)
// The original platform's own RIFF file I/O, and the three file operations the recorder needs
// beyond it, done on the file handle that the system's I/O procedure for disk files keeps in
// adwInfo[0].
#ifdef __cplusplus
namespace voxl::mmio {
inline HANDLE FileHandleOf(HMMIO h) {
  MMIOINFO info{};
  if (mmioGetInfo(h, &info, 0) != MMSYSERR_NOERROR) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(info.adwInfo[0]));
}
inline bool Truncate(HMMIO h, uint64_t length) {
  const HANDLE file = FileHandleOf(h);
  LARGE_INTEGER here{};
  LARGE_INTEGER end{};
  LARGE_INTEGER cut{};
  cut.QuadPart = static_cast<LONGLONG>(length);
  if (file == INVALID_HANDLE_VALUE || !SetFilePointerEx(file, {}, &here, FILE_CURRENT) ||
      !SetFilePointerEx(file, {}, &end, FILE_END)) {
    return false;
  }
  bool cutDone = true;
  if (end.QuadPart > cut.QuadPart) {
    cutDone = SetFilePointerEx(file, cut, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  }
  return SetFilePointerEx(file, here, nullptr, FILE_BEGIN) && cutDone;
}
inline bool FlushToDisk(HMMIO h) {
  const HANDLE file = FileHandleOf(h);
  return file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
}
inline void StartWriteBack(HMMIO) {}
// No copy inside the system here: copies go through the buffer.  The system's share modes keep
// other writers out; the file identity is its volume and index.
inline bool CopyRange(HMMIO, uint64_t, HMMIO, uint64_t, uint64_t, uint64_t* copied) {
  *copied = 0;
  return false;
}
inline bool LockForWriting(HMMIO) {
  return true;
}
inline bool FileIdentity(HMMIO h, uint64_t* device, uint64_t* inode) {
  BY_HANDLE_FILE_INFORMATION about{};
  const HANDLE file = FileHandleOf(h);
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &about)) return false;
  *device = about.dwVolumeSerialNumber;
  *inode = (uint64_t{about.nFileIndexHigh} << 32) | about.nFileIndexLow;
  return true;
}
inline bool IsNoFile(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}
// The original platform's mmio positions are 32-bit: no handle passes 4 GiB there.
inline void AllowLargeOffsets(HMMIO) {}
inline bool LargeOffsetsAllowed(HMMIO) {
  return false;
}
inline bool Seek64(HMMIO h, uint64_t offset) {
  return offset <= 0xFFFFFFFFu &&
         mmioSeek(h, static_cast<LONG>(static_cast<DWORD>(offset)), SEEK_SET) != -1;
}
inline bool Tell64(HMMIO h, uint64_t* offset) {
  const LONG here = mmioSeek(h, 0, SEEK_CUR);
  if (here == -1) return false;
  *offset = static_cast<DWORD>(here);
  return true;
}
inline bool Length64(HMMIO h, uint64_t* length) {
  LARGE_INTEGER size{};
  const HANDLE file = FileHandleOf(h);
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) return false;
  *length = static_cast<uint64_t>(size.QuadPart);
  return true;
}
inline bool IsPlainFile(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}
}  // namespace voxl::mmio
#endif
#else  // Linux: the library's own platform layer

#ifdef __cplusplus
extern "C" {
#endif

typedef UINT MMRESULT;
typedef DWORD FOURCC;
typedef struct HMMIO__* HMMIO;
typedef char* HPSTR;

#define mmioFOURCC(c0, c1, c2, c3)                                            \
  ((DWORD)(BYTE)(c0) | ((DWORD)(BYTE)(c1) << 8) | ((DWORD)(BYTE)(c2) << 16) | \
   ((DWORD)(BYTE)(c3) << 24))
#define FOURCC_RIFF mmioFOURCC('R', 'I', 'F', 'F')
#define FOURCC_LIST mmioFOURCC('L', 'I', 'S', 'T')
#define FOURCC_DOS mmioFOURCC('D', 'O', 'S', ' ')
#define FOURCC_MEM mmioFOURCC('M', 'E', 'M', ' ')

// Open flags.
#define MMIO_READ 0x00000000u
#define MMIO_WRITE 0x00000001u
#define MMIO_READWRITE 0x00000002u
#define MMIO_CREATE 0x00001000u  // create, or truncate an existing file to 0 bytes
#define MMIO_DELETE 0x00000200u  // delete the named file; returns (HMMIO)1 on success
#define MMIO_EXIST 0x00004000u   // only test existence: (HMMIO)1 when the file exists, else null
#define MMIO_ALLOCBUF 0x00010000u

// Descend, ascend and create flags.
#define MMIO_FINDCHUNK 0x0010u
#define MMIO_FINDRIFF 0x0020u
#define MMIO_FINDLIST 0x0040u
#define MMIO_CREATERIFF 0x0020u
#define MMIO_CREATELIST 0x0040u
#define MMIO_DIRTY 0x10000000u  // in MMCKINFO.dwFlags: the size must be written at ascend
#define MMIO_TOUPPER 0x0010u    // mmioStringToFOURCCA: convert to upper case

// Errors (MMRESULT, and MMIOINFO.wErrorRet of a failed open).
#define MMIOERR_BASE 256
#define MMIOERR_FILENOTFOUND (MMIOERR_BASE + 1)
#define MMIOERR_OUTOFMEMORY (MMIOERR_BASE + 2)
#define MMIOERR_CANNOTOPEN (MMIOERR_BASE + 3)
#define MMIOERR_CANNOTCLOSE (MMIOERR_BASE + 4)
#define MMIOERR_CANNOTREAD (MMIOERR_BASE + 5)
#define MMIOERR_CANNOTWRITE (MMIOERR_BASE + 6)
#define MMIOERR_CANNOTSEEK (MMIOERR_BASE + 7)
#define MMIOERR_CANNOTEXPAND (MMIOERR_BASE + 8)
#define MMIOERR_CHUNKNOTFOUND (MMIOERR_BASE + 9)
#define MMIOERR_UNBUFFERED (MMIOERR_BASE + 10)
#define MMIOERR_PATHNOTFOUND (MMIOERR_BASE + 11)
#define MMIOERR_ACCESSDENIED (MMIOERR_BASE + 12)
#define MMIOERR_INVALIDFILE (MMIOERR_BASE + 16)

#ifndef SEEK_SET
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#endif

typedef struct _MMCKINFO {
  FOURCC ckid;         // chunk id
  DWORD cksize;        // size of the chunk's data, without the 8-byte header and the pad byte
  FOURCC fccType;      // form type of RIFF and LIST chunks
  DWORD dwDataOffset;  // file offset of the chunk's data
  DWORD dwFlags;       // MMIO_DIRTY
} MMCKINFO, *LPMMCKINFO;

// Only what a memory file needs is used: fccIOProc = FOURCC_MEM with pchBuffer / cchBuffer
// opens the caller's memory block as the file (read, or read-write within its size; fuzzing and
// tests use it).  A failed open puts its MMIOERR_* code in wErrorRet.
typedef struct _MMIOINFO {
  DWORD dwFlags;
  FOURCC fccIOProc;
  void* pIOProc;
  UINT wErrorRet;
  HANDLE htask;
  LONG cchBuffer;
  HPSTR pchBuffer;
  HPSTR pchNext;
  HPSTR pchEndRead;
  HPSTR pchEndWrite;
  LONG lBufOffset;
  LONG lDiskOffset;
  DWORD adwInfo[3];
  DWORD dwReserved1;
  DWORD dwReserved2;
  HMMIO hmmio;
} MMIOINFO, *LPMMIOINFO;

HMMIO mmioOpenA(LPSTR fileName, LPMMIOINFO info, DWORD openFlags);
MMRESULT mmioClose(HMMIO h, UINT flags);
// Returns bytes read (0 at the end), -1 on error.
LONG mmioRead(HMMIO h, HPSTR buffer, LONG count);
// Returns bytes written, -1 on error (a short write returns the count written).
LONG mmioWrite(HMMIO h, const char* buffer, LONG count);
// Returns the new position, -1 on error.  With SEEK_SET the offset is taken as an unsigned
// 32-bit position, so files up to 4 GiB can be addressed; positions at or above 2 GiB come back
// as their 32-bit pattern (callers compare with -1 only).
LONG mmioSeek(HMMIO h, LONG offset, int origin);
// Searches forward from the current position inside `parent` (or to the end of the file) for
// the chunk named in `ck` (MMIO_FINDCHUNK: ckid; MMIO_FINDRIFF / MMIO_FINDLIST: fccType), passing
// over other chunks and their pad bytes; without a find flag, reads the chunk header at the
// current position.  On success fills `ck` and leaves the position at its data (behind the form
// type for RIFF and LIST).  MMIOERR_CHUNKNOTFOUND when the search reaches the end, or a chunk it
// would pass over is cut short or reaches past the bound; the position is then unchanged.
MMRESULT mmioDescend(HMMIO h, LPMMCKINFO ck, const MMCKINFO* parent, UINT flags);
// Leaves the chunk: when it was created by mmioCreateChunk or carries MMIO_DIRTY, writes its
// size (from the current position when that lies past the recorded size), and writes a pad byte
// after odd-sized data; clears the dirty state and seeks behind the chunk.
MMRESULT mmioAscend(HMMIO h, LPMMCKINFO ck, UINT flags);
// Writes a chunk header at the current position (ckid, a size of ck->cksize, and fccType with
// MMIO_CREATERIFF / MMIO_CREATELIST) and leaves the position at its data.  The chunk is dirty
// until its ascend.
MMRESULT mmioCreateChunk(HMMIO h, LPMMCKINFO ck, UINT flags);
FOURCC mmioStringToFOURCCA(LPCSTR text, UINT flags);

#ifdef __cplusplus
}  // extern "C"

namespace voxl::mmio {
// Cuts the file to `length` bytes when it is longer; the position stays where it was.  False
// when it cannot be cut (a memory file keeps the length of its block).
bool Truncate(HMMIO h, uint64_t length);

// Makes what was written to the file durable: returns once the system has it on disk.  False
// when it cannot (a memory file has nothing to flush and succeeds).
bool FlushToDisk(HMMIO h);
// Starts writing what was written to the file to disk, without waiting for it, so that a later
// FlushToDisk has less left to wait for.  A hint: nothing happens where it is not supported.
void StartWriteBack(HMMIO h);

// Copies `count` bytes of `from` at `fromOffset` to `to` at `toOffset` inside the system, without
// passing them through this process (copy_file_range).  False when the system cannot (another
// file system, no support) or a copy failed; *copied says how far it got (0: nothing happened,
// and a buffered copy can take over).
bool CopyRange(HMMIO from, uint64_t fromOffset, HMMIO to, uint64_t toOffset, uint64_t count,
               uint64_t* copied);
// Takes the advisory lock of a file open for writing, so that a second writer (another recorder
// or process) can be refused.  False only when another holds it; the lock goes with the handle.
bool LockForWriting(HMMIO h);
// The device and inode of the open file: which file it is, whatever its name now.
bool FileIdentity(HMMIO h, uint64_t* device, uint64_t* inode);
// Whether `name` exists and is something other than a regular file (a device node, FIFO,
// socket or folder), which the file services refuse to open.
bool IsNoFile(const char* name);
// Whether `name` itself (not what a symbolic link points at) is a regular file.
bool IsPlainFile(const char* name);

// Lets the handle's position pass 4 GiB (an RF64 recording): from now on mmioRead and mmioWrite
// run on past 0xFFFFFFFF.  mmioSeek and mmioDescend still hand out only 32-bit positions (a seek
// beyond fails); Seek64, Tell64 and Length64 reach the whole file.
void AllowLargeOffsets(HMMIO h);
// Whether AllowLargeOffsets was called on the handle.
bool LargeOffsetsAllowed(HMMIO h);
// Seeks to the absolute offset `offset`; false (and no seek) when the handle cannot reach it.
bool Seek64(HMMIO h, uint64_t offset);
// The current position; false for a handle that is not open.
bool Tell64(HMMIO h, uint64_t* offset);
// The file's length in bytes.
bool Length64(HMMIO h, uint64_t* length);

// Tests count and fail this service's file operations through platform/system/io_faults.h.
}  // namespace voxl::mmio
#endif

#endif  // Linux
