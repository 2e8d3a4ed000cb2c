#!/usr/bin/env bash
# Cross-builds everything for the robot's board (armhf) and runs the whole suite under qemu-arm.
#   scripts/test-armhf.sh BUILD_DIR [CMAKE_ARGS...]
# Prints the time each stage took, so that CI logs show where the minutes go.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
shift
jobs=${JOBS:-$(nproc)}

stage() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "test-armhf: $name took $((SECONDS - start)) s"
}

stage install ./scripts/install-deps.sh armhf
stage binfmt ./scripts/binfmt-armhf.sh
stage configure cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.cmake" "$@"
stage build cmake --build "$build" -j"$jobs"
stage test ctest --test-dir "$build" --output-on-failure -j"$jobs"
