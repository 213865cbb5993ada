#!/usr/bin/env bash
# Builds a small "backup series" (the same source tree archived three times,
# with a few files changed in between), then encodes and decodes it and checks
# that the round trip is exact.  Run through `cmake --build --preset release --target demo`.
set -euo pipefail

CDEDUP=${CDEDUP:-cdedup}
# A cross-built cdedup starts through the emulator named here (words, e.g. "qemu-aarch64 -L /").
read -ra emulator <<<"${CDEDUP_EMULATOR:-}"
work=${1:-$(mktemp -d)}
mkdir -p "$work"
src=${DEMO_SOURCE:-/usr/include}

tree="$work/tree"
rm -rf "$tree"
mkdir -p "$tree"
cp -r "$src" "$tree/snapshot"
sample="$work/sample.tar"
: > "$sample"
for round in 1 2 3; do
  # A handful of small edits between the snapshots, as between two nights' backups.
  find "$tree/snapshot" -type f -name '*.h' | sort | awk -v r="$round" 'NR % 97 == r' | while read -r f; do
    printf '/* edited in round %s */\n' "$round" >> "$f"
  done
  tar -C "$tree" -cf - snapshot >> "$sample"
done
rm -rf "$tree"

echo "sample: $sample ($(stat -c %s "$sample") bytes, three snapshots of $src)"
echo "--- encode"
"${emulator[@]}" "$CDEDUP" e "$sample" "$work/sample.cdd"
echo "--- decode"
"${emulator[@]}" "$CDEDUP" d "$work/sample.cdd" "$work/sample.out"
cmp "$sample" "$work/sample.out"
in=$(stat -c %s "$sample")
out=$(stat -c %s "$work/sample.cdd")
echo "--- round trip exact: $in bytes -> $out bytes encoded ($(( out * 100 / in ))%)"
