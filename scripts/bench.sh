#!/bin/bash
# Benchmarks the installer against the limit of its pipeline and against
# dpkg, and prints a table of the figures with the budgets they must meet.
#
#   scripts/bench.sh [--quick] [--durable-only] [--rounds N] [--build-dir DIR] [--fresh]
#
# --quick      tiny inputs and one round: a smoke run that the benchmarks
#              still build and run (its figures mean nothing)
# --rounds N   timed rounds of each comparison after one warm-up (default 7)
# --build-dir  build there (default build-bench; an existing build directory
#              keeps its own settings and only gains the benchmark targets)
# --fresh      generate the inputs again instead of reusing them
# --durable-only  only the comparisons on the block file system and the
#              bytes written (what a change to the commit moves)
#
# Inputs are generated deterministically (bench_gen, pkgtool, dpkg-deb) and
# kept in BUILD/bench-corpora; runs happen in roots on a tmpfs mounted for
# the run, and the durable comparisons again on a real block file system: an
# ext4 image on a loop device made for the run (BUILD/bench-ext4.img, removed
# afterwards), or, where no loop device can be had and in the quick run, a
# directory on the file system of the build directory. Needs root (chroot,
# mount) and Debian's dpkg; libbenchmark-dev and valgrind are installed with
# apt-get when missing. Results and logs are left in BUILD/bench-results.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

quick=0
rounds=7
build="build-bench"
fresh=0
durable_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --rounds) rounds=$2; shift ;;
    --build-dir) build=$2; shift ;;
    --fresh) fresh=1 ;;
    --durable-only) durable_only=1 ;;
    *)
      echo "usage: scripts/bench.sh [--quick] [--durable-only] [--rounds N] [--build-dir DIR] [--fresh]" >&2
      exit 2
      ;;
  esac
  shift
done
[ "$quick" = 1 ] && rounds=1

# --- tools -------------------------------------------------------------------
scripts/deps.sh
need=""
for pkg in libbenchmark-dev valgrind; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
done
if [ -n "$need" ]; then
  apt-get update -qq
  # $need is a list of package names: split on purpose.
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi

if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DINSTALLER_BENCH=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
else
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DINSTALLER_TESTS=OFF \
    -DINSTALLER_BENCH=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target bench_all >/dev/null
build=$(cd "$build" && pwd)
bin=$build/bench
installer=$build/installer
pkgtool=$build/pkgtool

# --- places ------------------------------------------------------------------
if [ "$quick" = 1 ]; then corpora=$build/bench-corpora-quick; else corpora=$build/bench-corpora; fi
results=$build/bench-results
[ "$fresh" = 1 ] && rm -rf "$corpora"
rm -rf "$results"
mkdir -p "$corpora" "$results/logs"
work=$(mktemp -d /tmp/installer-bench.XXXXXX)
mounted=0
if mount -t tmpfs -o size=8g installer-bench "$work" 2>/dev/null; then mounted=1; fi
# The real block file system: an ext4 image on a loop device.
disk=$(mktemp -d "$build/bench-disk.XXXXXX")
image=$build/bench-ext4.img
loop=""
disk_mounted=0
cleanup() {
  cd /
  if [ "$mounted" = 1 ]; then umount "$work"; fi
  rm -rf "$work"
  if [ "$disk_mounted" = 1 ]; then umount "$disk"; fi
  if [ -n "$loop" ]; then losetup -d "$loop"; fi
  rm -rf "$disk" "$image"
}
trap cleanup EXIT
if [ "$mounted" = 0 ] && [ "$(stat -f -c %T "$work")" != tmpfs ]; then
  echo "bench: could not mount a tmpfs; the timings below are of $(stat -f -c %T "$work")" >&2
fi
if [ "$quick" = 0 ] && truncate -s 4G "$image" && mkfs.ext4 -q -F "$image" 2>/dev/null &&
  loop=$(losetup --find --show --direct-io=on "$image" 2>/dev/null) &&
  mount "$loop" "$disk" 2>/dev/null; then
  disk_mounted=1
  disk_kind="ext4 on a loop device"
else
  disk_kind="a directory on the disk ($(stat -f -c %T "$disk"))"
  [ "$quick" = 1 ] || echo "bench: no loop device; the durable comparisons run in $disk_kind" >&2
fi
tsv=$results/results.tsv
: >"$tsv"

# --- inputs ------------------------------------------------------------------
# name files bytes [deb]: a tree of that shape made into NAME.npk (and NAME.deb)
if [ "$quick" = 1 ]; then
  shapes="a 100 4000000 deb
b 1000 2000000 deb
m 100 2000000
c 100 20000000
i 20 400000 image
x 20 200000"
  db_packages=200
else
  shapes="a 1000 100000000 deb
b 20000 40000000 deb
m 1000 40000000
c 1000 1000000000
i 100 4000000 image
x 20 200000"
  db_packages=2000
fi
# Member counts of the bundle upgrades, smallest first; the report compares
# the first with the third (four times as many) and times the fourth.
if [ "$quick" = 1 ]; then bundle_sizes="100 200 400"; else bundle_sizes="1000 2000 4000 8000"; fi
files_of() { echo "$shapes" | awk -v n="$1" '$1 == n { print $2 }'; }
# "1,000 files / 100 MB"
shape_of() {
  echo "$shapes" | awk -v n="$1" '$1 == n {
    f = $2; s = ""; while (f >= 1000) { s = sprintf(",%03d", f % 1000) s; f = int(f / 1000) }
    b = $3 >= 1e9 ? sprintf("%g GB", $3 / 1e9) : sprintf("%g MB", $3 / 1e6)
    print f s " files / " b }'
}

# (and with "image", an image-based package: an image part of a quarter of
# the bytes follows its lists)
make_corpus() {
  local name=$1 files=$2 bytes=$3 extra=${4:-}
  local deb="" tag="$files-$bytes-$extra"
  [ "$extra" = deb ] && deb=1
  if [ -f "$corpora/$name.npk" ] && [ "$(cat "$corpora/$name.tag" 2>/dev/null)" = "$tag" ] &&
    { [ -z "$deb" ] || [ -f "$corpora/$name.deb" ]; }; then
    return
  fi
  echo "bench: generating corpus $name ($files files, $bytes bytes${extra:+, $extra})"
  local tree=$work/tree-$name
  rm -rf "$tree"
  "$bin/bench_gen" tree "$tree/pkg" "$files" "$bytes" 1
  printf 'name: %s\nversion: 7.1\nbuild-time: 1700000000\n' "bench-$name" >"$tree/description"
  if [ "$extra" = image ]; then
    head -c "$((bytes / 4))" < <(yes "image of bench-$name") >"$tree/image"
    echo "image: image" >>"$tree/description"
  fi
  "$pkgtool" build "$tree/description" "$tree/pkg" -o "$corpora/$name.npk" --dev-key >/dev/null
  if [ -n "$deb" ]; then
    # The same files, for dpkg, compressed with the same algorithm.
    mkdir -p "$tree/pkg/DEBIAN"
    printf 'Package: bench-%s\nVersion: 7.1\nArchitecture: all\nMaintainer: bench <bench@localhost>\nDescription: benchmark files\n' \
      "$name" >"$tree/pkg/DEBIAN/control"
    dpkg-deb --root-owner-group -Zgzip -z9 -b "$tree/pkg" "$corpora/$name.deb" >/dev/null
  fi
  rm -rf "$tree"
  echo "$tag" >"$corpora/$name.tag"
}

while read -r name files bytes extra; do
  if [ "$durable_only" = 1 ] && [ "$name" != a ] && [ "$name" != b ] && [ "$name" != i ]; then
    continue
  fi
  make_corpus "$name" "$files" "$bytes" "$extra"
done <<<"$shapes"

# The database: installed packages in a router root, and candidate files.
dbroot=$work/db
if [ ! -f "$corpora/db.tar" ] || [ "$(cat "$corpora/db.tag" 2>/dev/null)" != "$db_packages" ]; then
  echo "bench: generating a database of $db_packages packages"
  rm -rf "$dbroot"
  "$bin/bench_gen" database "$dbroot" "$db_packages" 20
  "$bin/bench_gen" candidates "$dbroot/candidates" "$db_packages" 4
  tar -C "$dbroot" -cf "$corpora/db.tar" .
  echo "$db_packages" >"$corpora/db.tag"
fi
rm -rf "$dbroot"
mkdir -p "$dbroot"
tar -C "$dbroot" -xf "$corpora/db.tar"

# --- whole-process comparisons -------------------------------------------------
sandbox=$top/bench/sandbox.sh
root=$work/root
compare() {
  "$bin/bench_compare" --rounds "$rounds" --warmup 1 --results "$tsv" --logs "$results/logs" "$@"
}
# The limit with ISA-L's inflate beside zlib's, where bench_limit has it (a
# bare --isal gets its usage, or word that it was built without ISA-L).
isal_limit=1
limit_says=$("$bin/bench_limit" --isal 2>&1 || true)
case $limit_says in *"built without ISA-L"*) isal_limit=0 ;; esac
title_a="$(shape_of a)"
title_b="$(shape_of b)"
title_m="Peak memory: $(shape_of m) and $(shape_of c)"
title_d="Database of $db_packages packages"
if [ "$durable_only" = 0 ]; then
  # The limits of this machine: zlib's on one core, ISA-L's on one core and
  # on two (read, hash and inflate on a second thread).
  set -- --case limit-2 "$sandbox plain $root" "$bin/bench_limit --threads $corpora/a.npk $root/flash"
  if [ "$isal_limit" = 1 ]; then
    set -- "$@" --case limit-isal "$sandbox plain $root" "$bin/bench_limit --isal $corpora/a.npk $root/flash" \
      --case limit-isal-2 "$sandbox plain $root" "$bin/bench_limit --isal --threads $corpora/a.npk $root/flash" \
      --ratio image limit-isal cpu --ratio upgrade limit-isal cpu
  fi
  compare --title "$title_a" \
    --case limit "$sandbox plain $root" "$bin/bench_limit $corpora/a.npk $root/flash" \
    --case limit-calls "$sandbox plain $root" "$bin/bench_limit --per-file-calls $corpora/a.npk $root/flash" \
    "$@" \
    --case image "$sandbox router $root" "$installer -r $root - <$corpora/a.npk" \
    --case upgrade "$sandbox router $root $corpora/a.npk" "$installer -r $root" \
    --case dpkg "$sandbox dpkg $root" "/usr/bin/dpkg --root=$root --force-not-root -i $corpora/a.deb" \
    --ratio image dpkg cpu --ratio upgrade dpkg cpu

  set -- --case limit-2 "$sandbox plain $root" "$bin/bench_limit --threads $corpora/b.npk $root/flash"
  if [ "$isal_limit" = 1 ]; then
    set -- "$@" --case limit-isal "$sandbox plain $root" "$bin/bench_limit --isal $corpora/b.npk $root/flash" \
      --case limit-isal-2 "$sandbox plain $root" "$bin/bench_limit --isal --threads $corpora/b.npk $root/flash"
  fi
  compare --title "$title_b" \
    --case limit "$sandbox plain $root" "$bin/bench_limit $corpora/b.npk $root/flash" \
    --case limit-calls "$sandbox plain $root" "$bin/bench_limit --per-file-calls $corpora/b.npk $root/flash" \
    "$@" \
    --case limit-fsync "$sandbox plain $root" "$bin/bench_limit --per-file-calls --fsync $corpora/b.npk $root/flash" \
    --case image "$sandbox router $root" "$installer -r $root - <$corpora/b.npk" \
    --case upgrade "$sandbox router $root $corpora/b.npk" "$installer -r $root" \
    --case dpkg "$sandbox dpkg $root" "/usr/bin/dpkg --root=$root --force-not-root -i $corpora/b.deb" \
    --ratio image limit-calls wall --ratio upgrade limit-calls wall \
    --ratio image dpkg cpu --ratio upgrade dpkg cpu
fi

# The same two packages on the real block file system, against dpkg -i and
# the least a durable commit of the whole run needs.
droot=$disk/root
for corpus in a b; do
  compare --title "disk: $(shape_of $corpus)" \
    --case limit-durable "$sandbox plain $droot" \
    "$bin/bench_limit --durable $corpora/$corpus.npk $droot/flash" \
    --case image "$sandbox router $droot" "$installer -r $droot - <$corpora/$corpus.npk" \
    --case upgrade "$sandbox router $droot $corpora/$corpus.npk" "$installer -r $droot" \
    --case dpkg "$sandbox dpkg $droot" \
    "/usr/bin/dpkg --root=$droot --force-not-root -i $corpora/$corpus.deb" \
    --ratio image dpkg wall --ratio upgrade dpkg wall \
    --ratio image limit-durable wall --ratio upgrade limit-durable wall
done
rm -rf "$droot"

if [ "$durable_only" = 0 ]; then
  compare --title "$title_m" \
    --case limit-40M "$sandbox plain $root" "$bin/bench_limit $corpora/m.npk $root/flash" \
    --case image-40M "$sandbox router $root" "$installer -r $root - <$corpora/m.npk" \
    --case limit-1G "$sandbox plain $root" "$bin/bench_limit $corpora/c.npk $root/flash" \
    --case image-1G "$sandbox router $root" "$installer -r $root - <$corpora/c.npk"

  compare --title "$title_d" \
    --case scan sync "$bin/bench_scan $dbroot/flash/var/pdb" \
    --case show sync "$installer -r $dbroot --show" \
    --case install "$sandbox copy $root $dbroot" "$installer -r $root - <$corpora/x.npk"

  # --- bundles ------------------------------------------------------------------
  # Upgrading an installed bundle of N members to its next version, by the
  # upgrade run and by the image mode: what the run does per member must not
  # grow with the number of members.
  for n in $bundle_sizes; do
    for minor in 1 2; do
      if [ ! -f "$corpora/bundle-$n-$minor.npk" ]; then
        echo "bench: generating a bundle of $n members (7.$minor)"
        "$bin/bench_gen" bundle "$corpora/bundle-$n-$minor.npk" "$n" "$minor"
      fi
    done
    installed=$work/bundle-$n
    "$sandbox" router "$installed"
    "$installer" -r "$installed" - <"$corpora/bundle-$n-1.npk" >/dev/null
    waiting=$work/bundle-$n-waiting
    "$sandbox" copy "$waiting" "$installed"
    cp "$corpora/bundle-$n-2.npk" "$waiting/flash/var/pckg/"
    # The largest bundles take long enough that a few rounds suffice.
    compare --rounds "$((rounds < 3 ? rounds : 3))" --title "Bundle of $n members" \
      --case upgrade "$sandbox copy $root $waiting" "$installer -r $root" \
      --case image "$sandbox copy $root $installed" "$installer -r $root - <$corpora/bundle-$n-2.npk"
    rm -rf "$installed" "$waiting"
  done

  # --- instruction counts ----------------------------------------------------------
  # Under callgrind; the installer writes its profile after changing its root,
  # so the profile's path must exist inside the root as well.
  instructions() {
    local label=$1 input=$2 log=$results/callgrind-$1.log out=$results/callgrind-$1.out
    shift 2
    mkdir -p "$root$results"
    valgrind --tool=callgrind --vgdb=no --callgrind-out-file="$out" "$@" <"$input" >/dev/null \
      2>"$log" || { echo "bench: callgrind run $label failed (see $log)" >&2; exit 1; }
    if [ -f "$root$out" ]; then mv "$root$out" "$out"; fi
    local count
    count=$(sed -n 's/.*I *refs: *//p' "$log" | tr -d ,)
    printf 'instructions\t%s\tinstructions\t%s\t%s\t%s\n' "$label" "$count" "$count" "$count" \
      >>"$tsv"
  }
  "$sandbox" plain "$root"
  instructions limit-a /dev/null "$bin/bench_limit" "$corpora/a.npk" "$root/flash"
  "$sandbox" router "$root"
  instructions image-a "$corpora/a.npk" "$installer" -r "$root" -
  "$sandbox" router "$root"
  instructions image-b "$corpora/b.npk" "$installer" -r "$root" -
  "$sandbox" plain "$root"
  instructions limit-calls-b /dev/null "$bin/bench_limit" --per-file-calls "$corpora/b.npk" \
    "$root/flash"
fi

# --- bytes written ---------------------------------------------------------------------
# Bytes written to files by one run (counted by a preloaded library, on the
# tmpfs), against the bytes the run leaves installed: the files new in the
# root afterwards, the database with them.
written() {
  local label=$1 kind=$2 package=$3 input=$4
  shift 4
  local counts=$results/writes-$label.txt
  if [ "$kind" = upgrade ]; then "$sandbox" router "$root" "$package"; else "$sandbox" router "$root"; fi
  # (a first line that is no path: the list is never empty)
  { echo; (cd "$root" && find . -type f); } >"$work/before"
  : >"$counts"
  WRITECOUNT_OUT=$counts LD_PRELOAD=$bin/libbench_writecount.so "$@" <"$input" \
    >"$results/logs/writes-$label.log" 2>&1 ||
    { echo "bench: $label failed (see $results/logs/writes-$label.log)" >&2; exit 1; }
  local bytes installed
  bytes=$(awk '{ s += $2 } END { print s + 0 }' "$counts")
  installed=$(cd "$root" && find . -type f -printf '%p\t%s\n' |
    awk -F'\t' 'NR == FNR { old[$0] = 1; next } !($1 in old) { s += $2 } END { print s + 0 }' \
      "$work/before" -)
  local size
  size=$(stat -c %s "$package")
  {
    printf 'bytes\t%s\twritten\t%s\t%s\t%s\n' "$label" "$bytes" "$bytes" "$bytes"
    printf 'bytes\t%s\tinstalled\t%s\t%s\t%s\n' "$label" "$installed" "$installed" "$installed"
    printf 'bytes\t%s\tpackage\t%s\t%s\t%s\n' "$label" "$size" "$size" "$size"
  } >>"$tsv"
}
for corpus in a b i; do
  written "image-$corpus" image "$corpora/$corpus.npk" "$corpora/$corpus.npk" \
    "$installer" -r "$root" -
  written "upgrade-$corpus" upgrade "$corpora/$corpus.npk" /dev/null "$installer" -r "$root"
done

# --- in-process cases ----------------------------------------------------------------
if [ "$durable_only" = 0 ]; then
  micro_args=(--benchmark_out="$results/micro.csv" --benchmark_out_format=csv)
  if [ "$quick" = 1 ]; then
    micro_args+=(--benchmark_min_time=0.01 "--benchmark_filter=Reader|Payload|/(500|1000)$")
  fi
  mkdir -p "$work/micro"
  echo
  BENCH_MICRO_DIR=$work/micro "$bin/bench_micro" "${micro_args[@]}" 2>/dev/null
fi

# --- sizes -------------------------------------------------------------------------
strip -o "$work/installer.stripped" "$installer"
strip -o "$work/pkgtool.stripped" "$pkgtool"
installer_size=$(stat -c %s "$work/installer.stripped")
pkgtool_size=$(stat -c %s "$work/pkgtool.stripped")

# --- the table ---------------------------------------------------------------------
TSV=$tsv MICRO=$results/micro.csv INSTALLER_SIZE=$installer_size PKGTOOL_SIZE=$pkgtool_size \
  QUICK=$quick BUNDLE_SIZES="$bundle_sizes" TITLE_A=$title_a TITLE_B=$title_b TITLE_M=$title_m TITLE_D=$title_d \
  TITLE_I="$(shape_of i), image-based" DISK_KIND=$disk_kind DURABLE_ONLY=$durable_only \
  FILES_A=$(files_of a) FILES_B=$(files_of b) FILES_M=$(files_of m) \
  "$top/bench/report.sh" | tee "$results/table.txt"
