# SPDX-License-Identifier: MIT
# 32-bit big-endian PowerPC with Debian's cross compiler (g++-powerpc-linux-gnu).
# Test programs run under user-mode qemu, so ctest works as on the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CHRONELS_PPC_SYSROOT /usr/powerpc-linux-gnu)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

# Libraries, headers and packages of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH ${CHRONELS_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L makes the emulator take the dynamic loader and libc from the sysroot;
# gtest_discover_tests runs the programs through it too. The guest cannot
# see that it is emulated, so it is told (CHRONELS_EMULATED), for tests that
# must fit the emulator's limits.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${CHRONELS_PPC_SYSROOT} -E CHRONELS_EMULATED=qemu-ppc)

# Debian ships GoogleTest for the target only as sources.
set(CHRONELS_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "")
