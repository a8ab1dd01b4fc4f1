#!/bin/sh
# Builds the libFuzzer targets in fuzz/ with clang++ (ASan and UBSan on) and
# runs each for a while, starting from its committed seed corpus.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]
#
# Targets are the names of fuzz/*_fuzz.cc without the suffix (default: all);
# 60 seconds each unless given. The working corpus of each target is kept in
# build-fuzz/run/<target>/corpus, so repeated local runs go on where the last
# one stopped; crash inputs land beside it. Exits non-zero when any target
# finds a crash, a leak, a hang or a failed check.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift

have_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 || return 1
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cc"
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cc" -o "$probe/probe" \
    >/dev/null 2>&1
  status=$?
  rm -rf "$probe"
  return $status
}

if ! have_libfuzzer; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "clang++ with libFuzzer is missing (run as root to install clang and libclang-rt-14-dev)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi
scripts/deps.sh

build="build-fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build" -DINSTALLER_FUZZ=ON -DINSTALLER_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_all

if [ $# -eq 0 ]; then
  for source in fuzz/*_fuzz.cc; do
    target=${source#fuzz/}
    set -- "$@" "${target%_fuzz.cc}"
  done
fi

failed=""
for target in "$@"; do
  run="$top/$build/run/$target"
  mkdir -p "$run/corpus"
  if [ -d "fuzz/corpus/$target" ]; then
    cp fuzz/corpus/"$target"/* "$run/corpus/" 2>/dev/null || true
  fi
  log="$run/log.txt"
  echo "== $target: $seconds s"
  # Relative paths: a target that works in a throwaway root of its own still
  # reaches its corpus and artifact directory through the working directory.
  if (cd "$run" && "$top/$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 \
      -print_final_stats=1 -close_fd_mask=1 -artifact_prefix=./ corpus) >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" | tr '\n' ' '
    echo
  else
    echo "$target FAILED; the end of $log:"
    tail -40 "$log"
    ls "$run"/crash-* "$run"/leak-* "$run"/timeout-* "$run"/oom-* 2>/dev/null || true
    failed="$failed $target"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzzing found problems in:$failed" >&2
  exit 1
fi
echo "fuzzing: no problems found"
