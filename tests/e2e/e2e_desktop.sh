#!/usr/bin/env bash
# End to end on a real desktop: an X server with a window manager (openbox) and
# a system-tray host (trayer) in a panel at the top. A drag of the background
# moves the window, typing reaches both fields and the device, the message
# boxes open in front of the window, the tray icon hides and shows the window
# where it was, and the tray menu's "Close" ends the program while it is hidden.
#   e2e_desktop.sh <corvane-emulated binary> [screenshot output]
set -euo pipefail

binary=$(readlink -f "$1")
screenshot=${2:-}
E2E_SCREEN=1024x800x24
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
# The tray icon must use the X11 tray protocol that trayer hosts.
unset DBUS_SESSION_BUS_ADDRESS

for tool in openbox trayer xprop; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# Client windows from bottom to top, as the window manager stacks them.
stacking_order() {
    xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //; s/, /\n/g' |
        while read -r id; do printf '%d\n' "$id"; done
}

# True when window $2 is stacked above window $1.
stacked_above() {
    local order below above
    order=$(stacking_order)
    below=$(grep -nx "$1" <<<"$order" | cut -d: -f1)
    above=$(grep -nx "$2" <<<"$order" | cut -d: -f1)
    [ -n "$below" ] && [ -n "$above" ] && [ "$above" -gt "$below" ]
}

main_window_visible() {
    xdotool search --onlyvisible --name '^Corvane$' >/dev/null 2>&1
}

# shellcheck source=tests/e2e/checks.sh
source "$(dirname "$0")/checks.sh"

# Answers a box with the keyboard, as a user would: it must have the focus.
answer_box() { # title key
    local box
    box=$(wait_for_window "$1" 20) || fail "no \"$1\" box"
    stacked_above "$main" "$box" || fail "the \"$1\" box opened behind the window"
    sleep 0.3
    xdotool key "$2"
    wait_until 10 bash -c "! xdotool search --onlyvisible --name '^$1\$' >/dev/null 2>&1" ||
        fail "the \"$1\" box did not take the key $2"
}

step "start openbox and trayer"
openbox --sm-disable > "$work/openbox.log" 2>&1 &
background_pids+=($!)
wait_until 30 bash -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" ||
    fail "openbox did not start: $(cat "$work/openbox.log")"
trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
    --SetPartialStrut true --transparent false --tint 0x303030 > "$work/trayer.log" 2>&1 &
background_pids+=($!)
tray_shown() { xdotool search --onlyvisible --class trayer >/dev/null 2>&1; }
wait_until 30 tray_shown || fail "trayer did not start: $(cat "$work/trayer.log")"
sleep 0.5 # the panel shows once its tray has taken the tray selection

step "start the program"
start_program
main=$(wait_for_window Corvane 20) || fail "the window did not appear"
window_geometry "$main"
win_x=$X win_y=$Y
[ "$WIDTH" = 656 ] && [ "$HEIGHT" = 710 ] || fail "window is ${WIDTH}x${HEIGHT}, not 656x710"

step "find the tray icon"
tray=$(xdotool search --class trayer | head -n1)
icon_x='' icon_y=''
find_icon() {
    local id
    for id in $(xdotool search --pid "$app_pid" 2>/dev/null); do
        [ "$id" = "$main" ] && continue
        window_geometry "$id" 2>/dev/null || continue
        # The icon is embedded in trayer's panel at the top of the screen.
        if [ "$Y" -le 32 ] && [ "$WIDTH" -le 64 ] && [ "$WIDTH" -ge 8 ]; then
            icon_x=$(( X + WIDTH / 2 )) icon_y=$(( Y + HEIGHT / 2 ))
            return 0
        fi
    done
    return 1
}
wait_until 30 find_icon || fail "no tray icon in trayer's panel (trayer window $tray)"

step "a drag of the background moves the window by the drag's distance"
sleep 2 # the window manager has placed the window and told the program
# Slowly: the window manager takes the move over only once the program has
# handled the press.
xdotool mousemove --sync $(( win_x + 30 )) $(( win_y + 300 ))
sleep 0.3
xdotool mousedown 1
sleep 0.5
xdotool mousemove --sync $(( win_x + 80 )) $(( win_y + 295 ))
sleep 0.2
xdotool mousemove --sync $(( win_x + 130 )) $(( win_y + 290 ))
sleep 0.3
xdotool mouseup 1
sleep 0.5
window_geometry "$main"
# (Clear of the screen's edges, where openbox holds a window back.)
[ "$X,$Y" = "$(( win_x + 100 )),$(( win_y - 10 ))" ] ||
    fail "a drag by (100,-10) from ($win_x,$win_y) left the window at ($X,$Y)"
win_x=$X win_y=$Y

step "type an account ID and a PIN with the keyboard"
click_at 358 253
xdotool key ctrl+a
xdotool type --delay 30 "DesktopId77"
click_at 358 333
xdotool key ctrl+a
xdotool type --delay 30 "1357"
sleep 0.3
[ -n "$screenshot" ] && import -window root "$screenshot"

step "save; the box opens in front of the window and takes the keyboard"
click_at 332 404
answer_box Success Return

step "the Exit box opens in front too; No keeps the program"
click_at 628 20
answer_box Exit Escape # Escape answers No
main_window_visible || fail "answering the Exit box closed the window"

step "a click on the tray icon hides the window, a second shows it"
# (--sync would wait for a move that never comes when the pointer is there already)
xdotool mousemove --sync "$icon_x" "$icon_y" click 1
wait_until 10 bash -c "! xdotool search --onlyvisible --name '^Corvane\$' >/dev/null 2>&1" ||
    fail "a click on the tray icon did not hide the window"
sleep 1 # two clicks in quick succession would be a double click
xdotool click 1
wait_until 10 main_window_visible || fail "a second click on the tray icon did not show the window"
sleep 0.3
window_geometry "$main"
[ "$X,$Y" = "$win_x,$win_y" ] ||
    fail "the window hidden at ($win_x,$win_y) came back at ($X,$Y)"

step "hide it again; the tray menu's Close ends the program"
sleep 1
xdotool click 1
wait_until 10 bash -c "! xdotool search --onlyvisible --name '^Corvane\$' >/dev/null 2>&1" ||
    fail "the window did not hide"
xdotool click 3
sleep 0.8
# The menu reads "Close", "Show/Hide": the first entry.
xdotool key Down Return
expect_program_ended_cleanly
expect_device_records "$work/state" DesktopId77 1357
echo "1 passed, 0 failed"
