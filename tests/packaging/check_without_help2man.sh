#!/usr/bin/env bash
# A source build must not need help2man: configuring with it missing succeeds
# with a note, and the install then carries no manual page for corvane-cli.
#   check_without_help2man.sh <source dir>
set -uo pipefail

source_dir=$1
scratch=$(mktemp -d /tmp/corvane-no-help2man.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

if ! cmake -S "$source_dir" -B "$scratch" -DCORVANE_BUILD_TESTS=OFF \
    -DHELP2MAN="$scratch/missing/help2man" >"$scratch/configure.log" 2>&1; then
    cat "$scratch/configure.log"
    echo "FAIL: configure stops when help2man is missing"
    exit 1
fi
grep -q "help2man was not found" "$scratch/configure.log" || {
    cat "$scratch/configure.log"
    echo "FAIL: configure does not say that the manual page is left out"
    exit 1
}
if grep -rq "corvane-cli\.1" "$scratch/packaging/cmake_install.cmake"; then
    echo "FAIL: the install still expects corvane-cli's manual page"
    exit 1
fi
echo "configure without help2man: ok"
