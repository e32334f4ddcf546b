#!/usr/bin/env bash
# Keeps the layers apart:
#   - no core file (device/, firmware/, account/, readback/, common/ but the
#     MainWindow*.cpp window glue and the WorkerThreadFor* threads; and
#     app/SingleInstance) includes ui/ or a header of Qt Gui or Qt Widgets;
#   - the core libraries (linked into `probe` without --as-needed, so every
#     library they bring shows) and corvane-cli load no Qt Gui or Qt Widgets.
#   check_layering.sh <source folder> <probe> <corvane-cli> <Qt Gui and Widgets include folders...>
set -u
source_dir=$1 probe=$2 cli=$3
shift 3
failed=0

core_files() {
    (cd "$source_dir" && find device firmware account readback common app -type f \
        \( -name '*.cpp' -o -name '*.h' \) ! -name 'MainWindow*' ! -name 'WorkerThreadFor*' \
        ! -path 'app/Application*' ! -path 'app/main.cpp' | sort)
}

gui_header() {
    local header=$1 dir
    for dir in "${gui_dirs[@]}"; do
        [ -e "$dir/$header" ] && return 0
    done
    return 1
}

# The include folders arrive as CMake lists; only QtGui and QtWidgets count
# (the lists also hold Qt's top folder and QtCore).
gui_dirs=()
for list in "$@"; do
    IFS=';' read -r -a dirs <<< "$list"
    for dir in "${dirs[@]}"; do
        case "$(basename "$dir")" in QtGui | QtWidgets) [ -d "$dir" ] && gui_dirs+=("$dir") ;; esac
    done
done
[ ${#gui_dirs[@]} -gt 0 ] || { echo "FAIL: no Qt Gui or Widgets include folder given"; exit 1; }

while read -r file; do
    while read -r header; do
        case "$header" in
        \"ui/*)
            echo "FAIL: $file includes $header"; failed=1 ;;
        \<*\>)
            name=${header#<}; name=${name%>}
            if gui_header "$name"; then echo "FAIL: $file includes $header (Qt Gui or Widgets)"; failed=1; fi ;;
        esac
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*\([<"][^>"]*[>"]\).*/\1/p' "$source_dir/$file")
done < <(core_files)

for binary in "$probe" "$cli"; do
    if ldd "$binary" | grep -E 'libQt[0-9]+(Gui|Widgets)'; then
        echo "FAIL: $(basename "$binary") loads Qt Gui or Widgets"
        failed=1
    fi
done

[ "$failed" -eq 0 ] && echo "layers kept: $(core_files | wc -l) core files, the core libraries and corvane-cli without Qt Gui and Widgets"
exit "$failed"
