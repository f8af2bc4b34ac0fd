#!/usr/bin/env bash
# Runs every libFuzzer target in a build tree for a short, fixed number of runs.
set -euo pipefail
tree=${1:-build/fuzz}
runs=${FUZZ_RUNS:-1000000}
shopt -s nullglob
for target in "$tree"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzz: $name ($runs runs)"
  "$target" -runs="$runs" -max_len=70000 -rss_limit_mb=1024 -malloc_limit_mb=256 "$work" \
    >"$work.log" 2>&1 || { tail -40 "$work.log"; rm -rf "$work" "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done
