#!/bin/sh
# Fails when a source file includes a header of a folder above its own.
# Tests beside a module may also include the shared test helpers (support/).
# The folders of src/, bottom-up: each may include only those before it.
set -eu
cd "$(dirname "$0")/.."
layers="base platform txn records package console store plan apply upgrade cli pkgtool"

rank() {
  i=0
  for l in $layers; do
    [ "$l" = "$1" ] && { echo "$i"; return; }
    i=$((i + 1))
  done
  echo "unknown folder src/$1: add it to the layers of $0" >&2
  echo 999
}

status=0
for dir in src/*/; do
  from=$(basename "$dir")
  from_rank=$(rank "$from")
  folders=$(grep -ho '^#include "[a-z0-9_]*/' "$dir"*.h "$dir"*.cc 2>/dev/null |
    sed 's/#include "//; s:/$::' | grep -vx support | sort -u)
  for to in $folders; do
    to_rank=$(rank "$to")
    if [ "$to_rank" -gt "$from_rank" ]; then
      echo "src/$from includes src/$to, which sits above it:" >&2
      grep -ln "^#include \"$to/" "$dir"*.h "$dir"*.cc >&2
      status=1
    fi
  done
done
exit $status
