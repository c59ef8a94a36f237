#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Screenshots of the Windows program under Wine for docs/windows/: the main
# window with the simulator's sample LAN, the IP address properties dialog,
# the flash upgrade dialog and About, each on Wine's own desktop (window
# frames as Windows draws them) and cut to what it shows. Only inside a
# network namespace of its own (NETSCRY_NETNS=1).
#   tests/win/screenshots.sh BUILD_WIN_DIR LINUX_BUILD_DIR OUT_DIR
set -euo pipefail

win=${1:?windows build directory}
linux=${2:?linux build directory}
out=${3:?folder for the pictures}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-common.sh"
[[ -n $wine ]] || { echo "screenshots: wine64 is not installed" >&2; exit 1; }
[[ ${NETSCRY_NETNS:-} == 1 ]] || { echo "screenshots: no network namespace of its own (NETSCRY_NETNS=1)" >&2; exit 1; }
deploy=$(ls -d "$win"/deploy/netscry-*-win64 2>/dev/null | head -n 1)
[[ -n $deploy ]] || { echo "screenshots: no deployment folder in $win (scripts/build-windows.sh)" >&2; exit 1; }
if [[ -z ${NETSCRY_SCREENSHOT_DISPLAY:-} ]]; then
    NETSCRY_SCREENSHOT_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

sim=
on_exit() {
    if [[ -n $sim ]]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
}
wine_prefix netscry-wine-shots "mscoree,mshtml,winebrowser.exe,winemenubuilder.exe="
wine_boot
"$here/wine-fonts.sh"
"$server" -w

"$linux/bin/tvp-devsim" --port 0 --tftp-port 0 --quiet >"$work/devsim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do
    grep -q READY "$work/devsim.log" && break
    sleep 0.05
done
ready=$(grep -m1 READY "$work/devsim.log")
export TVP_PORT=${ready#*port=}
TVP_PORT=${TVP_PORT%% *}
export TVP_INTERFACES=lo

"$wine" explorer /desktop=Netscry,800x560 "$("$wine" winepath -w "$deploy/netscry.exe" | tr -d '\r')" \
    >"$work/program.log" 2>&1 &
desktop=
for _ in $(seq 150); do
    desktop=$(xdotool search --onlyvisible --name '^Netscry - Wine desktop$' 2>/dev/null | head -n 1) || true
    [[ -n $desktop ]] && break
    sleep 0.2
done
[[ -n $desktop ]] || { echo "screenshots: Wine's desktop did not come up" >&2; cat "$work/program.log"; exit 1; }
xdotool windowfocus "$desktop"
xdotool mousemove 799 559
sleep 8 # the scan: five broadcasts and the probes

# shot NAME: the desktop cut to the windows on it
shot() {
    import -window "$desktop" "$work/$1-full.png"
    local bg
    bg=$(/usr/bin/convert "$work/$1-full.png" -format '%[pixel:p{1,1}]' info:)
    /usr/bin/convert "$work/$1-full.png" -bordercolor "$bg" -border 1 -fuzz 2% -trim +repage "$out/$1.png"
    echo "$out/$1.png"
}
key() { xdotool key --delay 150 "$@"; sleep 1; }

shot main-window
# the first device, then its Configure command from the context menu
key Home
key Menu Down Return
sleep 2
shot ip-dialog
key Escape
sleep 1
key Home
key Menu Down Down Return
sleep 1
shot upgrade-dialog
key Escape
key alt+h Return
shot about
key Escape
