#!/usr/bin/env bash
# Runs the rig's scenarios against the production binaries, in a mount and
# network namespace of their own (private /sys, /dev and udev netlink events).
#   run_rig.sh <python> <build folder> <device server> <suite: cli|window>
# Exits 77 (skipped) where the rig cannot run: it needs root, /dev/fuse and
# unshare; it never passes without having run.
set -u
python=$1 build=$2 server=$3 suite=$4

skip() {
    echo "SKIPPED: the rig $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (private mounts over /sys and /dev, udev netlink events)"
[ -c /dev/fuse ] || skip "needs /dev/fuse (FUSE device nodes)"
command -v unshare >/dev/null || skip "needs unshare (util-linux)"
unshare -m -n --propagation private true 2>/dev/null ||
    skip "cannot make a private mount and network namespace here"

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-rig.XXXXXX")
trap 'rm -rf "$work"' EXIT
unshare -m -n --propagation private \
    "$python" "$(dirname "$0")/scenarios.py" "$build" "$server" "$work" "$suite"
