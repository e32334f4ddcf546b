#!/usr/bin/env bash
# Configuring against a hidapi older than 0.10, whose hidraw backend reports
# usage page 0 for every device (so the accessory is never found), must fail.
#   check_old_hidapi.sh <source folder>
set -u
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for module in hidapi-hidraw hidapi; do
    cat > "$work/$module.pc" <<PC
Name: $module
Description: hidapi as it was before usage pages
Version: 0.9.0
Libs: -l$module
Cflags: -I/usr/include/hidapi
PC
done
if PKG_CONFIG_PATH="$work" cmake -S "$source_dir" -B "$work/build" -DCORVANE_BUILD_TESTS=OFF \
    > "$work/log" 2>&1; then
    echo "FAIL: configured against hidapi 0.9"
    exit 1
fi
grep -q "hidapi" "$work/log" || { cat "$work/log"; echo "FAIL: the error does not name hidapi"; exit 1; }
echo "1 passed, 0 failed"
