# Cross-building for s390x, a big-endian target, with Debian's cross compiler.
# The target's zlib, OpenSSL and GoogleTest come from packages unpacked into
# a sysroot (scripts/cross-s390x.sh prepares it); the C library is the cross
# compiler's own. Test binaries run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

set(S390X_SYSROOT "/tmp/s390x-sysroot" CACHE PATH "Unpacked s390x -dev packages")
set(CMAKE_FIND_ROOT_PATH ${S390X_SYSROOT} /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# OpenSSL keeps its configuration header in the multiarch directory.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${S390X_SYSROOT}/usr/include/s390x-linux-gnu
                                           ${S390X_SYSROOT}/usr/include)
# The binaries name the cross tool chain's dynamic loader and find every
# shared library through their run path, so qemu runs them without its path
# prefix (-L), which would also redirect the tests' own "/" to that prefix.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--dynamic-linker=/usr/s390x-linux-gnu/lib/ld64.so.1")
set(CMAKE_BUILD_RPATH /usr/s390x-linux-gnu/lib ${S390X_SYSROOT}/lib/s390x-linux-gnu
                      ${S390X_SYSROOT}/usr/lib/s390x-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x)
