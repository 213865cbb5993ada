#!/usr/bin/env bash
# Patches: cdedup -z --patch-from beside zstd --patch-from, creating and
# applying, on three pairs of a reference REF and new data NEW:
#
#   disk     the two halves of the disk image (corpora.sh, make_disk): REF
#            the first 473 MB, NEW the second
#   backup   two consecutive nights of the backup series (make_backup):
#            REF night 1, NEW night 2
#   large    REF over 2 GiB: the backup series, the disk image and a tar of
#            /usr/share one after another (2.5 GB); NEW the same three in
#            another order (the tar of /usr/share, the backup series, the
#            disk image), with a few bytes changed in each.  zstd refuses a
#            reference over 2 GiB; its refusal is shown.
#
# Creating: cdedup -z --patch-from=REF < NEW, beside zstd -3 and -19 with
# -T0 --long=31 --patch-from=REF.  Indexing REF alone (a patch of nothing)
# beside encoding REF with the same window and index.  Applying: cdedup -d --patch-from=REF from
# the patch into a file on tmpfs ($SHM, default /dev/shm) and into a pipe
# (cat > /dev/null), beside zstd -d --long=31 --patch-from=REF into a file
# there.  Each group runs REPEAT rounds (default 3) interleaved
# (bench/timing.sh): user, system and wall seconds of the run with the least
# wall time, the largest peak RSS, the output's size.  Every patch is
# applied and compared with NEW before anything is timed.  Then the ratios
# issue 27 names.
#
#   REPEAT=3 PAIRS="disk backup large" NO19=1 bench/patch.sh [CDEDUP_BINARY] [WORK_DIR]
#
# NO19=1 leaves zstd -19 out (over two minutes a round on the disk halves
# of a 2-core machine).  Needs zstd, GNU time, tar, python3, e2fsprogs, and
# about 12 GB in WORK_DIR (default /tmp/patch-bench) and 5 GB of tmpfs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build/release/cdedup}")
work=${2:-/tmp/patch-bench}
shm=${SHM:-/dev/shm}/cdedup-patch.$$
mkdir -p "$work" "$shm"
trap 'rm -rf "$shm"' EXIT
# shellcheck source=bench/corpora.sh
source "$here/corpora.sh"
# shellcheck source=bench/timing.sh
source "$here/timing.sh"

fail() { echo "  FAILED: $*"; exit 1; }
size() { stat -c %s "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
# field LINE NAME: the number after NAME in a timed_together line.
field() { echo "$1" | awk -v n="$2" '{ for (i = 1; i <= NF; ++i) if ($i == n) { print $(i + 1); exit } }'; }
rss() { echo "$1" | awk '{ for (i = 1; i <= NF; ++i) if ($i == "RSS") { print $(i + 1); exit } }'; }

# Each pair once into $work/REF-name and NEW-name.
make_pair() {
  local ref=$work/$1.ref new=$work/$1.new
  [ -s "$ref" ] && [ -s "$new" ] && return
  case $1 in
    disk)
      make_disk
      local half=$(($(size "$work/disk.img") / 2))
      head -c "$half" "$work/disk.img" > "$ref"
      tail -c +$((half + 1)) "$work/disk.img" > "$new"
      ;;
    backup)
      make_backup
      cp "$work/backup-night1.tar" "$ref"
      cp "$work/backup-night2.tar" "$new"
      ;;
    large)
      make_backup; make_disk; make_share
      cat "$work/backup.tar" "$work/disk.img" "$work/share.tar" > "$ref"
      cat "$work/share.tar" "$work/backup.tar" "$work/disk.img" > "$new"
      # A few bytes changed in each part, as a night's writes would.
      python3 - "$new" <<'PY'
import os, sys
with open(sys.argv[1], "r+b") as f:
    size = os.fstat(f.fileno()).st_size
    for k in range(1, 40):
        f.seek(size * k // 40)
        f.write(b"changed %d" % k)
PY
      ;;
  esac
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cdedup:  $bin ($(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo '?'))"
echo "zstd:    $(zstd --version | head -1)"
for pair in ${PAIRS:-disk backup large}; do
  make_pair "$pair"
  ref=$work/$pair.ref new=$work/$pair.new
  cat "$ref" "$new" > /dev/null  # into the page cache
  echo "== $pair: REF $(size "$ref") bytes, NEW $(size "$new") bytes"

  # Checks, untimed: each patch applied and compared with NEW; zstd's
  # refusal of a large reference shown instead.
  "$bin" -z --patch-from="$ref" < "$new" > "$work/$pair.cdz"
  "$bin" -d --patch-from="$ref" < "$work/$pair.cdz" | cmp -s - "$new" || fail "cdedup patch of $pair"
  zstd_ok=1
  st=0
  zstd -f -3 -T0 --long=31 --patch-from="$ref" -o "$work/$pair.zst" "$new" 2> "$work/zstd.err" || st=$?
  if [ "$st" != 0 ]; then
    zstd_ok=0
    echo "  zstd -3 -T0 --long=31 --patch-from refuses REF, status $st: $(tr '\r' '\n' < "$work/zstd.err" | grep -i error | tail -1)"
  else
    zstd -q -d --long=31 --patch-from="$ref" -c "$work/$pair.zst" | cmp -s - "$new" || fail "zstd patch of $pair"
  fi

  echo "  -- creating"
  set_args=("cdedup -z --patch-from" "$work/$pair.cdz" "'$bin' -z --patch-from='$ref' < '$new'")
  if [ "$zstd_ok" = 1 ]; then
    set_args+=("zstd -3 -T0 --long=31 --patch-from" "$work/$pair.zst" "zstd -q -3 -T0 --long=31 --patch-from='$ref' -c '$new'")
    [ "${NO19:-0}" = 1 ] ||
      set_args+=("zstd -19 -T0 --long=31 --patch-from" "$work/$pair.19.zst"
                 "zstd -q -19 -T0 --long=31 --patch-from='$ref' -c '$new' 2>/dev/null")
  fi
  created=$(timed_together "${set_args[@]}")
  echo "$created"

  echo "  -- indexing REF (a patch of no new data) beside encoding it"
  # The window and index a patch against REF gets (app/patch_reference.cpp).
  window=$(( ($(size "$ref") + 1048575) / 1048576 + 1024 ))
  [ "$window" -gt 4095 ] && window=4095
  index=$(( (window + 3) / 4 ))
  [ "$index" -lt 256 ] && index=256
  timed_together "cdedup -z --patch-from=REF < /dev/null" /dev/null "'$bin' -z --patch-from='$ref' < /dev/null" \
                 "cdedup -z < REF, same window and index" /dev/null "'$bin' -z --decmem=$window --encmem=$index < '$ref'"

  echo "  -- applying"
  set_args=("cdedup -d --patch-from, into a file" /dev/null
            "'$bin' -d --patch-from='$ref' < '$work/$pair.cdz' > '$shm/out'; rm -f '$shm/out'"
            "cdedup -d --patch-from, into a pipe" /dev/null
            "'$bin' -d --patch-from='$ref' < '$work/$pair.cdz' | cat > /dev/null")
  [ "$zstd_ok" = 1 ] &&
    set_args+=("zstd -d --long=31 --patch-from, into a file" /dev/null
               "zstd -q -d --long=31 --patch-from='$ref' -c '$work/$pair.zst' > '$shm/out'; rm -f '$shm/out'")
  applied=$(timed_together "${set_args[@]}")
  echo "$applied"

  # The ratios of issue 27's targets.
  c=$(echo "$created" | sed -n 1p)
  a=$(echo "$applied" | sed -n 1p)
  nbytes=$(size "$new")
  echo "  patch: $(size "$work/$pair.cdz") bytes, $(ratio "$(( $(size "$work/$pair.cdz") * 100 ))" "$nbytes")% of NEW; applying into a file: peak RSS $(rss "$a") MiB"
  if [ "$zstd_ok" = 1 ]; then
    z=$(echo "$created" | sed -n 2p)
    za=$(echo "$applied" | sed -n 3p)
    echo "  against zstd -3: size $(ratio "$(size "$work/$pair.cdz")" "$(size "$work/$pair.zst")")x," \
      "zstd's wall time $(ratio "$(field "$z" wall)" "$(field "$c" wall)")x cdedup's;" \
      "applying into a file: cdedup's wall time $(ratio "$(field "$a" wall)" "$(field "$za" wall)")x zstd's"
  fi
done
