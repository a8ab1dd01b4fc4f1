#!/bin/sh
# Installs the build dependencies that are missing (Debian 12), as root.
set -eu
need=""
for pkg in cmake g++ make zlib1g-dev libssl-dev libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
done
# ISA-L, the faster payload inflate, where the archive has it for this
# machine; a build without it inflates with zlib.
if ! dpkg -s libisal-dev >/dev/null 2>&1 && apt-cache show libisal-dev >/dev/null 2>&1; then
  need="$need libisal-dev"
fi
if [ -n "$need" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing build dependencies:$need (run as root to install them)" >&2
    exit 1
  fi
  apt-get update -qq
  # $need is a list of package names: split on purpose.
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi
# The end-to-end test of the Mender update module runs Debian's own client
# and artifact tool; without them (or without root) it is skipped.
test_need=""
for pkg in mender-client mender-artifact; do
  dpkg -s "$pkg" >/dev/null 2>&1 || test_need="$test_need $pkg"
done
if [ -n "$test_need" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $test_need >/dev/null
fi
