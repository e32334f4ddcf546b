#!/usr/bin/env bash
# End to end in a real X server: drives the emulated build with real input
# events, the way a person would, and checks what the emulated accessory got.
#   e2e_test.sh <corvane-emulated binary> [screenshot output]
# Runs itself under xvfb-run when no display is set.
set -euo pipefail

binary=$(readlink -f "$1")
screenshot=${2:-}
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"

press_enter_in() { # window id: point at it (keyboard focus follows the pointer) and press Enter
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove --sync $(( X + WIDTH / 2 )) $(( Y + 5 ))
    xdotool windowfocus --sync "$1" 2>/dev/null || true
    xdotool key Return
}

head -c 8192 /dev/urandom > "$work/update.bin"
cd "$work"

step "start the program"
start_program
main=$(wait_for_window Corvane 20) || fail "the window did not appear"
eval "$(xdotool getwindowgeometry --shell "$main")"
win_x=$X win_y=$Y
[ "$WIDTH" = 656 ] && [ "$HEIGHT" = 710 ] || fail "window is ${WIDTH}x${HEIGHT}, not 656x710"

step "load a firmware image through the file dialog"
click_at 169 567
dialog=$(wait_for_window "select bin file" 10) || fail "no file dialog"
sleep 0.5
xdotool windowfocus --sync "$dialog" 2>/dev/null || true
xdotool type --delay 20 "$work/update.bin"
xdotool key Return
sleep 0.5
xdotool search --onlyvisible --name "^select bin file\$" >/dev/null 2>&1 && fail "file dialog still open"

step "run the update and confirm the success box"
click_at 530 565
box=$(wait_for_window Success 60) || fail "no Success box after Run"
[ -n "$screenshot" ] && import -window root "$screenshot"
press_enter_in "$box"
sleep 1

step "type an account ID and a PIN, then save"
click_at 358 253
xdotool key ctrl+a
xdotool type --delay 20 "E2eAccountId42"
click_at 358 333
xdotool key ctrl+a
xdotool type --delay 20 "2468"
click_at 332 404
box=$(wait_for_window Success 20) || fail "no Success box after Save"
press_enter_in "$box"
sleep 0.5

step "a second start is refused"
set +e
"$binary" > "$work/second.log" 2>&1 &
second=$!
tips=$(wait_for_window tips 20) || fail "no tips box for the second start"
press_enter_in "$tips"
wait "$second"
code=$?
set -e
[ "$code" = 255 ] || fail "second start exited with $code, not -1"

step "close the program (Escape) and check what the accessory received"
click_at 30 300
xdotool key Escape
for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "the program did not end on Escape"
app_pid=
cmp "$work/update.bin" "$work/state/firmware.bin" || fail "the device did not receive the image byte for byte"
[ "$(cat "$work/state/record.rp.psnid")" = "E2eAccountId42" ] || fail "account ID record: $(cat "$work/state/record.rp.psnid")"
[ "$(cat "$work/state/record.rp.pin")" = "2468" ] || fail "PIN record: $(cat "$work/state/record.rp.pin")"
echo "1 passed, 0 failed"
