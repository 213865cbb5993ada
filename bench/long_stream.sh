#!/usr/bin/env bash
# A stream longer than the window: two nights of full backups of this machine
# (corpora.sh, make_long), where content comes back both within the default
# 1 GiB window and about 2.3 GB later, and 5 GiB of zeros.  Side by side in one run: cdedup alone,
# cdedup piped into zstd -1 at the default settings and with a 3 GiB window,
# and zstd -1 with its long-distance matcher at 1 GiB and 2 GiB.  For each:
# output bytes, wall time and peak RSS (of each side of a pipeline).  The
# round trip of both cdedup settings is checked by decoding into cmp.
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

make_long
in=$(corpus_file long)
bytes=$(stat -c %s "$in")
cat "$in" > /dev/null

# row LABEL OUTPUT_FILE CMD...: one command, its output size, wall time, RSS.
row() {
  local label=$1 out=$2; shift 2
  /usr/bin/time -o "$work/.time" -f '%e %M' "$@" > "$out" 2>/dev/null
  read -r secs rss < "$work/.time"
  awk -v l="$label" -v s="$secs" -v o="$(stat -c %s "$out")" -v r="$rss" -v b="$bytes" \
    'BEGIN { printf "  %-40s %14.0f bytes %8.2f s %7.1f MB/s  RSS %7.1f MiB\n", l, o, s, b / s / 1e6, r / 1024 }'
}

# piped LABEL OUTPUT_FILE CDEDUP_ARGS...: cdedup e - - ARGS | zstd -1, each
# side's peak RSS on its own, the wall time of the whole.
piped() {
  local label=$1 out=$2; shift 2
  /usr/bin/time -o "$work/.time" -f '%e' bash -c '
    /usr/bin/time -o "$1.a" -f %M "$2" e - - "${@:5}" < "$3" 2>/dev/null |
      /usr/bin/time -o "$1.b" -f %M zstd -1 -q -c > "$4"' _ "$work/.time" "$bin" "$in" "$out" "$@"
  awk -v l="$label" -v s="$(tail -1 "$work/.time")" -v o="$(stat -c %s "$out")" \
    -v ra="$(tail -1 "$work/.time.a")" -v rb="$(tail -1 "$work/.time.b")" -v b="$bytes" \
    'BEGIN { printf "  %-40s %14.0f bytes %8.2f s %7.1f MB/s  RSS %7.1f + %.1f MiB\n", l, o, s, b / s / 1e6, ra / 1024, rb / 1024 }'
}

roundtrip() {  # roundtrip ENCODED: decodes into cmp against the input
  "$bin" d "$1" - 2>/dev/null | cmp -s - "$in" || { echo "  ROUND TRIP FAILED for $1"; exit 1; }
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "cdedup:  $bin"
echo "zstd:    $(zstd --version)"
echo
echo "== long: $bytes bytes (two nights of full backups)"
row "cdedup e" "$work/long.cdd" "$bin" e "$in" -
roundtrip "$work/long.cdd"
row "cdedup e 100 1024 3072" "$work/long.3g.cdd" "$bin" e "$in" - 100 1024 3072
roundtrip "$work/long.3g.cdd"
rm -f "$work/long.cdd" "$work/long.3g.cdd"
piped "cdedup e | zstd -1" "$work/long.cdd.zst"
piped "cdedup e 100 1024 3072 | zstd -1" "$work/long.3g.cdd.zst" 100 1024 3072
row "zstd -1 --long=30 -T1" "$work/long.l30.zst" zstd -1 --long=30 -T1 -q -c "$in"
row "zstd -1 --long=31 -T1" "$work/long.l31.zst" zstd -1 --long=31 -T1 -q -c "$in"
awk -v a="$(stat -c %s "$work/long.cdd.zst")" -v b="$(stat -c %s "$work/long.3g.cdd.zst")" \
    -v z30="$(stat -c %s "$work/long.l30.zst")" -v z31="$(stat -c %s "$work/long.l31.zst")" \
  'BEGIN { printf "  default | zstd -1: %.3fx of --long=30;  100 1024 3072 | zstd -1: %.3fx of --long=31\n", a / z30, b / z31 }'
rm -f "$work/long.cdd.zst" "$work/long.3g.cdd.zst" "$work/long.l30.zst" "$work/long.l31.zst"

echo
echo "== zeros: 5 GiB"
/usr/bin/time -o "$work/.time" -f '%e %M' bash -c \
  'head -c 5368709120 /dev/zero | "$1" e - - 2>/dev/null > "$2"' _ "$bin" "$work/zeros.cdd"
read -r secs rss < "$work/.time"
echo "  cdedup e: $(stat -c %s "$work/zeros.cdd") bytes, ${secs} s, RSS $(awk -v r="$rss" 'BEGIN { printf "%.1f", r / 1024 }') MiB"
"$bin" d "$work/zeros.cdd" - 2>/dev/null | cmp -s - <(head -c 5368709120 /dev/zero) || { echo "  ROUND TRIP FAILED"; exit 1; }
rm -f "$work/zeros.cdd"
