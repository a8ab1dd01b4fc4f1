# Cross-building for a Linux target with Debian's cross compilers, for the
# unit tests under qemu-user. CROSS_ARCH names the target by its Debian
# architecture: s390x (big-endian), arm64, armhf or mipsel. The target's
# zlib, OpenSSL and GoogleTest come from packages unpacked into a sysroot
# (CROSS_SYSROOT, prepared by scripts/cross.sh); the C library is the cross
# compiler's own.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/cross-linux-gnu.cmake -DCROSS_ARCH=arm64 ...
set(CROSS_ARCH "${CROSS_ARCH}" CACHE STRING "Debian architecture of the target")
if(CROSS_ARCH STREQUAL "s390x")
  set(cross_triplet s390x-linux-gnu)
  set(cross_processor s390x)
  set(cross_loader ld64.so.1)
  set(cross_qemu qemu-s390x)
elseif(CROSS_ARCH STREQUAL "arm64")
  set(cross_triplet aarch64-linux-gnu)
  set(cross_processor aarch64)
  set(cross_loader ld-linux-aarch64.so.1)
  set(cross_qemu qemu-aarch64)
elseif(CROSS_ARCH STREQUAL "armhf")
  set(cross_triplet arm-linux-gnueabihf)
  set(cross_processor armv7l)
  set(cross_loader ld-linux-armhf.so.3)
  set(cross_qemu qemu-arm)
  # Notes that an ABI changed in GCC 7.1 concern no code of ours.
  set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
elseif(CROSS_ARCH STREQUAL "mipsel")
  set(cross_triplet mipsel-linux-gnu)
  set(cross_processor mipsel)
  set(cross_loader ld.so.1)
  set(cross_qemu qemu-mipsel)
else()
  message(FATAL_ERROR "CROSS_ARCH must be one of s390x, arm64, armhf, mipsel (got \"${CROSS_ARCH}\")")
endif()
set(CROSS_SYSROOT "/tmp/${CROSS_ARCH}-sysroot" CACHE PATH "Unpacked -dev packages of the target")
# Checks that CMake compiles on its own read this file again: hand them the
# choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_ARCH CROSS_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${cross_processor})
set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${cross_triplet})

set(CMAKE_FIND_ROOT_PATH ${CROSS_SYSROOT} /usr/${cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# OpenSSL keeps its configuration header in the multiarch directory.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${CROSS_SYSROOT}/usr/include/${cross_triplet}
                                           ${CROSS_SYSROOT}/usr/include)
# The binaries name the cross tool chain's dynamic loader and find every
# shared library through their run path, so qemu runs them without its path
# prefix (-L), which would also redirect the tests' own "/" to that prefix.
# The run path is of the older kind, which also serves the libraries' own
# needs (mipsel's libcrypto needs libatomic).
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=/usr/${cross_triplet}/lib/${cross_loader} -Wl,--disable-new-dtags")
set(CMAKE_BUILD_RPATH /usr/${cross_triplet}/lib ${CROSS_SYSROOT}/lib/${cross_triplet}
                      ${CROSS_SYSROOT}/usr/lib/${cross_triplet})
set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_qemu})
