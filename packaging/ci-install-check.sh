#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, checks the installed files,
# starts /usr/bin/corvane under Xvfb and waits for its 656x710 window, then stops
# the program and purges the package again (CORVANE_KEEP_PACKAGE=1 keeps it; a
# failed check leaves it installed for inspection).
# Needs root, and xvfb, xauth, xdotool, x11-utils, dpkg-dev installed.
#   CORVANE_DEB_BUILD_DIR   build folder (default: build-deb in the source tree)
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$PWD
build_dir=$(realpath -m "${CORVANE_DEB_BUILD_DIR:-build-deb}")
app_id=org.corvane.Corvane
window_size=656x710
private_tmp=

step() { echo "--- $*"; }
die() {
    echo "FAIL: $*" >&2
    exit 1
}

cleanup() {
    [ -n "$private_tmp" ] || return 0
    rm -rf "$private_tmp"
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || die "run as root: the check installs the package"
for tool in cpack dpkg-shlibdeps lintian xvfb-run xdotool xwininfo; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done

# The default configuration (prefix /usr/local, given explicitly in case the
# folder was configured before): the package must not depend on it.
step "configure and build $build_dir (Release, default prefix)"
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCORVANE_REQUIRE_MANPAGES=ON \
    -DCMAKE_INSTALL_PREFIX=/usr/local -DCORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target corvane corvane-cli -j"$(nproc)"

step "cpack -G DEB"
rm -f "$build_dir"/corvane_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/corvane_*_*.deb)
[ "$(basename "$deb")" = "corvane_1.2.0_amd64.deb" ] || echo "note: package file is $(basename "$deb")"
dpkg-deb --field "$deb" Package Version Architecture Section Depends Recommends

# Errors fail the check; the remaining informational tags are explained in
# packaging/README.md.
step "lintian $(basename "$deb")"
lintian --fail-on error --tag-display-limit 0 --info "$deb" || die "lintian reports errors"

# Without Recommends: the Depends alone must be enough to start the program.
step "apt-get install $(basename "$deb")"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb"
[ "$(dpkg-query -W -f='${Status} ${Version}' corvane)" = "install ok installed 1.2.0" ] ||
    die "dpkg does not list corvane 1.2.0 as installed"

step "installed files"
expected=(
    /usr/bin/corvane
    /usr/bin/corvane-cli
    /usr/share/man/man1/corvane-cli.1.gz
    /usr/share/bash-completion/completions/corvane-cli
    /usr/share/corvane/python/PSNID.py
    /usr/share/corvane/python/psnid_settings.py
    /usr/share/corvane/python/psnid_transport.py
    /usr/lib/udev/rules.d/70-corvane.rules
    /usr/share/applications/$app_id.desktop
    /usr/share/metainfo/$app_id.metainfo.xml
    /usr/share/man/man1/corvane.1.gz
)
for size in 16 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png")
done
for file in "${expected[@]}"; do
    [ -f "$file" ] || die "$file is missing"
    echo "ok $file"
done
[ ! -e /usr/bin/corvane-emulated ] || die "/usr/bin/corvane-emulated must not be installed"
[ ! -e /usr/bin/corvane-cli-emulated ] || die "/usr/bin/corvane-cli-emulated must not be installed"
step "run /usr/bin/corvane-cli"
/usr/bin/corvane-cli --version | grep -qx "corvane-cli 1.2.0" || die "corvane-cli --version"
# No accessory on a CI machine: exit code 3, and nothing on standard output.
set +e
cli_output=$(XDG_RUNTIME_DIR=$(mktemp -d) /usr/bin/corvane-cli list 2>/dev/null)
cli_status=$?
set -e
[ "$cli_status" -eq 3 ] && [ -z "$cli_output" ] ||
    die "corvane-cli list without an accessory: exit $cli_status, output '$cli_output'"
echo "ok corvane-cli runs (list: exit 3, no accessory)"
# The compiled-in folder is stored as UTF-8 or, from QStringLiteral, UTF-16.
holds_text() {
    LC_ALL=C grep -aqF "$2" "$1" ||
        LC_ALL=C grep -aqP "$(printf '%s' "$2" | sed 's/./&\\x00/g')" "$1"
}
holds_text /usr/bin/corvane ../share/corvane/python ||
    die "/usr/bin/corvane does not look for its module in ../share/corvane/python"
echo "ok /usr/bin/corvane looks for PSNID.py in ../share/corvane/python"

step "start /usr/bin/corvane under Xvfb, wait for its ${window_size} window"
private_tmp=$(mktemp -d /tmp/corvane-ci.XXXXXX)
mkdir -m 700 "$private_tmp/runtime"
export private_tmp window_size
# Prints "window <id> <width>x<height>" for a mapped window of the given process that
# has the expected size.
visible_window_of() {
    local id info
    for id in $(xdotool search --pid "$1" 2>/dev/null); do
        info=$(xwininfo -id "$id" 2>/dev/null) || continue
        grep -q 'Map State: IsViewable' <<<"$info" || continue
        local width height
        width=$(sed -n 's/^ *Width: //p' <<<"$info")
        height=$(sed -n 's/^ *Height: //p' <<<"$info")
        if [ "${width}x${height}" = "$window_size" ]; then
            echo "window $id ${width}x${height}"
            return
        fi
    done
}
# A key and a runtime folder of its own keep the program's single-instance guard
# apart, so a copy running elsewhere on the machine cannot make it refuse to start.
window_check() {
    CORVANE_INSTANCE_KEY="ci-$(basename "$private_tmp")" XDG_RUNTIME_DIR=$private_tmp/runtime \
        TMPDIR=$private_tmp XDG_CONFIG_HOME=$private_tmp/config QT_QPA_PLATFORM=xcb \
        /usr/bin/corvane >"$private_tmp/program.log" 2>&1 &
    local pid=$! geometry=
    for _ in $(seq 1 150); do
        kill -0 "$pid" 2>/dev/null || break
        geometry=$(visible_window_of "$pid")
        [ -n "$geometry" ] && break
        sleep 0.2
    done
    if [ -z "$geometry" ]; then
        echo "no visible ${window_size} window of pid $pid; windows on the display:"
        xwininfo -root -tree | grep -E '[0-9]+x[0-9]+\+' | head -20
        echo "program output:"
        cat "$private_tmp/program.log"
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        return 1
    fi
    echo "ok pid $pid mapped its $geometry"
    xwininfo -root -tree | grep " ${window_size}+" | head -1
    kill "$pid"
    wait "$pid" 2>/dev/null
    return 0
}
# The program is stopped inside window_check (if Xvfb went away first, the
# program would lose its display and exit). xvfb-run is a POSIX sh script and
# drops exported bash functions, hence declare -f.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$(declare -f visible_window_of window_check); window_check" ||
    die "the installed program did not show its window"
echo "ok program stopped"

if [ "${CORVANE_KEEP_PACKAGE:-0}" != 1 ]; then
    step "apt-get purge corvane"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q corvane
    [ ! -e /usr/bin/corvane ] || die "/usr/bin/corvane is still there after removal"
fi
echo "package install check passed"
