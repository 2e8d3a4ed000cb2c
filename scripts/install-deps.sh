#!/usr/bin/env bash
# Installs every package the build and the tests need (Debian 12). Idempotent: packages already
# present are left alone and apt is not touched at all when nothing is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libtomlplusplus-dev nlohmann-json3-dev
  i2c-tools
)
# Extra package sets, e.g. `install-deps.sh armhf`, come from scripts/deps-<set>.sh.
for set in "$@"; do
  # shellcheck source=/dev/null
  . "$(dirname "$0")/deps-$set.sh"
done

SUDO=
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  SUDO=sudo
fi

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
