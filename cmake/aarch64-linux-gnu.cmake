# Cross build for 64-bit ARM Linux with Debian's cross compilers: g++-aarch64-linux-gnu, or
# clang given as -DZELTO_CROSS_CLANG=clang++-16 (which links through the same GCC toolchain).
# Libraries and CMake packages come only from the cross root and from CMAKE_FIND_ROOT_PATH
# entries given on the command line (GoogleTest built for aarch64), never from the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZELTO_CROSS_ROOT /usr/aarch64-linux-gnu)
if(ZELTO_CROSS_CLANG)
  set(CMAKE_CXX_COMPILER ${ZELTO_CROSS_CLANG})
  set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
else()
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
# GoogleTest's project enables C as well.
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)

list(APPEND CMAKE_FIND_ROOT_PATH ${ZELTO_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs the build runs (GoogleTest's test discovery) run under user-mode emulation, with the
# cross root's C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${ZELTO_CROSS_ROOT})
