# Cross build for the original 32-bit desktop platform with Debian's mingw-w64 compilers (posix
# threads):  cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VOXL_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VOXL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOXL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VOXL_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VOXL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs of the build run under Wine (the tests).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
