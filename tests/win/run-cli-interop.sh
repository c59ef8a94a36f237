#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows netscry-cli.exe under Wine against the Linux simulator on
# loopback: discover, get, set and upgrade, first on a clean link, then on
# one that loses and duplicates packets. Only inside a network namespace of
# its own (NETSCRY_NETNS=1, as scripts/test.sh runs it).
#   tests/win/run-cli-interop.sh BUILD_WIN_DIR LINUX_BUILD_DIR
set -euo pipefail

win=${1:?windows build directory}
linux=${2:?linux build directory}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-common.sh"
need_wine "wine cli test"
if [[ ! -f $win/bin/netscry-cli.exe || ! -f $win/bin/tarvextvp.dll ]]; then
    echo "wine cli test skipped: no cross build of netscry-cli.exe in $win"
    exit 0
fi
need_netns "wine cli test"
for program in tvp-devsim netscry-cli; do
    if [[ ! -x $linux/bin/$program ]]; then
        echo "FAIL the Linux build has no $program in $linux/bin"
        exit 1
    fi
done
win=$(cd "$win" && pwd)
linux=$(cd "$linux" && pwd)

sim=
stop_simulator() {
    if [[ -n $sim ]]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
        sim=
    fi
}
on_exit() { stop_simulator; }
wine_prefix netscry-wine-cli
wine_boot

# start_simulator LAN [fault options...]: ports from its READY line
start_simulator() {
    local lan=$1
    shift
    rm -rf "$work/store"
    mkdir -p "$work/store"
    "$linux/bin/tvp-devsim" --json "$lan" --port 0 --tftp-port 0 --store "$work/store" --quiet "$@" \
        >"$work/devsim.log" 2>&1 &
    sim=$!
    for _ in $(seq 100); do
        grep -q READY "$work/devsim.log" && break
        sleep 0.05
    done
    local ready
    ready=$(grep -m1 READY "$work/devsim.log" || true)
    if [[ -z $ready ]]; then
        echo "FAIL the simulator did not start:"
        cat "$work/devsim.log"
        exit 1
    fi
    # Wine hands the Unix environment to the Windows program
    export TVP_PORT=${ready#*port=}
    TVP_PORT=${TVP_PORT%% *}
    export TVP_TFTP_PORT=${ready##*tftp-port=}
}

# wcli NAME ARGS...: netscry-cli.exe's output in NAME.out/.err, status in NAME.rc
wcli() {
    local name=$1
    shift
    local rc=0
    (cd "$win/bin" && timeout 90 "$wine" netscry-cli.exe "$@") >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    echo "$rc" >"$work/$name.rc"
}
rc_of() { cat "$work/$1.rc"; }
# Wine's loopback adapter keeps its Unix name
lo=lo

# py SCRIPT ARGS...: a check written in Python; exits non-zero with its reason
py() {
    local script=$1
    shift
    python3 -c "$script" "$@"
}

expect_devices='
import json, sys
lan = json.load(open(sys.argv[1]))["devices"]
found = json.load(open(sys.argv[2], encoding="utf-8"))
byid = {d["id"]: d for d in found}
errors = []
if len(found) != len(byid):
    errors.append("a device listed twice")
for want in lan:
    got = byid.get(want["mac"].upper())
    if got is None:
        errors.append("not found: " + want["mac"])
        continue
    on_link = want["ip"].startswith("127.")
    reachable = on_link and want.get("answersProbes", True)
    for key, value in (("name", want["name"]), ("type", want["type"]), ("ip", want["ip"]),
                       ("interface", "lo (127.0.0.1)"), ("reachable", reachable)):
        if got.get(key) != value:
            errors.append("%s: %s is %r, not %r" % (want["mac"], key, got.get(key), value))
if len(found) != len(lan):
    errors.append("%d devices found, %d simulated" % (len(found), len(lan)))
if errors:
    sys.exit("\n".join(errors))
'

expect_settings='
import json, sys
got = json.load(open(sys.argv[1]))
want = json.loads(sys.argv[2])
wrong = {k: (got.get(k), v) for k, v in want.items() if got.get(k) != v}
if wrong:
    sys.exit("differs (got, wanted): %r" % wrong)
'

expect_upgrades='
import json, sys
results = json.load(open(sys.argv[1]))
want = sys.argv[2:]
got = sorted(r["ip"] for r in results if r["ok"])
if got != sorted(want) or len(results) != len(want):
    sys.exit("upgraded %r, wanted %r: %r" % (got, sorted(want), results))
'

# an image with the bytes a text-mode read would change or stop at, then
# every byte value, then a run that spans several TFTP blocks
image_dir="$work/Prüfstand Ü"
mkdir -p "$image_dir"
image="$image_dir/firmware.bin"
python3 - "$image" <<'PY'
import random, sys
r = random.Random(14)
data = b"\r\n\x1a\x00\n\r\x1a\x00" + bytes(range(256)) + b"\r\n" * 600 + bytes(r.randrange(256) for _ in range(5000))
open(sys.argv[1], "wb").write(data)
PY
winimage=$("$wine" winepath -w "$image" 2>/dev/null | tr -d '\r')
stored() { cmp "$image" "$work/store/$1/firmware.bin"; }

lan=$here/../../devsim/sample-lan.json

echo "--- clean link"
start_simulator "$lan"

wcli discover discover --interface "$lo" --json
check "discover exits 0" test "$(rc_of discover)" = 0
# no complaint either: the event handle is watched as a socket
check "discover: nothing on stderr" test ! -s "$work/discover.err"
check "discover: every device once, fields right" py "$expect_devices" "$lan" "$work/discover.out"

# what a script reads is the same bytes on both systems: no \r added
wcli csv discover --interface "$lo" --csv
"$linux/bin/netscry-cli" discover --interface lo --csv >"$work/linux-csv.out" 2>"$work/linux-csv.err" || true
check "discover --csv: the same bytes as the Linux program's" cmp "$work/csv.out" "$work/linux-csv.out"

wcli nosuch discover --interface "no such adapter"
check "an unknown interface: exit 2" test "$(rc_of nosuch)" = 2
check "an unknown interface: named in the message" grep -q 'no network interface named "no such adapter"' \
    "$work/nosuch.err"

wcli get1 get --interface "$lo" --json 00:1A:2B:00:00:01
check "get 00:1A:2B:00:00:01" py "$expect_settings" "$work/get1.out" \
    '{"id": "00:1A:2B:00:00:01", "ip": "127.0.0.11", "mask": "255.0.0.0", "gateway": "127.0.0.1", "dhcp": false, "interface": "lo (127.0.0.1)"}'
wcli get2 get --interface "$lo" --json 00-1a-2b-00-00-02
check "get 00:1A:2B:00:00:02 (DHCP, no gateway)" py "$expect_settings" "$work/get2.out" \
    '{"id": "00:1A:2B:00:00:02", "ip": "127.0.0.12", "dhcp": true, "gateway": null}'
wcli getnone get --interface "$lo" 00:1A:2B:00:00:99
check "get of an ID no device has: exit 1" test "$(rc_of getnone)" = 1

wcli set3 set --interface "$lo" --json 00:1A:2B:00:00:03 --ip 127.0.0.93 --mask 255.255.0.0 --gateway 127.0.0.1
check "set 00:1A:2B:00:00:03 acknowledged" py "$expect_settings" "$work/set3.out" \
    '{"id": "00:1A:2B:00:00:03", "ip": "127.0.0.93"}'
wcli get3 get --interface "$lo" --json 00:1A:2B:00:00:03
check "a later get shows the new settings" py "$expect_settings" "$work/get3.out" \
    '{"ip": "127.0.0.93", "mask": "255.255.0.0", "gateway": "127.0.0.1", "dhcp": false}'
wcli setbad set --interface "$lo" 00:1A:2B:00:00:03 --ip 127.0.0.0 --mask 255.255.255.0
check "set to a network address: exit 2" test "$(rc_of setbad)" = 2

wcli up1 upgrade --interface "$lo" --json "$winimage" 127.0.0.11
check "upgrade 127.0.0.11 from a folder with a non-ASCII name" py "$expect_upgrades" "$work/up1.out" 127.0.0.11
check "the stored image equals the file, byte for byte" stored 127.0.0.11
wcli up2 upgrade --interface "$lo" --json "$winimage" --name "Line ? Serial*"
check "upgrade --name with a pattern" py "$expect_upgrades" "$work/up2.out" 127.0.0.12
check "the device the pattern chose got the image" stored 127.0.0.12
wcli upmissing upgrade --interface "$lo" "$winimage.missing" 127.0.0.11
check "upgrade of a missing file: exit 2" test "$(rc_of upmissing)" = 2
stop_simulator

echo "--- a link that loses a fifth of the packets and duplicates the rest"
start_simulator "$lan" --loss 0.2 --duplicate --seed 14
export TVP_TFTP_TIMEOUT_MS=300
wcli lossy discover --interface "$lo" --json
check "discover: every device once, fields right" py "$expect_devices" "$lan" "$work/lossy.out"
wcli lossyget get --interface "$lo" --json 00:1A:2B:00:00:01
check "get 00:1A:2B:00:00:01" py "$expect_settings" "$work/lossyget.out" '{"ip": "127.0.0.11", "dhcp": false}'
wcli lossyup upgrade --interface "$lo" --json "$winimage" 00:1A:2B:00:00:01 127.0.0.13
check "upgrade of two devices, one named by its ID" py "$expect_upgrades" "$work/lossyup.out" 127.0.0.11 127.0.0.13
check "the first stored image equals the file" stored 127.0.0.11
check "the second stored image equals the file" stored 127.0.0.13
unset TVP_TFTP_TIMEOUT_MS
stop_simulator

if ((failed > 0)); then
    echo "--- the simulator's log"
    tail -n 20 "$work/devsim.log"
    for f in "$work"/*.err; do
        [[ -s $f ]] && { echo "--- $(basename "$f")"; head -n 20 "$f"; }
    done
fi
echo "$passed passed, $failed failed"
((failed == 0))
