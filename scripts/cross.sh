#!/bin/sh
# Builds the unit tests for another processor with Debian's cross compiler
# and runs them under qemu-user: s390x (big-endian, 64-bit), and the router
# CPUs arm64, armhf (32-bit ARM) and mipsel (32-bit MIPS, little-endian). As
# root it installs what is missing: the cross compiler and qemu-user, and the
# target's zlib, OpenSSL and GoogleTest packages (and ISA-L for arm64, whose
# payload inflate uses its aarch64 code), unpacked into a sysroot
# (installing them as multiarch packages does not work where the archive's
# security updates are mirrored for amd64 only).
#
#   scripts/cross.sh ARCH [test-binary...]     (default: every area's tests)
#
# ARCH is a Debian architecture: s390x, arm64, armhf or mipsel. The build
# goes to build-ARCH, the sysroot to /tmp/ARCH-sysroot (or $CROSS_SYSROOT);
# the toolchain file is cmake/cross-linux-gnu.cmake.
set -eu
cd "$(dirname "$0")/.."
usage="usage: scripts/cross.sh s390x|arm64|armhf|mipsel [test-binary...]"
[ $# -ge 1 ] || { echo "$usage" >&2; exit 2; }
arch=$1
shift
# The payload inflate: ISA-L where it has assembly for the target (arm64),
# zlib on the others.
inflate=zlib
case $arch in
  s390x) triplet=s390x-linux-gnu qemu=qemu-s390x ;;
  arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 inflate=isal ;;
  armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm ;;
  mipsel) triplet=mipsel-linux-gnu qemu=qemu-mipsel ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
sysroot=${CROSS_SYSROOT:-/tmp/$arch-sysroot}
build=build-$arch
started=$(date +%s)

as_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing cross-build tools or packages for $arch (run as root to install them)" >&2
    exit 1
  fi
}

if ! command -v "$triplet-g++" >/dev/null 2>&1 || ! command -v "$qemu" >/dev/null 2>&1 ||
  ! command -v cmake >/dev/null 2>&1; then
  as_root
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "g++-$triplet" qemu-user cmake make \
    >/dev/null
fi

# download_into_sysroot PACKAGE...: the target's packages, unpacked.
download_into_sysroot() {
  as_root
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
    apt-get update -qq
  fi
  debs=$(mktemp -d)
  chmod 755 "$debs"
  if ! (cd "$debs" && apt-get download -qq "$@"); then
    echo "the $arch packages $* cannot be had here" >&2
    rm -rf "$debs"
    exit 1
  fi
  mkdir -p "$sysroot"
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot"; done
  rm -rf "$debs"
  # Links that point at absolute paths must point into the sysroot.
  find "$sysroot" -type l | while read -r link; do
    target=$(readlink "$link")
    case "$target" in /*) ln -sf "$sysroot$target" "$link" ;; esac
  done
}

if [ ! -e "$sysroot/usr/lib/$triplet/libgtest.a" ]; then
  download_into_sysroot "zlib1g:$arch" "zlib1g-dev:$arch" "libssl3:$arch" "libssl-dev:$arch" \
    "libgtest-dev:$arch"
fi
if [ "$inflate" = isal ] && [ ! -e "$sysroot/usr/include/isa-l/igzip_lib.h" ]; then
  download_into_sysroot "libisal2:$arch" "libisal-dev:$arch"
fi

# The tests link the core library as plain code: its link-time copy, made
# for the installer's small link, would only slow this build down.
cmake --no-warn-unused-cli -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/cross-linux-gnu.cmake -DCROSS_ARCH="$arch" \
  -DCROSS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DINSTALLER_LTO=OFF \
  -DINSTALLER_INFLATE="$inflate" \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null

# A probe that says what the emulated machine is, built with the project's
# definitions.
probe=$(mktemp -d)
cat >"$probe/probe.cc" <<'PROBE'
#include <cstdio>
int main() {
  unsigned x = 1;
  std::printf("%s, %zu-bit pointers, %zu-bit off_t, %zu-bit time_t\n",
              *reinterpret_cast<unsigned char*>(&x) ? "little-endian" : "big-endian",
              sizeof(void*) * 8, sizeof(off_t) * 8, sizeof(time_t) * 8);
}
PROBE
"$triplet-g++" -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -include sys/types.h "$probe/probe.cc" \
  -o "$probe/probe"
echo "$arch: $($qemu -L "/usr/$triplet" "$probe/probe")"
rm -rf "$probe"

if [ $# -eq 0 ]; then
  for dir in src/*/; do
    area=$(basename "$dir")
    ls "$dir"*_test.cc >/dev/null 2>&1 && set -- "$@" "${area}_test"
  done
fi
cmake --build "$build" -j "$(nproc)" --target installer "$@"
built=$(date +%s)

"$triplet-strip" -o "$build/installer.stripped" "$build/installer"
echo "$arch: stripped installer $(stat -c %s "$build/installer.stripped") bytes, payload inflate $inflate"

failed=""
for test in "$@"; do
  echo "== $test ($arch, under qemu)"
  if ! "$qemu" "$build/$test" --gtest_brief=1; then
    failed="$failed $test"
  fi
done
ended=$(date +%s)
echo "$arch: build $((built - started)) s, tests $((ended - built)) s"
if [ -n "$failed" ]; then
  echo "failed on $arch:$failed" >&2
  exit 1
fi
echo "$arch: all unit tests passed"
