// System service, inside view: helpers shared by its files.
#pragma once

#include "platform/system/system.h"

#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_SAME_DEVICE 17
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_DISK_FULL 112
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_FILENAME_EXCED_RANGE 206

namespace voxl::system {

// The ERROR_* code that best describes an errno value.
DWORD ErrorFromErrno(int error);

// Records errno's meaning as the calling thread's last error.
void SetLastErrorFromErrno(int error);

}  // namespace voxl::system
