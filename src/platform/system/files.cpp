// Files: GetTempPathA, GetTempFileNameA, DeleteFileA and MoveFileExA.
//
// Temporary files are created with O_EXCL and mode 0600: a name that exists is never reused,
// and other users cannot read recordings in a shared temporary directory.  A move across file
// systems copies into a hidden file beside the target, flushes it to disk and renames it over
// the target, so the target is either absent, the old file or the complete new one; the source
// is deleted only after that.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/system/io_faults.h"
#include "platform/system/system_internal.h"

namespace voxl::system {

namespace {

// Room a temporary file name needs after its directory: "/", three prefix characters, four hex
// digits, ".tmp" and the terminator.
constexpr size_t kTempNameRoom = 14;

bool IsDirectory(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string TempDirectory() {
  // TMPDIR when it names a directory and leaves room for a temporary name within MAX_PATH.
  const char* tmpdir = std::getenv("TMPDIR");
  std::string dir = (tmpdir != nullptr && tmpdir[0] != '\0' && IsDirectory(tmpdir)) ? tmpdir : "";
  if (dir.empty() || dir.size() + kTempNameRoom > MAX_PATH) dir = "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

std::string TempName(const std::string& dir, const char* prefix, unsigned number) {
  std::string name = dir;
  if (!name.empty() && name.back() != '/') name.push_back('/');
  if (prefix != nullptr) name.append(prefix, strnlen(prefix, 3));
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04X", number & 0xFFFFu);
  name += hex;
  name += ".tmp";
  return name;
}

// A starting point for the search for an unused number that differs between processes and
// between calls.
unsigned NextSeed() {
  static std::atomic<unsigned> counter{0};
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned>(now.tv_nsec) ^ static_cast<unsigned>(getpid() << 8) ^
         (counter.fetch_add(1) * 0x9E37u);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// Renames without replacing an existing target.  File systems without that operation get a
// hard link followed by removing the old name, which fails the same way when the target exists.
int RenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (link(from, to) != 0) return -1;
  unlink(from);
  return 0;
}

// The move across file systems for a regular file.  Sets the last error on failure.
BOOL CopyAcross(const char* from, const char* to, bool replace) {
  struct stat target {};
  if (!replace && lstat(to, &target) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  // The source must be deletable afterwards; find out before anything is written.
  const std::string sourceDir = DirectoryOf(from);
  if (access(sourceDir.c_str(), W_OK | X_OK) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  const int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  struct stat source {};
  if (fstat(in, &source) != 0) {
    SetLastErrorFromErrno(errno);
    close(in);
    return FALSE;
  }
  std::string temp = DirectoryOf(to) + "/.voxl-move-XXXXXX";
  std::vector<char> tempPath(temp.begin(), temp.end());
  tempPath.push_back('\0');
  const int out = mkostemp(tempPath.data(), O_CLOEXEC);
  if (out < 0) {
    SetLastErrorFromErrno(errno);
    close(in);
    return FALSE;
  }
  int error = 0;
  std::vector<char> buffer(1 << 18);
  for (;;) {
    const ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (got == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) {
      error = errno;
      break;
    }
  }
  close(in);
  if (error == 0 && fchmod(out, source.st_mode & 07777) != 0) error = errno;
  if (error == 0 && fsync(out) != 0) error = errno;
  if (close(out) != 0 && error == 0) error = errno;
  if (error == 0) {
    const int renamed =
        replace ? rename(tempPath.data(), to) : RenameNoReplace(tempPath.data(), to);
    if (renamed != 0) error = errno;
  }
  if (error != 0) {
    unlink(tempPath.data());
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  const int dir = open(DirectoryOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  if (unlink(from) != 0) {
    // The target is complete; the source stays where it was and the caller learns of it.
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

}  // namespace voxl::system

using voxl::system::SetLastErrorFromErrno;

extern "C" DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  const std::string dir = voxl::system::TempDirectory();
  const DWORD needed = static_cast<DWORD>(dir.size() + 1);
  if (buffer == nullptr || bufferLength < needed) return needed;
  std::memcpy(buffer, dir.c_str(), needed);
  return needed - 1;
}

extern "C" UINT GetTempFileNameA(LPCSTR pathName, LPCSTR prefix, UINT unique, LPSTR result) {
  if (pathName == nullptr || result == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (std::strlen(pathName) + voxl::system::kTempNameRoom > MAX_PATH) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  if (unique != 0) {
    const std::string name = voxl::system::TempName(pathName, prefix, unique);
    std::memcpy(result, name.c_str(), name.size() + 1);
    return unique;
  }
  if (voxl::system::IoCallFails(voxl::system::IoCall::Create,
                                voxl::system::TempName(pathName, prefix, 1).c_str())) {
    SetLastError(ERROR_WRITE_FAULT);
    return 0;
  }
  const unsigned seed = voxl::system::NextSeed();
  for (unsigned i = 0; i < 0x10000; ++i) {
    const unsigned number = (seed + i) & 0xFFFFu;
    if (number == 0) continue;
    const std::string name = voxl::system::TempName(pathName, prefix, number);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      std::memcpy(result, name.c_str(), name.size() + 1);
      return number;
    }
    if (errno != EEXIST) {
      SetLastErrorFromErrno(errno);
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

extern "C" BOOL DeleteFileA(LPCSTR fileName) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (voxl::system::IoStopped()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(fileName) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL MoveFileExA(LPCSTR existingName, LPCSTR newName, DWORD flags) {
  if (existingName == nullptr || newName == nullptr ||
      (flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat source {};
  if (lstat(existingName, &source) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  if (voxl::system::IoCallFails(voxl::system::IoCall::Rename, newName)) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  // A file put in another's place takes over what the place stood for: a symbolic link keeps
  // pointing at the replaced file's new content, and the permission bits stay as they were, so
  // saving a file never changes who may read it.
  std::string resolved;
  struct stat target {};
  if (replace && stat(newName, &target) == 0 && S_ISREG(target.st_mode)) {
    if (char* real = realpath(newName, nullptr); real != nullptr) {
      resolved = real;
      std::free(real);
      newName = resolved.c_str();
    }
    if (S_ISREG(source.st_mode) && chmod(existingName, target.st_mode & 07777) != 0) {
      // Best effort: the move itself matters more than the bits.
    }
  }
  const int renamed = replace ? rename(existingName, newName)
                              : voxl::system::RenameNoReplace(existingName, newName);
  if (renamed == 0) return TRUE;
  if (errno == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) != 0 && S_ISREG(source.st_mode)) {
    return voxl::system::CopyAcross(existingName, newName, replace);
  }
  SetLastErrorFromErrno(errno);
  return FALSE;
}
