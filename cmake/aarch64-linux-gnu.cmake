# Cross-building for the 64-bit ARM board from an x86-64 Debian machine, with
# Debian's cross compiler and its target libraries under /usr/aarch64-linux-gnu:
#   apt-get install g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user
# and the target's own libraries from Debian's arm64 packages (multiarch):
#   dpkg --add-architecture arm64 && apt-get update
#   apt-get install libfftw3-dev:arm64 libzstd-dev:arm64 libstdc++6:arm64
# Programs built for the target (tests, test discovery) run under qemu's
# user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ACC_TARGET_TRIPLE aarch64-linux-gnu)
set(ACC_TARGET_ROOT /usr/${ACC_TARGET_TRIPLE})

# GoogleTest, built from source for the target, needs the C compiler too.
set(CMAKE_C_COMPILER ${ACC_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ACC_TARGET_TRIPLE}-g++)

# Debian's cross compiler finds its headers and libraries by itself; a
# --sysroot would break that layout. The roots only limit find_*(): the cross
# toolchain's own tree, and / for Debian's arm64 packages (multiarch), whose
# libraries are found by architecture (lib/aarch64-linux-gnu), never the host's.
set(CMAKE_FIND_ROOT_PATH ${ACC_TARGET_ROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target libraries from Debian's own packages for arm64 (multiarch,
# "apt-get install libfftw3-dev:arm64") live in /usr/lib/aarch64-linux-gnu,
# where the cross compiler looks too; pkg-config must not offer the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ACC_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

find_program(ACC_QEMU_AARCH64 qemu-aarch64)
if(ACC_QEMU_AARCH64)
  # The emulated loader finds Debian's multiarch libraries for arm64 first
  # whenever they are installed (needed for FFTW). Its C library must then
  # come with its own loader: the cross toolchain's loader with that C
  # library hangs in fork. Without them, the cross toolchain's libraries
  # (-L: qemu's prefix for the loader and every library path) are used.
  if(EXISTS /lib/${ACC_TARGET_TRIPLE}/libc.so.6)
    if(NOT EXISTS /usr/lib/${ACC_TARGET_TRIPLE}/libstdc++.so.6)
      message(FATAL_ERROR "The arm64 C library is installed (multiarch) but its C++ library "
                          "is not: apt-get install libstdc++6:arm64")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ACC_QEMU_AARCH64})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ACC_QEMU_AARCH64} -L ${ACC_TARGET_ROOT})
  endif()
endif()
