#!/bin/sh
# Builds the installer and the package tool and shows the installer's main
# job on a throw-away router root: an installed system (a package, a bundle
# and an optional package, each piped into the installer's image mode) is
# upgraded from newer package files waiting in the download directory, and
# the result is listed. Runs in seconds and needs no network.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target installer pkgtool -j "$(nproc)" >/dev/null
installer="$PWD/build/installer"
pkgtool="$PWD/build/pkgtool"

# Changing root needs root, or a user namespace in which we are root.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else unshare --map-root-user "$@"; fi
}

root=$(mktemp -d /tmp/installer-demo.XXXXXX)
work=$(mktemp -d /tmp/installer-demo-packages.XXXXXX)
trap 'rm -rf "$root" "$work"' EXIT
mkdir -p "$root/flash/var/pdb" "$root/ram" "$root/rw/pckg/.download"

step() { printf '\n== %s\n' "$1"; }

# package NAME VERSION [FIELD...]: builds $work/NAME-VERSION.npk, signed with
# the development keys, from the files put below $work/NAME-VERSION/tree.
tree() { mkdir -p "$work/$1-$2/tree" && echo "$work/$1-$2/tree"; }
package() {
  name=$1 version=$2 dir="$work/$1-$2"
  shift 2
  mkdir -p "$dir/tree"
  {
    echo "name: $name"
    echo "version: $version"
    echo "build-time: now"
    for field in "$@"; do echo "$field"; done
  } >"$dir/description"
  "$pkgtool" build "$dir/description" "$dir/tree" -o "$dir.npk" --dev-key >/dev/null
}
# bundle NAME VERSION MEMBER-FILE... [-- FIELD...]
bundle() {
  name=$1 version=$2 dir="$work/$1-$2"
  shift 2
  members=""
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do members="$members $1"; shift; done
  [ $# -gt 0 ] && shift
  mkdir -p "$dir"
  {
    echo "name: $name"
    echo "version: $version"
    echo "build-time: now"
    for field in "$@"; do echo "$field"; done
  } >"$dir/description"
  # shellcheck disable=SC2086
  "$pkgtool" bundle "$dir/description" $members -o "$dir.npk" >/dev/null
}

# A payload large enough for the progress bars to be seen moving.
blob() { head -c "$2" /dev/urandom >"$1"; }

# Release 7.1: the system, a bundle of three services (one off by default)
# and an optional package of its own.
t=$(tree system 7.1)
mkdir -p "$t/bin" "$t/lib" "$t/etc"
echo "init 7.1" >"$t/bin/init"
echo "7.1" >"$t/etc/version"
blob "$t/lib/libcore.so" 3000000
package system 7.1
for member in routing wireless hotspot; do
  t=$(tree "$member" 7.1)
  mkdir -p "$t/sbin"
  echo "$member daemon 7.1" >"$t/sbin/$member"
  blob "$t/sbin/$member.data" 800000
  package "$member" 7.1 "depends: system min=7.1"
done
bundle services 7.1 "$work/routing-7.1.npk" "$work/wireless-7.1.npk" "$work/hotspot-7.1.npk" \
  -- "note: network services" "off-by-default: hotspot"
t=$(tree diagnostics 1.0)
mkdir -p "$t/bin"
echo "ping and trace" >"$t/bin/diag"
package diagnostics 1.0 "depends: system"

step "installing release 7.1 through the image mode (installer -r ROOT - < FILE)"
for file in system-7.1 services-7.1 diagnostics-1.0; do
  echo "-- $file.npk"
  as_root "$installer" -r "$root" - <"$work/$file.npk"
  echo
done
t=$(tree extras 1.0)
mkdir -p "$t/share"
echo "sample configurations" >"$t/share/samples"
package extras 1.0 "depends: system"
echo "-- extras-1.0.npk"
as_root "$installer" -r "$root" - <"$work/extras-1.0.npk"
echo
step "installer -r ROOT --show"
as_root "$installer" -r "$root" --show

# The running system schedules actions for the next run: one file per
# package under /ram/pdb/. The upgrade run carries them out first.
step "schedule: disable diagnostics, enable hotspot, uninstall extras"
for action in diagnostics:disable hotspot:enable extras:uninstall; do
  mkdir -p "$root/ram/pdb/${action%%:*}"
  echo "${action#*:}" >"$root/ram/pdb/${action%%:*}/schedule"
  echo "  /ram/pdb/${action%%:*}/schedule: ${action#*:}"
done
step "installer -r ROOT (nothing downloaded: only the schedule is carried out)"
as_root "$installer" -r "$root"
rm -rf "$root/ram/pdb"
step "installer -r ROOT --show"
as_root "$installer" -r "$root" --show

# Release 7.2: a new system, and a services bundle that brings a new member
# and no longer the one that was off by default.
t=$(tree system 7.2)
mkdir -p "$t/bin" "$t/lib" "$t/etc"
echo "init 7.2" >"$t/bin/init"
echo "7.2" >"$t/etc/version"
blob "$t/lib/libcore.so" 3200000
package system 7.2
for member in routing wireless ipv6; do
  t=$(tree "$member" 7.2)
  mkdir -p "$t/sbin"
  echo "$member daemon 7.2" >"$t/sbin/$member"
  blob "$t/sbin/$member.data" 900000
  package "$member" 7.2 "depends: system min=7.2"
done
bundle services 7.2 "$work/routing-7.2.npk" "$work/wireless-7.2.npk" "$work/ipv6-7.2.npk" \
  -- "note: network services"
cp "$work/system-7.2.npk" "$work/services-7.2.npk" "$root/rw/pckg/.download/"

step "download directory /rw/pckg/.download/"
# A listing for people; the names are the demo's own.
# shellcheck disable=SC2012
ls -l "$root/rw/pckg/.download/" | sed 1d | sed 's/^/  /'
step "installer -r ROOT (the upgrade run)"
as_root "$installer" -r "$root"
step "installer -r ROOT --show"
as_root "$installer" -r "$root" --show
step "a look at the flash"
for path in /flash/bin/init /flash/etc/version /flash/sbin/ipv6 /flash/PCKGS_CHANGED; do
  if [ -e "$root$path" ]; then
    printf '  %-30s %s bytes\n' "$path" "$(wc -c <"$root$path")"
  fi
done
for path in /flash/x/hotspot/sbin/hotspot /flash/var/pdb/hotspot; do
  [ -e "$root$path" ] || printf '  %-30s gone with the old bundle\n' "$path"
done
echo "  /flash/postlog:"
sed 's/^/    /' "$root/flash/postlog"
# What an update engine reads instead of the console: the record of the
# last run.
step "pkgtool status --root ROOT (the record of the last run)"
"$pkgtool" status --root "$root" | sed 's/^/  /'
