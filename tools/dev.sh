#!/usr/bin/env bash
# Set-up and build helper for a Debian 12 machine.
#   tools/dev.sh run [--emulated]   install what is missing, build, start the program
#                                   (--emulated: the demo build over an emulated accessory)
#   tools/dev.sh test               install what is missing, build, run the test suite
#   tools/dev.sh fuzz               the same for the fuzz targets only: a clang build
#                                   (default folder: build-fuzz), then ctest -L fuzz
# Extra CMake options can be passed in CORVANE_CMAKE_OPTIONS; the build folder
# is CORVANE_BUILD_DIR (default: build).
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${CORVANE_BUILD_DIR:-build}

packages=(
    build-essential cmake pkg-config ccache
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libhidapi-dev libudev-dev python3-dev help2man
    fonts-dejavu-core
)
test_packages=(
    qtbase5-dev xvfb xauth xdotool imagemagick x11-utils openbox trayer
    desktop-file-utils appstream dpkg-dev file
    at-spi2-core python3-pyatspi dbus-daemon dbus-bin xclip lintian
    g++-mingw-w64-x86-64 fuse3 libfuse3-dev
    sway grim wtype jq libnss-wrapper libwayland-dev libwayland-bin python3-gi python3-dbus
    qt6-wayland qtwayland5 debootstrap patchelf
    clang libfuzzer-14-dev python3-hypothesis
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
    # ccache keeps the objects that the next build (another build type, the
    # other Qt major, a second clone) can use again.
    local launcher=()
    # Paths relative to the checkout, so that another clone hits the same entries.
    export CCACHE_BASEDIR="$PWD"
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
        -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    # shellcheck disable=SC2086
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${CORVANE_BUILD_TYPE:-RelWithDebInfo}" \
        "${launcher[@]}" ${CORVANE_CMAKE_OPTIONS:-}
    cmake --build "$build_dir" -j"$(nproc)" ${1:+--target "$1"}
}

case "${1:-}" in
run)
    install_missing "${packages[@]}"
    build
    if [ "${2:-}" = "--emulated" ]; then
        exec "$build_dir/corvane-emulated"
    fi
    exec "$build_dir/corvane"
    ;;
test)
    install_missing "${packages[@]}" "${test_packages[@]}"
    build
    ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" ${CORVANE_CTEST_OPTIONS:-}
    ;;
fuzz)
    install_missing "${packages[@]}" "${test_packages[@]}"
    build_dir=${CORVANE_BUILD_DIR:-build-fuzz}
    CORVANE_CMAKE_OPTIONS="-DCORVANE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ ${CORVANE_CMAKE_OPTIONS:-}" \
        build corvane_fuzz_targets
    ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" -L fuzz ${CORVANE_CTEST_OPTIONS:-}
    ;;
*)
    sed -n '2,10p' "$0"
    exit 2
    ;;
esac
