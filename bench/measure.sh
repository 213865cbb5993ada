#!/usr/bin/env bash
# Measures the commands of the README's chart on the corpora of corpora.sh
# and appends one row per command to bench/results.tsv, the one file the
# chart, the README's table and every other copy of these figures come from.
# Rows are appended, never rewritten: a later row for the same corpus and
# command supersedes an earlier one in the chart, and the old one stays as a
# record.  Each row says what measured it (this command line, the commit, the
# date, the machine and its load when the run began).
#
# The commands run in turn, REPEAT rounds interleaved (bench/timing.sh), so
# that a busy minute of a shared machine falls on all of them alike; each row
# keeps the run with the least wall time, with that run's user and system
# time and the largest peak RSS.  Every cdedup archive is decoded into cmp
# against the input before anything is timed.  Peers that are not installed
# (xz, lrzip) are left out with a line saying so.
#
#   REPEAT=2 CORPORA="backup" ONLY="zstd xz" bench/measure.sh [CDEDUP_BINARY] [WORK_DIR]
#
# CORPORA: of corpora.sh's (default: backup).  ONLY: the groups to run, of
# cdedup, zstd, xz, lrzip (default: all).  RESULTS: the file to append to.
# On a 2-core machine one round on the backup corpus takes about ten minutes,
# most of it zstd -19, xz and lrzip; the long stream (make_long, 5.4 GB) takes
# about ten times as long.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build/release/cdedup}")
work=${2:-/tmp/cdedup-bench}
results=${RESULTS:-$here/results.tsv}
mkdir -p "$work"
# shellcheck source=bench/corpora.sh
source "$here/corpora.sh"
# shellcheck source=bench/timing.sh
source "$here/timing.sh"

# add LABEL COMMAND: one more (label, output file, command) for timed_together.
add() { set_args+=("$1" "$work/chart.$((${#set_args[@]} / 3)).out" "$2"); }
want() { case " ${ONLY:-cdedup zstd xz lrzip} " in *" $1 "*) return 0 ;; esac; return 1; }
have() { command -v "$1" > /dev/null; }

# What measured the rows: this command as it was given, with its settings.
invocation="REPEAT=${REPEAT:-3} CORPORA=\"${CORPORA:-backup}\"${ONLY:+ ONLY=\"$ONLY\"} bench/measure.sh $*"
commit=$(git -C "$here" rev-parse --short HEAD 2> /dev/null || echo unknown)
git -C "$here" diff --quiet HEAD -- 2> /dev/null || commit="$commit+changes"
machine="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB"
header="corpus	command	input_bytes	output_bytes	user_s	sys_s	wall_s	peak_rss_mib	rounds	date	commit	machine	load	measured_by"
[ -s "$results" ] || echo "$header" > "$results"
[ "$(head -1 "$results")" = "$header" ] || { echo "measure.sh: $results does not start with the expected header" >&2; exit 1; }

echo "machine: $machine; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cdedup:  $bin ($("$bin" --version)), commit $commit"
echo "rounds:  ${REPEAT:-3}; appending to $results"

for corpus in ${CORPORA:-backup}; do
  "make_$corpus"
  in=$(corpus_file "$corpus")
  bytes=$(stat -c %s "$in")
  cat "$in" > /dev/null   # into the page cache
  load=$(cut -d' ' -f1 /proc/loadavg)
  echo
  echo "== $corpus: $bytes bytes"

  set_args=()
  if want cdedup; then
    for z in "-z" "--zstd=9" "--zstd=12" "--zstd=19" "-z --long"; do
      "$bin" $z < "$in" 2> /dev/null | "$bin" -d 2> /dev/null | cmp -s - "$in" ||
        { echo "  cdedup $z does not give the input back"; exit 1; }
      add "cdedup $z" "'$bin' $z < '$in' 2>/dev/null"
    done
    echo "  cdedup's archives decode to the input"
  fi
  if want zstd; then
    for level in 3 9 19; do
      for long in 30 31; do
        add "zstd -$level --long=$long -T0" "zstd -$level --long=$long -T0 -q -c < '$in'"
      done
    done
  fi
  if want xz; then
    if have xz; then add "xz -T0" "xz -T0 -c < '$in'"; else echo "  xz is not installed: left out"; fi
  fi
  if want lrzip; then
    if have lrzip; then add "lrzip" "lrzip -q -o - '$in' 2>/dev/null"; else echo "  lrzip is not installed: left out"; fi
  fi
  [ ${#set_args[@]} -gt 0 ] || continue

  lines=$(timed_together "${set_args[@]}")
  echo "$lines"
  rm -f "$work"/chart.*.out
  today=$(date +%F)
  # timed_together's line: LABEL user U sys S wall W s RSS R MiB B bytes.
  echo "$lines" | awk -v OFS='\t' -v corpus="$corpus" -v in_bytes="$bytes" -v rounds="${REPEAT:-3}" \
      -v date="$today" -v commit="$commit" -v machine="$machine" -v load="$load" -v how="$invocation" '{
    at = index($0, " user ")
    label = substr($0, 1, at - 1)
    sub(/^ +/, "", label); sub(/ +$/, "", label)
    split(substr($0, at + 1), f, / +/)   # user U sys S wall W s RSS R MiB B bytes
    print corpus, label, in_bytes, f[11], f[2], f[4], f[6], f[9], rounds, date, commit, machine, load, how
  }' >> "$results"
done
echo
echo "appended to $results; bench/chart draws them"
