#!/bin/sh
# Lets the user at this computer's seat open the Corvane accessory: installs the
# udev rule into /etc/udev/rules.d and applies it to what is plugged in now.
#   install-udev-rule.sh [--yes]      install (--yes: without asking first)
#   install-udev-rule.sh --remove     undo it
set -eu
self=$(readlink -f -- "$0")
rule=${self%/*}/share/70-corvane.rules
target=/etc/udev/rules.d/70-corvane.rules
reload='if command -v udevadm >/dev/null 2>&1 && [ -S /run/udev/control ]; then
    udevadm control --reload-rules && udevadm trigger --subsystem-match=hidraw
else
    echo "udev is not running here: the rule applies from the next start of the computer."
fi'

# Runs a shell script as root: directly, or through sudo or pkexec.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        /bin/sh -c "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo /bin/sh -c "$@"
    elif command -v pkexec >/dev/null 2>&1; then
        pkexec /bin/sh -c "$@"
    else
        echo "Neither sudo nor pkexec is available: run this script as root." >&2
        exit 1
    fi
}

case "${1:-}" in
--remove)
    echo "Removing $target and reloading udev's rules (as root)."
    as_root "rm -f '$target'; $reload"
    echo "Done: the accessory is no longer opened by the user at the seat."
    exit 0
    ;;
--yes | "") ;;
*)
    sed -n '2,6p' "$0"
    exit 2
    ;;
esac

cat <<TEXT
The Corvane accessory can be opened only by root until a udev rule gives the
user at this computer's seat access to it. This script will, as root (through
sudo or pkexec, which ask for your password):
  1. copy $rule
     to $target
  2. run: udevadm control --reload-rules && udevadm trigger --subsystem-match=hidraw
Then unplug and replug the accessory.
To undo it: $self --remove
     (or: sudo rm $target && sudo udevadm control --reload-rules)
TEXT
if [ "${1:-}" != --yes ]; then
    [ -t 0 ] || { echo "Not asked on a terminal: run it again with --yes." >&2; exit 2; }
    printf 'Continue? [y/N] '
    read -r answer
    case "$answer" in y | Y | yes) ;; *) echo "Nothing was changed."; exit 1 ;; esac
fi
# The rule's path is handed over as an argument, never pasted into the script.
as_root "mkdir -p /etc/udev/rules.d && install -m 0644 \"\$0\" '$target' && { $reload; }" "$rule"
echo "Installed $target."
