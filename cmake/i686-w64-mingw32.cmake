# Cross-builds xipsaw as a 32-bit Windows console program with Debian's
# mingw-w64 (packages g++-mingw-w64-i686-posix, and wine to run the tests):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
# The posix thread model is the one whose C++ runtime has std::thread and
# std::mutex, which the codec and GoogleTest need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(XIPSAW_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${XIPSAW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${XIPSAW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${XIPSAW_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${XIPSAW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and test discovery run the built programs through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
