# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM (armhf) with Debian's cross toolchain:
#   dpkg --add-architecture armhf
#   apt-get install crossbuild-essential-armhf libcapi20-dev:armhf libgtest-dev:armhf qemu-user
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Test programs run under qemu-arm with the armhf multiarch libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Libraries and headers of the target come from the multiarch directories;
# programs (pkg-config, the compilers) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must see only the armhf .pc files (capi20), never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# gtest_discover_tests and ctest start test programs through this. The
# programs load the armhf C library of libc6:armhf (a dependency of
# libcapi20-dev:armhf) with its own loader from /lib: qemu's -L with
# /usr/arm-linux-gnueabihf would pair the cross toolchain's loader with that
# library, two different glibc builds, and every forked child then crashes.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)
