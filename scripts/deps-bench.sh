# Extra packages for the benchmarks (sourced by install-deps.sh): the libraries the camera's image
# operations are measured against.
PACKAGES+=(libopencv-dev libyuv-dev libturbojpeg0-dev)
