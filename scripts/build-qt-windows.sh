#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Qt for 64-bit Windows (MinGW-w64) from Debian's own qtbase source,
# the same version as the host's Qt, whose tools (moc, uic, rcc) the cross
# build runs. Only what the program and its tests use: Core, Gui, Widgets,
# Test, the windows and offscreen platform plugins and the windowsvista
# style.
#   scripts/build-qt-windows.sh            build into the cache, or say it is there
#   scripts/build-qt-windows.sh --prefix   print the folder it builds into
# The folder is ${NETSCRY_CACHE:-~/.cache/netscry}/qt-VERSION-win64-mingw;
# a rerun finds it and does nothing. The source comes through apt, from the
# archives this system already uses, with a private apt configuration: the
# system's own apt setup is not touched.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

host_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev 2>/dev/null) || {
    echo "build-qt-windows: the host's Qt (qt6-base-dev) is not installed" >&2
    exit 1
}
qt_version=${host_version%%+*}
qt_version=${qt_version%%-*}
cache=${NETSCRY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/netscry}
prefix=$cache/qt-$qt_version-win64-mingw
if [[ ${1:-} == --prefix ]]; then
    echo "$prefix"
    exit 0
fi
if [[ -f $prefix/.complete ]]; then
    echo "Qt $qt_version for Windows is ready in $prefix"
    exit 0
fi
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres ninja cmake apt-get; do
    command -v "$tool" >/dev/null || {
        echo "build-qt-windows: $tool is not installed (scripts/install-deps.sh installs it)" >&2
        exit 1
    }
done

start=$SECONDS
work=$cache/qt-$qt_version-work
rm -rf "$work"
mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial" "$work/apt/parts" "$work/src"

# deb-src twins of the system's enabled Debian entries, in both list formats
{
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $f ]] && grep -E '^deb[[:space:]]' "$f" | grep '/debian' | sed 's/^deb/deb-src/'
    done
} > "$work/apt/sources.list" || true
for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] || continue
    awk -v RS= -v ORS='\n\n' '/URIs:[^\n]*\/debian/ && /Types:[^\n]*deb/' "$f" |
        sed -E 's/^Types:.*/Types: deb-src/' > "$work/apt/parts/$(basename "$f")"
done
apt_options=(
    -o "Dir::Etc::SourceList=$work/apt/sources.list"
    -o "Dir::Etc::SourceParts=$work/apt/parts"
    -o "Dir::State::Lists=$work/apt/lists"
    -o "Dir::Cache::Archives=$work/apt/archives"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=$(id -un)"
)
echo "fetching qtbase $host_version source through apt"
apt-get "${apt_options[@]}" -qq update
(cd "$work/src" && apt-get "${apt_options[@]}" -qq source --download-only "qt6-base=$host_version")

# apt checked the files against the archive's signed index; check them
# against the .dsc's checksums once more before unpacking anything
dsc=$(ls "$work"/src/qt6-base_*.dsc)
awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 } on && NF == 3 { print $1 "  " $3 }' "$dsc" \
    > "$work/src/SHA256SUMS"
[[ -s $work/src/SHA256SUMS ]] || { echo "build-qt-windows: no checksums in $dsc" >&2; exit 1; }
(cd "$work/src" && sha256sum --quiet -c SHA256SUMS)
tar -xf "$work"/src/qt6-base_*.orig.tar.* -C "$work/src"
source_dir=$(ls -d "$work"/src/qtbase-everywhere-src-*/)

# Vulkan off: configure would find the host's headers and pull /usr/include
# into the MinGW build. Tablet events off: Debian's source leaves out the
# bundled wintab.h that the windows plugin needs for them. The modules the
# program does not use are left out to halve the build.
mkdir -p "$work/build"
cd "$work/build"
"$source_dir/configure" -prefix "$prefix" -release \
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
    -qt-host-path /usr -nomake examples -nomake tests -nomake benchmarks \
    -no-opengl -no-dbus -no-feature-vulkan -no-feature-tabletevent \
    -no-feature-sql -no-feature-network -no-feature-xml -no-feature-concurrent \
    -no-feature-printsupport \
    -- -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    > "$work/configure.log" 2>&1 || {
    tail -n 40 "$work/configure.log" >&2
    exit 1
}
cmake --build . --parallel "$(nproc)"
cmake --install . >/dev/null
for needed in bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Test.dll \
        plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll \
        plugins/styles/qwindowsvistastyle.dll; do
    [[ -f $prefix/$needed ]] || { echo "build-qt-windows: $needed was not built" >&2; exit 1; }
done
touch "$prefix/.complete"
cd "$cache"
rm -rf "$work"
echo "Qt $qt_version for Windows built into $prefix in $(( (SECONDS - start) / 60 )) min $(( (SECONDS - start) % 60 )) s"
