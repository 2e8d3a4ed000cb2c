#!/usr/bin/env bash
# Runs every benchmark program built in the given build folder.
set -euo pipefail
build=${1:-build-bench}
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  if [ -f "$b.sim" ]; then "$build/sim/tarsa-sim" -- "$b"; else "$b"; fi
done
