#!/usr/bin/env bash
# Makes the portable archive: one folder that runs on any current x86-64 Linux
# desktop from wherever it is unpacked, carrying everything a desktop does not
# provide (README.txt lists what it does).
#   packaging/portable.sh <build folder> <output folder>
# writes <output folder>/corvane-<version>-linux-x86_64.tar.gz. Any build type
# will do; the executables are stripped on the way.
set -euo pipefail
[ $# -eq 2 ] || { sed -n '2,7p' "$0"; exit 2; }
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
here=$source_dir/packaging/portable
python=/usr/bin/python3.11

fail() {
    echo "portable.sh: $*" >&2
    exit 1
}

for tool in patchelf strip "$python"; do
    command -v "$tool" >/dev/null || fail "needs $tool (Debian packages patchelf, binutils, python3.11)"
done

# The version the tool reports is the one the archive is named after; the
# window's diagnostic log is built from the same CMake project version.
version=$("$build/corvane-cli" --version | sed -n 's/^corvane-cli //p')
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [ -z "$version" ] || [ "$version" != "$project_version" ]; then
    fail "corvane-cli says version '$version', the build is $project_version"
fi

name=corvane-$version
stage=$(mktemp -d "${TMPDIR:-/tmp}/corvane-portable.XXXXXX")
trap 'rm -rf "$stage"' EXIT
top=$stage/$name
mkdir -p "$top/bin" "$top/lib" "$top/plugins" "$top/share"

# Libraries the archive counts on the desktop for (README.txt says which).
host_provided='^(linux-vdso|ld-linux-x86-64|libc|libm|libdl|libpthread|librt|libresolv|libutil|libanl'
host_provided+='|libstdc\+\+|libgcc_s|libGL|libEGL|libOpenGL|libGLX|libGLdispatch|libX11|libX11-xcb'
host_provided+='|libxcb|libxcb-(randr|render|shape|shm|sync|xfixes|xinerama|xinput|xkb|glx|dri2|dri3'
host_provided+='|present|composite|damage|dpms|record|res|screensaver|xf86dri|xtest|xv|xvmc)'
host_provided+='|libXau|libXdmcp|libxkbcommon|libxkbcommon-x11|libwayland-(client|cursor|egl)'
host_provided+='|libfontconfig|libfreetype|libdbus-1|libudev)\.so'

# --- the programs, their Qt plugins and the resolver's Python ---------------

for program in corvane corvane-cli; do
    strip --strip-unneeded -o "$top/bin/$program" "$build/$program"
done
cp "$here/qt.conf" "$top/bin/qt.conf"

qt_core=$(ldd "$build/corvane" | awk '/libQt[56]Core/ { print $3 }')
[ -f "$qt_core" ] || fail "$build/corvane is not linked to Qt"
qt_major=$(basename "$qt_core" | sed -E 's/^libQt([56]).*/\1/')
[ "$qt_major" = 6 ] || fail "the archive is made from a Qt 6 build (this one uses Qt $qt_major)"
qt_plugins=$(dirname "$qt_core")/qt$qt_major/plugins
# What the window needs on X11 and Wayland desktops: the platforms, the shell
# and decorations of a Wayland window, GL for either, pictures, compose keys
# and input methods, and TLS for sign-in. The tray speaks D-Bus through QtGui.
required_plugins=(platforms/libqxcb.so platforms/libqwayland-generic.so
    wayland-shell-integration/libxdg-shell.so tls/libqopensslbackend.so)
optional_plugins=(platforms/libqwayland-egl.so xcbglintegrations/libqxcb-glx-integration.so
    xcbglintegrations/libqxcb-egl-integration.so wayland-decoration-client/libbradient.so
    wayland-graphics-integration-client/libqt-plugin-wayland-egl.so
    imageformats/libqgif.so imageformats/libqico.so imageformats/libqjpeg.so
    imageformats/libqsvg.so iconengines/libqsvgicon.so tls/libqcertonlybackend.so
    platforminputcontexts/libcomposeplatforminputcontextplugin.so
    platforminputcontexts/libibusplatforminputcontextplugin.so)
for plugin in "${required_plugins[@]}" "${optional_plugins[@]}"; do
    if [ ! -f "$qt_plugins/$plugin" ]; then
        case " ${required_plugins[*]} " in
        *" $plugin "*) fail "missing Qt plugin $qt_plugins/$plugin (qt${qt_major}-wayland?)" ;;
        esac
        continue
    fi
    mkdir -p "$top/plugins/$(dirname "$plugin")"
    cp "$qt_plugins/$plugin" "$top/plugins/$plugin"
done

python_version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
stdlib=/usr/lib/python$python_version
python_home=$top/bin/Python37
ldd "$build/corvane" | grep -q "libpython$python_version" ||
    fail "the program is not linked to Python $python_version"
"$python" "$here/python_files.py" "$source_dir/account/python/PSNID.py" |
    while read -r file; do
        mkdir -p "$python_home/lib/python$python_version/$(dirname "$file")"
        cp "$stdlib/$file" "$python_home/lib/python$python_version/$file"
    done
mkdir -p "$python_home/Lib"
cp "$source_dir/account/python/"*.py "$python_home/Lib/"
# Compiled ahead: the folder may be read-only, and a hash-checked-free cache
# stays valid whatever times the archive gives the files.
"$python" -m compileall -q -j0 --invalidation-mode unchecked-hash "$python_home" >/dev/null

# --- every library those need that the desktop does not provide --------------

is_elf() { [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; }
elf_files() { find "$top" -type f | while read -r f; do is_elf "$f" && echo "$f"; done; }

# Copies the libraries the ELF files name directly, until nothing new is named.
# Those of the host's own libraries stay the host's business.
collect_libraries() {
    local added=1 file soname path
    while [ $added -eq 1 ]; do
        added=0
        while read -r file; do
            while read -r soname path; do
                [[ $soname =~ $host_provided ]] && continue
                [ -e "$top/lib/$soname" ] && continue
                [ -f "$path" ] || fail "$file needs $soname, which is not found"
                cp -L "$path" "$top/lib/$soname"
                added=1
            done < <(needed_with_paths "$file")
        done < <(elf_files)
    done
}

# "soname path" for each library `file` names directly, found as ldd finds it.
needed_with_paths() {
    local resolved
    resolved=$(ldd "$1" 2>/dev/null || true)
    patchelf --print-needed "$1" | while read -r soname; do
        echo "$soname $(awk -v n="$soname" '$1 == n && $2 == "=>" { print $3 }' <<<"$resolved")"
    done
}
collect_libraries

# Each ELF file finds the bundled libraries relative to its own place.
elf_files | while read -r file; do
    patchelf --set-rpath "\$ORIGIN/$(realpath --relative-to="$(dirname "$file")" "$top/lib")" "$file"
done

# --- the scripts, the rule, the desktop entry and the text ---------------------

cp "$here/launcher.sh" "$top/corvane"
cp "$here/launcher.sh" "$top/corvane-cli"
cp "$here/install-udev-rule.sh" "$here/install-desktop-entry.sh" "$top/"
chmod 755 "$top/corvane" "$top/corvane-cli" "$top/install-udev-rule.sh" \
    "$top/install-desktop-entry.sh"
cp "$source_dir/packaging/70-corvane.rules" "$top/share/"
cp "$source_dir/packaging/org.corvane.Corvane.desktop" "$top/share/"
cp -r "$source_dir/packaging/icons" "$top/share/icons"
cp "$source_dir/LICENSE" "$top/share/"
sed "s/@VERSION@/$version/g" "$here/README.txt" >"$top/README.txt"

chmod -R u+rwX,go+rX,go-w "$top"
archive=$out/$name-linux-x86_64.tar.gz
tar -C "$stage" --owner=0 --group=0 --numeric-owner --sort=name -czf "$archive" "$name"
echo "$archive ($(du -h "$archive" | cut -f1), $(du -sh "$top" | cut -f1) unpacked)"
