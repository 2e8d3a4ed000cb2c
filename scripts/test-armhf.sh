#!/usr/bin/env bash
# Cross-builds everything for the robot's board (armhf) and runs the whole suite under qemu-arm.
#   [NATIVE_BUILD=DIR] scripts/test-armhf.sh BUILD_DIR [CMAKE_ARGS...]
# Prints the time each stage took, so that CI logs show where the minutes go. With NATIVE_BUILD
# naming the PC build of the same tree, the numbers of tests must match: none is left out on armhf.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
shift
jobs=${JOBS:-$(nproc)}

stage() {
  local name=$1 start=$SECONDS rc=0
  shift
  "$@" || rc=$?
  echo "test-armhf: $name took $((SECONDS - start)) s"
  return $rc
}

stage install ./scripts/install-deps.sh armhf js
stage binfmt ./scripts/binfmt-armhf.sh
stage configure cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.cmake" "$@"
stage build cmake --build "$build" -j"$jobs"
# qemu-user now and then crashes a guest that forks while the machine is loaded (seen once in
# about ten runs of the launcher test): a failed test runs once more, so only a fault that
# fails twice fails the run. The first failure stays in the output.
stage test ctest --test-dir "$build" --output-on-failure -j"$jobs" --repeat until-pass:2

count_tests() { ctest --test-dir "$1" -N | sed -n 's/^Total Tests: //p'; }
if [ -n "${NATIVE_BUILD:-}" ] && [ -f "$NATIVE_BUILD/CTestTestfile.cmake" ]; then
  native=$(count_tests "$NATIVE_BUILD")
  cross=$(count_tests "$build")
  echo "test-armhf: $cross tests on armhf, $native on the PC build ($NATIVE_BUILD)"
  if [ "$native" != "$cross" ]; then
    echo "test-armhf: the armhf build registers a different number of tests" >&2
    exit 1
  fi
fi
