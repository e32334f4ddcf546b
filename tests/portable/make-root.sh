#!/usr/bin/env bash
# Makes the foreign root the portable archive is checked in: a minimal Debian 13
# (trixie) from Debian's archive, plus only the libraries a desktop provides
# (the list README.txt of the archive promises). Nothing of Qt, hidapi or
# Python 3.11 is in it.
#   make-root.sh <root folder>
# A root made before is kept (it is made once per CI run). Exits 77 where it
# cannot be made here: it needs root, debootstrap and Debian's archive.
set -euo pipefail
root=$1
mirror=${CORVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}

host_packages=(
    libgl1 libegl1 libopengl0 libx11-6 libx11-xcb1 libxcb1 libxcb-randr0 libxcb-render0
    libxcb-shape0 libxcb-shm0 libxcb-sync1 libxcb-xfixes0 libxcb-xinerama0 libxcb-xinput0
    libxcb-xkb1 libxcb-glx0 libxkbcommon0 libxkbcommon-x11-0 libwayland-client0
    libwayland-cursor0 libwayland-egl1 libfontconfig1 libfreetype6 libdbus-1-3 libudev1
    fonts-dejavu-core ca-certificates
)

skip() {
    echo "SKIPPED: the foreign root $*"
    exit 77
}

[ -f "$root/.corvane-root-complete" ] && exit 0
[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, chroot)"
command -v debootstrap >/dev/null || skip "needs debootstrap"
[ -e /usr/share/debootstrap/scripts/trixie ] || skip "needs a debootstrap that knows trixie"
host=$(echo "$mirror" | sed -E 's|^[a-z]+://([^/:]+).*|\1|')
timeout 10 bash -c "exec 3<>/dev/tcp/$host/80" 2>/dev/null || skip "needs Debian's archive ($host)"

# Made beside its final place and renamed when complete: an interrupted run
# leaves no half root behind that a later run would take.
partial="$root.partial"
rm -rf "$partial"
mkdir -p "$(dirname "$root")"
trap 'rm -rf "$partial"' EXIT
list=$(IFS=,; echo "${host_packages[*]}")
echo "Making a Debian 13 root in $root (debootstrap --variant=minbase trixie)"
debootstrap --variant=minbase --include="$list" trixie "$partial" "$mirror" >"$partial.log" 2>&1 ||
    { tail -20 "$partial.log"; rm -f "$partial.log"; exit 1; }
rm -f "$partial.log"
for forbidden in libpython3.11 libqt6core6 libqt6core6t64 libhidapi-hidraw0; do
    if chroot "$partial" dpkg-query -W "$forbidden" >/dev/null 2>&1; then
        echo "The root holds $forbidden, which a desktop is not assumed to have"
        exit 1
    fi
done
rm -rf "$partial/var/cache/apt/archives/"*.deb
touch "$partial/.corvane-root-complete"
rm -rf "$root"
mv "$partial" "$root"
trap - EXIT
echo "Root ready: $(du -sh "$root" | cut -f1)"
