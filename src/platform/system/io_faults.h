// Tests only: counting the file operations of this process and making one of them fail.
//
// A test first runs a sequence of operations with counting on, reads how many calls of each kind
// it made, then reruns it with the fault armed at call k for every k in turn.  The file services
// (mmio and the system's file functions) ask the hooks below before each counted operation; when
// nothing is armed or counted a hook is one atomic load.
#pragma once

#include <cstdint>
#include <string>

namespace voxl::system {

// The kinds of file operation that are counted and can be made to fail.  Memory files are
// neither counted nor struck.
enum class IoCall : uint8_t {
  Read,    // one read of a file: mmioRead, and the header reads of mmioDescend
  Write,   // one write of a file: mmioWrite, the header and size writes of mmioCreateChunk and
           // mmioAscend, and voxl::mmio::FlushToDisk
  Seek,    // mmioSeek
  Rename,  // MoveFileExA
  Create,  // mmioOpenA with MMIO_CREATE, and GetTempFileNameA making its file
};
inline constexpr int kIoCallKinds = 5;

// What the struck call does.
enum class IoFailure : uint8_t {
  Fail,        // it fails without effect: nothing is read, written, renamed or created (a create
               // leaves an existing file untouched); later calls succeed
  ShortWrite,  // a write stores the first half of its bytes and reports that count (a write of
               // one byte stores nothing and fails); later calls succeed.  Other kinds: Fail.
  DiskFull,    // from the struck write on the disk has `room` more bytes: a write stores what lies
               // inside the file's current length plus what still fits, reports that count, and
               // fails when it is nothing.  Lasts until disarmed.  Other kinds: Fail.
  Stop,        // the process stops there, as if killed: the struck call and every file operation
               // after it, of every kind and in every folder (deletes and truncations too), fail
               // without effect until disarmed
};

struct IoFault {
  IoCall call = IoCall::Write;
  uint64_t at = 0;  // calls of that kind that succeed before the struck one
  IoFailure failure = IoFailure::Fail;
  uint64_t room = 0;   // DiskFull: bytes that still fit on the disk
  std::string folder;  // when set, only operations on files in this folder (not in those below
                       // it) are counted and struck; a rename by its target's folder
};
// A full disk from the next write on, with `room` bytes still free.
inline IoFault DiskFull(uint64_t room) {
  return IoFault{IoCall::Write, 0, IoFailure::DiskFull, room, {}};
}

// Counts from 0 and arms `fault`.
void ArmIoFault(const IoFault& fault);
// Counts from 0 with no fault armed; `folder` as in IoFault.
void CountIoCalls(const std::string& folder = {});
// Calls of `kind` since the last ArmIoFault or CountIoCalls.
uint64_t IoCalls(IoCall kind);
// Stops counting and lifts the fault; true when it struck (a call failed or was cut short).
bool DisarmIoFault();

// Whether calls are being counted or a fault is armed: services that would bypass the counted
// calls (a copy inside the system) use the counted ones instead.
bool IoFaultsActive();

// Whether a Stop fault has struck: deletes and truncations, which are not counted, fail too.
bool IoStopped();

// Hooks of the file services.  `fd` is an open file, `path` a file's name.
// Counts the call; true when it must fail.
bool IoCallFails(IoCall kind, int fd);
bool IoCallFails(IoCall kind, const char* path);
// Counts a write of `count` bytes at `offset` of `fd`; returns how many of them to store, or -1
// when the write must fail storing nothing.
int64_t IoWriteAllowance(int fd, uint64_t offset, uint64_t count);

}  // namespace voxl::system
