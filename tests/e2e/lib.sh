# shellcheck shell=bash
# Shared by the end-to-end scripts: sourced after `binary` is set. Re-runs the
# script under xvfb-run when no display is set, makes a work folder that goes
# away at the end, and gives the program a guard key, a runtime folder, a
# configuration folder and an emulator state folder of its own, so that no
# other copy of the program on the machine interferes.
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 ${E2E_SCREEN:-1024x800x24}" "$0" "$@"
fi

work=$(mktemp -d)
app_pid=
background_pids=()
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
    for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    [ -f "$work/app.log" ] && { echo "program output:"; tail -n 30 "$work/app.log"; }
    exit 1
}
step() { echo "--- $*"; }

# Qt's own dialogs, the same on every desktop.
export QT_QPA_PLATFORMTHEME='' QT_QPA_PLATFORM=xcb
export CORVANE_EMULATOR_STATE_DIR="$work/state" CORVANE_CONFIG_DIR="$work/config"
CORVANE_INSTANCE_KEY="corvane-e2e-${work##*/}" XDG_RUNTIME_DIR="$work/runtime"
export CORVANE_INSTANCE_KEY XDG_RUNTIME_DIR
mkdir -m 700 "$XDG_RUNTIME_DIR"

wait_for_window() { # name, seconds → window id
    local id
    for _ in $(seq $(( $2 * 10 ))); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

click_at() { # x y relative to the main window's corner (win_x, win_y)
    xdotool mousemove --sync $(( win_x + $1 )) $(( win_y + $2 )) click 1
}

# Sets X Y WIDTH HEIGHT of a window.
window_geometry() {
    local SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
}

# Starts the program under test in the work folder; its output goes to app.log.
start_program() {
    (cd "$work" && exec "$binary") > "$work/app.log" 2>&1 &
    app_pid=$!
}
