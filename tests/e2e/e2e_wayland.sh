#!/usr/bin/env bash
# End to end on a Wayland desktop: a headless sway with its tiling default, a
# pointer through the compositor's virtual-pointer protocol, keys through
# wtype, and a D-Bus tray (StatusNotifierItem) hosted by a panel of the test's
# own on a private session bus. The window keeps its fixed size and floats, a
# drag of the background moves it, typing reaches both fields and the device, a
# message box opens in front of the window, the tray icon hides and shows it,
# and the tray menu's "Close" ends the hidden program with code 0.
#   e2e_wayland.sh <corvane-emulated binary> <pointer tool> [screenshot output]
# Exits 77 (skipped) when the pointer tool could not be built.
set -euo pipefail

binary=$(readlink -f "$1")
pointer_tool=${2:-}
screenshot=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3

if [ ! -x "$pointer_tool" ]; then
    echo "SKIP: the virtual-pointer tool was not built (wayland-client or wayland-scanner missing)"
    exit 77
fi

work=$(mktemp -d)
pids=()
app_pid=
# Each background process leads a process group of its own (started through
# setsid, which needs no fork here), so that ending the group also ends what it
# started; the script waits until none is left.
cleanup() {
    [ -n "$app_pid" ] && kill -- -"$app_pid" 2>/dev/null || true
    local i
    for (( i = ${#pids[@]} - 1; i >= 0; i-- )); do kill -- -"${pids[i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for i in "$app_pid" "${pids[@]}"; do
        [ -n "$i" ] && pgrep -g "$i" >/dev/null && { kill -KILL -- -"$i" 2>/dev/null || true; }
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    [ -f "$work/app.log" ] && { echo "program output:"; tail -n 30 "$work/app.log"; }
    [ -f "$work/sway.log" ] && { echo "sway output:"; tail -n 15 "$work/sway.log"; }
    exit 1
}
step() { echo "--- $*"; }

# shellcheck source=tests/e2e/checks.sh
source "$(dirname "$0")/checks.sh"

for tool in sway swaymsg grim wtype jq dbus-daemon setpriv; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done
"$python" -c 'import gi; gi.require_version("Gio", "2.0")' 2>/dev/null ||
    fail "python3-gi is not installed"

# sway refuses to run as root: as root, everything on this desktop runs as an
# unprivileged user id of its own that no account and no group uses (setpriv
# needs no account, and the machine's accounts stay as they are), from copies
# in the work folder.
run_as=()
owner=
if [ "$(id -u)" -eq 0 ]; then
    uid=64990
    while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do
        uid=$(( uid - 1 ))
    done
    owner=$uid:$uid
    chown "$owner" "$work"
    # The session bus wants a name for its user: given by nss_wrapper, not
    # by the machine's account files.
    nss_wrapper=$(compgen -G "/usr/lib/*/libnss_wrapper.so" | head -n1) ||
        fail "libnss-wrapper is not installed"
    echo "corvane-e2e:x:$uid:$uid::$work/home:/bin/false" > "$work/passwd"
    echo "corvane-e2e:x:$uid:" > "$work/group"
    # A sanitizer build wants its runtime first; the preloaded nss_wrapper
    # comes before it here, which it is told to accept.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
    run_as=(env LD_PRELOAD="$nss_wrapper" NSS_WRAPPER_PASSWD="$work/passwd"
        NSS_WRAPPER_GROUP="$work/group" setpriv --reuid="$uid" --regid="$uid" --clear-groups --)
fi
chmod 700 "$work"
as_user() { "${run_as[@]}" "$@"; }

as_user mkdir -p "$work/bin" "$work/home" "$work/state" "$work/config"
as_user mkdir -m 700 "$work/runtime"
# The program with its resolver folder, the pointer tool and the panel.
cp "$binary" "$pointer_tool" "$here/wayland/sni_panel.py" "$work/bin/"
[ -d "$(dirname "$binary")/Python37" ] && cp -r "$(dirname "$binary")/Python37" "$work/bin/"
[ -z "$owner" ] || chown -R "$owner" "$work/bin"
program=$work/bin/$(basename "$binary")
pointer=$work/bin/$(basename "$pointer_tool")

unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS SWAYSOCK
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/home/.config
export XDG_CACHE_HOME=$work/home/.cache
export CORVANE_EMULATOR_STATE_DIR=$work/state CORVANE_CONFIG_DIR=$work/config
export CORVANE_INSTANCE_KEY="corvane-e2e-${work##*/}"

step "start a headless sway with a fixed output"
screen_w=1280 screen_h=1024
cat > "$work/sway.config" <<CONFIG
output HEADLESS-1 resolution ${screen_w}x${screen_h} position 0 0
xwayland disable
CONFIG
chmod 644 "$work/sway.config"
WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    setsid "${run_as[@]}" sway -c "$work/sway.config" > "$work/sway.log" 2>&1 &
pids+=($!)
sway_socket() { compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" >/dev/null &&
    compgen -G "$XDG_RUNTIME_DIR/wayland-*.lock" >/dev/null; }
wait_until 30 sway_socket || fail "sway did not start"
SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" | head -n1)
WAYLAND_DISPLAY=$(basename "$(compgen -G "$XDG_RUNTIME_DIR/wayland-*.lock" | head -n1)" .lock)
export SWAYSOCK WAYLAND_DISPLAY
wait_until 10 bash -c 'swaymsg -t get_outputs >/dev/null 2>&1' || fail "sway does not answer"

step "start a session bus and a tray panel on it"
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/runtime/bus
export DBUS_SESSION_BUS_ADDRESS
setsid "${run_as[@]}" dbus-daemon --session --nofork --nopidfile \
    --address="$DBUS_SESSION_BUS_ADDRESS" > "$work/dbus.log" 2>&1 &
pids+=($!)
wait_until 10 test -S "$work/runtime/bus" || fail "the session bus did not start"
setsid "${run_as[@]}" "$python" "$work/bin/sni_panel.py" watch "$work/runtime/items" \
    > "$work/panel.log" 2>&1 &
pids+=($!)
wait_until 10 grep -q "watcher ready" "$work/panel.log" || fail "the panel did not start: $(cat "$work/panel.log")"

tree() { swaymsg -t get_tree; }
# The node of the window titled $1, as JSON, or nothing.
node() { tree | jq -c --arg name "$1" 'first(.. | objects | select(.name? == $name and (.type == "con" or .type == "floating_con")))'; }
visible() { [ -n "$(node "$1")" ]; }
hidden() { ! visible "$1"; }
# Sets X Y WIDTH HEIGHT of the window titled $1 (its content, without borders).
window_geometry() {
    local json
    json=$(node "$1")
    [ -n "$json" ] || return 1
    eval "$(jq -r '"X=\(.rect.x + .window_rect.x) Y=\(.rect.y + .window_rect.y) WIDTH=\(.window_rect.width) HEIGHT=\(.window_rect.height)"' <<<"$json")"
}
pointer() { as_user "$pointer" <<<"extent $screen_w $screen_h
$*"; }
click_at() { # x y relative to the main window's corner
    pointer "move $(( win_x + $1 )) $(( win_y + $2 ))
sleep 100
click
sleep 100"
}
# One call per text: a fresh virtual keyboard can lose its first key while the
# compositor reads its keymap, so every call starts with a harmless one and
# a pause.
keys() { as_user wtype -k End -s 300 "$@"; }
tray() { as_user "$python" "$work/bin/sni_panel.py" "$@"; }

step "start the program"
QT_QPA_PLATFORM=wayland QT_QPA_PLATFORMTHEME='' QT_WAYLAND_DISABLE_WINDOWDECORATION=1 \
    setsid "${run_as[@]}" "$program" > "$work/app.log" 2>&1 &
app_pid=$!
wait_until 30 visible Corvane || fail "the window did not appear"
sleep 0.5
window_geometry Corvane
win_x=$X win_y=$Y
[ "$WIDTH" = 656 ] && [ "$HEIGHT" = 710 ] || fail "window is ${WIDTH}x${HEIGHT}, not 656x710"
[ "$(node Corvane | jq -r .type)" = floating_con ] || fail "the window is tiled, not floating"

step "a drag of the background moves the window by the drag's distance"
pointer "move $(( win_x + 30 )) $(( win_y + 300 ))
sleep 100
down
sleep 100
move $(( win_x + 60 )) $(( win_y + 320 ))
sleep 50
move $(( win_x + 110 )) $(( win_y + 345 ))
sleep 50
move $(( win_x + 130 )) $(( win_y + 350 ))
sleep 100
up
sleep 100"
window_geometry Corvane
[ "$X,$Y" = "$(( win_x + 100 )),$(( win_y + 50 ))" ] ||
    fail "a drag by (100,50) from ($win_x,$win_y) left the window at ($X,$Y)"
win_x=$X win_y=$Y

step "type an account ID and a PIN with the keyboard"
click_at 358 253
keys -M ctrl a -m ctrl "WaylandId42" -k Tab -M ctrl a -m ctrl "2468"
sleep 0.3

step "save; the box opens in front of the window and takes the keyboard"
click_at 332 404
wait_until 20 visible Success || fail "no \"Success\" box"
sleep 0.5
[ "$(node Success | jq -r .focused)" = true ] || fail "the \"Success\" box does not have the focus"
order=$(tree | jq -r '[.. | objects | select(.floating_nodes?) | .floating_nodes[] | .name] | join(",")')
[[ "$order" == *Corvane*Success* ]] || fail "the \"Success\" box is not stacked above the window: $order"
[ -n "$screenshot" ] && as_user grim "$work/shot.png" && cp "$work/shot.png" "$screenshot"
keys -k Return
wait_until 10 hidden Success || fail "the \"Success\" box did not take Return"

step "the tray menu reads Close, Show/Hide; a click on the icon hides the window, a second shows it"
wait_until 10 test -s "$work/runtime/items" || fail "the program put no icon into the tray"
tray activate "$work/runtime/items" || fail "activating the tray icon failed"
wait_until 10 hidden Corvane || fail "a click on the tray icon did not hide the window"
tray activate "$work/runtime/items" || fail "activating the tray icon failed"
wait_until 10 visible Corvane || fail "a second click on the tray icon did not show the window"
sleep 0.5
window_geometry Corvane
[ "$WIDTH" = 656 ] && [ "$HEIGHT" = 710 ] || fail "window shown again is ${WIDTH}x${HEIGHT}"
echo "hidden at ($win_x,$win_y), the compositor shows it again at ($X,$Y)"

step "hide it again; the tray menu's Close ends the program"
tray activate "$work/runtime/items"
wait_until 10 hidden Corvane || fail "the window did not hide"
labels=$(tray menu "$work/runtime/items" Close) || fail "the tray menu has no Close: $labels"
[ "$(echo $labels)" = "Close Show/Hide" ] || fail "the tray menu reads: $(echo $labels)"
expect_program_ended_cleanly
expect_device_records "$work/state" WaylandId42 2468
echo "1 passed, 0 failed"
