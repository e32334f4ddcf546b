#!/bin/sh
# Adds Corvane to your own application menu, started from this folder: the
# desktop entry into ~/.local/share/applications and the icon into
# ~/.local/share/icons. Needs no root. Run it again after moving the folder.
#   install-desktop-entry.sh            add (or update) the entry
#   install-desktop-entry.sh --remove   take it out again
set -eu
self=$(readlink -f -- "$0")
folder=${self%/*}
data=${XDG_DATA_HOME:-$HOME/.local/share}
id=org.corvane.Corvane
entry=$data/applications/$id.desktop

refresh_menus() {
    if command -v update-desktop-database >/dev/null 2>&1; then
        update-desktop-database -q "$data/applications" 2>/dev/null || true
    fi
}

case "${1:-}" in
--remove)
    rm -f "$entry"
    find "$data/icons/hicolor" -path "*/apps/$id.png" -delete 2>/dev/null || true
    refresh_menus
    echo "Removed $entry and its icons."
    exit 0
    ;;
"") ;;
*)
    sed -n '2,7p' "$0"
    exit 2
    ;;
esac

# The program's path as one quoted argument of Exec: \ " ` $ escaped inside
# the quotes, then every \ doubled again as the entry's string value needs,
# and % written %%.
quoted=$(printf '%s' "$folder/corvane" |
    sed -e 's/[\\"`$]/\\&/g' -e 's/\\/\\\\/g' -e 's/%/%%/g')
mkdir -p "$data/applications"
sed -e "s|^Exec=.*|Exec=\"$(printf '%s' "$quoted" | sed 's/[|&\\]/\\&/g')\"|" \
    "$folder/share/$id.desktop" >"$entry.new"
mv "$entry.new" "$entry"
for icon in "$folder"/share/icons/hicolor/*/apps/"$id".png; do
    size=$(basename "$(dirname "$(dirname "$icon")")")
    mkdir -p "$data/icons/hicolor/$size/apps"
    cp "$icon" "$data/icons/hicolor/$size/apps/"
done
refresh_menus
echo "Added Corvane to your applications menu ($entry)."
echo "It starts $folder/corvane; run this script again if you move the folder."
