# Extra packages for the armhf cross-build and its tests under qemu (sourced by install-deps.sh).
# The :armhf libraries come from Debian's multiarch archive, hence the foreign architecture.
FOREIGN_ARCHS+=(armhf)
PACKAGES+=(
  g++-arm-linux-gnueabihf
  qemu-user qemu-user-static binfmt-support
  libc6:armhf libstdc++6:armhf
  libgtest-dev:armhf libgmock-dev:armhf libtomlplusplus-dev:armhf nlohmann-json3-dev
  libjpeg-dev:armhf libv4l-dev:armhf
  libboost-dev:armhf
)
