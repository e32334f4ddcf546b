#!/usr/bin/env bash
# Parses every source file with Windows code using the mingw-w64 cross
# compiler against the Qt 6 headers, so that code behind Q_OS_WIN (which no
# Linux build ever compiles) cannot rot unnoticed. Only syntax and types are
# checked (-fsyntax-only); nothing is linked. Fails if any file does not parse.
#   tools/check-windows.sh [FILE...]   (default: every file with Windows code)
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=${CORVANE_MINGW_CXX:-x86_64-w64-mingw32-g++}
qt=${CORVANE_QT6_INCLUDE:-$(pkg-config --variable=includedir Qt6Core 2>/dev/null ||
    echo /usr/include/x86_64-linux-gnu/qt6)}
python_headers=$(pkg-config --variable=includedir python3-embed 2>/dev/null || echo /usr/include)
python_version=$(pkg-config --modversion python3-embed 2>/dev/null || echo 3.11)
python_headers=$python_headers/python$python_version

command -v "$compiler" >/dev/null || {
    echo "check-windows: $compiler not found (Debian package g++-mingw-w64-x86-64)" >&2
    exit 1
}
[ -f "$qt/QtCore/qglobal.h" ] || { echo "check-windows: no Qt 6 headers in $qt" >&2; exit 1; }

if [ $# -gt 0 ]; then
    files=("$@")
else
    # Code behind Q_OS_WIN (or the other side of Q_OS_UNIX), the entry point
    # that Qt's Windows glue calls, and the matching of the interface names that
    # Windows device-change messages carry.
    mapfile -t files < <({
        grep -rlE --include='*.cpp' 'Q_OS_WIN|Q_OS_UNIX' app common device ui account cli firmware readback
        printf '%s\n' app/main.cpp app/Application.cpp device/Hotplug.cpp
    } | sort -u)
fi

# Debian's Python headers pick their configuration by Linux multiarch triple; a
# Windows-shaped copy lets Python.h parse for the cross compiler.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [ -d "$python_headers" ]; then
    cp -r "$python_headers" "$scratch/python"
    linux_config=$(find /usr/include -path "*/python$python_version/pyconfig.h" \
        -not -path "$python_headers/*" | head -n 1)
    cat >"$scratch/python/pyconfig.h" <<CONFIG
#include "$linux_config"
#undef HAVE_SYS_SELECT_H
#undef HAVE_SYS_TIME_H
#undef SIZEOF_WCHAR_T
#define SIZEOF_WCHAR_T 2
#undef SIZEOF_LONG
#define SIZEOF_LONG 4
#define NT_THREADS 1
#define MS_WINDOWS 1
CONFIG
fi

flags=(
    -std=c++17 -fsyntax-only -w -DUNICODE -D_UNICODE -DQT_NO_FOREACH
    -DCORVANE_VERSION='"0"' -DCORVANE_PYTHON_FROM_BINDIR='"../share/corvane/python"'
    -I. -isystem "$qt"
)
for module in QtCore QtGui QtWidgets QtNetwork; do
    flags+=(-isystem "$qt/$module")
done
flags+=(-isystem /usr/include/hidapi -isystem "$scratch/python")

failed=0
for file in "${files[@]}"; do
    if "$compiler" "${flags[@]}" "$file" 2>"$scratch/errors"; then
        echo "check-windows: $file parses"
    else
        echo "check-windows: $file does not parse for Windows:" >&2
        head -n 40 "$scratch/errors" >&2
        failed=1
    fi
done
[ "${#files[@]}" -gt 0 ] || { echo "check-windows: no files to check" >&2; exit 1; }
exit $failed
