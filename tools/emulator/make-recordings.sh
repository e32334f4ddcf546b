#!/bin/sh
# Makes the device session recordings in tests/recordings/ afresh, from the
# emulated accessory, together with what the command showed while it was
# recorded (NAME.out, NAME.err, NAME.rc) and its arguments (NAME.args).
# ctest replays each recording and expects the same again.
#
#   tools/emulator/make-recordings.sh BUILD_DIR
set -eu
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
cli=$(cd "$1" && pwd)/corvane-cli-emulated
[ -x "$cli" ] || { echo "$0: no $cli; build the tree first" >&2; exit 2; }
out=$(cd "$(dirname "$0")/../.." && pwd)/tests/recordings
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
export XDG_RUNTIME_DIR="$work" CORVANE_CONFIG_DIR="$work/config"
unset CORVANE_EMULATOR_REPLAY CORVANE_EMULATOR_STATE_DIR QT_LOGGING_RULES || true

# A firmware image of three blocks: the alphabet over and over, so that a
# recording of it is easy to read, with a zero byte after each alphabet, so
# that it is no text file (the update refuses text without --force).
awk 'BEGIN { for (i = 0; i < 1536; i++) printf "%c", (i % 27 == 26 ? 0 : 65 + i % 27) }' \
    >"$out/sample-firmware.bin"

# record NAME FAULTS ARGUMENT...: runs corvane-cli ARGUMENT... in the
# recordings folder while recording NAME.jsonl.
record() {
    name=$1
    faults=$2
    shift 2
    rm -f "$out/$name".*
    set +e
    (cd "$out" && CORVANE_EMULATOR_FAULTS="$faults" "$cli" --record "$name.jsonl" "$@" \
        >"$name.out" 2>"$work/err")
    echo $? >"$out/$name.rc"
    set -e
    grep -v '^corvane-cli: Recording: ' "$work/err" >"$out/$name.err" || true
    printf '%s\n' "$@" >"$out/$name.args"
}

# A healthy session: the firmware update and the identification after it.
record healthy-update "" flash sample-firmware.bin
# The sixth flash read is answered 9 s late, after the backup gave up on it
# (a flash read waits 3 s, and a late one once more up to 5 s).
record late-backup late:5:9000 backup late-backup.bin
rm -f "$out/late-backup.bin"
