#!/usr/bin/env bash
# Installs every package the build and the tests need (Debian 12). Idempotent: packages already
# present are left alone and apt is not touched at all when nothing is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libtomlplusplus-dev nlohmann-json3-dev
  i2c-tools
  libv4l-dev libjpeg62-turbo-dev libjpeg-turbo-progs v4l-utils
)
# groff-base: test_manpages renders the programs' manual pages.
PACKAGES+=(groff-base)
# tarsa-bridge: Boost.Beast (header-only) for its server; its tests' clients run on node (from
# Debian unless the machine has one already) and headless Chromium.
PACKAGES+=(libboost-dev chromium)
# tarsa-bridge's recordings: zstd or LZ4 chunks, zlib's CRC-32.
PACKAGES+=(libzstd-dev liblz4-dev zlib1g-dev)
# tarsa-bridge's ROS 2 front-end speaks DDS through Cyclone DDS's C library (the line ROS 2's
# rmw_cyclonedds uses); idlc, in cyclonedds-tools, generates the message types' C code at build time.
PACKAGES+=(cyclonedds-dev cyclonedds-tools)
command -v node >/dev/null || PACKAGES+=(nodejs)
command -v npm >/dev/null || PACKAGES+=(npm)
# The Python package (python/): pybind11 binds the library, on Debian's interpreter and headers, with
# numpy arrays for scans and frames; its tests run under pytest.
PACKAGES+=(pybind11-dev python3-dev python3-numpy python3-pytest)
# Extra package sets, e.g. `install-deps.sh armhf`, come from scripts/deps-<set>.sh; a set may
# also name foreign dpkg architectures (FOREIGN_ARCHS) whose packages it installs. The set `js`
# adds the tests' npm clients.
FOREIGN_ARCHS=()
want_js=0
for set in "$@"; do
  [ "$set" = js ] && { want_js=1; continue; }
  # shellcheck source=/dev/null
  . "$(dirname "$0")/deps-$set.sh"
done

SUDO=
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  SUDO=sudo
fi

for arch in "${FOREIGN_ARCHS[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $SUDO dpkg --add-architecture "$arch"
  fi
done

# NAME means the machine's own architecture (or an arch-independent package), NAME:ARCH that one;
# once a foreign architecture is added, a bare name matches the copies of every architecture.
native=$(dpkg --print-architecture)
is_installed() {
  local want=$native
  [[ $1 == *:* ]] && want=${1#*:}
  dpkg-query -W -f='${Status} ${Architecture}\n' "${1%%:*}" 2>/dev/null |
    grep -Eqx "install ok installed ($want|all)"
}

missing=()
for p in "${PACKAGES[@]}"; do
  is_installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # --no-remove: a package set that conflicts with what the machine has must fail, not uninstall it.
  $SUDO apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" >/dev/null
fi

# The npm clients of tarsa-bridge's tests (`install-deps.sh js`), exactly as locked; again only
# when the lock changed. The build and the demo need no npm registry.
if [ "$want_js" = 1 ]; then
  js=$(dirname "$0")/../tests/js
  if ! cmp -s "$js/package-lock.json" "$js/node_modules/.installed-lock.json"; then
    echo "install-deps: npm ci in tests/js"
    (cd "$js" && npm ci --no-audit --no-fund --loglevel=error && cp package-lock.json node_modules/.installed-lock.json)
  fi
fi
