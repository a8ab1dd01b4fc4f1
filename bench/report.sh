#!/bin/bash
# Prints the summary table of a benchmark run and the budgets with their
# verdicts, from the figures scripts/bench.sh gathered. Everything comes in
# through the environment:
#   TSV              results of bench_compare and the instruction counts
#   MICRO            CSV output of bench_micro
#   INSTALLER_SIZE   PKGTOOL_SIZE   stripped sizes in bytes
#   QUICK            1 when the inputs were the tiny ones
#   TITLE_A TITLE_B TITLE_M TITLE_D   titles of the four comparisons
#   FILES_A FILES_B FILES_M           file counts of those corpora
#   TITLE_I          title of the image-based package
#   DISK_KIND        what the durable comparisons ran on ("disk: " titles)
#   DURABLE_ONLY     1 when only those and the bytes written were measured
#   BUNDLE_SIZES     member counts of the bundle upgrades, smallest first
set -euo pipefail

# get TITLE CASE METRIC [COLUMN]: COLUMN 4 is the median, 5 the min, 6 the max.
get() {
  awk -F'\t' -v t="$1" -v c="$2" -v m="$3" -v col="${4:-4}" \
    '$1 == t && $2 == c && $3 == m { print $col; found = 1; exit } END { if (!found) print "nan" }' "$TSV"
}
# micro NAME: CPU time of a Google Benchmark case in seconds.
micro() {
  awk -F',' -v n="\"$1\"" '
    $1 == n {
      unit = $5; gsub(/"/, "", unit)
      scale = unit == "ns" ? 1e-9 : unit == "us" ? 1e-6 : unit == "ms" ? 1e-3 : 1
      print $4 * scale; found = 1; exit
    }
    END { if (!found) print "nan" }' "$MICRO"
}
calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }

fails=0
row() {
  # row NAME MEASURED OP LIMIT TEXT
  local verdict
  if [ "$2" = nan ] || [[ $2 == *nan* ]]; then
    verdict="n/a"
  elif awk "BEGIN { exit !($2 $3 $4) }"; then
    verdict="ok"
  else
    verdict="OVER"
    fails=$((fails + 1))
  fi
  printf '| %-52s | %-24s | %-9s | %-4s |\n' "$1" "$5" "$3 $4" "$verdict"
}
range() {  # median (min-max) of a ratio
  printf '%s (%s-%s)' "$(calc "$(get "$1" "$2" "$3" 4)")" "$(calc "$(get "$1" "$2" "$3" 5)")" \
    "$(calc "$(get "$1" "$2" "$3" 6)")"
}
seconds() { calc "$(get "$1" "$2" "$3")" 3; }
mib() { calc "$(get "$1" "$2" rss)" 1; }

echo
if [ "$QUICK" = 1 ]; then
  echo "(quick run: tiny inputs, one round; the figures below mean nothing)"
fi
echo
if [ "$DURABLE_ONLY" != 1 ]; then
  echo "| corpus | command | wall s | CPU s | peak RSS MiB |"
  echo "|---|---|---|---|---|"
  for title in "$TITLE_A" "$TITLE_B"; do
    for c in limit limit-2 limit-isal limit-isal-2 limit-calls image upgrade dpkg; do
      [ "$(get "$title" $c wall)" = nan ] && continue
      echo "| $title | $c | $(seconds "$title" $c wall) | $(seconds "$title" $c cpu) | $(mib "$title" $c) |"
    done
  done
  for c in limit-40M image-40M limit-1G image-1G; do
    echo "| $TITLE_M | $c | $(seconds "$TITLE_M" $c wall) | $(seconds "$TITLE_M" $c cpu) | $(mib "$TITLE_M" $c) |"
  done
  for c in scan show install; do
    echo "| $TITLE_D | $c | $(seconds "$TITLE_D" $c wall) | $(seconds "$TITLE_D" $c cpu) | $(mib "$TITLE_D" $c) |"
  done
  for n in $BUNDLE_SIZES; do
    for c in upgrade image; do
      t="Bundle of $n members"
      echo "| $t | $c | $(seconds "$t" $c wall) | $(seconds "$t" $c cpu) | $(mib "$t" $c) |"
    done
  done
fi

echo
echo "On $DISK_KIND:"
echo
echo "| corpus | command | wall s | CPU s | peak RSS MiB |"
echo "|---|---|---|---|---|"
for title in "$TITLE_A" "$TITLE_B"; do
  for c in limit-durable image upgrade dpkg; do
    t="disk: $title"
    echo "| $title | $c | $(seconds "$t" $c wall) | $(seconds "$t" $c cpu) | $(mib "$t" $c) |"
  done
done

echo
echo "Bytes written to files by one run, and bytes it leaves installed (files and database):"
echo
echo "| package | run | written MB | installed MB | package MB |"
echo "|---|---|---|---|---|"
for p in a:"$TITLE_A" b:"$TITLE_B" i:"$TITLE_I"; do
  for run in image upgrade; do
    l=$run-${p%%:*}
    echo "| ${p#*:} | $run | $(calc "$(get bytes "$l" written) / 1e6" 2) |" \
      "$(calc "$(get bytes "$l" installed) / 1e6" 2) | $(calc "$(get bytes "$l" package) / 1e6" 2) |"
  done
done

echo
printf '| %-52s | %-24s | %-9s | %-4s |\n' "budget" "measured" "limit" ""
echo "|------------------------------------------------------|--------------------------|-----------|------|"
A=$TITLE_A B=$TITLE_B
for p in a:"$A":0.5:1.2 b:"$B":0.4:1.3; do
  IFS=: read -r _ title to_dpkg to_limit <<<"$p"
  t="disk: $title"
  for c in image upgrade; do
    row "$title, disk: $c wall / dpkg" "$(get "$t" "$c/dpkg" wall-ratio)" "<=" "$to_dpkg" \
      "$(range "$t" "$c/dpkg" wall-ratio)"
  done
  for c in image upgrade; do
    row "$title, disk: $c wall / limit-durable" "$(get "$t" "$c/limit-durable" wall-ratio)" \
      "<=" "$to_limit" "$(range "$t" "$c/limit-durable" wall-ratio)"
  done
done
for p in a:"$A" b:"$B"; do
  for run in image upgrade; do
    l=$run-${p%%:*}
    written=$(get bytes "$l" written) installed=$(get bytes "$l" installed)
    ratio=$(calc "$written / $installed")
    row "${p#*:}: $run bytes written / installed" "$ratio" "<=" 1.02 "$ratio"
  done
done
for run in image upgrade; do
  l=$run-i
  written=$(get bytes "$l" written) installed=$(get bytes "$l" installed)
  ratio=$(calc "$written / ($installed + $(get bytes "$l" package))")
  row "image-based: $run written / (installed + package)" "$ratio" "<=" 1.02 "$ratio"
done

if [ "$DURABLE_ONLY" != 1 ]; then
  # ratio_rows TITLE AGAINST METRIC LIMIT LABEL: the image mode and the
  # upgrade run against one command.
  ratio_rows() {
    local c
    for c in image upgrade; do
      row "$1: $c $5" "$(get "$1" "$c/$2" "$3-ratio")" "<=" "$4" "$(range "$1" "$c/$2" "$3-ratio")"
    done
  }
  # Below what one core can do with zlib by half: the faster inflate and the
  # second core together, for no more CPU than ISA-L's limit on one core.
  ratio_rows "$A" limit wall 0.5 "wall / limit"
  ratio_rows "$A" limit-isal cpu 1.2 "CPU / limit-isal CPU"
  ratio_rows "$B" limit wall 0.9 "wall / limit"
  ratio_rows "$A" dpkg cpu 0.8 "CPU / dpkg CPU"
  ratio_rows "$B" limit-calls wall 1.25 "wall / limit-calls"
  ratio_rows "$B" dpkg cpu 0.7 "CPU / dpkg CPU"

  image_ir=$(get instructions image-a instructions)
  limit_ir=$(get instructions limit-a instructions)
  ratio=$(calc "$image_ir / $limit_ir")
  row "$A: instructions image / limit" "$ratio" "<=" 1.25 "$ratio ($(calc "$image_ir / 1e6" 0)M)"
  image_ir=$(get instructions image-b instructions)
  limit_ir=$(get instructions limit-calls-b instructions)
  ratio=$(calc "$image_ir / $limit_ir")
  printf '| %-52s | %-24s | %-9s | %-4s |\n' "$B: instructions image / limit-calls" \
    "$ratio ($(calc "$image_ir / 1e6" 0)M)" "" ""

  flat=$(calc "$(get "$TITLE_M" image-1G rss) - $(get "$TITLE_M" image-40M rss)" 2)
  row "peak RSS, 1 GB minus 40 MB package (MiB)" "$flat" "<=" 0.5 "$flat"
  per_file=$(calc "($(get "$B" image rss) - $(get "$TITLE_M" image-40M rss)) * 1024 / ($FILES_B - $FILES_M)" 3)
  row "peak RSS growth per file (KiB)" "$per_file" "<=" 0.2 "$per_file"
  # Against the limit program that keeps, as the installer must, a name per
  # file until its renames at the end.
  rss_ratio=$(calc "$(get "$B" image rss) / $(get "$B" limit-calls rss)")
  row "$B: peak RSS image / limit-calls" "$rss_ratio" "<=" 1.3 \
    "$rss_ratio ($(mib "$B" image) / $(mib "$B" limit-calls))"
  rss_ratio=$(calc "$(get "$A" image rss) / $(get "$A" limit rss)")
  row "$A: peak RSS image / limit" "$rss_ratio" "<=" 1.5 \
    "$rss_ratio ($(mib "$A" image) / $(mib "$A" limit))"

  D=$TITLE_D
  row "$D: --show wall / scan" "$(get "$D" show/scan wall-ratio)" "<=" 2 "$(range "$D" show/scan wall-ratio)"
  row "$D: install wall / scan" "$(get "$D" install/scan wall-ratio)" "<=" 2.5 \
    "$(range "$D" install/scan wall-ratio)"
  for bm in BM_ApplyScheduledActions BM_PlanPackages; do
    t2=$(micro "$bm/2000")
    t4=$(micro "$bm/4000")
    short=${bm#BM_}
    if [ "$t2" = nan ] || [ "$t4" = nan ]; then
      # The quick run leaves these sizes out.
      row "$short, 2,000 packages (CPU s)" nan "<" 0.1 "n/a"
      row "$short, 4,000 / 2,000" nan "<=" 4 "n/a"
      continue
    fi
    row "$short, 2,000 packages (CPU s)" "$t2" "<" 0.1 "$(calc "$t2" 4)"
    row "$short, 4,000 / 2,000" "$(calc "$t4 / $t2")" "<=" 4 "$(calc "$t4 / $t2")"
  done
  # A bundle four times larger may cost at most six times the CPU (linear
  # would be four), and the largest must stay well under a minute.
  read -r smallest _ fourfold largest <<<"$BUNDLE_SIZES" || true
  for c in upgrade image; do
    small=$(get "Bundle of $smallest members" $c cpu)
    big=$(get "Bundle of $fourfold members" $c cpu)
    ratio=$(calc "$big / $small" 2)
    row "bundle $c CPU, $fourfold / $smallest members" "$ratio" "<=" 6 "$ratio"
    if [ -n "$largest" ]; then
      cpu=$(get "Bundle of $largest members" $c cpu)
      row "bundle of $largest members, $c (CPU s)" "$cpu" "<" 30 "$(calc "$cpu" 2)"
    fi
  done
  scan=$(micro BM_ScanAndPlanCandidateFiles/2000)
  if [ "$scan" != nan ]; then
    printf '| %-52s | %-24s | %-9s | %-4s |\n' "reading and planning 2,000 candidate files (CPU s)" \
      "$(calc "$scan" 4)" "" ""
  fi
fi
row "stripped installer (bytes; pkgtool $PKGTOOL_SIZE)" "$INSTALLER_SIZE" "<=" 250000 "$INSTALLER_SIZE"
echo
if [ "$fails" = 0 ]; then echo "every budget met"; else echo "$fails budget(s) over"; fi
