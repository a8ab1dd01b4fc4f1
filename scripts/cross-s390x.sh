#!/bin/sh
# Builds the unit tests for s390x (big-endian) with Debian's cross compiler
# and runs them under qemu-user, to show that the package format is decoded
# the same whatever the machine's byte order. As root it installs what is
# missing: the cross compiler and qemu-user, and the target's zlib, OpenSSL
# and GoogleTest packages, unpacked into a sysroot (installing them as
# multiarch packages does not work where the archive's security updates are
# mirrored for amd64 only).
#
#   scripts/cross-s390x.sh [test-binary...]     (default: every area's tests)
set -eu
cd "$(dirname "$0")/.."
sysroot=${S390X_SYSROOT:-/tmp/s390x-sysroot}
build="build-s390x"

as_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing cross-build tools or packages (run as root to install them)" >&2
    exit 1
  fi
}

if ! command -v s390x-linux-gnu-g++ >/dev/null 2>&1 || ! command -v qemu-s390x >/dev/null 2>&1; then
  as_root
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-s390x-linux-gnu qemu-user >/dev/null
fi

if [ ! -e "$sysroot/usr/lib/s390x-linux-gnu/libgtest.a" ]; then
  as_root
  if ! dpkg --print-foreign-architectures | grep -qx s390x; then
    dpkg --add-architecture s390x
    apt-get update -qq
  fi
  debs=$(mktemp -d)
  chmod 755 "$debs"
  (cd "$debs" && apt-get download -qq zlib1g:s390x zlib1g-dev:s390x libssl3:s390x \
    libssl-dev:s390x libgtest-dev:s390x)
  mkdir -p "$sysroot"
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot"; done
  rm -rf "$debs"
  # Links that point at absolute paths must point into the sysroot.
  find "$sysroot" -type l | while read -r link; do
    target=$(readlink "$link")
    case "$target" in /*) ln -sf "$sysroot$target" "$link" ;; esac
  done
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake \
  -DS390X_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null

# A probe that says which byte order the emulated machine has.
probe=$(mktemp -d)
printf '#include <cstdio>\nint main() { unsigned x = 1; std::puts(*reinterpret_cast<unsigned char*>(&x) ? "little-endian" : "big-endian"); }\n' \
  >"$probe/probe.cc"
s390x-linux-gnu-g++ "$probe/probe.cc" -o "$probe/probe"
echo "target byte order: $(qemu-s390x -L /usr/s390x-linux-gnu "$probe/probe")"
rm -rf "$probe"

if [ $# -eq 0 ]; then
  for dir in src/*/; do
    area=$(basename "$dir")
    ls "$dir"*_test.cc >/dev/null 2>&1 && set -- "$@" "${area}_test"
  done
fi
cmake --build "$build" -j "$(nproc)" --target "$@"

failed=""
for test in "$@"; do
  echo "== $test (s390x, under qemu)"
  if ! qemu-s390x "$build/$test" --gtest_brief=1; then
    failed="$failed $test"
  fi
done
if [ -n "$failed" ]; then
  echo "failed on s390x:$failed" >&2
  exit 1
fi
echo "s390x: all unit tests passed"
