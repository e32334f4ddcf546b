#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and checks the layout, the udev
# rule and AppStream ids against the id lists in the device code, and the
# desktop and AppStream files with their validators.
#   check_install.sh <build dir> <source dir> <resolver folder relative to the prefix>
#                    [ON|OFF: corvane-cli's manual page was built]
set -uo pipefail

build_dir=$1
source_dir=$2
psnid_folder=$3
resolver_modules=(PSNID.py psnid_settings.py psnid_transport.py)
cli_manpage=${4:-ON}
app_id=org.corvane.Corvane
icon_sizes=(16 24 32 48 64 128 256)
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for tool in desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool is not installed (Debian packages desktop-file-utils, appstream)"
        exit 1
    fi
done

stage=$(mktemp -d /tmp/corvane-install-check.XXXXXX)
trap 'rm -rf "$stage"' EXIT
if ! cmake --install "$build_dir" --prefix "$stage" >"$stage.log" 2>&1; then
    cat "$stage.log"
    rm -f "$stage.log"
    echo "FAIL: cmake --install $build_dir"
    exit 1
fi
rm -f "$stage.log"

# Exactly these files: nothing missing, and no stray installs (the emulated
# demo build, test helpers, static libraries).
expected_files() {
    echo bin/corvane
    echo bin/corvane-cli
    [ "$cli_manpage" = OFF ] || echo share/man/man1/corvane-cli.1.gz
    echo share/bash-completion/completions/corvane-cli
    for module in "${resolver_modules[@]}"; do echo "$psnid_folder/$module"; done
    echo lib/udev/rules.d/70-corvane.rules
    echo share/doc/corvane/copyright
    echo share/doc/corvane/changelog.gz
    echo share/man/man1/corvane.1.gz
    echo "share/applications/$app_id.desktop"
    echo "share/metainfo/$app_id.metainfo.xml"
    for size in "${icon_sizes[@]}"; do
        echo "share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    done
}
layout_diff=$(diff <(expected_files | sort) <(cd "$stage" && find . -type f -o -type l | sed 's|^\./||' | sort))
[ -z "$layout_diff" ] || fail "installed files differ from the expected layout (< missing, > unexpected):
$layout_diff"

[ -x "$stage/bin/corvane" ] || fail "bin/corvane is not executable"
[ -x "$stage/bin/corvane-cli" ] || fail "bin/corvane-cli is not executable"
[ "$cli_manpage" = OFF ] ||
    zcat "$stage/share/man/man1/corvane-cli.1.gz" 2>/dev/null | grep -q '^\.SH "EXIT STATUS"\|Exit status' ||
    fail "the corvane-cli manual page does not carry the exit codes"
bash -n "$stage/share/bash-completion/completions/corvane-cli" ||
    fail "the bash completion file does not parse"
for module in "${resolver_modules[@]}"; do
    cmp -s "$source_dir/account/python/$module" "$stage/$psnid_folder/$module" ||
        fail "installed $module differs from account/python/$module"
done

png_size() { # width x height from the IHDR chunk
    od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8 }'
}
for size in "${icon_sizes[@]}"; do
    icon="$stage/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    [ -f "$icon" ] || continue
    actual=$(png_size "$icon")
    [ "$actual" = "${size}x${size}" ] || fail "icon in ${size}x${size} is $actual"
done

# Vendor/product pairs as lower-case "vvvv:pppp": those the session opens, and
# those besides that the hot-plug code watches. The metainfo covers both; the
# udev rule grants access only to what the program opens.
opened_pairs() {
    local opened
    opened=$(grep -oE '\{0x[0-9A-Fa-f]{4}, *0x[0-9A-Fa-f]{4}\}' "$source_dir/device/AccessoryIds.h" |
        sed -E 's/\{0x(....), *0x(....)\}/\1:\2/')
    [ -n "$opened" ] || echo "could-not-read-AccessoryIds.h"
    printf '%s\n' "$opened" | tr 'A-F' 'a-f' | sed '/^$/d' | sort -u
}
code_pairs() {
    local watched
    watched=$(grep -oE 'VID_[0-9A-Fa-f]{4}&PID_[0-9A-Fa-f]{4}' "$source_dir/device/AccessoryIds.h" |
        sed -E 's/VID_(....)&PID_(....)/\1:\2/')
    [ -n "$watched" ] || echo "could-not-read-AccessoryIds.h"
    { opened_pairs; printf '%s\n' "$watched" | tr 'A-F' 'a-f'; } | sed '/^$/d' | sort -u
}

rule="$stage/lib/udev/rules.d/70-corvane.rules"
if [ -f "$rule" ]; then
    rule_line='^SUBSYSTEM=="hidraw", ATTRS\{idVendor\}=="[0-9a-f]{4}", ATTRS\{idProduct\}=="[0-9a-f]{4}", TAG\+="uaccess"$'
    malformed=$(grep -vE '^(#|$)' "$rule" | grep -vE "$rule_line")
    [ -z "$malformed" ] || fail "udev rule lines not of the expected form:
$malformed"
    rule_diff=$(diff <(opened_pairs) \
        <(grep -oE 'idVendor\}=="[^"]*", ATTRS\{idProduct\}=="[^"]*"' "$rule" |
            sed -E 's/.*=="(.*)".*=="(.*)"/\1:\2/' | sort))
    [ -z "$rule_diff" ] || fail "udev rule ids differ from the pairs the program opens (< code, > rule):
$rule_diff"
fi

metainfo="$stage/share/metainfo/$app_id.metainfo.xml"
desktop="$stage/share/applications/$app_id.desktop"
if [ -f "$metainfo" ]; then
    modalias_diff=$(diff <(code_pairs) \
        <(grep -oE '<modalias>usb:v[0-9A-F]{4}p[0-9A-F]{4}d\*</modalias>' "$metainfo" |
            sed -E 's/.*usb:v(....)p(....).*/\1:\2/' | tr 'A-F' 'a-f' | sort))
    [ -z "$modalias_diff" ] || fail "metainfo modaliases differ from the device code (< code, > metainfo):
$modalias_diff"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "metainfo does not launch $app_id.desktop"
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate --no-net"
fi

if [ -f "$desktop" ]; then
    exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$stage/bin/$exec_program" ] || fail "desktop Exec=$exec_program is not an installed program"
    icon_name=$(sed -n 's/^Icon=//p' "$desktop")
    [ "$icon_name" = "$app_id" ] || fail "desktop Icon=$icon_name, the installed icons are $app_id"
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "install layout, udev rule, desktop file and metainfo: all checks passed"
