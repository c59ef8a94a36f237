#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The running program's windows carry the desktop entry's icon: netscry is
# started on a private X server, and the icon its main window publishes to
# the desktop (_NET_WM_ICON) must look like the desktop entry's icon file
# rendered at the same size. Its window class must be the one the desktop
# entry names (StartupWMClass), so the desktop can tie the two together.
#
# usage: test_window_icon.sh BIN_DIR SOURCE_DIR ICON_SVG
set -uo pipefail
bin=$1
source=$2
icon_svg=$3
desktop=$source/packaging/com.tarvex.Netscry.desktop

for tool in Xvfb xprop xwininfo rsvg-convert convert; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
chmod 700 "$work"
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

# A private X server on the first free display.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.05
done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n 1 "$work/display")

# The simulated devices on loopback, so the program's start-up scan has
# something to find.
"$bin/tvp-devsim" --port 0 --tftp-port 0 --quiet >"$work/devsim.out" 2>&1 &
pids+=($!)
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^READY port=\([0-9]*\).*/\1/p' "$work/devsim.out")
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "FAIL: tvp-devsim did not start"; exit 1; }

# Its own runtime folder: no other instance's single-instance socket.
XDG_RUNTIME_DIR=$work HOME=$work TVP_INTERFACES=lo TVP_PORT=$port \
    QT_QPA_PLATFORM=xcb "$bin/netscry" >"$work/netscry.log" 2>&1 &
pids+=($!)

wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
win=
for _ in $(seq 200); do
    for w in $(xwininfo -root -children 2>/dev/null | grep -o "^ *0x[0-9a-f]*"); do
        if xprop -id "$w" WM_CLASS 2>/dev/null | grep -q "\"$wm_class\"" &&
           xprop -id "$w" -notype 32c _NET_WM_ICON 2>/dev/null | grep -q "= [0-9]"; then
            win=$w
            break 2
        fi
    done
    sleep 0.1
done
if [ -z "$win" ]; then
    cat "$work/netscry.log"
    xwininfo -root -children 2>/dev/null | grep -i netscry
    echo "FAIL: no window of class '$wm_class' with an icon appeared"
    exit 1
fi
xprop -id "$win" -notype 32c _NET_WM_ICON >"$work/icon.txt"

python3 - "$work/icon.txt" "$icon_svg" "$work" <<'PY'
import re, subprocess, sys

text = open(sys.argv[1]).read().split("=", 1)[1]
numbers = [int(n) for n in re.findall(r"\d+", text)]
images = {}
i = 0
while i + 2 <= len(numbers):
    w, h = numbers[i], numbers[i + 1]
    images[(w, h)] = numbers[i + 2:i + 2 + w * h]
    i += 2 + w * h
size = max(images)
w, h = size
if w != h or w < 32:
    sys.exit(f"FAIL: the window's largest icon is {w}x{h}")

# The desktop entry's icon file at that size, as RGBA bytes.
png = f"{sys.argv[3]}/expected.png"
subprocess.run(["rsvg-convert", "-w", str(w), "-h", str(h), "-o", png, sys.argv[2]], check=True)
expected = subprocess.run(["convert", png, "-depth", "8", "rgba:-"], check=True,
                          capture_output=True).stdout
if len(expected) != w * h * 4:
    sys.exit("FAIL: could not render the desktop entry's icon")

def rgba(pixels):
    out = bytearray()
    for p in pixels:
        out += bytes([(p >> 16) & 255, (p >> 8) & 255, p & 255, (p >> 24) & 255])
    return out

actual = rgba(images[size])
# Two renderers anti-alias differently; a different picture differs by far more.
diff = sum(abs(a - b) for a, b in zip(actual, expected)) / len(expected)
blank = sum(abs(a - b) for a, b in zip(bytes(len(expected)), expected)) / len(expected)
print(f"window icon {w}x{h}: mean difference {diff:.2f} per channel "
      f"(an empty icon: {blank:.2f})")
if diff > 6:
    sys.exit("FAIL: the window's icon is not the desktop entry's icon")
PY
