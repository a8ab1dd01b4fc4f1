#!/bin/sh
# End-to-end test of the Mender update module integrations/mender/router-pkg
# with Debian's real mender-client (standalone mode, no server) and
# mender-artifact, on sandbox router roots:
#   install then commit     the live files are old before the commit, new after;
#   install then rollback   the root is wholly old, no temporary file left;
#   a flipped payload bit   the install fails, nothing changes, and Mender
#                           does not report the artifact installed;
#   not enough space        the install fails with the reason on stderr;
#   /ram emptied            between install and commit: the commit fails and
#                           the root is wholly old.
# The client runs modules only from /usr/share/mender/modules/v3 and reads
# /etc/mender/artifact_info: both are made for the test and removed after it.
# Needs root; skipped (exit 77) without it or without the client.
#
# Usage: tests/mender/run.sh BUILD_DIR   (holding installer and pkgtool)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
module_source="$here/../../integrations/mender/router-pkg"
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: needs root (writes /usr/share/mender/modules/v3 and /etc/mender)"
  exit 77
fi
if ! command -v mender >/dev/null || ! command -v mender-artifact >/dev/null; then
  echo "SKIP: mender-client and mender-artifact are not installed (scripts/deps.sh installs them)"
  exit 77
fi

modules=/usr/share/mender/modules/v3
module="$modules/router-pkg"
info=/etc/mender/artifact_info
work=$(mktemp -d)
made_modules=
made_etc=
saved_module=
saved_info=
mounts=

cleanup() {
  for m in $mounts; do umount "$m" 2>/dev/null || true; done
  if [ -n "$saved_module" ]; then mv "$saved_module" "$module"; else rm -f "$module"; fi
  if [ -n "$saved_info" ]; then mv "$saved_info" "$info"; else rm -f "$info"; fi
  [ -z "$made_modules" ] || rm -rf "$made_modules"
  [ -z "$made_etc" ] || rmdir /etc/mender 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The highest directory this test makes, so that all it made goes.
first_missing() {
  dir=$1
  while [ ! -d "$(dirname "$dir")" ]; do dir=$(dirname "$dir"); done
  [ -d "$dir" ] || printf '%s\n' "$dir"
}
made_modules=$(first_missing "$modules")
[ -d /etc/mender ] || made_etc=yes
mkdir -p "$modules" /etc/mender
if [ -e "$module" ]; then saved_module="$work/module.saved"; mv "$module" "$saved_module"; fi
if [ -e "$info" ]; then saved_info="$work/info.saved"; mv "$info" "$saved_info"; fi
cp "$module_source" "$module"
chmod 755 "$module"
echo "artifact_name=router-initial" >"$info"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

PATH="$build:$PATH"
export PATH
# In a sanitizer build the leak check reads /proc at exit, which the
# installer cannot reach once it has entered a router root.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
export ASAN_OPTIONS

# A package file "NAME-VERSION.npk" whose one file bin/NAME holds "NAME VERSION".
package() {
  dir="$work/build-$1-$2"
  mkdir -p "$dir/tree/bin"
  printf '%s %s' "$1" "$2" >"$dir/tree/bin/$1"
  printf 'name: %s\nversion: %s\nbuild-time: 1700000000\n' "$1" "$2" >"$dir/description"
  if [ -n "${3:-}" ]; then head -c "$3" /dev/zero >"$dir/tree/bin/$1.data"; fi
  pkgtool build "$dir/description" "$dir/tree" -o "$work/$1-$2.npk" --dev-key >/dev/null
}

artifact() { # OUTPUT NAME FILE...
  out=$1
  name=$2
  shift 2
  for f; do
    set -- "$@" -f "$f"
    shift
  done
  mender-artifact write module-image -t router -T router-pkg -n "$name" -o "$out" "$@" >/dev/null
}

# A router root with tool 7.1 installed.
new_root() {
  root="$work/root-$1"
  mkdir -p "$root/flash/var/pdb" "$root/ram" "$root/rw/pckg/.download"
  if [ -n "${2:-}" ]; then
    mount -t tmpfs -o "size=$2" tmpfs "$root/flash"
    mounts="$root/flash $mounts"
    mkdir -p "$root/flash/var/pdb"
  fi
  cp "$work/tool-7.1.npk" "$root/rw/pckg/.download/"
  installer -q -r "$root" >/dev/null
  rm -f "$root/flash/postlog" "$root/rw/pckg/.download/tool-7.1.npk"
}

# Everything in a root but what every run rewrites (its record, the message
# log, the lock file).
tree() {
  (cd "$1" && find . \( -name .last-run -o -name postlog -o -name installer.lock \) -prune -o \
    -printf '%p %y %m\n' | sort)
  (cd "$1" && find . -type f ! -name .last-run ! -name postlog ! -name installer.lock \
    -exec md5sum {} + | sort)
}

temporaries() { find "$1" -name 'tmp??????' -o -name '.*.part' -o -name .journal -o -name '.staged*'; }

# The Mender client on its own data directory, the module on `root`.
mender_run() { # ROOT DATA ARGS...
  r=$1
  d=$2
  shift 2
  INSTALLER_ROOT=$r mender --config "$work/mender.conf" --data "$d" --no-syslog "$@"
}

new_data() {
  data="$work/data-$1"
  mkdir -p "$data"
  echo "device_type=router" >"$data/device_type"
}

echo '{"ServerURL": "https://localhost.invalid"}' >"$work/mender.conf"
package tool 7.1
package tool 7.2
artifact "$work/tool-7.2.mender" tool-7.2 "$work/tool-7.2.npk"

# 1. Install, then commit.
new_root commit
new_data commit
if ! mender_run "$root" "$data" install "$work/tool-7.2.mender" >"$work/out" 2>&1; then
  fail "install then commit: the install failed"; cat "$work/out"
fi
[ "$(cat "$root/flash/bin/tool")" = "tool 7.1" ] || fail "install then commit: live file changed before the commit"
if ! mender_run "$root" "$data" commit >"$work/out" 2>&1; then
  fail "install then commit: the commit failed"; cat "$work/out"
fi
[ "$(cat "$root/flash/bin/tool")" = "tool 7.2" ] || fail "install then commit: live file not new after the commit"
[ -z "$(temporaries "$root")" ] || fail "install then commit: left $(temporaries "$root")"
[ ! -e "$root/rw/pckg/.download/tool-7.2.npk" ] || fail "install then commit: the package file stayed in the download directory"
mender_run "$root" "$data" show-artifact 2>/dev/null | grep -qx tool-7.2 ||
  fail "install then commit: Mender does not report tool-7.2 installed"

# 2. Install, then roll back.
new_root rollback
new_data rollback
tree "$root" >"$work/before"
mender_run "$root" "$data" install "$work/tool-7.2.mender" >"$work/out" 2>&1 ||
  { fail "install then rollback: the install failed"; cat "$work/out"; }
mender_run "$root" "$data" rollback >"$work/out" 2>&1 ||
  { fail "install then rollback: the rollback failed"; cat "$work/out"; }
tree "$root" >"$work/after"
cmp -s "$work/before" "$work/after" ||
  { fail "install then rollback: the root is not wholly old"; diff "$work/before" "$work/after" || true; }
[ -z "$(temporaries "$root")" ] || fail "install then rollback: left $(temporaries "$root")"
for left in "$root"/ram/*; do
  case ${left##*/} in
    installer.lock | '*') ;;
    *) fail "install then rollback: /ram holds ${left##*/}" ;;
  esac
done

# 3. A flipped bit in the payload.
new_root flipped
new_data flipped
mkdir -p "$work/flipped"
cp "$work/tool-7.2.npk" "$work/flipped/tool-7.2.npk"
# The middle byte of the payload part ("part 4 payload at OFFSET, SIZE bytes").
at=$(pkgtool inspect "$work/flipped/tool-7.2.npk" |
  sed -n 's/^part [0-9]* payload at \([0-9]*\), \([0-9]*\) bytes.*/\1 \2/p' |
  { read -r offset length && echo $((offset + length / 2)); })
byte=$(od -An -tu1 -j "$at" -N1 "$work/flipped/tool-7.2.npk" | tr -d ' ')
printf '%b' "\\$(printf '%03o' $((byte ^ 1)))" |
  dd of="$work/flipped/tool-7.2.npk" bs=1 seek="$at" conv=notrunc 2>/dev/null
artifact "$work/flipped.mender" tool-7.2-flipped "$work/flipped/tool-7.2.npk"
tree "$root" >"$work/before"
if mender_run "$root" "$data" install "$work/flipped.mender" >"$work/out" 2>&1; then
  fail "flipped bit: the install succeeded"
fi
grep -q 'router-pkg: ' "$work/out" || { fail "flipped bit: no reason given"; cat "$work/out"; }
tree "$root" >"$work/after"
cmp -s "$work/before" "$work/after" ||
  { fail "flipped bit: the root changed"; diff "$work/before" "$work/after" || true; }
[ -z "$(temporaries "$root")" ] || fail "flipped bit: left $(temporaries "$root")"
shown=$(mender_run "$root" "$data" show-artifact 2>/dev/null || true)
[ "$shown" = router-initial ] || fail "flipped bit: Mender reports '$shown' installed"

# 4. Not enough space on the flash.
package big 7.1 400000
artifact "$work/big.mender" big-7.1 "$work/big-7.1.npk"
new_root space 256k
new_data space
tree "$root" >"$work/before"
if mender_run "$root" "$data" install "$work/big.mender" >"$work/out" 2>"$work/err"; then
  fail "not enough space: the install succeeded"
fi
grep -q 'no-space' "$work/out" "$work/err" || { fail "not enough space: the reason is not given"; cat "$work/out" "$work/err"; }
tree "$root" >"$work/after"
cmp -s "$work/before" "$work/after" ||
  { fail "not enough space: the root changed"; diff "$work/before" "$work/after" || true; }

# 5. /ram emptied between install and commit (a reboot).
new_root ram
new_data ram
tree "$root" >"$work/before"
mender_run "$root" "$data" install "$work/tool-7.2.mender" >"$work/out" 2>&1 ||
  { fail "/ram emptied: the install failed"; cat "$work/out"; }
rm -rf "${root:?}/ram/"* "$root/ram/".[!.]* 2>/dev/null || true
if mender_run "$root" "$data" commit >"$work/out" 2>&1; then
  fail "/ram emptied: the commit succeeded"
fi
tree "$root" >"$work/after"
cmp -s "$work/before" "$work/after" ||
  { fail "/ram emptied: the root is not wholly old"; diff "$work/before" "$work/after" || true; }
[ -z "$(temporaries "$root")" ] || fail "/ram emptied: left $(temporaries "$root")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "mender module: all scenarios passed"
