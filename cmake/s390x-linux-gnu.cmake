# Cross-building for s390x, a big-endian target: cross-linux-gnu.cmake with
# the architecture set (S390X_SYSROOT, when given, names its sysroot).
set(CROSS_ARCH s390x CACHE STRING "Debian architecture of the target")
if(S390X_SYSROOT)
  set(CROSS_SYSROOT "${S390X_SYSROOT}" CACHE PATH "Unpacked -dev packages of the target")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
