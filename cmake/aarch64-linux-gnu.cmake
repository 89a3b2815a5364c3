# Cross build for 64-bit ARM Linux with Debian's cross compilers (g++-aarch64-linux-gnu, or
# clang with -DZELTO_CROSS_CLANG=clang++-16); the programs run under qemu-aarch64 with
# -L /usr/aarch64-linux-gnu. Libraries and packages come only from that root and from
# CMAKE_FIND_ROOT_PATH entries given on the command line, never from the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZELTO_CROSS_ROOT /usr/aarch64-linux-gnu)
if(ZELTO_CROSS_CLANG)
  set(CMAKE_CXX_COMPILER ${ZELTO_CROSS_CLANG})
  set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
else()
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)

list(APPEND CMAKE_FIND_ROOT_PATH ${ZELTO_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${ZELTO_CROSS_ROOT})
