# shellcheck shell=bash
# Checks shared by the desktop end-to-end scripts (X11 and Wayland). Sourced
# after `fail` is defined; `app_pid` is the program's process.

wait_until() { # seconds, command...: polls the command every 0.1 s
    local tenths=$(( $1 * 10 ))
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# The tray menu's "Close" was chosen: the program must end, and with code 0.
expect_program_ended_cleanly() {
    local code
    wait_until 10 bash -c "! kill -0 $app_pid 2>/dev/null" ||
        fail "the program still runs after the tray menu's Close"
    set +e
    wait "$app_pid"
    code=$?
    set -e
    app_pid=
    [ "$code" = 0 ] || fail "the program ended with $code"
}

expect_device_records() { # state folder, account ID, PIN
    step "the device got what was typed"
    [ "$(cat "$1/record.rp.psnid")" = "$2" ] || fail "account ID record: $(cat "$1/record.rp.psnid")"
    [ "$(cat "$1/record.rp.pin")" = "$3" ] || fail "PIN record: $(cat "$1/record.rp.pin")"
}
