#!/usr/bin/env bash
# End to end in a real X server: the demo build's plug controls. The
# accessory is unplugged (SIGUSR1) in the middle of a firmware transfer, which
# must end without a success message and leave the window without a device;
# plugged back in (SIGUSR2), the next transfer succeeds. The background menu
# unplugs and plugs it too. What the accessory held at start came from the
# state folder and is still there at the end.
#   e2e_hotplug.sh <corvane-emulated binary>
set -euo pipefail

binary=$(readlink -f "$1")
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"

# Each request is answered 10 ms late, so a 128 KiB image takes about 3 s.
export CORVANE_AUTO_ANSWER=1 CORVANE_EMULATOR_REPLY_DELAY_MS=10
mkdir -p "$CORVANE_EMULATOR_STATE_DIR"
printf 'SeededAcct99' > "$CORVANE_EMULATOR_STATE_DIR/record.rp.psnid"
head -c 131072 /dev/urandom > "$work/update.bin"

wait_for_log() { # extended regular expression, seconds
    for _ in $(seq $(( $2 * 10 ))); do
        grep -Eq "$1" "$work/app.log" && return 0
        sleep 0.1
    done
    return 1
}

count_in_log() { grep -Ec "$1" "$work/app.log" || true; }

run_and_expect() { # box text (regular expression), seconds
    local before
    before=$(count_in_log "$1")
    # Away first: a synchronous move to where the pointer already is waits
    # for a motion event that never comes.
    xdotool mousemove $(( win_x + 10 )) $(( win_y + 10 ))
    click_at 530 565
    for _ in $(seq $(( $2 * 10 ))); do
        [ "$(count_in_log "$1")" -gt "$before" ] && return 0
        sleep 0.1
    done
    fail "Run did not end with: $1"
}

choose_last_background_entry() {
    xdotool mousemove --sync $(( win_x + 30 )) $(( win_y + 300 )) click 3
    sleep 0.5
    xdotool key Up Return
    sleep 0.5
}

step "start the program with a saved state"
start_program
wait_for_log "^window shown" 20 || fail "the window did not appear"
main=$(wait_for_window Corvane 10) || fail "no window named Corvane"
window_geometry "$main"
win_x=$X win_y=$Y

step "load a 128 KiB image"
load_image_through_dialog "$work/update.bin"

step "unplug (SIGUSR1) during the transfer"
click_at 530 565
wait_for_log "^Enter slotUpdateRuningFW" 20 || fail "the transfer did not start"
kill -USR1 "$app_pid"
wait_for_log "dialog: Warning: Firmware update (stopped|failed)" 20 ||
    fail "an interrupted transfer was not reported"
grep -q "Download firmware successfully" "$work/app.log" &&
    fail "an interrupted transfer was reported as a success"
run_and_expect "dialog: Warning: Not connected device!" 10

step "plug in again (SIGUSR2); the next transfer succeeds"
kill -USR2 "$app_pid"
sleep 0.5
run_and_expect "dialog: Success: Download firmware successfully!" 30

step "unplug and plug in through the background menu"
choose_last_background_entry
run_and_expect "dialog: Warning: Not connected device!" 10
choose_last_background_entry
run_and_expect "dialog: Success: Download firmware successfully!" 30

step "close; the state folder holds the restored record and the new image"
click_at 30 300
xdotool key Escape
for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "the program did not end on Escape"
app_pid=
[ "$(cat "$CORVANE_EMULATOR_STATE_DIR/record.rp.psnid")" = "SeededAcct99" ] ||
    fail "the saved account ID was not read at start"
cmp "$work/update.bin" "$CORVANE_EMULATOR_STATE_DIR/firmware.bin" ||
    fail "the accessory does not hold the image"
echo "1 passed, 0 failed"
