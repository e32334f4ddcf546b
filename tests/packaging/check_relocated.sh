#!/usr/bin/env bash
# Installs the build into a scratch prefix, moves the installed tree elsewhere,
# and presses Paste in the moved program under Xvfb: the resolver module must be
# found beside the moved program (../share/corvane/python) and turn the copied
# redirect address into the account ID served by a loopback sign-in server.
#   check_relocated.sh <build dir> <source dir>
set -euo pipefail

build_dir=$(readlink -f "$1")
source_dir=$(readlink -f "$2")
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x800x24" "$0" "$@"
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$work/app.log" ] && cat "$work/app.log"; exit 1; }

cmake --install "$build_dir" --prefix "$work/first" >/dev/null || fail "cmake --install"
mv "$work/first" "$work/moved"
echo "installed into $work/first, moved to $work/moved"

# The loopback sign-in server; its first line is its host:port.
/usr/bin/python3 -c '
import sys
sys.path.insert(0, sys.argv[1])
from fake_signin_server import FakeSignInServer
server = FakeSignInServer((200, {"access_token": "t"}), (200, {"user_id": "1"})).start()
print(server.host, flush=True)
import time
time.sleep(600)
' "$source_dir/tests/python" > "$work/server.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/server.out" ] && break; sleep 0.1; done
host=$(head -n1 "$work/server.out")
[ -n "$host" ] || fail "the sign-in server did not start"

redirect="https://redirect.example.net/remoteplay/redirect?code=abc"
printf '%s' "$redirect" | xclip -quiet -selection clipboard >/dev/null 2>&1 &
pids+=($!)
# xclip owns the clipboard only once it has started; on a busy machine that
# can come after the program's window.
for _ in $(seq 100); do
    [ "$(xclip -selection clipboard -o 2>/dev/null || true)" = "$redirect" ] && break
    sleep 0.1
done

cd "$work" # no Python37 folder here: only the installed module can answer
CORVANE_AUTH_HOST="http://$host" CORVANE_REDIRECT_HOST=redirect.example.net \
    CORVANE_CLIENT_SECRET=secret no_proxy='*' CORVANE_CONFIG_DIR="$work/config" \
    CORVANE_INSTANCE_KEY="corvane-relocated-$(basename "$work")" \
    QT_QPA_PLATFORM=xcb QT_QPA_PLATFORMTHEME= "$work/moved/bin/corvane" > "$work/app.log" 2>&1 &
pids+=($!)

main=
for _ in $(seq 200); do
    main=$(xdotool search --onlyvisible --name '^Corvane$' 2>/dev/null | head -n1 || true)
    [ -n "$main" ] && break
    sleep 0.1
done
[ -n "$main" ] || fail "the moved program showed no window"
eval "$(xdotool getwindowgeometry --shell "$main")"
click_at() { xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1; }

click_at 398 190 # Paste
# The account ID field is read back through the clipboard until it holds the
# answer; a box ends the wait as a failure.
id=
for _ in $(seq 30); do
    sleep 1
    for title in Error "Copy Error" Copy; do
        xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1 && fail "Paste ended with the \"$title\" box"
    done
    click_at 358 253
    xdotool key ctrl+a ctrl+c
    sleep 0.5
    id=$(xclip -selection clipboard -o 2>/dev/null || true)
    [ "$id" = "AQAAAAAAAAA=" ] && break
done
[ "$id" = "AQAAAAAAAAA=" ] || fail "the account ID field holds \"$id\" after Paste"
echo "the moved program resolved the pasted address to $id"
