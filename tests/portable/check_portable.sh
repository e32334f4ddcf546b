#!/usr/bin/env bash
# The portable archive on a root that is not this machine: makes the Debian 13
# root (once; make-root.sh), the archive of this build (packaging/portable.sh),
# and runs in_root.py's checks in a mount and network namespace of their own.
#   check_portable.sh <python> <build folder> <device server>
# Exits 77 (skipped) where that cannot be done here: it needs root, unshare,
# /dev/fuse, overlayfs, debootstrap and Debian's archive. Leaves nothing
# mounted and no process running; the root stays in the build folder.
set -u
python=$1 build=$2 server=$3
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

skip() {
    echo "SKIPPED: the foreign-root check $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, chroot, private mounts)"
[ -c /dev/fuse ] || skip "needs /dev/fuse (the rig's device nodes)"
command -v unshare >/dev/null || skip "needs unshare (util-linux)"
unshare -m -n --propagation private true 2>/dev/null ||
    skip "cannot make a private mount and network namespace here"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null ||
    skip "needs overlayfs"
grep -q '^CORVANE_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" &&
    skip "is made from a build without sanitizers"
grep -q '^CORVANE_QT5:BOOL=ON' "$build/CMakeCache.txt" && skip "is made from a Qt 6 build"
for tool in Xvfb xdotool import desktop-file-validate patchelf; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done

root=$build/portable/trixie-root
bash "$source_dir/tests/portable/make-root.sh" "$root"
status=$?
[ $status -eq 0 ] || exit $status
archives=$build/portable/archive
rm -rf "$archives"
bash "$source_dir/packaging/portable.sh" "$build" "$archives" || exit 1
archive=$(ls "$archives"/corvane-*-linux-x86_64.tar.gz)

export PYTHONDONTWRITEBYTECODE=1
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-portable-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
unshare -m -n --propagation private \
    "$python" "$source_dir/tests/portable/in_root.py" "$root" "$archive" "$server" "$work" \
    "$source_dir" "$build/corvane"
status=$?
# The screenshot outlives the scratch folder, for a look at it.
[ -f "$work/window.png" ] && cp "$work/window.png" "$build/portable/window-in-root.png"
[ -f "$work/window.log" ] && cp "$work/window.log" "$build/portable/window-in-root.log"
exit $status
