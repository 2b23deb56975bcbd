# Cross build for the appliance: 32-bit ARM Linux, ARMv7 hard-float
# (arm-linux-gnueabihf), with Debian's cross compilers and the :armhf
# development packages installed beside the native ones (scripts/cross-armhf.sh
# installs them).
#
#   cmake -S . -B build-armhf -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(DRIFT_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${DRIFT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DRIFT_CROSS_TRIPLE}-g++)

# Debian's multiarch layout: the armhf libraries live in
# /usr/lib/arm-linux-gnueabihf and share /usr/include with the native ones
# (the per-architecture headers sit in /usr/include/arm-linux-gnueabihf, which
# the cross compiler searches by itself).  Search only there for libraries,
# and only on the host for programs.
set(CMAKE_FIND_ROOT_PATH /usr/${DRIFT_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake)

# pkg-config of the target: the pkgconf:armhf package provides this name,
# which reads the armhf .pc files only.
set(PKG_CONFIG_EXECUTABLE ${DRIFT_CROSS_TRIPLE}-pkg-config CACHE FILEPATH "pkg-config of the target")

# Programs built here run under user-mode emulation: ctest and the GoogleTest
# discovery prefix every test program with this.  The armhf C library
# (libc6:armhf) installs the loader in /lib, so no -L sysroot is needed.
find_program(DRIFT_QEMU_ARM qemu-arm)
if(DRIFT_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DRIFT_QEMU_ARM})
endif()
