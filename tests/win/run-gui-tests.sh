#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the Windows build's GUI test programs (tests/win/gui_tests.cmake)
# under Wine on the offscreen platform, in a throwaway prefix, with the Qt
# DLLs and plugins of the Qt for Windows the build used. Only inside a
# network namespace of its own (NETSCRY_NETNS=1, as scripts/test.sh runs
# it): some of them broadcast to the simulator on loopback.
#   tests/win/run-gui-tests.sh BUILD_WIN_DIR [LINUX_BUILD_DIR]
set -euo pipefail

win=${1:?windows build directory}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-common.sh"
need_wine "wine GUI tests"
if ! ctest --test-dir "$win" -N -L wine_gui | grep -q 'Total Tests: [1-9]'; then
    echo "wine GUI tests skipped: the Windows build in $win has no program (no Qt for Windows; scripts/build-qt-windows.sh builds it)"
    exit 0
fi
need_netns "wine GUI tests"
qt_dir=$(sed -n 's/^Qt6_DIR:[A-Z]*=//p' "$win/CMakeCache.txt")
qt=$(cd "$qt_dir/../../.." && pwd)
compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$win"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n 1)
runtime=()
for dll in libstdc++-6.dll libwinpthread-1.dll; do
    runtime+=("$(dirname "$(realpath "$("$compiler" -print-file-name=$dll)")")")
done

# no browser, mail or shell integration with the host
wine_prefix netscry-wine-gui "mscoree,mshtml,winebrowser.exe,winemenubuilder.exe="
mkdir -p "$WINEPREFIX"
"$server" -p
wine_boot
"$here/wine-fonts.sh"

# The test programs load Qt and the compiler's runtime from where they lie.
winpath() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
path="$(winpath "$qt/bin")"
for dir in "${runtime[@]}"; do
    path+=";$(winpath "$dir")"
done
export WINEPATH=$path QT_PLUGIN_PATH=$(winpath "$qt/plugins") QT_QPA_PLATFORM=offscreen

echo "not run under Wine (Linux only):"
sed -n 's/^    "\(.*\)"$/  \1/p' "$here/gui_tests.cmake"
echo "cases left out under Wine (tests/win/gui_tests.cmake says why):"
sed -n 's/^set(NETSCRY_WINE_GUI_SKIPPED_\([a-z_]*\).*/  \1/p' "$here/gui_tests.cmake"
ctest --test-dir "$win" -L wine_gui --output-on-failure --timeout 300
