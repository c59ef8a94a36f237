#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The setup program in a fresh Wine prefix, checked from outside as a user
# would see it: a silent install under Program Files with its Start-menu
# entries, its entry in the list of installed programs and its firewall
# rules; the installed program on the windows platform (an X server of its
# own) against the Linux simulator's sample LAN: its main window "netscry"
# lists the 8 devices, 2 of them marked not reachable; a second start ends
# and brings the first forward; the uninstaller leaves nothing behind.
# Only inside a network namespace of its own (NETSCRY_NETNS=1, as
# scripts/test.sh runs it).
#   tests/win/run-installer.sh BUILD_WIN_DIR LINUX_BUILD_DIR
set -euo pipefail

win=${1:?windows build directory}
linux=${2:?linux build directory}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-common.sh"
lan=$here/../../devsim/sample-lan.json

skip() {
    echo "installer test skipped: $*"
    exit 0
}
[[ -n $wine ]] || skip "wine64 is not installed"
setup=$(ls "$win"/netscry-*-win64-setup.exe 2>/dev/null | head -n 1 || true)
[[ -n $setup ]] || skip "no setup program in $win (scripts/build-windows.sh makes it)"
[[ ${NETSCRY_NETNS:-} == 1 ]] || skip "no network namespace of its own (NETSCRY_NETNS=1)"
for tool in xdotool xwininfo import python3; do
    command -v $tool >/dev/null || skip "$tool is not installed"
done
[[ -x $linux/bin/tvp-devsim ]] || { echo "FAIL no Linux tvp-devsim in $linux/bin"; exit 1; }
[[ -f $win/bin/netsh_recorder.exe ]] || { echo "FAIL no netsh_recorder.exe in $win/bin"; exit 1; }
deploy=$(ls -d "$win"/deploy/netscry-*-win64 | head -n 1)

# The program's windows need a display: an X server of our own.
if [[ -z ${NETSCRY_INSTALLER_DISPLAY:-} ]]; then
    command -v xvfb-run >/dev/null || skip "xvfb-run is not installed"
    NETSCRY_INSTALLER_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

win=$(cd "$win" && pwd)
setup=$(cd "$(dirname "$setup")" && pwd)/$(basename "$setup")
sim=
cover=
on_exit() {
    [[ -n $cover ]] && kill "$cover" 2>/dev/null
    if [[ -n $sim ]]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
}

# the recording netsh in place of Wine's; no browser or menu integration
wine_prefix netscry-wine-setup "mscoree,mshtml,winebrowser.exe,winemenubuilder.exe=;netsh.exe=n"
wine_boot
"$here/wine-fonts.sh"
"$server" -w
drive=$WINEPREFIX/drive_c
cp "$win/bin/netsh_recorder.exe" "$drive/windows/system32/netsh.exe"
export NETSCRY_NETSH_LOG='C:\netsh.log'
netsh_log=$drive/netsh.log

# what a fresh prefix holds, to compare with what the uninstaller leaves
snapshot() {
    (cd "$drive" && find . -path ./netsh.log -prune -o -path './users/*/Temp' -prune \
        -o -path ./windows/temp -prune -o -print | sort)
    "$wine" reg query 'HKLM\Software' /s 2>/dev/null | tr -d '\r' | grep -v '^$' || true
}
snapshot >"$work/before.txt"

# --- install ------------------------------------------------------------
"$wine" "$setup" /S
"$server" -w
dir="$drive/Program Files/Netscry"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Netscry"
same_files() {
    diff <(cd "$deploy" && find . -type f | sort) \
         <(cd "$dir" && find . -type f ! -name uninstall.exe | sort) &&
        (cd "$deploy" && find . -type f -exec cmp {} "$dir/{}" \;)
}
check "installs the deployment folder under Program Files" same_files
check "with its uninstaller" test -f "$dir/uninstall.exe"
check "a Start-menu entry for the program" test -f "$menu/Netscry.lnk"
check "a Start-menu entry for the uninstaller" test -f "$menu/Uninstall Netscry.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Netscry'
"$wine" reg query "$key" 2>/dev/null | tr -d '\r' >"$work/uninstall-key.txt" || true
version=$(basename "$deploy" | sed 's/^netscry-\(.*\)-win64$/\1/')
registered() { grep -E "^ +$1 +REG_[A-Z]+ +$2\$" "$work/uninstall-key.txt"; }
check "registered as installed: name" registered DisplayName 'Netscry'
check "registered as installed: version $version" registered DisplayVersion "$version"
check "registered as installed: publisher" registered Publisher 'Tarvex'
check "registered as installed: icon" registered DisplayIcon 'C:\\Program Files\\Netscry\\netscry\.exe,0'
check "registered as installed: uninstaller" registered UninstallString '"C:\\Program Files\\Netscry\\uninstall\.exe"'
rule() { # rule add|delete NAME PROGRAM
    grep -F "advfirewall firewall $1 rule name=\"$2\"" "$netsh_log" | grep -F "program=\"C:\\Program Files\\Netscry\\$3\""
}
inbound_udp() { rule add "$1" "$2" | grep -F 'dir=in action=allow protocol=UDP'; }
check "a firewall rule lets UDP answers in to the program" inbound_udp Netscry netscry.exe
check "and to the command-line tool" inbound_udp "Netscry command-line tool" netscry-cli.exe

# --- the program against the sample LAN -----------------------------------
"$linux/bin/tvp-devsim" --json "$lan" --port 0 --tftp-port 0 >"$work/devsim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do
    grep -q READY "$work/devsim.log" && break
    sleep 0.05
done
ready=$(grep -m1 READY "$work/devsim.log") || { echo "FAIL the simulator did not start"; exit 1; }
export TVP_PORT=${ready#*port=}
TVP_PORT=${TVP_PORT%% *}
# the simulated devices live on loopback, which the library leaves out
# unless told
export TVP_INTERFACES=lo

program='C:\Program Files\Netscry\netscry.exe'
"$wine" "$program" >"$work/first.log" 2>&1 &
first=$!
main_window() { xdotool search --onlyvisible --name '^netscry$' 2>/dev/null | head -n 1; }
wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
has_main_window() { [[ -n $(main_window) ]]; }
check "the installed program shows its main window \"netscry\"" wait_for 60 has_main_window
main=$(main_window)
# no pointer over the window: a tooltip would come up
xdotool mousemove 1023 767
[[ -n $main ]] || { echo "FAIL no main window; its output:"; cat "$work/first.log"; exit 1; }

# the simulator's log: every device answered, every probe the program sent
answered() { grep -qE ' discover .*: 8 answers$' "$work/devsim.log"; }
check "all 8 sample devices answered the program's scan" wait_for 20 answered
probes_settled() {
    [[ $(grep -E ' probe .*: answered by ' "$work/devsim.log" | sed 's/.*answered by //' | sort -u | wc -l) -eq 6 ]] &&
        grep -q ' probe .*: Dock Door Sensor stays silent' "$work/devsim.log"
}
check "the program probed them: 6 answered, Dock Door Sensor stayed silent" wait_for 20 probes_settled
sleep 2
import -window "$main" "$work/main.png"
rows() { python3 "$here/list_rows.py" "$work/main.png"; }
check "the list shows 8 rows, 2 marked not reachable" test "$(rows)" = "8 rows, 2 marked"

# --- a second start ---------------------------------------------------------
# another window covers the first one and takes the focus
xmessage -geometry 600x400+0+0 "a window in front" &
cover=$!
covered() { xdotool search --onlyvisible --name '^xmessage$' >/dev/null; }
wait_for 10 covered || true
cover_window=$(xdotool search --onlyvisible --name '^xmessage$' | head -n 1)
xdotool windowraise "$cover_window" windowfocus "$cover_window" 2>/dev/null || true
above() { # above A B: window A lies above window B (xwininfo lists the top first)
    local order a b
    order=$(xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) .*/\1/p' | nl -v 0)
    a=$(awk -v w="$(printf '0x%x' "$1")" '$2 == w { print $1 }' <<<"$order")
    b=$(awk -v w="$(printf '0x%x' "$2")" '$2 == w { print $1 }' <<<"$order")
    echo "stacking: $1 at ${a:-none}, $2 at ${b:-none}"
    [[ -n $a && -n $b ]] && ((a < b))
}
check "the covering window is in front" above "$cover_window" "$main"
start=$SECONDS
timeout 60 "$wine" "$program" >"$work/second.log" 2>&1 && second=0 || second=$?
check "a second start ends at once with exit code 0" test "$second" = 0 -a $((SECONDS - start)) -lt 30
check "and shows no window of its own" test "$(xdotool search --onlyvisible --name '^netscry$' | wc -l)" = 1
wait_for 10 above "$main" "$cover_window" || true
check "it brought the first one to the front" above "$main" "$cover_window"
kill "$cover" 2>/dev/null
cover=

# --- uninstall ---------------------------------------------------------------
"$wine" taskkill /im netscry.exe >/dev/null 2>&1 || true
wait_for 20 test -z "$(main_window)" || true
wait "$first" 2>/dev/null || true
"$wine" "$dir/uninstall.exe" /S
"$server" -w
check "the uninstaller removes the program's folder" test ! -e "$dir"
check "and its Start-menu folder" test ! -e "$menu"
check "and its entry in the list of installed programs" bash -c "! '$wine' reg query '$key' >/dev/null 2>&1"
check "and the firewall rule of the program" rule delete Netscry netscry.exe
check "and of the command-line tool" rule delete "Netscry command-line tool" netscry-cli.exe
snapshot >"$work/after.txt"
check "and leaves nothing else behind" diff "$work/before.txt" "$work/after.txt"

if ((failed > 0)); then
    echo "--- the simulator's log"
    tail -n 30 "$work/devsim.log"
    echo "--- the program's output"
    cat "$work/first.log"
fi
echo "$passed passed, $failed failed"
((failed == 0))
