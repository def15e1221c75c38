// The mmio file operations: open, close, read, write, seek, and the four-character codes.
//
// Files are unbuffered: each mmioRead / mmioWrite is one positioned read or write of the file
// descriptor (pread / pwrite with 64-bit offsets), so what mmioWrite reports as written is in the
// file, and the descriptor's own offset is never used.  A memory file (fccIOProc FOURCC_MEM) is
// the caller's block: its length is cchBuffer and never grows (MMIO_CREATE leaves it as it is).
//
// The position never passes kMaxPosition (4 GiB - 1): a write or read that would cross it stops
// there, a write beyond it fails as on a full disk.  Every offset the interface hands out is then
// exact, and a recording that reaches the limit ends with a write error while its chunk sizes can
// still be written.  A handle given AllowLargeOffsets (an RF64 recording) reads and writes on past
// it; only the 64-bit calls then name positions beyond it.
//
// Not supported: custom I/O procedures (only FOURCC_DOS and FOURCC_MEM), buffered I/O
// (MMIO_ALLOCBUF is accepted and ignored), and non-seekable files such as pipes (their reads and
// writes fail).  A null handle, or the (HMMIO)1 of MMIO_EXIST / MMIO_DELETE, is refused by every
// operation (-1, or MMIOERR_INVALIDFILE).
#include "platform/mmio/mmio_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/system/io_faults.h"

namespace voxl::mmio {
namespace {

constexpr DWORD kAccessMask = 0x3u;

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder a path names its file in ("." for a bare name).
std::string FolderOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return std::string(path, static_cast<size_t>(slash - path));
}

UINT OpenErrorFromErrno(int error, const char* path) {
  switch (error) {
    case ENOENT:
      return IsDirectory(FolderOf(path)) ? MMIOERR_FILENOTFOUND : MMIOERR_PATHNOTFOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return MMIOERR_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return MMIOERR_ACCESSDENIED;
    case ENOMEM:
      return MMIOERR_OUTOFMEMORY;
    default:
      return MMIOERR_CANNOTOPEN;
  }
}

HMMIO Fail(LPMMIOINFO info, UINT error) {
  if (info != nullptr) info->wErrorRet = error;
  return nullptr;
}

HMMIO Succeed(LPMMIOINFO info, HMMIO h) {
  if (info != nullptr) {
    info->wErrorRet = 0;
    info->hmmio = h;
  }
  return h;
}

HMMIO OpenMemory(LPMMIOINFO info, DWORD access) {
  if (info->cchBuffer < 0 || (info->cchBuffer > 0 && info->pchBuffer == nullptr)) {
    return Fail(info, MMIOERR_CANNOTOPEN);
  }
  auto* h = new (std::nothrow) HMMIO__;
  if (h == nullptr) return Fail(info, MMIOERR_OUTOFMEMORY);
  h->memory = info->pchBuffer;
  h->memorySize = static_cast<uint64_t>(info->cchBuffer);
  h->readable = access != MMIO_WRITE;
  h->writable = access != MMIO_READ;
  return Succeed(info, h);
}

HMMIO OpenFile(const char* name, LPMMIOINFO info, DWORD openFlags, DWORD access) {
  if ((openFlags & MMIO_CREATE) && system::IoCallFails(system::IoCall::Create, name)) {
    return Fail(info, MMIOERR_CANNOTOPEN);
  }
  // Opened without blocking and without truncating, so that what the name turns out to be is
  // known before anything happens to it: a FIFO would block the open until a writer came, and a
  // device node must never be emptied or written.  Only regular files are files here.
  int mode = access == MMIO_READ ? O_RDONLY : access == MMIO_WRITE ? O_WRONLY : O_RDWR;
  if (openFlags & MMIO_CREATE) mode |= O_CREAT;
  int fd;
  do {
    fd = open(name, mode | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A FIFO opened for writing without a reader answers ENXIO: it is no file either.
    return Fail(info, errno == ENXIO ? MMIOERR_ACCESSDENIED : OpenErrorFromErrno(errno, name));
  }
  struct stat st {};
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags == -1 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return Fail(info, MMIOERR_ACCESSDENIED);
  }
  if ((openFlags & MMIO_CREATE) && st.st_size != 0 && ftruncate(fd, 0) != 0) {
    close(fd);
    return Fail(info, MMIOERR_ACCESSDENIED);
  }
  auto* h = new (std::nothrow) HMMIO__;
  if (h == nullptr) {
    close(fd);
    return Fail(info, MMIOERR_OUTOFMEMORY);
  }
  h->fd = fd;
  h->readable = access != MMIO_WRITE;
  h->writable = access != MMIO_READ;
  return Succeed(info, h);
}

}  // namespace

bool IsOpenFile(HMMIO h) {
  return h != nullptr && h != reinterpret_cast<HMMIO>(1);
}

int64_t ReadAt(HMMIO h, uint64_t offset, void* buffer, uint64_t count) {
  if (h->fd < 0) {
    if (offset >= h->memorySize) return 0;
    uint64_t n = std::min(count, h->memorySize - offset);
    std::memcpy(buffer, h->memory + offset, n);
    return static_cast<int64_t>(n);
  }
  if (system::IoCallFails(system::IoCall::Read, h->fd)) return -1;
  auto* out = static_cast<char*>(buffer);
  uint64_t done = 0;
  while (done < count) {
    ssize_t got = pread(h->fd, out + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (got == 0) break;
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int64_t>(done);
}

int64_t WriteAt(HMMIO h, uint64_t offset, const void* buffer, uint64_t count) {
  if (h->fd < 0) {
    if (offset >= h->memorySize) return count == 0 ? 0 : -1;
    uint64_t n = std::min(count, h->memorySize - offset);
    std::memcpy(h->memory + offset, buffer, n);
    return static_cast<int64_t>(n);
  }
  const int64_t allowed = system::IoWriteAllowance(h->fd, offset, count);
  if (allowed < 0) return -1;
  count = static_cast<uint64_t>(allowed);
  const auto* in = static_cast<const char*>(buffer);
  uint64_t done = 0;
  while (done < count) {
    ssize_t put = pwrite(h->fd, in + done, count - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    done += static_cast<uint64_t>(put);
  }
  return static_cast<int64_t>(done);
}

bool FileLength(HMMIO h, uint64_t* length) {
  if (h->fd < 0) {
    *length = h->memorySize;
    return true;
  }
  struct stat st {};
  if (fstat(h->fd, &st) != 0) return false;
  *length = static_cast<uint64_t>(st.st_size);
  return true;
}

bool Truncate(HMMIO h, uint64_t length) {
  uint64_t current = 0;
  if (!IsOpenFile(h) || !FileLength(h, &current)) return false;
  if (current <= length) return true;
  if (h->fd < 0 || !h->writable || system::IoStopped()) return false;
  int result;
  do {
    result = ftruncate(h->fd, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool FlushToDisk(HMMIO h) {
  if (!IsOpenFile(h)) return false;
  if (h->fd < 0) return true;
  if (system::IoCallFails(system::IoCall::Write, h->fd)) return false;
  int result;
  do {
    result = fsync(h->fd);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void StartWriteBack(HMMIO h) {
  if (IsOpenFile(h) && h->fd >= 0) sync_file_range(h->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool CopyRange(HMMIO from, uint64_t fromOffset, HMMIO to, uint64_t toOffset, uint64_t count,
               uint64_t* copied) {
  *copied = 0;
  // Memory files, and any run of the fault layer (whose faults strike reads and writes that it
  // sees), take the buffered path.
  if (!IsOpenFile(from) || !IsOpenFile(to) || from->fd < 0 || to->fd < 0 || !from->readable ||
      !to->writable || system::IoFaultsActive()) {
    return false;
  }
  auto in = static_cast<loff_t>(fromOffset);
  auto out = static_cast<loff_t>(toOffset);
  while (*copied < count) {
    const ssize_t n = copy_file_range(from->fd, &in, to->fd, &out, count - *copied, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // an error, or the source ended early
    *copied += static_cast<uint64_t>(n);
  }
  return true;
}

bool LockForWriting(HMMIO h) {
  if (!IsOpenFile(h)) return false;
  if (h->fd < 0) return true;
  int result;
  do {
    result = flock(h->fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  // Only another holder refuses: a file system without locks (ENOLCK) still takes the file.
  return result == 0 || errno != EWOULDBLOCK;
}

bool FileIdentity(HMMIO h, uint64_t* device, uint64_t* inode) {
  struct stat st {};
  if (!IsOpenFile(h) || h->fd < 0 || fstat(h->fd, &st) != 0) return false;
  *device = static_cast<uint64_t>(st.st_dev);
  *inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool IsNoFile(const char* name) {
  struct stat st {};
  return stat(name, &st) == 0 && !S_ISREG(st.st_mode);
}

bool IsPlainFile(const char* name) {
  struct stat st {};
  return lstat(name, &st) == 0 && S_ISREG(st.st_mode);
}

void AllowLargeOffsets(HMMIO h) {
  if (IsOpenFile(h)) h->largeOffsets = true;
}

bool LargeOffsetsAllowed(HMMIO h) {
  return IsOpenFile(h) && h->largeOffsets;
}

bool Seek64(HMMIO h, uint64_t offset) {
  if (!IsOpenFile(h) || offset > LimitOf(h)) return false;
  if (h->fd >= 0 && system::IoCallFails(system::IoCall::Seek, h->fd)) return false;
  h->position = offset;
  return true;
}

bool Tell64(HMMIO h, uint64_t* offset) {
  if (!IsOpenFile(h)) return false;
  *offset = h->position;
  return true;
}

bool Length64(HMMIO h, uint64_t* length) {
  return IsOpenFile(h) && FileLength(h, length);
}

}  // namespace voxl::mmio

using voxl::mmio::kMaxPosition;
using voxl::mmio::LimitOf;

extern "C" HMMIO mmioOpenA(LPSTR fileName, LPMMIOINFO info, DWORD openFlags) {
  using namespace voxl::mmio;
  const DWORD access = openFlags & kAccessMask;
  if (access > MMIO_READWRITE) return Fail(info, MMIOERR_CANNOTOPEN);

  if (info != nullptr && info->fccIOProc == FOURCC_MEM) return OpenMemory(info, access);
  if (info != nullptr && info->fccIOProc != 0 && info->fccIOProc != FOURCC_DOS) {
    return Fail(info, MMIOERR_CANNOTOPEN);
  }
  if (fileName == nullptr) return Fail(info, MMIOERR_FILENOTFOUND);

  if (openFlags & MMIO_EXIST) {
    struct stat st {};
    if (stat(fileName, &st) == 0 && !S_ISDIR(st.st_mode)) {
      return Succeed(info, reinterpret_cast<HMMIO>(1));
    }
    return Fail(info, MMIOERR_FILENOTFOUND);
  }
  if (openFlags & MMIO_DELETE) {
    if (unlink(fileName) == 0) return Succeed(info, reinterpret_cast<HMMIO>(1));
    return Fail(info, OpenErrorFromErrno(errno, fileName));
  }
  return OpenFile(fileName, info, openFlags, access);
}

extern "C" MMRESULT mmioClose(HMMIO h, UINT /*flags*/) {
  if (!voxl::mmio::IsOpenFile(h)) return MMIOERR_INVALIDFILE;
  int result = 0;
  if (h->fd >= 0) {
    // Linux releases the descriptor even when close is interrupted; do not close it twice.
    result = close(h->fd);
    if (result != 0 && errno == EINTR) result = 0;
  }
  delete h;
  return result == 0 ? 0 : MMIOERR_CANNOTCLOSE;
}

extern "C" LONG mmioRead(HMMIO h, HPSTR buffer, LONG count) {
  if (!voxl::mmio::IsOpenFile(h) || count < 0 || (count > 0 && buffer == nullptr)) return -1;
  if (!h->readable) return -1;
  const uint64_t wanted =
      std::min<uint64_t>(static_cast<uint64_t>(count), LimitOf(h) - h->position);
  if (wanted == 0) return 0;
  int64_t got = voxl::mmio::ReadAt(h, h->position, buffer, wanted);
  if (got < 0) return -1;
  h->position += static_cast<uint64_t>(got);
  return static_cast<LONG>(got);
}

extern "C" LONG mmioWrite(HMMIO h, const char* buffer, LONG count) {
  using namespace voxl::mmio;
  if (!IsOpenFile(h) || count < 0 || (count > 0 && buffer == nullptr)) return -1;
  if (!h->writable) return -1;
  if (count == 0) return 0;
  const uint64_t room = std::min<uint64_t>(static_cast<uint64_t>(count), LimitOf(h) - h->position);
  if (room == 0) return -1;
  int64_t put = WriteAt(h, h->position, buffer, room);
  if (put <= 0) return -1;
  h->position += static_cast<uint64_t>(put);
  return static_cast<LONG>(put);
}

extern "C" LONG mmioSeek(HMMIO h, LONG offset, int origin) {
  if (!voxl::mmio::IsOpenFile(h)) return -1;
  if (h->fd >= 0 && voxl::system::IoCallFails(voxl::system::IoCall::Seek, h->fd)) return -1;
  int64_t target;
  switch (origin) {
    case SEEK_SET:
      target = static_cast<int64_t>(static_cast<uint32_t>(offset));
      break;
    case SEEK_CUR:
      target = static_cast<int64_t>(h->position) + offset;
      break;
    case SEEK_END: {
      uint64_t length = 0;
      if (!voxl::mmio::FileLength(h, &length)) return -1;
      target = static_cast<int64_t>(length) + offset;
      break;
    }
    default:
      return -1;
  }
  if (target < 0 || static_cast<uint64_t>(target) > kMaxPosition) return -1;
  h->position = static_cast<uint64_t>(target);
  return static_cast<LONG>(static_cast<uint32_t>(target));
}

extern "C" FOURCC mmioStringToFOURCCA(LPCSTR text, UINT flags) {
  // Shorter names are padded with spaces, longer ones cut after four characters.
  unsigned char code[4] = {' ', ' ', ' ', ' '};
  for (int i = 0; text != nullptr && i < 4 && text[i] != '\0'; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    code[i] = (flags & MMIO_TOUPPER) && c < 0x80 ? static_cast<unsigned char>(std::toupper(c)) : c;
  }
  return mmioFOURCC(code[0], code[1], code[2], code[3]);
}
