#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the Windows build's test of the program's Win32 layer under Wine, in
# a throwaway prefix. Nothing is opened but this test program itself.
#   tests/win/run-win32-layer.sh BUILD_WIN_DIR
set -euo pipefail

win=${1:?windows build directory}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-common.sh"
need_wine "win32 layer test"
test=$win/bin/test_win32_layer.exe
[[ -f $test ]] || { echo "FAIL $test is not built"; exit 1; }

# Windows need a display from the start (Wine's desktop comes up with the
# prefix): the caller's, or an X server of our own.
if [[ -z ${DISPLAY:-} ]] && command -v xvfb-run >/dev/null; then
    exec xvfb-run -a "$0" "$@"
fi

# No browser, mail or shell integration with the host: what the shell
# opens stays inside the prefix.
wine_prefix netscry-wine32 "mscoree,mshtml,winebrowser.exe,winemenubuilder.exe="
wine_boot

cd "$(dirname "$test")"
if [[ -n ${DISPLAY:-} ]]; then
    timeout 120 "$wine" "$(basename "$test")"
else
    echo "win32 layer test: no display and no Xvfb, the window checks are skipped"
    timeout 120 "$wine" "$(basename "$test")" --no-windows
fi
