#!/bin/sh
# The unit tests on s390x, a big-endian machine, under qemu-user: shows that
# the package format is decoded the same whatever the machine's byte order.
#
#   scripts/cross-s390x.sh [test-binary...]     (default: every area's tests)
#
# S390X_SYSROOT, when set, names the sysroot (default /tmp/s390x-sysroot).
set -eu
if [ -n "${S390X_SYSROOT:-}" ]; then
  CROSS_SYSROOT=$S390X_SYSROOT
  export CROSS_SYSROOT
fi
exec "$(dirname "$0")/cross.sh" s390x "$@"
