#!/usr/bin/env bash
# End-to-end comparison on generated corpora: cdedup encode and decode (fast
# and byte-at-a-time reference paths), cat, zstd -1 --long=30 -T1, and the
# pipeline cdedup e | zstd -1; then the zstd stage: cdedup -z beside the
# pipeline cdedup e | zstd -3 -T1 and zstd -3 --long=30 -T1, and decoding a
# -z archive beside zstd -dc | cdedup d (user, system and wall seconds).  Files are read from the page cache (each
# corpus is read once before timing), outputs go to /dev/null or to files in
# the work directory.  Prints MB/s (10^6 bytes of input per second), output
# sizes and peak RSS.
#
#   bench/compare.sh [CDEDUP_BINARY] [WORK_DIR]
#
# Needs: zstd, GNU time (/usr/bin/time), tar.  About 3 GB of disk in WORK_DIR.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build/release/cdedup}
work=${2:-/tmp/cdedup-bench}
mkdir -p "$work"
corpora=${CORPORA:-"backup random edited"}

# shellcheck source=bench/corpora.sh
source "$here/corpora.sh"

# ---------------------------------------------------------------- timing
# run LABEL INPUT_BYTES OUTPUT_FILE CMD...: prints label, seconds, MB/s, output
# size, peak RSS; the best of REPEAT runs (default 3), since first-touch page
# faults on a virtual machine vary a lot from run to run.
run() {
  local label=$1 bytes=$2 outfile=$3; shift 3
  local stats best="" secs rss
  for _ in $(seq "${REPEAT:-3}"); do
    /usr/bin/time -o "$work/.time" -f '%e %M' "$@" > "$outfile" 2>/dev/null
    stats=$(tail -1 "$work/.time")
    if [ -z "$best" ] || awk -v a="${stats% *}" -v b="${best% *}" 'BEGIN { exit !(a < b) }'; then best=$stats; fi
  done
  secs=${best% *}
  rss=${best#* }
  local size=0
  [ "$outfile" != /dev/null ] && size=$(stat -c %s "$outfile")
  awk -v l="$label" -v s="$secs" -v b="$bytes" -v o="$size" -v r="$rss" \
    'BEGIN { printf "  %-34s %7.2f s %9.1f MB/s %13d bytes %7.1f MiB RSS\n", l, s, (s > 0 ? b / s / 1e6 : 0), o, r / 1024 }'
}

pipeline() {  # cdedup e - - | zstd -1, timed as a whole, best of REPEAT
  local in=$1 out=$2 best="" t
  for _ in $(seq "${REPEAT:-3}"); do
    /usr/bin/time -o "$work/.time" -f '%e' bash -c "'$bin' e - - < '$in' 2>/dev/null | zstd -1 -q -c > '$out'"
    t=$(tail -1 "$work/.time")
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

# timed_together LABEL OUTPUT_FILE SHELL_COMMAND [LABEL OUTPUT_FILE SHELL_COMMAND ...]:
# runs the commands in turn, REPEAT rounds, so that a busy minute of a shared
# machine falls on all of them alike; prints for each the user, system and
# wall seconds of its run with the least wall time, and its output size.
# Commands run under bash -c, so every process of a pipeline is counted.
timed_together() {
  local -a labels=() outs=() cmds=() best=()
  while [ $# -gt 0 ]; do labels+=("$1"); outs+=("$2"); cmds+=("$3"); best+=(""); shift 3; done
  local i t
  for _ in $(seq "${REPEAT:-3}"); do
    for i in "${!cmds[@]}"; do
      /usr/bin/time -o "$work/.time" -f '%e %U %S' bash -c "${cmds[$i]}" > "${outs[$i]}"
      t=$(tail -1 "$work/.time")
      if [ -z "${best[$i]}" ] || awk -v a="${t%% *}" -v b="${best[$i]%% *}" 'BEGIN { exit !(a < b) }'; then
        best[$i]=$t
      fi
    done
  done
  for i in "${!cmds[@]}"; do
    local size=0
    [ "${outs[$i]}" != /dev/null ] && size=$(stat -c %s "${outs[$i]}")
    echo "${best[$i]}" | awk -v l="${labels[$i]}" -v o="$size" \
      '{ printf "  %-40s user %5.2f s  sys %5.2f s  wall %5.2f s %13d bytes\n", l, $2, $3, $1, o }'
  done
}

wall_of() { awk '{ for (i = 1; i <= NF; ++i) if ($i == "wall") { print $(i + 1); exit } }'; }

zstd_stage() {  # the -z scenarios on one corpus
  local in=$1 corpus=$2 enc dec z p l dz dp
  echo "  -- zstd stage (level 3)"
  enc=$(timed_together \
    "cdedup -z" "$work/$corpus.cdz" "'$bin' -z < '$in' 2>/dev/null" \
    "cdedup e - - | zstd -3 -T1" "$work/$corpus.cdd.3.zst" "'$bin' e - - < '$in' 2>/dev/null | zstd -3 -T1 -q -c" \
    "zstd -3 --long=30 -T1" "$work/$corpus.3.long.zst" "zstd -3 --long=30 -T1 -q -c < '$in'")
  echo "$enc"
  "$bin" -t "$work/$corpus.cdz" > /dev/null || { echo "  -z ARCHIVE FAILS ITS TEST"; exit 1; }
  dec=$(timed_together \
    "cdedup -d < archive" /dev/null "'$bin' -d < '$work/$corpus.cdz' 2>/dev/null" \
    "zstd -dc archive | cdedup d - -" /dev/null "zstd -dc '$work/$corpus.cdz' | '$bin' d - - 2>/dev/null")
  echo "$dec"
  "$bin" -d < "$work/$corpus.cdz" 2>/dev/null | cmp -s - "$in" || { echo "  -z ROUND TRIP FAILED"; exit 1; }
  z=$(echo "$enc" | sed -n 1p | wall_of); p=$(echo "$enc" | sed -n 2p | wall_of); l=$(echo "$enc" | sed -n 3p | wall_of)
  dz=$(echo "$dec" | sed -n 1p | wall_of); dp=$(echo "$dec" | sed -n 2p | wall_of)
  awk -v z="$z" -v p="$p" -v l="$l" -v dz="$dz" -v dp="$dp" \
      -v zs="$(stat -c %s "$work/$corpus.cdz")" -v ps="$(stat -c %s "$work/$corpus.cdd.3.zst")" \
      -v ls="$(stat -c %s "$work/$corpus.3.long.zst")" 'BEGIN {
    printf "  cdedup -z: %.2fx the pipeline'"'"'s wall time, output %.2f%% of its size\n", z / p, 100 * zs / ps
    printf "  vs zstd --long: cdedup -z %.2fx, pipeline %.2fx the speed; output %.1f%% and %.1f%% of zstd'"'"'s\n", l / z, l / p, 100 * zs / ls, 100 * ps / ls
    printf "  decoding the -z archive: %.2fx the wall time of zstd -dc | cdedup d\n", dz / dp }'
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "cdedup:  $bin"
echo "zstd:    $(zstd --version)"
for corpus in $corpora; do
  "make_$corpus"
  in=$(corpus_file "$corpus")
  bytes=$(stat -c %s "$in")
  cat "$in" > /dev/null   # into the page cache
  echo
  echo "== $corpus: $bytes bytes"
  run "cat" "$bytes" /dev/null cat "$in"
  run "cdedup e" "$bytes" "$work/$corpus.cdd" "$bin" e "$in" -
  run "cdedup d" "$bytes" /dev/null "$bin" d "$work/$corpus.cdd" -
  "$bin" d "$work/$corpus.cdd" - 2>/dev/null | cmp -s - "$in" || { echo "  ROUND TRIP FAILED"; exit 1; }
  run "cdedup --reference e" "$bytes" "$work/$corpus.ref.cdd" "$bin" --reference e "$in" -
  cmp -s "$work/$corpus.cdd" "$work/$corpus.ref.cdd" || { echo "  REFERENCE OUTPUT DIFFERS"; exit 1; }
  run "cdedup --reference d" "$bytes" /dev/null "$bin" --reference d "$work/$corpus.cdd" -
  zline=$(run "zstd -1 --long=30 -T1" "$bytes" "$work/$corpus.zst" zstd -1 --long=30 -T1 -q -c "$in")
  echo "$zline"
  zsecs=$(echo "$zline" | awk '{ for (i = 1; i <= NF; ++i) if ($i == "s") { print $(i - 1); exit } }')
  secs=$(pipeline "$in" "$work/$corpus.cdd.zst")
  zsize=$(stat -c %s "$work/$corpus.zst")
  psize=$(stat -c %s "$work/$corpus.cdd.zst")
  awk -v s="$secs" -v b="$bytes" -v o="$psize" \
    'BEGIN { printf "  %-34s %7.2f s %9.1f MB/s %13d bytes\n", "cdedup e - - | zstd -1", s, b / s / 1e6, o }'
  awk -v s="$secs" -v z="$zsecs" -v o="$psize" -v zo="$zsize" \
    'BEGIN { printf "  pipeline vs zstd --long: %.2fx the speed, output %.1f%% of zstd'"'"'s\n", z / s, 100 * o / zo }'
  rm -f "$work/$corpus.ref.cdd"
  zstd_stage "$in" "$corpus"
done
