#!/usr/bin/env bash
# Builds the fuzz targets in build/fuzz and runs each (or one) for SECONDS.
#
# By default a target starts from a scratch copy of its seed corpus, so that
# a short run (CI's minute) never grows the repository's corpus.  With --keep
# the corpus it grows lives outside the source tree, in
# ${CDEDUP_FUZZ_HOME:-$HOME/.cache/cdedup-fuzz}/<target>/corpus, and the next
# --keep run goes on from there: that is how a long campaign is run, in one
# sitting or several (docs/fuzzing.md).  The seeds are read from fuzz/corpus
# either way, never written.
#
# Exits non-zero on any crash, sanitizer report, leak, timeout or failed
# check; the inputs that failed (and the ones run just before, which a fault
# in what a stream leaves behind needs) are kept in build/fuzz/artifacts/, or
# in the campaign's artifacts/ with --keep.  Ends with each target's speed and
# coverage.
#
#   fuzz/run.sh [--keep] SECONDS [TARGET]
set -euo pipefail

keep=0
if [ "${1:-}" = --keep ]; then
  keep=1
  shift
fi
usage="usage: fuzz/run.sh [--keep] SECONDS [TARGET]"
secs=${1:?$usage}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/fuzz
all=(decode_fuzz roundtrip_fuzz ragged_fuzz)
if [ $# -ge 2 ]; then
  case " ${all[*]} " in
    *" $2 "*) targets=("$2") ;;
    *) echo "unknown target $2 (one of: ${all[*]})" >&2; exit 2 ;;
  esac
else
  targets=("${all[@]}")
fi
home=${CDEDUP_FUZZ_HOME:-$HOME/.cache/cdedup-fuzz}

# Two campaigns started side by side must not build into one tree at once.
mkdir -p "$build"
(
  flock 9
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCDEDUP_BUILD_FUZZ=ON -DCDEDUP_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
) 9>"$build/.build-lock"

work=$(mktemp -d "${TMPDIR:-/tmp}/cdedup-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=0
summary=()
for t in "${targets[@]}"; do
  if [ "$keep" = 1 ]; then
    dir=$home/$t
    kept=$dir/artifacts
  else
    dir=$work/$t
    kept=$build/artifacts
  fi
  mkdir -p "$dir/corpus" "$dir/artifacts"
  log=$dir/log
  echo "== $t: ${secs}s, corpus $dir/corpus"
  status=0
  # New inputs go to the first corpus directory; the seeds are only read.
  # Inputs that run fast are fuzzed more (up to 30 times): a stream whose
  # few bytes of references stand for megabytes must not set the pace.
  "$build/fuzz/$t" -max_total_time="$secs" -rss_limit_mb=2048 -detect_leaks=1 -timeout=60 -max_len=8192 \
    -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
    "$dir/corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  # A report that libFuzzer did not turn into a failing status still fails the run.
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|fuzz check failed|SUMMARY: ' "$log"; then
    [ "$status" -ne 0 ] || status=99
  fi
  cov=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
  execs=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "!! $t failed (status $status); log tail:"
    tail -n 60 "$log"
    if [ "$keep" = 0 ]; then
      cp "$dir/artifacts/"* "$kept/" 2>/dev/null || true
      cp "$log" "$kept/$t.log"
    fi
    echo "!! failing inputs in $kept/ (see docs/fuzzing.md)"
    summary+=("$(printf '%-16s FAILED  exec/s %-8s runs %-10s %s' "$t" "${execs:-?}" "${runs:-?}" "${cov:-cov: ?}")")
  else
    summary+=("$(printf '%-16s ok      exec/s %-8s runs %-10s %s' "$t" "${execs:-?}" "${runs:-?}" "${cov:-cov: ?}")")
  fi
done

echo "== summary (${secs}s each)"
printf '%s\n' "${summary[@]}"
exit "$failed"
