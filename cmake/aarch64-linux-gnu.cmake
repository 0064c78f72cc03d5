# Cross-compiles for Linux on aarch64 with Debian's cross compiler, and runs
# the results (ctest's unit tests) under user-mode QEMU:
#   cmake -S . -B build/aarch64 --toolchain cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(BREVOK_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${BREVOK_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${BREVOK_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${BREVOK_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program static: the agent has to run on a host with nothing
# installed, and the test programs then run under QEMU without an aarch64
# C library to load.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Called by name: the build machine need not have binfmt_misc mounted.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)

include(${CMAKE_CURRENT_LIST_DIR}/cross-boost-headers.cmake)
