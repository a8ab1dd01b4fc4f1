#!/bin/sh
# Resets a scratch root before a timed run of the benchmarks.
#
#   sandbox.sh router ROOT [PACKAGE]   an empty router root; with PACKAGE, that
#                                      file waits in its download directory
#   sandbox.sh dpkg ROOT               an empty root with an empty dpkg database
#   sandbox.sh plain ROOT              an empty directory
#   sandbox.sh copy ROOT FROM          ROOT becomes a copy of FROM
#
# Each reset ends with a sync, so that no run starts with other processes'
# writes still pending: the installer's commit syncs, and on a shared machine
# that sync would otherwise wait for them.
set -eu
what=$1
root=$2
rm -rf "$root"
case $what in
  router)
    mkdir -p "$root/flash/var/pdb" "$root/flash/var/pckg" "$root/ram" "$root/tmp" "$root/rw" \
      "$root/dev"
    if [ $# -ge 3 ]; then cp "$3" "$root/flash/var/pckg/"; fi
    ;;
  dpkg)
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    : >"$root/var/lib/dpkg/available"
    ;;
  plain)
    mkdir -p "$root"
    ;;
  copy)
    cp -a "$3" "$root"
    ;;
  *)
    echo "sandbox.sh: unknown kind $what" >&2
    exit 2
    ;;
esac
sync
