#!/usr/bin/env bash
# make demo: runs teleop on the simulated robot while teleop-host drives it around a square,
# then prints what the operator saw. Usage: scripts/demo.sh BUILD_DIR (make has built it).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
out=$build/demo
mkdir -p "$out"

find_bin() {
  local path
  path=$(find "$build" -name "$1" -type f -perm -u+x -not -path '*/CMakeFiles/*' -print -quit)
  [ -n "$path" ] || { echo "demo: $1 is not built in $build" >&2; exit 1; }
  echo "$path"
}
sim=$(find_bin tarsa-sim)
teleop=$(find_bin teleop)
host=$(find_bin teleop-host)

# The robot sends to the console at the address of its configuration; the demo uses an address
# of its own, so that no other robot program on this machine joins in.
demo_ip=127.0.0.33
sed "s/^udp_host = .*/udp_host = \"$demo_ip\"/" "$here/../tarsa.toml.sample" >"$out/tarsa.toml"

host_pid=
robot_pid=
raw_output=
cleanup() {
  [ -n "$raw_output" ] && rm -f "$raw_output"
  [ -n "$robot_pid" ] && kill -TERM "$robot_pid" 2>/dev/null || true
  [ -n "$host_pid" ] && kill -TERM "$host_pid" 2>/dev/null || true
}
trap cleanup EXIT

# Waits up to $2 tenths of a second for process $1 to end; otherwise says $3 and stops the demo.
await_end() {
  for _ in $(seq "$2"); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$1" 2>/dev/null; then
    echo "demo: $3" >&2
    exit 1
  fi
}

echo "demo: teleop runs on the simulated robot; teleop-host drives it around a square (about 20 s)"
"$host" --script "$here/demo-square.txt" --plot "$out/path.svg" --log "$out/messages.csv" --quiet \
  --bind "$demo_ip" \
  >"$out/host.txt" 2>&1 &
host_pid=$!
# The console must be listening before the robot sends its first message.
for _ in $(seq 50); do
  grep -q '^teleop-host: listening' "$out/host.txt" && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$host_pid" 2>/dev/null; then
  cat "$out/host.txt" >&2
  echo "demo: teleop-host did not start (is UDP port 3000 in use?)" >&2
  exit 1
fi

raw_output=$(mktemp)
TARSA_CONFIG="$out/tarsa.toml" "$sim" --trace "$out/trace.jsonl" -- "$teleop" >"$raw_output" 2>&1 &
robot_pid=$!

# The script ends the console after about 20 s; bounded in case the robot never answers.
await_end "$host_pid" 400 "teleop-host did not finish in 40 s"
host_status=0
wait "$host_pid" || host_status=$?
host_pid=

# Stop the robot program the way an operator would: Ctrl-C.
kill -INT "$robot_pid" 2>/dev/null || true
robot_status=
await_end "$robot_pid" 50 "teleop did not stop on Ctrl-C"
robot_status=0
wait "$robot_pid" || robot_status=$?
robot_pid=

# teleop prints five lines a tick (the command parsed and the wheel speeds): teleop.txt keeps the
# first and last two ticks and every other line, warnings among them.
awk -v ticks="$(grep -c '^dfgdfg' "$raw_output" || true)" '
  /^(Parsed value|Angular Velocity|Ang Vel|dfgdfg)/ {
    if (tick < 2 || tick >= ticks - 2) print; else if (!said++) print "[... " ticks - 4 " ticks left out ...]"
    if (/^dfgdfg/) tick++
    next
  }
  { print }' "$raw_output" >"$out/teleop.txt"

echo
cat "$out/host.txt"
echo "teleop ended with status $robot_status; its output: $out/teleop.txt"
echo "bus trace of the run: $out/trace.jsonl"
[ "$host_status" -eq 0 ] && [ "$robot_status" -eq 0 ]
