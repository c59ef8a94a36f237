#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the Windows build's test of the program's Win32 layer under Wine, in
# a throwaway prefix. Nothing is opened but this test program itself.
#   tests/win/run-win32-layer.sh BUILD_WIN_DIR
set -euo pipefail

win=${1:?windows build directory}
wine=$(command -v wine64 || true)
[[ -z $wine && -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64
if [[ -z $wine ]]; then
    echo "win32 layer test skipped: wine64 is not installed"
    exit 0
fi
test=$win/bin/win32_layer_test.exe
[[ -f $test ]] || { echo "FAIL $test is not built"; exit 1; }

# Windows need a display from the start (Wine's desktop comes up with the
# prefix): the caller's, or an X server of our own.
if [[ -z ${DISPLAY:-} ]] && command -v xvfb-run >/dev/null; then
    exec xvfb-run -a "$0" "$@"
fi

server=$(dirname "$wine")/wineserver
[[ -x $server ]] || server=$(command -v wineserver || echo true)

work=$(mktemp -d /tmp/netscry-wine32.XXXXXX)
cleanup() {
    WINEPREFIX=$work/prefix "$server" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# No browser, mail or shell integration with the host: what the shell
# opens stays inside the prefix.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winebrowser.exe,winemenubuilder.exe="
"$wine" wineboot --init >"$work/boot.log" 2>&1 || { cat "$work/boot.log"; exit 1; }

cd "$(dirname "$test")"
if [[ -n ${DISPLAY:-} ]]; then
    timeout 120 "$wine" "$(basename "$test")"
else
    echo "win32 layer test: no display and no Xvfb, the window checks are skipped"
    timeout 120 "$wine" "$(basename "$test")" --no-windows
fi
