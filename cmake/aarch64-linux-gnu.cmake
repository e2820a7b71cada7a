# SPDX-License-Identifier: BSD-2-Clause
# Cross build for 64-bit ARM Linux (arm64) with Debian's cross compiler,
# package g++-aarch64-linux-gnu: cmake --preset arm64.
#
# The programs built run on the build machine under qemu-user (package
# qemu-user), which takes the ARM dynamic loader and libraries from the cross
# compiler's tree in /usr/aarch64-linux-gnu (-L): ctest and the test discovery
# run the unit tests that way. No binfmt registration is needed or used.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(qsh_cross_root /usr/aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)  # GoogleTest's build enables C
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${qsh_cross_root})

# Libraries, headers and packages of the target only; programs of the build
# machine.
set(CMAKE_FIND_ROOT_PATH ${qsh_cross_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
