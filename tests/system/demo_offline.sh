#!/usr/bin/env bash
# `make demo` on a fresh clone with no npm registry within reach: the demo needs Debian's
# packages only. Usage: demo_offline.sh SOURCE_DIR. Prints the demo's summary.
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git clone -q "$src" "$work/tarsa"
# Any npm call fails at once: no registry, no cache, offline.
export npm_config_registry=http://127.0.0.1:9/ npm_config_cache="$work/npm-cache" npm_config_offline=true
unset MAKEFLAGS MFLAGS MAKELEVEL
cd "$work/tarsa"
status=0
make demo JOBS=2 >"$work/demo.txt" 2>&1 || status=$?
cat "$work/demo.txt"
[ "$status" -eq 0 ] || { echo "demo_offline: make demo ended with status $status" >&2; exit 1; }
grep -q '^teleop ended with status 0' "$work/demo.txt" || { echo "demo_offline: no summary" >&2; exit 1; }
if [ -e tests/js/node_modules ]; then
  echo "demo_offline: make demo installed the tests' npm clients" >&2
  exit 1
fi
echo "demo_offline: make demo ran to its summary without npm"
