#!/usr/bin/env bash
# A stream longer than the window: two nights of full backups of this machine
# (corpora.sh, make_long), where content comes back both within the default
# 1 GiB window and about 2.7 GB later, and 5 GiB of zeros.  Side by side in
# one run (bench/timing.sh): cdedup alone at the default settings, on one
# thread, and with a 3 GiB window; decoding both; cdedup piped into zstd -1;
# and zstd -1 with its long-distance matcher at 1 GiB (on one and two
# threads) and 2 GiB.  For each: user, system and wall seconds, peak RSS
# (the largest process of a pipeline) and output bytes.  The round trip of
# both cdedup settings is checked by decoding into cmp.  Each command runs
# once unless REPEAT says otherwise: the stream is long.
#
#   bench/long_stream.sh [CDEDUP_BINARY] [WORK_DIR]
#
# Needs: zstd, GNU time (/usr/bin/time), tar, python3.  About 8 GB of disk in
# WORK_DIR (the corpora and the long stream itself).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build/release/cdedup}")
work=${2:-/tmp/cdedup-bench}
mkdir -p "$work"
# shellcheck source=bench/corpora.sh
source "$here/corpora.sh"

REPEAT=${REPEAT:-1}
make_long
in=$(corpus_file long)
bytes=$(stat -c %s "$in")
cat "$in" > /dev/null

# shellcheck source=bench/timing.sh
source "$here/timing.sh"

roundtrip() {  # roundtrip ENCODED: decodes into cmp against the input
  "$bin" d "$1" - 2>/dev/null | cmp -s - "$in" || { echo "  ROUND TRIP FAILED for $1"; exit 1; }
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "cdedup:  $bin"
echo "zstd:    $(zstd --version)"
echo
echo "== long: $bytes bytes (two nights of full backups)"
# Encodings are kept for decoding and sizing, but timed to /dev/null: writing
# gigabytes to a file costs the kernel more than the encoding.
"$bin" e "$in" "$work/long.cdd" > /dev/null
"$bin" e "$in" "$work/long.3g.cdd" 100 1024 3072 > /dev/null
roundtrip "$work/long.cdd"
roundtrip "$work/long.3g.cdd"
echo "  encoded: $(stat -c %s "$work/long.cdd") bytes, with 100 1024 3072 $(stat -c %s "$work/long.3g.cdd") bytes"
timed_together \
  "cdedup e, to /dev/null" /dev/null "'$bin' e '$in' /dev/null >/dev/null" \
  "cdedup -T1 e, to /dev/null" /dev/null "'$bin' -T1 e '$in' /dev/null >/dev/null" \
  "cdedup e 100 1024 3072, to /dev/null" /dev/null "'$bin' e '$in' /dev/null 100 1024 3072 >/dev/null"
timed_together \
  "cdedup d" /dev/null "'$bin' d '$work/long.cdd' /dev/null >/dev/null" \
  "cdedup d (3072 MiB window)" /dev/null "'$bin' d '$work/long.3g.cdd' /dev/null >/dev/null"
rm -f "$work/long.cdd" "$work/long.3g.cdd"
pipe=$(timed_together \
  "cdedup e | zstd -1 -T1" "$work/long.cdd.zst" "'$bin' e - - < '$in' 2>/dev/null | zstd -1 -T1 -q -c" \
  "cdedup e 100 1024 3072 | zstd -1 -T1" "$work/long.3g.cdd.zst" \
    "'$bin' e - - 100 1024 3072 < '$in' 2>/dev/null | zstd -1 -T1 -q -c" \
  "zstd -1 --long=30 -T1" "$work/long.l30.zst" "zstd -1 --long=30 -T1 -q -c < '$in'" \
  "zstd -1 --long=30 -T2" /dev/null "zstd -1 --long=30 -T2 -q -c < '$in'" \
  "zstd -1 --long=31 -T1" "$work/long.l31.zst" "zstd -1 --long=31 -T1 -q -c < '$in'")
echo "$pipe"
awk -v a="$(stat -c %s "$work/long.cdd.zst")" -v b="$(stat -c %s "$work/long.3g.cdd.zst")" \
    -v z30="$(stat -c %s "$work/long.l30.zst")" -v z31="$(stat -c %s "$work/long.l31.zst")" \
    -v p="$(echo "$pipe" | sed -n 1p | wall_of)" -v z1="$(echo "$pipe" | sed -n 3p | wall_of)" \
    -v z2="$(echo "$pipe" | sed -n 4p | wall_of)" 'BEGIN {
  printf "  default | zstd -1: %.3fx the size of --long=30;  100 1024 3072 | zstd -1: %.3fx of --long=31\n", a / z30, b / z31
  z = z1 < z2 ? z1 : z2
  printf "  default | zstd -1: %.2fx the speed of the faster zstd -1 --long=30\n", z / p }'
rm -f "$work/long.cdd.zst" "$work/long.3g.cdd.zst" "$work/long.l30.zst" "$work/long.l31.zst"

echo
echo "== zeros: 5 GiB"
/usr/bin/time -o "$work/.time" -f '%e %M' bash -c \
  'head -c 5368709120 /dev/zero | "$1" e - - 2>/dev/null > "$2"' _ "$bin" "$work/zeros.cdd"
read -r secs rss < "$work/.time"
echo "  cdedup e: $(stat -c %s "$work/zeros.cdd") bytes, ${secs} s, RSS $(awk -v r="$rss" 'BEGIN { printf "%.1f", r / 1024 }') MiB"
"$bin" d "$work/zeros.cdd" - 2>/dev/null | cmp -s - <(head -c 5368709120 /dev/zero) || { echo "  ROUND TRIP FAILED"; exit 1; }
rm -f "$work/zeros.cdd"
