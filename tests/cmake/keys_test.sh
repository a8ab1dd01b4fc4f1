#!/bin/sh
# Configures the project with the key settings a user may give and checks
# what CMake says: which settings are refused, which warn, and that the
# ".pub" files of pkgtool keygen are accepted. Configuration only, no build.
# Usage: keys_test.sh SOURCE-DIR PKGTOOL
set -u
source_dir=$1
pkgtool=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

"$pkgtool" keygen ed25519 "$work/own-ed" >/dev/null || exit 1
"$pkgtool" keygen legacy "$work/own-legacy" >/dev/null || exit 1
own_ed=$(cut -d' ' -f2 "$work/own-ed.pub")
dev_ed=5ded8249fa9d49b4848a5ca5988df1df5636f47aaaabc5f6e9848f1b8b3f94f5

# configure NAME EXPECTED-STATUS PATTERN-THAT-MUST-APPEAR PATTERN-THAT-MUST-NOT [CMAKE-ARGS...]
configure() {
  name=$1 want=$2 present=$3 absent=$4
  shift 4
  cmake -S "$source_dir" -B "$work/build-$name" -DINSTALLER_TESTS=OFF "$@" \
    >"$work/$name.log" 2>&1
  status=$?
  if { [ "$want" = ok ] && [ $status -ne 0 ]; } || { [ "$want" = fail ] && [ $status -eq 0 ]; }; then
    echo "FAIL $name: configure status $status, expected $want"
    failures=$((failures + 1))
  fi
  if [ -n "$present" ] && ! tr '\n' ' ' <"$work/$name.log" | tr -s ' ' | grep -q -- "$present"; then
    echo "FAIL $name: no \"$present\" in the output"
    failures=$((failures + 1))
  fi
  if [ -n "$absent" ] && tr '\n' ' ' <"$work/$name.log" | tr -s ' ' | grep -q -- "$absent"; then
    echo "FAIL $name: \"$absent\" in the output"
    failures=$((failures + 1))
  fi
  if [ $failures -ne 0 ]; then cat "$work/$name.log"; fi
}

configure default ok "trusts the development keys" ""
configure own-ed-dev-legacy fail "INSTALLER_LEGACY_PUBLIC_KEY is still the development key" "" \
  -DINSTALLER_ED25519_PUBLIC_KEY="$own_ed"
configure own-legacy-dev-ed fail "INSTALLER_ED25519_PUBLIC_KEY is still the development key" "" \
  -DINSTALLER_LEGACY_PUBLIC_KEY="$work/own-legacy.pub"
configure own-ed-no-legacy ok "" "development keys" \
  -DINSTALLER_ED25519_PUBLIC_KEY="$own_ed" -DINSTALLER_LEGACY_PUBLIC_KEY=none
configure own-pub-files ok "" "development keys" \
  -DINSTALLER_ED25519_PUBLIC_KEY="$work/own-ed.pub" \
  -DINSTALLER_LEGACY_PUBLIC_KEY="$work/own-legacy.pub"
configure dev-ed-no-legacy ok "trusts the development keys" "" \
  -DINSTALLER_ED25519_PUBLIC_KEY="$dev_ed" -DINSTALLER_LEGACY_PUBLIC_KEY=none
configure wrong-kind fail "holds a legacy-public key where a ed25519-public key is needed" "" \
  -DINSTALLER_ED25519_PUBLIC_KEY="$work/own-legacy.pub" -DINSTALLER_LEGACY_PUBLIC_KEY=none
configure secret-file fail "holds a ed25519-secret key where a ed25519-public key is needed" "" \
  -DINSTALLER_ED25519_PUBLIC_KEY="$work/own-ed" -DINSTALLER_LEGACY_PUBLIC_KEY=none
configure short-hex fail "does not hold a key of 64 hex digits" "" \
  -DINSTALLER_ED25519_PUBLIC_KEY=abcd -DINSTALLER_LEGACY_PUBLIC_KEY=none
configure missing-file fail "is neither 64 hex digits nor a key file" "" \
  -DINSTALLER_ED25519_PUBLIC_KEY="$work/nothing.pub" -DINSTALLER_LEGACY_PUBLIC_KEY=none

if ! grep -qF 'INSTALLER_LEGACY_PUBLIC_KEY_HEX=\"\"' \
  "$work/build-own-ed-no-legacy/CMakeFiles/installer_core.dir/flags.make"; then
  echo "FAIL own-ed-no-legacy: the legacy key is not left empty for the build"
  failures=$((failures + 1))
fi
[ $failures -eq 0 ] && echo "all key settings behave"
exit $((failures != 0))
