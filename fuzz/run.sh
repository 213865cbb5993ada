#!/usr/bin/env bash
# Builds the fuzz targets in build/fuzz and runs each for SECONDS on a scratch
# copy of its seed corpus, so the repository's corpus never grows by itself.
# Exits non-zero on any crash, sanitizer report, leak, timeout or failed
# check; inputs that failed are kept in build/fuzz/artifacts/.  Ends with
# each target's speed and coverage.
#
#   fuzz/run.sh SECONDS
set -euo pipefail

secs=${1:?usage: fuzz/run.sh SECONDS}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/fuzz
targets=(decode_fuzz roundtrip_fuzz ragged_fuzz)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCDEDUP_BUILD_FUZZ=ON -DCDEDUP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/cdedup-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=0
summary=()
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  cp "$root/fuzz/corpus/$t/"* "$work/$t/corpus/"
  echo "== $t: ${secs}s"
  status=0
  "$build/fuzz/$t" -max_total_time="$secs" -rss_limit_mb=2048 -detect_leaks=1 -timeout=60 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" "$work/$t/corpus" >"$work/$t/log" 2>&1 || status=$?
  # A report that libFuzzer did not turn into a failing status still fails the run.
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|fuzz check failed|SUMMARY: ' "$work/$t/log"; then
    [ "$status" -ne 0 ] || status=99
  fi
  cov=$(grep -E '^#[0-9]+.*cov: ' "$work/$t/log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
  execs=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$work/$t/log" | grep -oE '[0-9]+$' || true)
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$work/$t/log" | grep -oE '[0-9]+$' || true)
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "!! $t failed (status $status); log tail:"
    tail -n 60 "$work/$t/log"
    cp "$work/$t/artifacts/"* "$build/artifacts/" 2>/dev/null && echo "!! failing inputs copied to $build/artifacts/"
    summary+=("$(printf '%-16s FAILED  exec/s %-8s runs %-10s %s' "$t" "${execs:-?}" "${runs:-?}" "${cov:-cov: ?}")")
  else
    summary+=("$(printf '%-16s ok      exec/s %-8s runs %-10s %s' "$t" "${execs:-?}" "${runs:-?}" "${cov:-cov: ?}")")
  fi
done

echo "== summary (${secs}s each)"
printf '%s\n' "${summary[@]}"
exit "$failed"
