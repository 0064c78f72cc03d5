# Cross-compiles for Windows on x86-64 with Debian's mingw-w64, and runs the
# results (ctest's unit tests) under Wine:
#   cmake -S . -B build/windows --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BREVOK_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix variants: the -win32 ones come without C++ threads, which
# GoogleTest needs.
set(CMAKE_C_COMPILER ${BREVOK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BREVOK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BREVOK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BREVOK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the programs need no DLL beyond the system's own, neither
# on a Windows host nor under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# No link time in the PE header: the same sources give the same .exe, and
# the same SHA-256 sum.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--no-insert-timestamp")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)

include(${CMAKE_CURRENT_LIST_DIR}/cross-boost-headers.cmake)
