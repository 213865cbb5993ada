#!/usr/bin/env bash
# End-to-end comparison on generated corpora, each command timed beside its
# peers in the same rounds (bench/timing.sh): user, system and wall seconds,
# peak RSS and output size.
#
#   encode    cdedup e on all CPUs (the default) and on one (-T1), and the
#             byte-at-a-time reference path; cat for scale.  Outputs at -T1,
#             -T2, -T3 and -T8 must be the same bytes, with the same lines.
#   decode    cdedup d to /dev/null, and to a file on tmpfs beside cat
#             writing the same bytes there.
#   pipeline  cdedup | zstd -1 -T1 beside zstd -1 --long=30 at -T1 and -T2.
#   zstd      cdedup -z beside cdedup | zstd -3 -T1 and zstd -3 --long=30,
#             and decoding a -z archive beside zstd -dc | cdedup -d.
#   checked   what the checked frame costs: the filter form (checked) beside
#             --bare, encoding and decoding, to /dev/null and to tmpfs.
#
# SECTIONS (default "encode decode pipeline zstd checked") picks the sections.
#
#   bench/compare.sh [CDEDUP_BINARY] [WORK_DIR]
#
# Needs: zstd, GNU time (/usr/bin/time), tar, python3.  About 3 GB of disk
# in WORK_DIR, and room for a corpus on /dev/shm.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build/release/cdedup}")
work=${2:-/tmp/cdedup-bench}
shm=${SHM:-/dev/shm}/cdedup-bench.out
mkdir -p "$work"
corpora=${CORPORA:-"backup random edited"}

# shellcheck source=bench/corpora.sh
source "$here/corpora.sh"
# shellcheck source=bench/timing.sh
source "$here/timing.sh"

zstd_stage() {  # the -z scenarios on one corpus
  local in=$1 corpus=$2 enc dec z p l dz dp
  echo "  -- zstd stage (level 3)"
  enc=$(timed_together \
    "cdedup -z" "$work/$corpus.cdz" "'$bin' -z < '$in' 2>/dev/null" \
    "cdedup | zstd -3 -T1" "$work/$corpus.cdd.3.zst" "'$bin' < '$in' | zstd -3 -T1 -q -c" \
    "zstd -3 --long=30 -T1" "$work/$corpus.3.long.zst" "zstd -3 --long=30 -T1 -q -c < '$in'")
  echo "$enc"
  "$bin" -t "$work/$corpus.cdz" > /dev/null || { echo "  -z ARCHIVE FAILS ITS TEST"; exit 1; }
  dec=$(timed_together \
    "cdedup -d < archive" /dev/null "'$bin' -d < '$work/$corpus.cdz' 2>/dev/null" \
    "zstd -dc archive | cdedup -d" /dev/null "zstd -dc '$work/$corpus.cdz' | '$bin' -d")
  echo "$dec"
  "$bin" -d < "$work/$corpus.cdz" 2>/dev/null | cmp -s - "$in" || { echo "  -z ROUND TRIP FAILED"; exit 1; }
  z=$(echo "$enc" | sed -n 1p | wall_of); p=$(echo "$enc" | sed -n 2p | wall_of); l=$(echo "$enc" | sed -n 3p | wall_of)
  dz=$(echo "$dec" | sed -n 1p | wall_of); dp=$(echo "$dec" | sed -n 2p | wall_of)
  awk -v z="$z" -v p="$p" -v l="$l" -v dz="$dz" -v dp="$dp" \
      -v zs="$(stat -c %s "$work/$corpus.cdz")" -v ps="$(stat -c %s "$work/$corpus.cdd.3.zst")" \
      -v ls="$(stat -c %s "$work/$corpus.3.long.zst")" 'BEGIN {
    printf "  cdedup -z: %.2fx the pipeline'"'"'s wall time, output %.2f%% of its size\n", z / p, 100 * zs / ps
    printf "  vs zstd --long: cdedup -z %.2fx, pipeline %.2fx the speed; output %.1f%% and %.1f%% of zstd'"'"'s\n", l / z, l / p, 100 * zs / ls, 100 * ps / ls
    printf "  decoding the -z archive: %.2fx the wall time of zstd -dc | cdedup -d\n", dz / dp }'
}

checked_cost() {  # the checked frame beside the bare stream on one corpus
  local in=$1 corpus=$2 enc dec
  echo "  -- checked frame beside --bare"
  "$bin" < "$in" > "$work/$corpus.checked"
  "$bin" --bare < "$in" > "$work/$corpus.bare"
  enc=$(timed_together \
    "cdedup (checked)" /dev/null "'$bin' < '$in'" \
    "cdedup --bare" /dev/null "'$bin' --bare < '$in'" \
    "cdedup -T1 (checked)" /dev/null "'$bin' -T1 < '$in'" \
    "cdedup -T1 --bare" /dev/null "'$bin' -T1 --bare < '$in'")
  echo "$enc"
  dec=$(timed_together \
    "cdedup -d (checked), to /dev/null" /dev/null "'$bin' -d < '$work/$corpus.checked'" \
    "cdedup -d --bare, to /dev/null" /dev/null "'$bin' -d --bare < '$work/$corpus.bare'" \
    "cdedup -d (checked), to tmpfs" "$shm" "'$bin' -d < '$work/$corpus.checked'" \
    "cdedup -d --bare, to tmpfs" "$shm" "'$bin' -d --bare < '$work/$corpus.bare'" \
    "cdedup -T1 -d (checked), to /dev/null" /dev/null "'$bin' -T1 -d < '$work/$corpus.checked'" \
    "cdedup -T1 -d --bare, to /dev/null" /dev/null "'$bin' -T1 -d --bare < '$work/$corpus.bare'")
  echo "$dec"
  rm -f "$shm"
  local -a w=()
  while read -r x; do w+=("$x"); done < <( (echo "$enc"; echo "$dec") | wall_of_each)
  awk -v e="${w[0]}" -v eb="${w[1]}" -v e1="${w[2]}" -v e1b="${w[3]}" -v d="${w[4]}" -v db="${w[5]}" \
      -v f="${w[6]}" -v fb="${w[7]}" -v d1="${w[8]}" -v d1b="${w[9]}" \
      -v cs="$(stat -c %s "$work/$corpus.checked")" -v bs="$(stat -c %s "$work/$corpus.bare")" 'BEGIN {
    printf "  checked / bare, wall: encode %+.1f%% (-T1 %+.1f%%), decode to /dev/null %+.1f%% (-T1 %+.1f%%), to tmpfs %+.1f%%; %d bytes more\n",
      100 * (e / eb - 1), 100 * (e1 / e1b - 1), 100 * (d / db - 1), 100 * (d1 / d1b - 1), 100 * (f / fb - 1), cs - bs }'
}

# same_output IN: the encoded bytes and printed lines at -T1 are those at -T2, -T3 and -T8.
same_output() {
  local in=$1 t
  "$bin" -T1 e "$in" - 2>"$work/.lines.1" | md5sum > "$work/.sum.1"
  sed -i 's/htbl=.*//' "$work/.lines.1"
  for t in 2 3 8; do
    "$bin" -T$t e "$in" - 2>"$work/.lines.$t" | md5sum > "$work/.sum.$t"
    sed -i 's/htbl=.*//' "$work/.lines.$t"
    cmp -s "$work/.sum.1" "$work/.sum.$t" && cmp -s "$work/.lines.1" "$work/.lines.$t" ||
      { echo "  OUTPUT AT -T$t DIFFERS FROM -T1"; exit 1; }
  done
  echo "  -T1, -T2, -T3, -T8: the same bytes and lines"
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "cdedup:  $bin"
echo "zstd:    $(zstd --version)"
sections=" ${SECTIONS:-encode decode pipeline zstd checked} "
wants() { [[ $sections == *" $1 "* ]]; }
for corpus in $corpora; do
  "make_$corpus"
  in=$(corpus_file "$corpus")
  bytes=$(stat -c %s "$in")
  cat "$in" > /dev/null   # into the page cache
  echo
  echo "== $corpus: $bytes bytes"
  if wants encode || wants decode || wants pipeline; then
    same_output "$in"
    "$bin" e "$in" "$work/$corpus.cdd" > /dev/null
    "$bin" d "$work/$corpus.cdd" - 2>/dev/null | cmp -s - "$in" || { echo "  ROUND TRIP FAILED"; exit 1; }
    "$bin" --reference e "$in" - 2>/dev/null | cmp -s - "$work/$corpus.cdd" || { echo "  REFERENCE OUTPUT DIFFERS"; exit 1; }
  fi
  enc="" dec="" pipe=""
  if wants encode; then
    echo "  -- encode, to /dev/null"
    enc=$(timed_together \
      "cat" /dev/null "cat '$in'" \
      "cdedup e" /dev/null "'$bin' e '$in' /dev/null >/dev/null" \
      "cdedup -T1 e" /dev/null "'$bin' -T1 e '$in' /dev/null >/dev/null" \
      "cdedup --reference e" /dev/null "'$bin' --reference e '$in' /dev/null >/dev/null")
    echo "$enc"
  fi
  if wants decode; then
    echo "  -- decode"
    dec=$(timed_together \
      "cdedup d, to /dev/null" /dev/null "'$bin' d '$work/$corpus.cdd' /dev/null >/dev/null" \
      "cdedup -T1 d, to /dev/null" /dev/null "'$bin' -T1 d '$work/$corpus.cdd' /dev/null >/dev/null" \
      "cdedup --reference d, to /dev/null" /dev/null "'$bin' --reference d '$work/$corpus.cdd' /dev/null >/dev/null" \
      "cat, to tmpfs" "$shm" "cat '$in'" \
      "cdedup d, to tmpfs" "$shm" "'$bin' d '$work/$corpus.cdd' - 2>/dev/null" \
      "cdedup -T1 d, to tmpfs" "$shm" "'$bin' -T1 d '$work/$corpus.cdd' - 2>/dev/null")
    echo "$dec"
    rm -f "$shm"
  fi
  if wants pipeline; then
    echo "  -- pipeline"
    pipe=$(timed_together \
      "cdedup | zstd -1 -T1" "$work/$corpus.cdd.zst" "'$bin' < '$in' | zstd -1 -T1 -q -c" \
      "zstd -1 --long=30 -T1" "$work/$corpus.zst" "zstd -1 --long=30 -T1 -q -c < '$in'" \
      "zstd -1 --long=30 -T2" "$work/$corpus.2.zst" "zstd -1 --long=30 -T2 -q -c < '$in'")
    echo "$pipe"
  fi
  if wants encode && wants decode && wants pipeline; then
    awk -v b="$bytes" -v e="$(echo "$enc" | sed -n 2p | wall_of)" -v e1="$(echo "$enc" | sed -n 3p | wall_of)" \
        -v er="$(echo "$enc" | sed -n 4p | wall_of)" -v c="$(echo "$dec" | sed -n 4p | wall_of)" \
        -v d="$(echo "$dec" | sed -n 5p | wall_of)" -v p="$(echo "$pipe" | sed -n 1p | wall_of)" \
        -v z1="$(echo "$pipe" | sed -n 2p | wall_of)" -v z2="$(echo "$pipe" | sed -n 3p | wall_of)" \
        -v ps="$(stat -c %s "$work/$corpus.cdd.zst")" -v zs="$(stat -c %s "$work/$corpus.zst")" 'BEGIN {
      printf "  encode: %.2f GB/s, %.2fx -T1, %.1fx the reference path (wall)\n", b / e / 1e9, e1 / e, er / e
      printf "  decode to tmpfs: %.2fx the wall time of cat\n", d / c
      z = z1 < z2 ? z1 : z2
      printf "  pipeline: %.2fx the speed of the faster zstd --long, output %.1f%% of its size\n", z / p, 100 * ps / zs }'
  fi
  if wants zstd; then zstd_stage "$in" "$corpus"; fi
  if wants checked; then checked_cost "$in" "$corpus"; fi
done
