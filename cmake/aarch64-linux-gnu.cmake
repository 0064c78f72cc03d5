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

# Boost is used header-only, and its headers are the build machine's. The
# directory that holds them (/usr/include) must not be searched, since its C
# library headers are the build machine's: a directory with nothing in it
# but a link to boost/ shows the compiler Boost alone.
set(BREVOK_BOOST_HEADERS ${CMAKE_BINARY_DIR}/boost-headers)
if(NOT EXISTS ${BREVOK_BOOST_HEADERS}/boost)
  file(MAKE_DIRECTORY ${BREVOK_BOOST_HEADERS})
  file(CREATE_LINK /usr/include/boost ${BREVOK_BOOST_HEADERS}/boost SYMBOLIC)
endif()
set(Boost_NO_BOOST_CMAKE ON)
set(Boost_INCLUDE_DIR ${BREVOK_BOOST_HEADERS} CACHE PATH "Boost headers (a link to the build machine's)")
list(APPEND CMAKE_FIND_ROOT_PATH ${BREVOK_BOOST_HEADERS})
