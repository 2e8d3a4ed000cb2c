#!/usr/bin/env bash
# Lets the kernel start armhf programs through qemu-arm-static (binfmt_misc), so that an emulated
# program can exec another one: the simulator launcher starting a test, a system test starting a
# tool. The static emulator ignores LD_PRELOAD and hands the environment to the guest, whose own
# ld.so then loads the simulator's armhf preload library. Idempotent; unregisters nothing.
set -euo pipefail

BINFMT=/proc/sys/fs/binfmt_misc
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

if [ ! -e "$BINFMT/status" ]; then
  $SUDO mount -t binfmt_misc binfmt_misc "$BINFMT"
fi
if [ ! -e "$BINFMT/qemu-arm" ]; then
  # Debian's qemu-user-static ships the entry (flags F and P: the interpreter is opened now, and
  # the guest keeps its own argv[0]).
  $SUDO update-binfmts --enable qemu-arm
fi
if ! grep -qx enabled "$BINFMT/qemu-arm"; then
  echo "binfmt-armhf: the qemu-arm entry is registered but disabled" >&2
  exit 1
fi
