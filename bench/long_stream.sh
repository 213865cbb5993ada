#!/usr/bin/env bash
# A stream longer than the window: two nights of full backups of this machine
# (corpora.sh, make_long), where content comes back both within the default
# 1 GiB window and about 2.7 GB later, and 5 GiB of zeros.  Side by side in
# one run (bench/timing.sh), each group several rounds interleaved:
#
#   encode   cdedup e at the default settings, on one thread, and with 3 GiB
#            and 4095 MiB windows (index 1024 MiB), to /dev/null; with
#            BASELINE=binary, that binary's default encode beside them.
#   decode   cdedup d of each window's stream.
#   zstd     cdedup -z --long (and -z at the defaults) beside zstd -3 with
#            --long=30 and --long=31 and zstd -9 --long=31, all at -T0; then
#            the -z --long archive decoded through pipes into cmp.
#   pipeline cdedup e | zstd -1 -T1 beside zstd -1 --long=30 and --long=31.
#
# For each: user, system and wall seconds, peak RSS (the largest process of
# a pipeline) and output bytes, then the ratios the targets name.  Every
# encoding is checked: decoded into cmp, and at -T1 against the default
# thread count; with BASELINE, mode u must write that binary's bytes.
#
#   REPEAT=3 BASELINE=/path/to/old/cdedup bench/long_stream.sh [CDEDUP_BINARY] [WORK_DIR]
#
# REPEAT (default 1) rounds per group; the zstd group alone takes about three
# minutes a round on a 2-core machine.  ONLY="encode zstd" runs only the named
# groups, of: checks (sizes, round trips, thread counts, the baseline's mode
# u), encode, decode (which does the checks' encodings), zstd, pipeline,
# zeros.  Needs: zstd, GNU time
# (/usr/bin/time), tar, python3, e2fsprogs.  About 12 GB of disk in WORK_DIR
# (the corpora, the long stream and its encodings).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build/release/cdedup}")
work=${2:-/tmp/cdedup-bench}
base=${BASELINE:+$(realpath "$BASELINE")}
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

fail() { echo "  FAILED: $*"; exit 1; }
want() { case " ${ONLY:-checks encode decode zstd pipeline zeros} " in *" $1 "*) return 0 ;; esac; return 1; }
roundtrip() {  # roundtrip ENCODED: decodes into cmp against the input
  "$bin" d "$1" - 2>/dev/null | cmp -s - "$in" || fail "round trip of $1"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
line() { echo "$1" | sed -n "$2p"; }
size() { stat -c %s "$1"; }

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "cdedup:  $bin"
[ -n "$base" ] && echo "baseline: $base"
echo "zstd:    $(zstd --version)"
echo "rounds:  $REPEAT"
echo
echo "== long: $bytes bytes (two nights of full backups)"
# Encodings are kept for decoding and sizing, but timed to /dev/null: writing
# gigabytes to a file costs the kernel more than the encoding.
windows="1024 3072 4095"
if want checks || want decode; then
for w in $windows; do
  if [ "$w" = 1024 ]; then set -- ; else set -- 100 1024 "$w"; fi
  "$bin" e "$in" "$work/long.$w.cdd" "$@" > /dev/null
  "$bin" -T1 e "$in" - "$@" 2>/dev/null | cmp -s - "$work/long.$w.cdd" || fail "-T1 wrote other bytes (window $w)"
  roundtrip "$work/long.$w.cdd"
  echo "  encoded, window $w MiB: $(size "$work/long.$w.cdd") bytes; decodes to the input; same bytes at -T1"
done
fi
if [ -n "$base" ] && want checks; then
  "$bin" u "$in" - 2>/dev/null | md5sum > "$work/.u.new"
  "$base" u "$in" - 2>/dev/null | md5sum > "$work/.u.old"
  cmp -s "$work/.u.new" "$work/.u.old" || fail "mode u wrote other bytes than the baseline"
  "$base" e "$in" "$work/long.base.cdd" > /dev/null
  echo "  mode u: the baseline's bytes; baseline's default encoding: $(size "$work/long.base.cdd") bytes"
  rm -f "$work/long.base.cdd"
fi

if want encode; then
echo "  -- encode"
set -- \
  "cdedup e, to /dev/null" /dev/null "'$bin' e '$in' /dev/null >/dev/null" \
  "cdedup -T1 e, to /dev/null" /dev/null "'$bin' -T1 e '$in' /dev/null >/dev/null" \
  "cdedup e 100 1024 3072, to /dev/null" /dev/null "'$bin' e '$in' /dev/null 100 1024 3072 >/dev/null" \
  "cdedup e 100 1024 4095, to /dev/null" /dev/null "'$bin' e '$in' /dev/null 100 1024 4095 >/dev/null"
[ -n "$base" ] && set -- "$@" "baseline e, to /dev/null" /dev/null "'$base' e '$in' /dev/null >/dev/null"
enc=$(timed_together "$@")
echo "$enc"
echo "  4095 against 3072: $(ratio "$(line "$enc" 4 | wall_of)" "$(line "$enc" 3 | wall_of)")x the wall time"
[ -n "$base" ] && echo "  defaults against the baseline: $(ratio "$(line "$enc" 1 | wall_of)" "$(line "$enc" 5 | wall_of)")x the wall time"
fi

if want decode; then
echo "  -- decode"
timed_together \
  "cdedup d" /dev/null "'$bin' d '$work/long.1024.cdd' /dev/null >/dev/null" \
  "cdedup d (3072 MiB window)" /dev/null "'$bin' d '$work/long.3072.cdd' /dev/null >/dev/null" \
  "cdedup d (4095 MiB window)" /dev/null "'$bin' d '$work/long.4095.cdd' /dev/null >/dev/null"
fi
for w in $windows; do rm -f "$work/long.$w.cdd"; done

if want zstd; then
echo "  -- zstd: cdedup -z --long beside zstd's largest windows, all at -T0"
z=$(timed_together \
  "cdedup -z --long" "$work/long.cdz" "'$bin' -z --long < '$in' 2>/dev/null" \
  "cdedup -z" "$work/long.default.cdz" "'$bin' -z < '$in' 2>/dev/null" \
  "zstd -3 --long=30 -T0" "$work/long.3.l30.zst" "zstd -3 --long=30 -T0 -q -c < '$in'" \
  "zstd -3 --long=31 -T0" "$work/long.3.l31.zst" "zstd -3 --long=31 -T0 -q -c < '$in'" \
  "zstd -9 --long=31 -T0" "$work/long.9.l31.zst" "zstd -9 --long=31 -T0 -q -c < '$in'")
echo "$z"
echo "  cdedup -z --long against zstd -3 --long=31 -T0: $(ratio "$(size "$work/long.cdz")" "$(size "$work/long.3.l31.zst")")x the size," \
  "$(ratio "$(line "$z" 4 | wall_of)" "$(line "$z" 1 | wall_of)")x as fast by wall time"
echo "  against zstd -9 --long=31 -T0: $(ratio "$(size "$work/long.cdz")" "$(size "$work/long.9.l31.zst")")x the size," \
  "$(ratio "$(line "$z" 5 | wall_of)" "$(line "$z" 1 | wall_of)")x as fast"
# The round trip the way tar -I runs it: through pipes both ways.
cat "$in" | "$bin" -z --long 2>/dev/null | "$bin" -d 2>/dev/null | cmp -s - "$in" || fail "-z --long through pipes"
echo "  cat | cdedup -z --long | cdedup -d | cmp: the input, byte for byte"
timed_together \
  "cdedup -d < the -z --long archive" /dev/null "'$bin' -d < '$work/long.cdz' 2>/dev/null" \
  "zstd -d --long=31 -T0 < its archive" /dev/null "zstd -d --long=31 -T0 -q -c < '$work/long.3.l31.zst'"
rm -f "$work/long.cdz" "$work/long.default.cdz" "$work/long.3.l30.zst" "$work/long.3.l31.zst" "$work/long.9.l31.zst"
fi

if want pipeline; then
echo "  -- pipeline into zstd -1"
pipe=$(timed_together \
  "cdedup e | zstd -1 -T1" "$work/long.cdd.zst" "'$bin' e - - < '$in' 2>/dev/null | zstd -1 -T1 -q -c" \
  "cdedup e 100 1024 3072 | zstd -1 -T1" "$work/long.3g.cdd.zst" \
    "'$bin' e - - 100 1024 3072 < '$in' 2>/dev/null | zstd -1 -T1 -q -c" \
  "zstd -1 --long=30 -T1" "$work/long.l30.zst" "zstd -1 --long=30 -T1 -q -c < '$in'" \
  "zstd -1 --long=30 -T2" /dev/null "zstd -1 --long=30 -T2 -q -c < '$in'" \
  "zstd -1 --long=31 -T1" "$work/long.l31.zst" "zstd -1 --long=31 -T1 -q -c < '$in'")
echo "$pipe"
awk -v a="$(size "$work/long.cdd.zst")" -v b="$(size "$work/long.3g.cdd.zst")" \
    -v z30="$(size "$work/long.l30.zst")" -v z31="$(size "$work/long.l31.zst")" \
    -v p="$(line "$pipe" 1 | wall_of)" -v z1="$(line "$pipe" 3 | wall_of)" -v z2="$(line "$pipe" 4 | wall_of)" 'BEGIN {
  printf "  default | zstd -1: %.3fx the size of --long=30;  100 1024 3072 | zstd -1: %.3fx of --long=31\n", a / z30, b / z31
  z = z1 < z2 ? z1 : z2
  printf "  default | zstd -1: %.2fx the speed of the faster zstd -1 --long=30\n", z / p }'
rm -f "$work/long.cdd.zst" "$work/long.3g.cdd.zst" "$work/long.l30.zst" "$work/long.l31.zst"
fi

want zeros || exit 0
echo
echo "== zeros: 5 GiB"
/usr/bin/time -o "$work/.time" -f '%e %M' bash -c \
  'head -c 5368709120 /dev/zero | "$1" e - - 2>/dev/null > "$2"' _ "$bin" "$work/zeros.cdd"
read -r secs rss < "$work/.time"
echo "  cdedup e: $(size "$work/zeros.cdd") bytes, ${secs} s, RSS $(awk -v r="$rss" 'BEGIN { printf "%.1f", r / 1024 }') MiB"
"$bin" d "$work/zeros.cdd" - 2>/dev/null | cmp -s - <(head -c 5368709120 /dev/zero) || fail "round trip of the zeros"
rm -f "$work/zeros.cdd"
