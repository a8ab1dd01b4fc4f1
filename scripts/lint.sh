#!/bin/sh
# The checks that need no build: includes point down the layers, the C++
# sources are formatted, the shell scripts pass shellcheck. As root, missing
# tools are installed with apt-get.
set -eu
cd "$(dirname "$0")/.."
need=""
command -v clang-format >/dev/null || need="$need clang-format"
command -v shellcheck >/dev/null || need="$need shellcheck"
if [ -n "$need" ]; then
  apt-get update -qq
  # $need is a list of package names: split on purpose.
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi
scripts/check-layers.sh
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror
git ls-files -z '*.sh' .ci/run integrations/mender/router-pkg | xargs -0 shellcheck
